# shellcheck shell=bash disable=SC2034,SC2154  # the arrays are the callers'; they set `log`
# Sourced by the dependency builds: Debian's source packages through apt-get, and a quiet
# build with its log. The caller sets `log` (a file) before calling run.

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

# The source version of an installed binary package, or nothing.
src_version() { dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null || true; }

# Makes "source=version" arguments fetchable with apt-get source: deb-src entries sit beside
# the machine's own files.
ensure_deb_src() {
  local pair missing=0
  for pair in "$@"; do
    apt-cache showsrc "${pair%%=*}" 2>/dev/null | grep -qx "Version: ${pair#*=}" || missing=1
  done
  if [ "$missing" = 1 ]; then
    if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
          $sudo_cmd tee /etc/apt/sources.list.d/velmora-deb-src.sources >/dev/null
      else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
          $sudo_cmd tee /etc/apt/sources.list.d/velmora-deb-src.list >/dev/null
      fi
    fi
    $sudo_cmd apt-get update -qq
  fi
  command -v dpkg-source >/dev/null || $sudo_cmd apt-get install -y -qq dpkg-dev
}

# What both builds leave out: libcurl speaks HTTP and HTTPS only (the caller names the TLS
# library), libarchive reads ZIP with zlib and writes to disk, nothing else.
curl_minimal=(-DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DHTTP_ONLY=ON
  -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF
  -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF
  -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON)
archive_minimal=(-DENABLE_ZLIB=ON
  -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_OPENSSL=OFF -DENABLE_CNG=OFF
  -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF
  -DENABLE_BZip2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF
  -DENABLE_LIBGCC=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF
  -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_TEST=OFF)

run() {
  if ! "$@" >>"$log" 2>&1; then
    echo "$(basename "$0"): failed: $*" >&2
    tail -n 40 "$log" >&2
    echo "$(basename "$0"): full log in $log" >&2
    exit 1
  fi
}
