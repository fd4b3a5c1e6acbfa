# Turns install/packages.txt into generated/package_table.h (kPackages and
# kStudioPackage), so the launcher and tools/publish.py read one table.
set(_table "${CMAKE_CURRENT_SOURCE_DIR}/install/packages.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_table}")
file(STRINGS "${_table}" _lines)
set(_rows "")
set(_count 0)
set(_studio "")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^#" OR _line STREQUAL "")
    continue()
  endif()
  if(NOT _line MATCHES "^([A-Za-z0-9._-]+) +([A-Za-z0-9._/-]+)( +studio)? *$")
    message(FATAL_ERROR "install/packages.txt: cannot read the row '${_line}'")
  endif()
  set(_destination "${CMAKE_MATCH_2}")
  if(_destination STREQUAL ".")
    set(_destination "")
  endif()
  if(CMAKE_MATCH_3)
    if(NOT _studio STREQUAL "")
      message(FATAL_ERROR "install/packages.txt: more than one studio row")
    endif()
    set(_studio "{\"${CMAKE_MATCH_1}\", \"${_destination}\"}")
  else()
    string(APPEND _rows "    {\"${CMAKE_MATCH_1}\", \"${_destination}\"},\n")
    math(EXPR _count "${_count} + 1")
  endif()
endforeach()
if(_studio STREQUAL "" OR _count EQUAL 0)
  message(FATAL_ERROR "install/packages.txt: needs player rows and one studio row")
endif()
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/generated/package_table.h" CONTENT
"// Made by CMake from install/packages.txt; edit that file instead.
#pragma once

namespace velmora {
inline constexpr std::array<Package, ${_count}> kPackages = {{
${_rows}}};
inline constexpr Package kStudioPackage = ${_studio};
}  // namespace velmora
" @ONLY)
