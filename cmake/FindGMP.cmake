# Finds GMP with its C++ interface and provides the imported target GMP::gmpxx.
# Tries pkg-config (gmpxx) first, then the headers and libraries directly.
include(FindPackageHandleStandardArgs)

if(NOT TARGET GMP::gmpxx)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PC_GMPXX QUIET gmpxx)
  endif()
  find_path(GMP_INCLUDE_DIR NAMES gmpxx.h HINTS ${PC_GMPXX_INCLUDE_DIRS})
  find_library(GMPXX_LIBRARY NAMES gmpxx HINTS ${PC_GMPXX_LIBRARY_DIRS})
  find_library(GMP_LIBRARY NAMES gmp HINTS ${PC_GMPXX_LIBRARY_DIRS})
endif()

find_package_handle_standard_args(GMP
  REQUIRED_VARS GMPXX_LIBRARY GMP_LIBRARY GMP_INCLUDE_DIR
  FAIL_MESSAGE "GMP with its C++ interface was not found. On Debian or Ubuntu install it with: apt-get install libgmp-dev")

if(GMP_FOUND AND NOT TARGET GMP::gmpxx)
  add_library(GMP::gmp UNKNOWN IMPORTED)
  set_target_properties(GMP::gmp PROPERTIES
    IMPORTED_LOCATION "${GMP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GMP_INCLUDE_DIR}")
  add_library(GMP::gmpxx UNKNOWN IMPORTED)
  set_target_properties(GMP::gmpxx PROPERTIES
    IMPORTED_LOCATION "${GMPXX_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GMP_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES GMP::gmp)
endif()
mark_as_advanced(GMP_INCLUDE_DIR GMPXX_LIBRARY GMP_LIBRARY)
