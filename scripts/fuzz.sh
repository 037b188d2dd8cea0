#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (instrumenting the platform
# library too) and runs each for a while.
#   scripts/fuzz.sh [SECONDS]   default 120 seconds per target; 0 runs only
#                               the corpus, without mutation (deterministic,
#                               as CI does)
# Corpora live in build-fuzz/corpus-*; the shell-link one starts from the
# test shortcuts. A crash stops the run with libFuzzer's report and the
# crashing input in build-fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
"$root/scripts/setup.sh" --fuzz
dir="$root/build-fuzz"
mkdir -p "$dir"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DKESTRO_FUZZ=ON -DKESTRO_TESTS=OFF \
  -DKESTRO_BENCH=OFF -DCMAKE_CXX_FLAGS= >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
ninja -C "$dir" fuzz_shelllink fuzz_mediatags >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }

mkdir -p "$dir/corpus-shelllink" "$dir/corpus-mediatags"
cp -n "$root"/tests/data/lnk/*.lnk "$dir/corpus-shelllink/" 2>/dev/null || true
if [[ ! -e "$dir/corpus-mediatags/seed.mp3" ]]; then
  for ext in mp3 wma wav aif m4a au; do
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=0.2" \
      -metadata title=T -metadata artist=A -metadata album=B -metadata date=2008 \
      "$dir/corpus-mediatags/seed.$ext" || true
  done
fi
cd "$dir"
for target in fuzz_shelllink fuzz_mediatags; do
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
