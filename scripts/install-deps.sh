#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the Windows build need,
# from Debian's packages only. Safe to run again: apt-get skips what is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libcurl4-openssl-dev libssl-dev libarchive-dev libsodium-dev zlib1g-dev libgtest-dev googletest
  minisign
  python3 python3-pytest python3-cryptography openssl ca-certificates
  clang libclang-rt-14-dev clang-format
  libarchive-tools curl time strace tinyproxy procps iproute2 util-linux nginx
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 liblnk-utils icoutils osslsigncode
  dpkg-dev autoconf automake libtool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
