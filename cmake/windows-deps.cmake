# libcurl (Schannel), libarchive (ZIP with zlib) and libsodium, built statically
# for the target by scripts/build-windows-deps.sh into VELMORA_WIN_DEPS.
foreach(lib curl archive sodium)
  if(NOT EXISTS "${VELMORA_WIN_DEPS}/lib/lib${lib}.a")
    message(FATAL_ERROR "lib${lib}.a not found in ${VELMORA_WIN_DEPS}/lib: run scripts/build-windows-deps.sh")
  endif()
endforeach()

add_library(velmora_curl STATIC IMPORTED)
set_target_properties(velmora_curl PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libcurl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "bcrypt;crypt32;ws2_32;advapi32")

add_library(velmora_archive STATIC IMPORTED)
set_target_properties(velmora_archive PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libarchive.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS LIBARCHIVE_STATIC
  # The static zlib: the program must not need zlib1.dll.
  INTERFACE_LINK_LIBRARIES "/usr/x86_64-w64-mingw32/lib/libz.a;bcrypt;advapi32")

# SODIUM_STATIC: without it the header declares every function as a DLL import.
add_library(velmora_sodium STATIC IMPORTED)
set_target_properties(velmora_sodium PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libsodium.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
  INTERFACE_LINK_LIBRARIES "advapi32")

set(VELMORA_THIRD_PARTY velmora_curl velmora_archive velmora_sodium shell32 ole32 uuid user32)
