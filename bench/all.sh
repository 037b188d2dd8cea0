#!/usr/bin/env bash
# Every performance figure of the player side by side, in one run and one
# table: the tick that starts a song in each accepted format (median of 21
# starts) beside a bare libmpv load of the same file (median of 60), the
# host's start-up to the end of its first tick, the three steady ticks
# (idle, playing, playing with the panel drawn), and the scan of 10000
# songs through the host against a TagLib-only walk of the same files
# (bench/scan_bench.sh).
#
#   bench/all.sh [BUILD_DIR]      (default build; kestro_bench and the host)
#
# Environment: SCAN=0 leaves the scan out (it builds a 10000-song library
# the first time, a few minutes); COUNT and RUNS go to scan_bench.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
BENCH=$BUILD/kestro_bench
[[ -x $BENCH ]] || { printf 'no %s: build the benchmarks first\n' "$BENCH" >&2; exit 2; }

OUT=$(mktemp)
trap 'rm -f "$OUT"' EXIT
"$BENCH" --benchmark_filter='^BM_(StartSongTick|MpvStartVersusBare|HostStartUpToFirstTick|IdleTick|PlayingTick|PlayingTickWithPanel)(/|$)' \
  --benchmark_counters_tabular=false >"$OUT" 2>/dev/null

# A benchmark's field: its counter NAME (median_ms=...), or with NAME "time"
# the mean time and its unit. BENCH is the name, or its start when it ends
# with "/".
field() {
  awk -v bench="$1" -v name="$2" '
    (bench ~ /\/$/ ? index($1, bench) == 1 : $1 == bench) {
      if (name == "time") { print $2 " " $3; exit }
      for (i = 1; i <= NF; i++) if (index($i, name "=") == 1) { print substr($i, length(name) + 2); exit }
    }' "$OUT"
}
ms() { awk -v v="$1" 'BEGIN { if (v == "") print "-"; else printf "%.2f ms", v }'; }

printf '%-44s %s\n' "measurement" "figure"
formats=(mp3 wav wma aif au m4a flac ogg opus)  # the last three with ExtraFormats=1
for i in "${!formats[@]}"; do
  printf '%-44s %s, 90th percentile %s (bare libmpv load %s)\n' "song start tick, ${formats[$i]} (median of 21)" \
    "$(ms "$(field "BM_StartSongTick/format:$i/" median_ms)")" "$(ms "$(field "BM_StartSongTick/format:$i/" p90_ms)")" \
    "$(ms "$(field "BM_MpvStartVersusBare/format:$i/" bare_ms)")"
done
printf '%-44s %s\n' "host start-up to its first tick (median of 15)" \
  "$(ms "$(field BM_HostStartUpToFirstTick/ median_ms)")"
printf '%-44s %s\n' "idle tick" "$(field BM_IdleTick time)"
printf '%-44s %s\n' "playing tick" "$(field BM_PlayingTick time)"
printf '%-44s %s\n' "playing tick with the panel" "$(field BM_PlayingTickWithPanel time)"

if [[ ${SCAN:-1} != 0 ]]; then
  SCAN_OUT=$(KESTRO_BUILD_DIR=$BUILD STRACE=0 VBR=0 "$ROOT/bench/scan_bench.sh" 2>/dev/null || true)
  printf '%-44s %s\n' "scan of ${COUNT:-10000} songs / TagLib walk" \
    "$(sed -n 's/^ratio Kestro scan \/ TagLib walk: //p' <<<"$SCAN_OUT")"
fi
