// The end of a bar's life: finishing it whatever its progress (keeping or
// clearing its line), finishing it however a scope is left, giving a total
// that was not known, and starting it over.
//
//   const auto guard = pb::finishOnExit(bar);      // its true last line, always
//   for (const auto& item : pb::track(bar, items)) {
//     if (failed(item)) break;
//   }
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
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
  detail::Engine::finish(detail::BarAccess::engine(bar), std::nullopt, std::nullopt);
}

/// As `finish`, ending the line as `how` says whatever the style says:
/// `WriteNewline` keeps the final line (a display's row stays), `Clear`
/// erases it (the row leaves). A line that completion already ended another
/// way is drawn again to end this way.
template <class Custom>
void finish(const ProgressBar<Custom>& bar, OnComplete how) {
  detail::Engine::finish(detail::BarAccess::engine(bar), std::nullopt, how);
}

/// As `finish`, with `message` in place of the postfix or after it:
/// `finish(bar, "failed: disk full")`; and ending the line as `how` says,
/// when given.
template <class Custom>
void finish(const ProgressBar<Custom>& bar, Text message,
            FinishMessage where = FinishMessage::InsteadOfPostfix,
            std::optional<OnComplete> how = std::nullopt) {
  detail::Engine::finish(detail::BarAccess::engine(bar),
                         detail::PostfixMessage{message, where == FinishMessage::AfterPostfix},
                         how);
}

/// Finishes the bar and erases its line (a display's row leaves), whatever
/// its style says.
template <class Custom>
void finishAndClear(const ProgressBar<Custom>& bar) {
  ::System::ProgressBar::finish(bar, OnComplete::Clear);
}

/// Finishes the bar where it stands and keeps its line (a display's row
/// stays), whatever its style says; with `message` in place of the postfix:
/// `abandon(bar, "skipped: no space left")`.
template <class Custom>
void abandon(const ProgressBar<Custom>& bar) {
  ::System::ProgressBar::finish(bar, OnComplete::WriteNewline);
}
template <class Custom>
void abandon(const ProgressBar<Custom>& bar, Text message) {
  ::System::ProgressBar::finish(bar, std::move(message), FinishMessage::InsteadOfPostfix,
                                OnComplete::WriteNewline);
}

/// Gives a bar made with `unknownTotal` its total: from now on it fills as an
/// ordinary bar and completes when done reaches `total`. Drawn at once, unless
/// the bar is finished. On any other bar it sets `progressTodo` the same way.
/// A bar that was complete (a total of 0, or done reached) and is not
/// complete with the new total draws again, as a live row of its display.
/// `total` is of any integer type but bool and the character types; one out
/// of the signed 64-bit range throws `std::out_of_range` and changes nothing.
template <class Custom, detail::CountInteger N>
void setTotal(const ProgressBar<Custom>& bar, N total) {
  detail::Engine::setTotal(detail::BarAccess::engine(bar), detail::checkedCount(total, "setTotal"));
}

/// Starts the bar over: done back to 0 (the total kept, or `total`), its
/// start time, rates and estimates from now, its custom value and message
/// kept; a finished bar is no longer finished. Drawn at once: a display's row
/// stays where it was, and a finished row comes back as a live one (below
/// the block if its final line had already left it). For a loop of epochs
/// over one bar. Failures behave as an update's: the bar is left as it was.
/// `total` is as for `setTotal`.
template <class Custom>
void reset(const ProgressBar<Custom>& bar) {
  detail::Engine::reset(detail::BarAccess::engine(bar), std::nullopt);
}
template <class Custom, detail::CountInteger N>
void reset(const ProgressBar<Custom>& bar, N total) {
  detail::Engine::reset(detail::BarAccess::engine(bar), detail::checkedCount(total, "reset"));
}

/// Finishes a bar when the scope that holds it ends: normally, by `break` or
/// `return`, or by an exception. If finishing fails while no exception is on
/// its way, the destructor throws that failure; while one is, the failure is
/// dropped and the first exception goes on (and a cancellation of the thread
/// meanwhile waits until the last line is out, then acts at the thread's
/// next cancellation point).
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
    detail::Engine::finishQuietly(detail::BarAccess::engine(bar_));  // one is on its way
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
PROGRESSBAR_EXTERN_TEMPLATE void finish<std::monostate>(const ProgressBar<std::monostate>&,
                                                        OnComplete);
PROGRESSBAR_EXTERN_TEMPLATE void finish<std::monostate>(const ProgressBar<std::monostate>&, Text,
                                                        FinishMessage, std::optional<OnComplete>);
PROGRESSBAR_EXTERN_TEMPLATE void finishAndClear<std::monostate>(const ProgressBar<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE void abandon<std::monostate>(const ProgressBar<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE void abandon<std::monostate>(const ProgressBar<std::monostate>&, Text);
PROGRESSBAR_EXTERN_TEMPLATE void reset<std::monostate>(const ProgressBar<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE void reset<std::monostate, std::int64_t>(
    const ProgressBar<std::monostate>&, std::int64_t);
PROGRESSBAR_EXTERN_TEMPLATE void setTotal<std::monostate, std::int64_t>(
    const ProgressBar<std::monostate>&, std::int64_t);
PROGRESSBAR_EXTERN_TEMPLATE class FinishGuard<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE FinishGuard<std::monostate> finishOnExit<std::monostate>(
    const ProgressBar<std::monostate>&);

}  // namespace System::ProgressBar
