// The library's version, as macros a program can test before it compiles
// anything else, and the same as the CMake package's and pkg-config's (the
// build stops when this file and the version in CMakeLists.txt disagree).
//
//   #include <System/ProgressBar/Version.hpp>   // or <System/ProgressBar.hpp>
//   #if PROGRESSBAR_VERSION_MAJOR < 2
//   #error "this program needs System::ProgressBar 2 or later"
//   #endif
//   std::puts("built with System::ProgressBar " PROGRESSBAR_VERSION);
//
// The major version changes when a program that built against the previous
// one may no longer build or behave the same; the minor one when something
// is added; the patch one for a fix.
#pragma once

/// The major version: a program written for an earlier one may need changes.
#define PROGRESSBAR_VERSION_MAJOR 2
/// The minor version: additions since the last major one.
#define PROGRESSBAR_VERSION_MINOR 0
/// The patch version: fixes since the last minor one.
#define PROGRESSBAR_VERSION_PATCH 0
/// The version as a string literal, "MAJOR.MINOR.PATCH".
#define PROGRESSBAR_VERSION "2.0.0"
