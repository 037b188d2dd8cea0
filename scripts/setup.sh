#!/usr/bin/env bash
# Installs every Debian package Kestro needs to build, test and run its demo.
# Idempotent: when everything is installed it does nothing and says nothing.
# With --fuzz it also installs clang and its runtime for the fuzz targets.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libtag1-dev libmpv-dev libncurses-dev
  sox lame ffmpeg tmux strace zip zlib1g-dev
  icecast2
  ladspa-sdk
)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
