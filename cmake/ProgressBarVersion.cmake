# The version macros live in a header of their own, written by hand, so that
# a program can test them whether it found the library in a build tree, an
# install or a copy of the sources. This check keeps them equal to project()'s
# version: a bump that changes one and not the other stops the configure.
#
#   progressbar_check_version_header(HEADER VERSION)
#
# Fails with a message naming both when HEADER's PROGRESSBAR_VERSION_MAJOR,
# _MINOR, _PATCH or PROGRESSBAR_VERSION (a string) do not say VERSION
# (MAJOR.MINOR.PATCH).
function(progressbar_check_version_header header version)
  file(STRINGS "${header}" lines REGEX "^#define PROGRESSBAR_VERSION")
  set(said "")
  foreach(part IN ITEMS MAJOR MINOR PATCH)
    set(value "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^#define PROGRESSBAR_VERSION_${part}[ \t]+([0-9]+)[ \t]*$")
        set(value "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(value STREQUAL "")
      message(FATAL_ERROR "${header} does not define PROGRESSBAR_VERSION_${part} as a number")
    endif()
    list(APPEND said "${value}")
  endforeach()
  list(JOIN said "." numbers)
  set(string "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^#define PROGRESSBAR_VERSION[ \t]+\"([^\"]*)\"[ \t]*$")
      set(string "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT numbers STREQUAL version OR NOT string STREQUAL version)
    message(FATAL_ERROR "${header} says version ${numbers} (\"${string}\"), CMakeLists.txt's "
                        "project() says ${version}: make them the same")
  endif()
endfunction()
