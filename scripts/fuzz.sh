#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (instrumenting the platform
# library too) and runs each for a while.
#   scripts/fuzz.sh [SECONDS]   default 120 seconds per target; 0 runs only
#                               the corpus, without mutation (deterministic,
#                               as CI does)
# Corpora live in build-fuzz/corpus-*; the shell-link one starts from the
# test shortcuts, the settings one from the demo's Kestro.ini, the scenario
# one from the demo tour, each with a few hand-made seeds. A crash stops the run with libFuzzer's report and the
# crashing input in build-fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
"$root/scripts/setup.sh" --fuzz
dir="$root/build-fuzz"
targets=(fuzz_shelllink fuzz_mediatags fuzz_ini fuzz_scenario)
mkdir -p "$dir"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DKESTRO_FUZZ=ON -DKESTRO_TESTS=OFF \
  -DKESTRO_BENCH=OFF -DCMAKE_CXX_FLAGS= >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
ninja -C "$dir" "${targets[@]}" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }

mkdir -p "$dir/corpus-shelllink" "$dir/corpus-mediatags" "$dir/corpus-ini" "$dir/corpus-scenario"
cp -n "$root"/tests/data/lnk/*.lnk "$dir/corpus-shelllink/" 2>/dev/null || true
if [[ ! -e "$dir/corpus-mediatags/seed.mp3" ]]; then
  for ext in mp3 wma wav aif m4a au; do
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=0.2" \
      -metadata title=T -metadata artist=A -metadata album=B -metadata date=2008 \
      "$dir/corpus-mediatags/seed.$ext" || true
  done
  # A VBR mp3 without a Xing header: its length comes from counting frames.
  ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=duration=0.5" -c:a libmp3lame -q:a 4 -write_xing 0 \
    "$dir/corpus-mediatags/seed-noxing.mp3" || true
  # FLAC, Ogg Vorbis and Opus, under their own names (the target's first
  # byte picks the name: 8 .flac, 9 .ogg, 10 .opus).
  for pick in '\x08 flac' '\x09 ogg' '\x0a opus'; do
    set -- $pick
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=0.2" -metadata title=T \
      -metadata date=2008 "$dir/xiph.$2" && { printf "$1"; cat "$dir/xiph.$2"; } >"$dir/corpus-mediatags/seed.$2" || true
  done
fi
# The settings target reads its first byte as the split of section and key
# lengths (low and high four bits, times four): 0x22 gives the section
# "Defaults" and the key "Volume  " (blanks around names do not count), 0x00
# none (the lookups of "Defaults" with "Volume" and "Url" still run on the
# text).
if [[ ! -e "$dir/corpus-ini/demo.ini" ]]; then
  { printf '\x00'; cat "$root/demo/Kestro.ini"; } >"$dir/corpus-ini/demo.ini"
  printf '\x22DefaultsVolume  \xEF\xBB\xBF[defaults]\r\n ; c\r\nVolume = "0x1F"\r\n[Defaults]\nVolume=9\n' >"$dir/corpus-ini/quotes.ini"
  printf '\x00[Defaults]\nVolume=-99999999999\nUrl=\x27http://127.0.0.1/a b\x27\n#x=1\n[' >"$dir/corpus-ini/edges.ini"
fi
if [[ ! -e "$dir/corpus-scenario/demo.scn" ]]; then
  cp "$root/demo/tour.scn" "$dir/corpus-scenario/demo.scn"
  printf 'tick\r\nwait 86400000\npress 0xB3 # media\nhold RCONTROL\nrelease f10\nvehicle -0x10\nvehicle 0x7fffffff\nfoot\ncontrol off\nfading on\ncutscene start\ncutscene end\nretune\nrandom -2147483648\nquit\n' \
    >"$dir/corpus-scenario/every.scn"
  printf 'tick 10000001\n' >"$dir/corpus-scenario/bad.scn"
fi
cd "$dir"
for target in "${targets[@]}"; do
  if [[ $seconds -eq 0 ]]; then
    echo "fuzz: $target over its corpus"
    limit=(-runs=0)
  else
    echo "fuzz: $target for ${seconds}s"
    limit=(-max_total_time="$seconds")
  fi
  if ! "./$target" "corpus-${target#fuzz_}" "${limit[@]}" -max_len=16384 \
      -print_final_stats=1 >"$target.log" 2>&1; then
    tail -n 60 "$target.log"
    exit 1
  fi
  grep -E 'DONE|stat::number_of_executed_units' "$target.log" || true
done
