# The check that keeps Version.hpp and project()'s version equal, on headers
# that agree and on the ways they come apart.
#
#   cmake -DMODULE=cmake/ProgressBarVersion.cmake -P tests/tools/version_header_test.cmake
if(DEFINED HEADER)  # one case, in a cmake of its own: a failure ends it
  include("${MODULE}")
  progressbar_check_version_header("${HEADER}" "${VERSION}")
  return()
endif()

set(dir "${CMAKE_CURRENT_BINARY_DIR}/version_header_test")
file(REMOVE_RECURSE "${dir}")
file(MAKE_DIRECTORY "${dir}")
set(failures 0)
set(n 0)
# check(EXPECT VERSION LINE...): a header of LINEs checked against VERSION.
function(check expect version)
  math(EXPR n "${n} + 1")
  set(n ${n} PARENT_SCOPE)
  list(JOIN ARGN "\n" text)
  file(WRITE "${dir}/${n}.hpp" "#pragma once\n${text}\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -DMODULE=${MODULE} -DHEADER=${dir}/${n}.hpp
                          -DVERSION=${version} -P "${CMAKE_CURRENT_LIST_FILE}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0)
    set(got pass)
  else()
    set(got fail)
  endif()
  if(NOT got STREQUAL expect)
    message(SEND_ERROR "case ${n}: expected ${expect}, got ${got} for ${version} and\n${text}\n${out}")
    math(EXPR failures "${failures} + 1")
    set(failures ${failures} PARENT_SCOPE)
  endif()
endfunction()

set(major "#define PROGRESSBAR_VERSION_MAJOR 2")
set(minor "#define PROGRESSBAR_VERSION_MINOR 0")
set(patch "#define PROGRESSBAR_VERSION_PATCH 0")
set(string "#define PROGRESSBAR_VERSION \"2.0.0\"")
#     expect version  header
check(pass   2.0.0    "${major}" "${minor}" "${patch}" "${string}")
check(pass   2.0.0    "#define PROGRESSBAR_VERSION_MAJOR\t2" "${minor}" "${patch}" "${string}")
check(pass   2.0.0    "// #define PROGRESSBAR_VERSION_MAJOR 1" "${major}" "${minor}" "${patch}"
                      "${string}")
check(fail   2.1.0    "${major}" "${minor}" "${patch}" "${string}")
check(fail   2.0.0    "${major}" "#define PROGRESSBAR_VERSION_MINOR 1" "${patch}" "${string}")
check(fail   2.0.0    "${major}" "${minor}" "${patch}" "#define PROGRESSBAR_VERSION \"2.0.1\"")
check(fail   2.0.0    "${major}" "${minor}" "#define PROGRESSBAR_VERSION_PATCH 1" "${string}")
check(fail   2.0.0    "#define PROGRESSBAR_VERSION_MAJOR 20" "${minor}" "${patch}" "${string}")
check(fail   2.0.0    "${major}" "${minor}" "${string}")
check(fail   2.0.0    "${major}" "${minor}" "${patch}")
check(fail   2.0.0    "${major}" "${minor}" "${patch}" "#define PROGRESSBAR_VERSION 2.0.0")
check(fail   2.0.0    "${major}" "${minor}" "#define PROGRESSBAR_VERSION_PATCH x" "${string}")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${n} cases failed")
endif()
file(REMOVE_RECURSE "${dir}")
message(STATUS "version header: ${n} cases as expected")
