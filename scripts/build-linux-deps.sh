#!/usr/bin/env bash
# Builds static libcurl (HTTP and HTTPS through the system's OpenSSL, nothing else) and
# libarchive (zlib only, no ACLs or extended attributes) for the Linux builds from Debian's
# source packages into ${VELMORA_LINUX_DEPS:-$HOME/.cache/velmora/linux-deps}, reused by later
# builds. The packaged libraries bring about twenty more shared libraries (other protocols,
# formats and their dependencies) that every start would load and relocate.
# Versions follow the host's -dev packages, so both builds see the same headers.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="${VELMORA_LINUX_DEPS:-$HOME/.cache/velmora/linux-deps}"
stamp="$prefix/.velmora-deps-stamp"
# shellcheck source=scripts/debian-source.sh
. "$root/scripts/debian-source.sh"

curl_ver="$(src_version libcurl4-openssl-dev)"
archive_ver="$(src_version libarchive-dev)"
if [ -z "$curl_ver" ] || [ -z "$archive_ver" ]; then
  echo "build-linux-deps: run scripts/install-deps.sh first" >&2
  exit 1
fi
# Bump "recipe" when the build flags below change, to force a rebuild.
want="curl=$curl_ver libarchive=$archive_ver recipe=1"
if [ -f "$prefix/lib/libcurl.a" ] && [ -f "$prefix/lib/libarchive.a" ] &&
   [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
  echo "Linux deps up to date in $prefix"
  exit 0
fi
ensure_deb_src "curl=$curl_ver" "libarchive=$archive_ver"

work="$(dirname "$prefix")/linux-deps-build"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
log="$work/build.log"
stage="$work/stage"
jobs="$(nproc)"

echo "Building static libcurl $curl_ver and libarchive $archive_ver for Linux (log: $log)"
run apt-get source -qq "curl=$curl_ver" "libarchive=$archive_ver"
curl_src="$(find . -maxdepth 1 -type d -name 'curl-*' | head -n1)"
archive_src="$(find . -maxdepth 1 -type d -name 'libarchive-*' | head -n1)"
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage"
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON -Wno-dev)

# The CA store Debian's own libcurl uses.
run cmake -S "$curl_src" -B curl-build "${common[@]}" "${curl_minimal[@]}" \
  -DCURL_USE_OPENSSL=ON -DENABLE_THREADED_RESOLVER=ON \
  -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs
run cmake --build curl-build -j "$jobs"
run cmake --install curl-build
rm -rf "${stage:?}/bin" "${stage:?}/lib/pkgconfig" "${stage:?}/lib/cmake"

run cmake -S "$archive_src" -B archive-build "${common[@]}" "${archive_minimal[@]}"
run cmake --build archive-build --target archive_static -j "$jobs"
cp archive-build/libarchive/libarchive.a "$stage/lib/libarchive.a"
cp "$archive_src"/libarchive/archive.h "$archive_src"/libarchive/archive_entry.h "$stage/include/"

# Replace the prefix whole, so a failed build never leaves a half-updated one.
echo "$want" >"$stage/.velmora-deps-stamp"
rm -rf "$prefix"
mv "$stage" "$prefix"
cd /
rm -rf "$work"
echo "Linux deps ready in $prefix"
