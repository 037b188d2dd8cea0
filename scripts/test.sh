#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
if [[ "${1:-}" == "--sanitize" ]]; then
  dir="$root/build-asan"
  "$root/scripts/build.sh" "$dir" -DKESTRO_SANITIZE=ON -DKESTRO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir="$root/build"
  "$root/scripts/build.sh" "$dir"
fi
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
