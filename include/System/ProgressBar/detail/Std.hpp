// Internal: the parts of the standard library the public headers use. Do not
// include this file directly.
//
// With libstdc++, <functional>, <ranges> and C++20's <chrono> bring far more
// than std::function, the range concepts and the clocks (the searchers' hash
// tables, every view, string streams for the calendar's output). Its own
// headers of just those parts keep every translation unit that includes this
// library small; with any other standard library the standard headers stand.
#pragma once

#include <version>

#if defined(__GLIBCXX__) && __has_include(<bits/std_function.h>) && \
    __has_include(<bits/chrono.h>) && __has_include(<bits/ranges_base.h>)
#include <bits/chrono.h>
#include <bits/ranges_base.h>
#include <bits/std_function.h>
#else
#include <chrono>
#include <functional>
#include <iterator>
#include <ranges>
#endif

// The templates' instantiations for the default custom type are compiled
// into the library once; every other translation unit uses those instead of
// compiling them again. The one source file that compiles them defines
// PROGRESSBAR_INSTANTIATE before it includes anything.
#ifdef PROGRESSBAR_INSTANTIATE
#define PROGRESSBAR_EXTERN_TEMPLATE template
#else
#define PROGRESSBAR_EXTERN_TEMPLATE extern template
#endif
