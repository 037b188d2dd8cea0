#!/usr/bin/env bash
# The library-scan benchmark: Kestro's full scan (both phases, seven passes
# each, through the host) against a TagLib-only single walk of the same
# 10000 tagged songs.
#
#   bench/scan_bench.sh [LIBRARY_DIR]
#
# LIBRARY_DIR (default build/bench-lib) caches the synthetic library and the
# tools; it is rebuilt only when the generator's version or COUNT changes.
# Environment:
#   KESTRO_BUILD_DIR  build folder holding kestro-host and libkestro.so
#                     (default build; the host run is skipped without them)
#   COUNT             songs in the library (default 10000)
#   RUNS              timed runs of each measurement (default 7, at least 5)
#   STRACE            1 (default when strace is installed): count system
#                     calls per file once with strace -c -f
#   MAX_RATIO         the required bound of scan / walk, the host's start-up
#                     left out (default 0.8); the script exits 1 when the
#                     host scan is slower than that
#   VBR               1 (default): also time the tag reader on a folder of 100
#                     MP3 files of 180 s without a VBR header (timed by frame
#                     count) against the same files with a Xing header
#   HOSTILE           1: also run bench/tools/hostile_bench.cpp (time and
#                     peak memory per crafted hostile file; writes about
#                     400 MB of files into LIBRARY_DIR/hostile); default 0
#
# Timings are wall-clock medians of whole processes on a warm cache (one
# untimed run of each first). The library: Songs/Artist/Album/NN Title.ext,
# about 70 % mp3 (a tenth of the albums with a 24 KiB cover picture), 10 %
# m4a, 8 % wma, 5 % wav, 4 % aif, 3 % au; seeds made by sox, lame and ffmpeg,
# copies with their tags rewritten by TagLib (bench/tools/gen_library.cpp).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LIB=${1:-$ROOT/build/bench-lib}
BUILD=${KESTRO_BUILD_DIR:-$ROOT/build}
COUNT=${COUNT:-10000}
RUNS=${RUNS:-7}
MAX_RATIO=${MAX_RATIO:-0.8}
VBR=${VBR:-1}
HOSTILE=${HOSTILE:-0}
if command -v strace >/dev/null 2>&1; then STRACE=${STRACE:-1}; else STRACE=0; fi
GEN_VERSION=2
(( RUNS >= 5 )) || RUNS=5

mkdir -p "$LIB"
LIB=$(cd "$LIB" && pwd)
TOOLS=$LIB/tools
GAME=$LIB/game
SONGS=$GAME/Songs
EMPTY_GAME=$LIB/empty-game
mkdir -p "$TOOLS"

log() { printf '%s\n' "$*" >&2; }

for tool in sox lame ffmpeg g++ pkg-config; do
  command -v "$tool" >/dev/null || { log "missing $tool (the setup script installs it)"; exit 2; }
done

