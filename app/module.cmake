# The version the Windows resources carry (and the packages are named after): the project's.
# Parts the project version leaves out count as 0.
foreach(part MINOR PATCH TWEAK)
  set(TOVREL_VERSION_${part} "${PROJECT_VERSION_${part}}")
  if(TOVREL_VERSION_${part} STREQUAL "")
    set(TOVREL_VERSION_${part} 0)
  endif()
endforeach()
set(TOVREL_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR}.${TOVREL_VERSION_MINOR}.${TOVREL_VERSION_PATCH}.${TOVREL_VERSION_TWEAK}")
configure_file("${CMAKE_SOURCE_DIR}/app/win32/tovrel_version.h.in" "${CMAKE_BINARY_DIR}/generated/tovrel_version.h"
               @ONLY)
# windres does not report what a script includes: rebuild the resources when those files change.
set_source_files_properties("${CMAKE_SOURCE_DIR}/app/win32/tovrel_radio.rc" PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/app/win32/tovrel_radio.ico;${CMAKE_SOURCE_DIR}/app/win32/tovrel_radio.manifest;${CMAKE_BINARY_DIR}/generated/tovrel_version.h")
