# A module's file version, stated once in the build.
#
#   cryptlib_file_version(<target> <major.minor.release.build> [DESCRIPTION <text>])
#
# On Windows the target gets a VERSIONINFO resource (cmake/version.rc.in,
# compiled by windres) that GetFileVersionInfo reads. On ELF systems the
# version is a note that a source states with CRYPTLIB_FILE_VERSION
# (platform/file_version.h); a build that wants both passes the same numbers
# to that source as compile definitions (mplug/fake/CMakeLists.txt does).
# Elsewhere the call only checks the numbers.
set(CRYPTLIB_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(cryptlib_file_version target version)
  cmake_parse_arguments(FILE_VERSION "" "DESCRIPTION" "" ${ARGN})
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "cryptlib_file_version(${target}): '${version}' is not major.minor.release.build")
  endif()
  set(numbers ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
  foreach(number IN LISTS numbers)
    if(number GREATER 65535)
      message(FATAL_ERROR "cryptlib_file_version(${target}): ${number} does not fit 16 bits")
    endif()
  endforeach()
  if(NOT WIN32)
    return()
  endif()
  set(CRYPTLIB_RC_VERSION ${version})
  string(REPLACE "." "," CRYPTLIB_RC_VERSION_COMMAS ${version})
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(CRYPTLIB_RC_INTERNAL_NAME ${output_name})
  set(CRYPTLIB_RC_FILE_NAME ${output_name}.dll)
  set(CRYPTLIB_RC_DESCRIPTION "${FILE_VERSION_DESCRIPTION}")
  if(NOT CRYPTLIB_RC_DESCRIPTION)
    set(CRYPTLIB_RC_DESCRIPTION ${output_name})
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CRYPTLIB_VERSION_RC_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
