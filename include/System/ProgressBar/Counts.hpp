// Labels that show the counts: the share done and the two counts.
#pragma once

#include <cstdint>

#include "System/ProgressBar/Label.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helpers of this header; each appends its text to `out`.
enum class PercentRounding { kNearestEven, kDown };
void appendPercentage(Text& out, std::int64_t done, std::int64_t todo, PercentRounding rounding);
void appendExact(Text& out, std::int64_t done, std::int64_t todo);
void appendCount(Text& out, std::int64_t done);

// A label whose text `append(out, done, todo)` writes from the two counts.
template <class Custom, class Append>
Label<Custom> countLabel(Append append) {
  auto node = [append](Text& out, const Progress<Custom>& p, const Timing&) {
    append(out, p.progressDone, p.progressTodo);
  };
  return Label<Custom>(makeNode<AppendingNode<Custom, decltype(node)>>(std::move(node)));
}
}  // namespace detail

/// The whole percent that done is of todo, rounded to nearest with ties to
/// even, right-aligned to 4 characters: " 30%", "100%", "150%", " -1%".
/// "100%" whenever todo is 0. Exact for every pair of 64-bit counts. Note that
/// 199 of 200 shows "100%"; `percentageFloor` never does before completion.
template <class Custom = std::monostate>
Label<Custom> percentage() {
  return detail::countLabel<Custom>([](Text& out, std::int64_t done, std::int64_t todo) {
    detail::appendPercentage(out, done, todo, detail::PercentRounding::kNearestEven);
  });
}

/// As `percentage`, but the whole percent rounded down, so "100%" appears only
/// once done reaches todo (or todo is 0): 199 of 200 is " 99%", -1 of 1000 is
/// " -1%".
template <class Custom = std::monostate>
Label<Custom> percentageFloor() {
  return detail::countLabel<Custom>([](Text& out, std::int64_t done, std::int64_t todo) {
    detail::appendPercentage(out, done, todo, detail::PercentRounding::kDown);
  });
}

/// Done, right-aligned to the width of todo, then "/", then todo: "  5/100".
template <class Custom = std::monostate>
Label<Custom> exact() {
  return detail::countLabel<Custom>([](Text& out, std::int64_t done, std::int64_t todo) {
    detail::appendExact(out, done, todo);
  });
}

/// Done alone, in decimal: "1234". For work whose total is not known.
template <class Custom = std::monostate>
Label<Custom> count() {
  return detail::countLabel<Custom>(
      [](Text& out, std::int64_t done, std::int64_t) { detail::appendCount(out, done); });
}

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> percentage<std::monostate>();
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> percentageFloor<std::monostate>();
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> exact<std::monostate>();
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> count<std::monostate>();

}  // namespace System::ProgressBar
