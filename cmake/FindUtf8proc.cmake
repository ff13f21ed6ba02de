# Finds utf8proc, the Unicode library that gives terminal column widths, and
# provides the imported target Utf8proc::utf8proc. Tries pkg-config
# (libutf8proc) first, then the header and library directly.
include(FindPackageHandleStandardArgs)

if(NOT TARGET Utf8proc::utf8proc)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PC_UTF8PROC QUIET libutf8proc)
  endif()
  find_path(UTF8PROC_INCLUDE_DIR NAMES utf8proc.h HINTS ${PC_UTF8PROC_INCLUDE_DIRS})
  find_library(UTF8PROC_LIBRARY NAMES utf8proc HINTS ${PC_UTF8PROC_LIBRARY_DIRS})
endif()

find_package_handle_standard_args(Utf8proc
  REQUIRED_VARS UTF8PROC_LIBRARY UTF8PROC_INCLUDE_DIR
  FAIL_MESSAGE "utf8proc was not found. On Debian or Ubuntu install it with: apt-get install libutf8proc-dev")

if(Utf8proc_FOUND AND NOT TARGET Utf8proc::utf8proc)
  add_library(Utf8proc::utf8proc UNKNOWN IMPORTED)
  set_target_properties(Utf8proc::utf8proc PROPERTIES
    IMPORTED_LOCATION "${UTF8PROC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")
endif()
mark_as_advanced(UTF8PROC_INCLUDE_DIR UTF8PROC_LIBRARY)
