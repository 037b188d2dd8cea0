#!/usr/bin/env bash
# Configures and builds Kestro. Usage: scripts/build.sh [BUILD_DIR] [cmake options...]
# Prints the compiler's warnings, and the whole log when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
shift || true
mkdir -p "$dir"
cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
if ! ninja -C "$dir" -j"$(nproc)" >"$dir/build.log" 2>&1; then
  cat "$dir/build.log"
  exit 1
fi
grep -E 'warning:' "$dir/build.log" || true
