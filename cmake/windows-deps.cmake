# libcurl (Schannel), libarchive (ZIP with zlib) and libsodium, built statically
# for the target by scripts/build-windows-deps.sh into VELMORA_WIN_DEPS.
foreach(lib curl archive sodium)
  if(NOT EXISTS "${VELMORA_WIN_DEPS}/lib/lib${lib}.a")
    message(FATAL_ERROR "lib${lib}.a not found in ${VELMORA_WIN_DEPS}/lib: run scripts/build-windows-deps.sh")
  endif()
endforeach()

# DLLs that are not Known DLLs would be looked for beside the program first, and
# the program usually runs from Downloads. Imported with delayed loading, they
# load on first use, after main() has limited the search to the system folder.
find_program(VELMORA_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool REQUIRED)
find_program(VELMORA_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
find_program(VELMORA_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)
set(delayed_libs)
foreach(dll bcrypt crypt32 winhttp)
  set(lib "${CMAKE_BINARY_DIR}/delayed/lib${dll}_delayed.a")
  add_custom_command(OUTPUT "${lib}"
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/delayed-import.sh" "${VELMORA_NM}" "${VELMORA_DLLTOOL}"
            "/usr/x86_64-w64-mingw32/lib/lib${dll}.a" "${dll}.dll" "${lib}"
    DEPENDS "${CMAKE_CURRENT_LIST_DIR}/delayed-import.sh" VERBATIM)
  list(APPEND delayed_libs "${lib}")
endforeach()
add_custom_target(velmora_delayed_imports DEPENDS ${delayed_libs})
add_library(velmora_delayed_dlls INTERFACE)
add_dependencies(velmora_delayed_dlls velmora_delayed_imports)
target_link_libraries(velmora_delayed_dlls INTERFACE ${delayed_libs} delayimp)

add_library(velmora_curl STATIC IMPORTED)
set_target_properties(velmora_curl PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libcurl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "velmora_delayed_dlls;ws2_32;advapi32")

add_library(velmora_archive STATIC IMPORTED)
set_target_properties(velmora_archive PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libarchive.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS LIBARCHIVE_STATIC
  # The static zlib: the program must not need zlib1.dll.
  INTERFACE_LINK_LIBRARIES "/usr/x86_64-w64-mingw32/lib/libz.a;velmora_delayed_dlls;advapi32")

# SODIUM_STATIC: without it the header declares every function as a DLL import.
add_library(velmora_sodium STATIC IMPORTED)
set_target_properties(velmora_sodium PROPERTIES
  IMPORTED_LOCATION "${VELMORA_WIN_DEPS}/lib/libsodium.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_WIN_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
  INTERFACE_LINK_LIBRARIES "advapi32")

# Single entries fetched alone are inflated with zlib itself.
add_library(velmora_zlib STATIC IMPORTED)
set_target_properties(velmora_zlib PROPERTIES IMPORTED_LOCATION "/usr/x86_64-w64-mingw32/lib/libz.a")

set(VELMORA_THIRD_PARTY velmora_curl velmora_archive velmora_sodium velmora_zlib velmora_delayed_dlls shell32 ole32 uuid user32)
