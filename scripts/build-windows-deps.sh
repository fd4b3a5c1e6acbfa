#!/usr/bin/env bash
# Builds static libcurl, libarchive and libsodium for x86_64-w64-mingw32 from
# Debian's source packages into ${VELMORA_WIN_DEPS:-$HOME/.cache/velmora/win-deps}.
# Versions follow the host's -dev packages so both builds see the same headers.
# libcurl and libarchive share one stamp, libsodium has its own: a cache made
# before libsodium was needed only gains libsodium.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="${VELMORA_WIN_DEPS:-$HOME/.cache/velmora/win-deps}"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
sysroot=/usr/x86_64-w64-mingw32
stamp="$prefix/.velmora-deps-stamp"
sodium_stamp="$prefix/.velmora-sodium-stamp"
# shellcheck source=scripts/debian-source.sh
. "$root/scripts/debian-source.sh"
curl_ver="$(src_version libcurl4-openssl-dev)"
archive_ver="$(src_version libarchive-dev)"
sodium_ver="$(src_version libsodium-dev)"
if [ -z "$curl_ver" ] || [ -z "$archive_ver" ] || [ -z "$sodium_ver" ]; then
  echo "build-windows-deps: run scripts/install-deps.sh first" >&2
  exit 1
fi
# Bump "recipe" when the build flags below change, to force a rebuild.
want="curl=$curl_ver libarchive=$archive_ver recipe=1"
want_sodium="libsodium=$sodium_ver recipe=1"
need_main=1
need_sodium=1
if [ -f "$prefix/lib/libcurl.a" ] && [ -f "$prefix/lib/libarchive.a" ] &&
   [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
  need_main=0
fi
if [ "$need_main" = 0 ] && [ -f "$prefix/lib/libsodium.a" ] &&
   [ "$(cat "$sodium_stamp" 2>/dev/null)" = "$want_sodium" ]; then
  need_sodium=0
fi
if [ "$need_main" = 0 ] && [ "$need_sodium" = 0 ]; then
  echo "Windows deps up to date in $prefix"
  exit 0
fi

ensure_deb_src "curl=$curl_ver" "libsodium=$sodium_ver"

work="$(dirname "$prefix")/win-deps-build"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
log="$work/build.log"

stage="$work/stage"
jobs="$(nproc)"

build_curl_and_archive() {
  echo "Building static libcurl $curl_ver and libarchive $archive_ver for Windows (log: $log)"
  run apt-get source -qq "curl=$curl_ver" "libarchive=$archive_ver"
  curl_src="$(find . -maxdepth 1 -type d -name 'curl-*' | head -n1)"
  archive_src="$(find . -maxdepth 1 -type d -name 'libarchive-*' | head -n1)"

  common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
          -DCMAKE_INSTALL_PREFIX="$stage" -DBUILD_SHARED_LIBS=OFF -Wno-dev)

  # "none" keeps the build host's CA paths out of the library; Schannel uses the Windows store.
  run cmake -S "$curl_src" -B curl-build "${common[@]}" "${curl_minimal[@]}" \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DUSE_WIN32_IDN=OFF -DUSE_WIN32_LDAP=OFF
  run cmake --build curl-build -j "$jobs"
  run cmake --install curl-build
  # Their paths point into the stage dir; the CMake package files are relative.
  rm -rf "${stage:?}/bin" "${stage:?}/lib/pkgconfig"

  # Preset ZLIB_WINAPI*: CMake 3.25 crashes in that run check when cross-compiling.
  # ENABLE_LIBGCC=OFF aborts configure unless POSIX_REGEX_LIB=NONE.
  run cmake -S "$archive_src" -B archive-build "${common[@]}" "${archive_minimal[@]}" \
    -DZLIB_LIBRARY="$sysroot/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include" \
    -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB="$sysroot/lib/libz.a" \
    -DPOSIX_REGEX_LIB=NONE -DENABLE_ICONV=OFF
  run cmake --build archive-build --target archive_static -j "$jobs"
  cp archive-build/libarchive/libarchive_static.a "$stage/lib/libarchive.a"
  cp "$archive_src"/libarchive/archive.h "$archive_src"/libarchive/archive_entry.h "$stage/include/"

  # Replace the prefix whole, so a failed build never leaves a half-updated one.
  echo "$want" >"$stage/.velmora-deps-stamp"
  rm -rf "$prefix"
  mv "$stage" "$prefix"
}

build_sodium() {
  echo "Building static libsodium $sodium_ver for Windows (log: $log)"
  run apt-get source -qq "libsodium=$sodium_ver"
  local src sodium_stage="$work/sodium-stage"
  src="$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -n1)"
  (
    cd "$src"
    # Debian's source carries no configure script; it is made as Debian's build makes it.
    run autoreconf -fi
    # Without the stack protector, which would need libssp in every program that links it.
    run ./configure --host=x86_64-w64-mingw32 --prefix="$sodium_stage" \
      --disable-shared --enable-static --disable-ssp
    run make -j "$jobs"
    run make install
  )
  # Stamp last: a copy cut off half way is made again by the next run.
  rm -f "$sodium_stamp"
  rm -rf "$prefix/include/sodium" "$prefix/include/sodium.h" "$prefix/lib/libsodium.a"
  cp -r "$sodium_stage/include/sodium" "$sodium_stage/include/sodium.h" "$prefix/include/"
  cp "$sodium_stage/lib/libsodium.a" "$prefix/lib/"
  echo "$want_sodium" >"$sodium_stamp"
}

[ "$need_main" = 0 ] || build_curl_and_archive
build_sodium
cd /
rm -rf "$work"
echo "Windows deps ready in $prefix"
