#!/usr/bin/env bash
# Installs every Debian package Kestro needs to build, test and run its demo.
# Idempotent: when everything is installed it does nothing and says nothing.
# With --fuzz it also installs clang and its runtime for the fuzz targets.
# A package lock held by another process (another setup, an unattended
# upgrade) is waited for, up to KESTRO_APT_LOCK_WAIT seconds (default 600).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libtag1-dev libmpv-dev libncurses-dev
  sox lame ffmpeg tmux strace zip zlib1g-dev
  icecast2
  ladspa-sdk
  # The locale sources: a test builds de_DE.UTF-8 with localedef.
  locales
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
lock_wait=${KESTRO_APT_LOCK_WAIT:-600}

# apt-get, quiet unless it fails. dpkg's lock is waited for by apt-get
# itself (DPkg::Lock::Timeout); the package lists' and the archives' locks
# are not, so a run that found one of them held is tried again until the
# wait is over.
apt_get() {
  local deadline=$((SECONDS + lock_wait)) out
  while true; do
    if out=$($SUDO apt-get -q -o DPkg::Lock::Timeout="$lock_wait" "$@" 2>&1); then return 0; fi
    if grep -q "Could not get lock" <<<"$out" && ((SECONDS < deadline)); then
      sleep 5
      continue
    fi
    printf '%s\n' "$out" >&2
    return 1
  done
}

apt_get update
apt_get install -y --no-install-recommends "${missing[@]}"
