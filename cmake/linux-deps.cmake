# libcurl (HTTP and HTTPS through the system's OpenSSL) and libarchive (ZIP with
# zlib), built statically by scripts/build-linux-deps.sh into VELMORA_LINUX_DEPS,
# and Debian's static libsodium: the packaged shared libraries bring some twenty
# more that every start would load and relocate (bench/run.py, up-to-date start).
if(DEFINED ENV{VELMORA_LINUX_DEPS} AND NOT "$ENV{VELMORA_LINUX_DEPS}" STREQUAL "")
  set(VELMORA_LINUX_DEPS "$ENV{VELMORA_LINUX_DEPS}" CACHE PATH "Linux dependency prefix")
else()
  set(VELMORA_LINUX_DEPS "$ENV{HOME}/.cache/velmora/linux-deps" CACHE PATH "Linux dependency prefix")
endif()
foreach(lib curl archive)
  if(NOT EXISTS "${VELMORA_LINUX_DEPS}/lib/lib${lib}.a")
    message(FATAL_ERROR "lib${lib}.a not found in ${VELMORA_LINUX_DEPS}/lib: run scripts/build-linux-deps.sh")
  endif()
endforeach()

find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
find_library(VELMORA_SODIUM_STATIC NAMES libsodium.a REQUIRED)

add_library(velmora_curl STATIC IMPORTED)
set_target_properties(velmora_curl PROPERTIES
  IMPORTED_LOCATION "${VELMORA_LINUX_DEPS}/lib/libcurl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_LINUX_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads")

add_library(velmora_archive STATIC IMPORTED)
set_target_properties(velmora_archive PROPERTIES
  IMPORTED_LOCATION "${VELMORA_LINUX_DEPS}/lib/libarchive.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_LINUX_DEPS}/include"
  INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB")

add_library(velmora_sodium STATIC IMPORTED)
set_target_properties(velmora_sodium PROPERTIES
  IMPORTED_LOCATION "${VELMORA_SODIUM_STATIC}"
  INTERFACE_LINK_LIBRARIES "Threads::Threads")

# SHA-256 comes from libcrypto, which libcurl loads anyway; entries fetched
# alone are inflated with zlib itself.
set(VELMORA_THIRD_PARTY velmora_curl velmora_archive velmora_sodium OpenSSL::Crypto ZLIB::ZLIB)
