#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# KESTRO_WERROR=ON in the environment makes every compiler warning an error
# (CI sets it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
werror="-DKESTRO_WERROR=${KESTRO_WERROR:-OFF}"
if [[ "${1:-}" == "--sanitize" ]]; then
  dir="$root/build-asan"
  "$root/scripts/build.sh" "$dir" "$werror" -DKESTRO_SANITIZE=ON -DKESTRO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir="$root/build"
  "$root/scripts/build.sh" "$dir" "$werror"
fi
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
