#!/usr/bin/env bash
# Installs every Debian package the project needs (only what is missing)
# and configures and builds the given build folder.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build ccache pkg-config git python3 openssl gzip lz4
  qt6-base-dev libqt6sql6-sqlite libsqlite3-dev sqlite3
  libssl-dev zlib1g-dev liblz4-dev librsync-dev rdiff libisal-dev isal
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  iproute2 util-linux btrfs-progs python3-zeroconf
  e2fsprogs libext2fs-dev fdisk libblkid-dev
  lvm2
  restic borgbackup
  faketime
  lld
  libxxhash-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ $# -ge 1 ] || exit 0
source scripts/ccache_env.sh
build_dir=$1
shift
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# KVN_BUILD_TARGETS narrows the build (the main job needs only the agent and
# the simulator); everything by default.
# shellcheck disable=SC2086
ninja -C "$build_dir" ${KVN_BUILD_TARGETS:-}