# --- tools ------------------------------------------------------------------
TAGLIB_FLAGS=$(pkg-config --cflags --libs taglib)
CXX="g++ -std=c++20 -O2 -DNDEBUG"
build_tool() {  # name, sources...
  local out=$TOOLS/$1; shift
  local newest=0 src
  if [[ -x $out ]]; then
    for src in "$@" "$ROOT"/platform/*/*.h "$ROOT"/library/*.h "$ROOT"/bench/tools/*.h "$ROOT"/tests/HostileFiles.h; do
      [[ $src -nt $out ]] && newest=1
    done
    (( newest )) || return 0
  fi
  log "building $(basename "$out")"
  # shellcheck disable=SC2086
  $CXX -I"$ROOT" -o "$out" "$@" $TAGLIB_FLAGS
}
build_tool gen_library "$ROOT/bench/tools/gen_library.cpp"
build_tool taglib_walk "$ROOT/bench/tools/taglib_walk.cpp"
MEDIA_SOURCES=("$ROOT"/platform/tags/MediaTags*.cpp "$ROOT/platform/files/Paths.cpp")
build_tool readtags_walk "$ROOT/bench/tools/readtags_walk.cpp" \
  "$ROOT/library/TagReader.cpp" "$ROOT/library/SongTable.cpp" "$ROOT/platform/system/LargePages.cpp" \
  "$ROOT/plugin/PlayerState.cpp" "${MEDIA_SOURCES[@]}"

# --- the library ------------------------------------------------------------
STAMP="gen $GEN_VERSION count $COUNT"
if [[ ! -f $LIB/stamp || $(cat "$LIB/stamp") != "$STAMP" ]]; then
  log "making the library of $COUNT songs in $SONGS"
  rm -rf "$LIB/seeds" "$GAME" "$LIB/stamp"
  mkdir -p "$LIB/seeds" "$SONGS"
  S=$LIB/seeds
  FF="ffmpeg -nostdin -v error -y -fflags +bitexact"
  # Raw material: three lengths of a tone mixed with noise (44.1 kHz stereo
  # for the compressed formats, 8 kHz mono for the PCM ones).
  for i in 1 2 3; do
    len=$((2 + i))
    sox -R -n -r 44100 -c 2 -b 16 "$S/raw$i.wav" synth "$len" sine $((300 + 100 * i)) pinknoise mix vol 0.3
  done
  sox -R -n -r 8000 -c 1 -b 16 "$S/pcm.wav" synth 4 sine 440 vol 0.5
  lame --quiet -b 128 "$S/raw1.wav" "$S/seed1.mp3"        # CBR with a Xing/LAME header
  lame --quiet -V 4 "$S/raw2.wav" "$S/seed2.mp3"          # VBR
  lame --quiet -b 128 -t "$S/raw3.wav" "$S/seed3.mp3"     # CBR without Xing header
  $FF -i "$S/raw1.wav" -c:a wmav2 -b:a 96k "$S/seed1.wma"
  $FF -i "$S/raw2.wav" -c:a wmav2 -b:a 128k "$S/seed2.wma"
  $FF -i "$S/raw1.wav" -c:a aac -b:a 96k "$S/seed1.m4a"                       # moov at the end
  $FF -i "$S/raw2.wav" -c:a aac -b:a 128k -movflags +faststart "$S/seed2.m4a"  # moov first
  cp "$S/pcm.wav" "$S/seed1.wav"
  $FF -i "$S/pcm.wav" "$S/seed1.aif"
  sox -R "$S/pcm.wav" "$S/seed1.au"
  "$TOOLS/gen_library" "$S" "$SONGS" "$COUNT" >&2
  echo "$STAMP" > "$LIB/stamp"
fi
mkdir -p "$EMPTY_GAME/Songs"
FILES=$(find "$SONGS" -type f | wc -l)
log "library: $FILES files, $(du -sh "$SONGS" | cut -f1)"

# --- timing -----------------------------------------------------------------
# Runs "$@" once untimed, then RUNS times; prints the medians of the wall
# time and of the CPU time (user + system) in seconds. The CPU time is the
# steadier figure on a busy machine; the requirement is judged on wall time.
median_of() {
  "$@" >/dev/null 2>&1
  local TIMEFORMAT='%R %U %S' i out
  out=$(for ((i = 0; i < RUNS; i++)); do { time "$@" >/dev/null 2>&1; } 2>&1; done)
  local mid=$(( (RUNS + 1) / 2 ))
  printf '%s %s\n' \
    "$(awk '{print $1}' <<<"$out" | sort -n | sed -n "${mid}p")" \
    "$(awk '{printf "%.3f\n", $2 + $3}' <<<"$out" | sort -n | sed -n "${mid}p")"
}
syscalls_per_file() {  # prints total system calls / FILES of "$@"
  local out=$LIB/strace.txt
  strace -c -f -o "$out" "$@" >/dev/null 2>&1 || true
  awk -v n="$FILES" '$NF == "total" {printf "%.1f", $4 / n; exit}' "$out"
}
row() { printf '%-46s %8s %8s\n' "$1" "$2" "$3"; }

row "measurement (median of $RUNS, warm cache)" "wall s" "cpu s"
read -r WALK WALK_CPU < <(median_of "$TOOLS/taglib_walk" "$SONGS")
row "(a) TagLib-only walk, stock FileRef" "$WALK" "$WALK_CPU"
read -r TAGS TAGS_CPU < <(median_of "$TOOLS/readtags_walk" "$SONGS")
row "readTags over one walk (no scan, no host)" "$TAGS" "$TAGS_CPU"
read -r MEDIA MEDIA_CPU < <(median_of "$TOOLS/readtags_walk" "$SONGS" media)
row "MediaTags only over one walk" "$MEDIA" "$MEDIA_CPU"

HOST=$BUILD/kestro-host
SCAN=""
if [[ -x $HOST && -f $BUILD/libkestro.so ]]; then
  printf 'tick\nquit\n' > "$LIB/scan.scenario"
  # The scan needs no sound devices: the host starts without them.
  run_host() { "$HOST" --game-dir "$1" --scenario "$LIB/scan.scenario" --transcript "$LIB/transcript.txt" \
    --mci none --stream none; }
  if ! run_host "$GAME" >/dev/null 2>&1; then
    log "kestro-host failed; see $LIB/transcript.txt"
  else
    read -r SCAN SCAN_CPU < <(median_of run_host "$GAME")
    read -r BASE BASE_CPU < <(median_of run_host "$EMPTY_GAME")
    row "(b) Kestro full scan: kestro-host, tick+quit" "$SCAN" "$SCAN_CPU"
    row "    kestro-host with an empty Songs folder" "$BASE" "$BASE_CPU"
  fi
else
  log "no kestro-host in $BUILD: the host scan is skipped (set KESTRO_BUILD_DIR)"
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
printf 'ratio readTags walk / TagLib walk: %s (cpu %s)\n' "$(ratio "$TAGS" "$WALK")" "$(ratio "$TAGS_CPU" "$WALK_CPU")"
STATUS=0
if [[ -n $SCAN ]]; then
  R=$(ratio "$SCAN" "$WALK")
  NET=$(ratio "$(awk -v a="$SCAN" -v b="$BASE" 'BEGIN {print a - b}')" "$WALK")
  # The bound is on the scan itself: the host's own start-up (its libraries
  # and the plug-in, about 0.02 s) is no part of the scan.
  printf 'ratio Kestro scan / TagLib walk: %s without the host start-up (with it %s, cpu %s); required <= %s\n' \
    "$NET" "$R" "$(ratio "$SCAN_CPU" "$WALK_CPU")" "$MAX_RATIO"
  if awk -v r="$NET" -v m="$MAX_RATIO" 'BEGIN {exit !(r > m)}'; then
    log "FAIL: the scan is slower than $MAX_RATIO x the TagLib-only walk"
    STATUS=1
  fi
fi

if [[ $STRACE == 1 ]]; then
  printf 'system calls per file (strace -c -f): TagLib walk %s, readTags walk %s' \
    "$(syscalls_per_file "$TOOLS/taglib_walk" "$SONGS")" \
    "$(syscalls_per_file "$TOOLS/readtags_walk" "$SONGS")"
  if [[ -n $SCAN ]]; then
    printf ', Kestro scan through the host %s' "$(syscalls_per_file "$HOST" --game-dir "$GAME" \
      --scenario "$LIB/scan.scenario" --transcript "$LIB/transcript.txt" --mci none --stream none)"
  fi
  printf '\n'
fi
"$TOOLS/readtags_walk" "$SONGS" | sed 's/^/readTags walk: /'

# --- MP3 files without a VBR header -------------------------------------------
# 100 files of 180 s (three seeds of pink noise whose level changes every
# few seconds, lame -V 2, copied), once with lame -t (no Xing header: timed
# by frame count) and once with the Xing header (timed by it): the difference
# is the cost of counting the frames.
if [[ $VBR == 1 ]]; then
  V=$LIB/vbr
  if [[ ! -f $V/stamp ]]; then
    log "making 2 x 100 VBR files of 180 s in $V"
    rm -rf "$V"
    mkdir -p "$V/noheader" "$V/xing"
    for i in 1 2 3; do
      parts=()
      for ((k = 0; k < 18; k++)); do
        sox -R -n -r 44100 -c 2 -b 16 "$V/part$k.wav" synth 10 pinknoise vol "0.$(( (k * 7 + i * 3) % 9 + 1 ))"
        parts+=("$V/part$k.wav")
      done
      sox "${parts[@]}" "$V/seed$i.wav"
      rm -f "$V"/part*.wav
      lame --quiet -V 2 -t "$V/seed$i.wav" "$V/seed$i-noheader.mp3"
      lame --quiet -V 2 "$V/seed$i.wav" "$V/seed$i-xing.mp3"
      rm -f "$V/seed$i.wav"
    done
    for ((n = 0; n < 100; n++)); do
      s=$(( n % 3 + 1 ))
      cp "$V/seed$s-noheader.mp3" "$V/noheader/$n.mp3"
      cp "$V/seed$s-xing.mp3" "$V/xing/$n.mp3"
    done
    echo done > "$V/stamp"
  fi
  read -r NOHDR NOHDR_CPU < <(median_of "$TOOLS/readtags_walk" "$V/noheader" media)
  read -r XING XING_CPU < <(median_of "$TOOLS/readtags_walk" "$V/xing" media)
  row "100 VBR mp3 (180 s, $(du -sh "$V/noheader" | cut -f1)) without VBR header" "$NOHDR" "$NOHDR_CPU"
  row "the same 100 with a Xing header" "$XING" "$XING_CPU"
  printf 'frame counting: %s ms per 180 s file (cpu %s ms)\n' \
    "$(awk -v a="$NOHDR" -v b="$XING" 'BEGIN {printf "%.2f", (a - b) * 10}')" \
    "$(awk -v a="$NOHDR_CPU" -v b="$XING_CPU" 'BEGIN {printf "%.2f", (a - b) * 10}')"
fi

# --- hostile files -------------------------------------------------------------
if [[ $HOSTILE == 1 ]]; then
  build_tool hostile_bench "$ROOT/bench/tools/hostile_bench.cpp" "${MEDIA_SOURCES[@]}"
  "$TOOLS/hostile_bench" "$LIB/hostile"
fi
exit $STATUS
