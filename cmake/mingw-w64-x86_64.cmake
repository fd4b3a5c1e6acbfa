# Cross-compiles for 64-bit Windows with Debian's mingw-w64.
# The -posix compilers are needed for std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_velmora_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${_velmora_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_velmora_triplet}-g++-posix)
set(CMAKE_RC_COMPILER  ${_velmora_triplet}-windres)
set(CMAKE_AR           ${_velmora_triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${_velmora_triplet}-ranlib CACHE FILEPATH "")

# Where scripts/build-windows-deps.sh installs libcurl and libarchive.
if(DEFINED ENV{VELMORA_WIN_DEPS} AND NOT "$ENV{VELMORA_WIN_DEPS}" STREQUAL "")
  set(VELMORA_WIN_DEPS "$ENV{VELMORA_WIN_DEPS}" CACHE PATH "Windows dependency prefix")
else()
  set(VELMORA_WIN_DEPS "$ENV{HOME}/.cache/velmora/win-deps" CACHE PATH "Windows dependency prefix")
endif()
# try_compile projects re-read this file without our cache; pass the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${_velmora_triplet} ${VELMORA_WIN_DEPS})
# Host programs (windres, python) from the host; headers and libraries never.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(ZLIB) would otherwise pick libz.dll.a and need zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# Fold libgcc, libstdc++ and winpthread into the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
