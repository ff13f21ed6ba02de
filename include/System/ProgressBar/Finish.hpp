// The end of a bar's life: finishing it whatever its progress, finishing it
// however a scope is left, and giving a total that was not known.
//
//   const auto guard = pb::finishOnExit(bar);      // its true last line, always
//   for (const auto& item : pb::track(bar, items)) {
//     if (failed(item)) break;
//   }
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar {

/// Where `finish` puts a message of the caller's.
enum class FinishMessage {
  InsteadOfPostfix,  ///< the message stands where the postfix label was
  AfterPostfix,      ///< the postfix label, a space, then the message
};

/// Ends the bar now, whatever its progress: draws the stored progress once
/// more, ignoring the throttle, and ends the line as completion would (a line
/// feed for `WriteNewline`, the erase for `Clear`; for a bar of a display, its
/// row stays or leaves). Finishing again does nothing. A finished bar goes on
/// storing and counting updates (`pbStateMv().read()` sees them) but never
/// draws again, and `printAbove` writes just its text. Failures behave as an
/// update's: the bar is left unfinished and the failure propagates.
template <class Custom>
void finish(const ProgressBar<Custom>& bar) {
  detail::Engine::finish(detail::BarAccess::engine(bar), nullptr);
}

/// As `finish`, with `message` in place of the postfix or after it:
/// `finish(bar, "failed: disk full")`.
template <class Custom>
void finish(const ProgressBar<Custom>& bar, Text message,
            FinishMessage where = FinishMessage::InsteadOfPostfix) {
  const Label<Custom> shown =
      where == FinishMessage::InsteadOfPostfix
          ? msg<Custom>(std::move(message))
          : bar.pbStyle().stylePostfix + " " + msg<Custom>(std::move(message));
  detail::Engine::finish(detail::BarAccess::engine(bar), &shown);
}

/// Gives a bar made with `unknownTotal` its total: from now on it fills as an
/// ordinary bar and completes when done reaches `total`. Drawn at once, unless
/// the bar is finished. On any other bar it sets `progressTodo` the same way.
template <class Custom>
void setTotal(const ProgressBar<Custom>& bar, std::int64_t total) {
  detail::Engine::setTotal(detail::BarAccess::engine(bar), total);
}

/// Finishes a bar when the scope that holds it ends: normally, by `break` or
/// `return`, or by an exception. If finishing fails while no exception is on
/// its way, the destructor throws that failure; while one is, the failure is
/// dropped and the first exception goes on.
template <class Custom>
class [[nodiscard]] FinishGuard {
 public:
  explicit FinishGuard(ProgressBar<Custom> bar) : bar_(std::move(bar)) {}
  FinishGuard(const FinishGuard&) = delete;
  FinishGuard& operator=(const FinishGuard&) = delete;
  ~FinishGuard() noexcept(false) {
    if (std::uncaught_exceptions() == uncaught_) {
      ::System::ProgressBar::finish(bar_);
      return;
    }
    try {
      ::System::ProgressBar::finish(bar_);
    } catch (...) {  // an exception is already on its way
    }
  }

 private:
  ProgressBar<Custom> bar_;
  int uncaught_ = std::uncaught_exceptions();
};

/// `const auto guard = finishOnExit(bar);`: see `FinishGuard`.
template <class Custom>
FinishGuard<Custom> finishOnExit(const ProgressBar<Custom>& bar) {
  return FinishGuard<Custom>(bar);
}

PROGRESSBAR_EXTERN_TEMPLATE void finish<std::monostate>(const ProgressBar<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE void finish<std::monostate>(const ProgressBar<std::monostate>&, Text,
                                                        FinishMessage);
PROGRESSBAR_EXTERN_TEMPLATE void setTotal<std::monostate>(const ProgressBar<std::monostate>&,
                                                          std::int64_t);
PROGRESSBAR_EXTERN_TEMPLATE class FinishGuard<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE FinishGuard<std::monostate> finishOnExit<std::monostate>(
    const ProgressBar<std::monostate>&);

}  // namespace System::ProgressBar
