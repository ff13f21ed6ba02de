// Child processes' bars in the parent's display: while a `ChildProgress`
// lives, the processes the program starts report their bars to it, and it
// shows them as rows below a bar of the display.
//
//   pb::Display display;
//   auto build = display.add(style, targets.size());
//   pb::ChildProgress children(display, build);
//   std::system("make -j8");  // each child's Display() shows up below `build`
#pragma once

#include <cstdint>

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Display.hpp"
#include "System/ProgressBar/detail/Ref.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helpers of this header: the descriptor children report on and
// the thread that reads it.
class ChildReader;
template <>
struct Delete<ChildReader> {
  void operator()(ChildReader* reader) const noexcept;
};
struct ChildAccess {
  static Own<ChildReader> start(Display& display, BarEngine& parent);
  static std::uint64_t invalid(const ChildReader& reader) noexcept;
  static int descriptor(const ChildReader& reader) noexcept;
};
}  // namespace detail

/// Shares a display with the processes the program starts. While it lives,
/// the environment variable `PROGRESSBAR_REPORT_FD` names a descriptor that
/// every child inherits (it is not closed on exec). In a child, a `Display`
/// made with the default constructor (or with options only: on standard
/// error) then reports its bars and printed lines there instead of drawing
/// them; this display shows each child's bar as a row right below
/// `parentBar` (the child's program name in front), finishes, abandons,
/// clears and removes it as the child does, and prints its lines above the
/// block. A child that ends with a bar still running (killed by a signal,
/// say) leaves that row abandoned; a report that is not valid, or that would
/// make more than 4096 rows of children at once, is dropped and counted; when
/// the parent is gone, or this object is, a child draws on its own again. Any
/// program can report: the README gives the protocol (JSON objects, one a
/// line, each written whole to the descriptor).
///
/// It starts a thread of its own, which reads the reports. Make and destroy
/// it while no other thread reads or changes the environment (it sets the
/// variable, and puts back what was there before when it goes). Its
/// destructor reads every report already sent, abandons the rows of
/// children still running, and joins the thread; the display may end first
/// (the rows then draw nothing). `parentBar` must be a bar of `display` (else
/// `std::invalid_argument`).
class ChildProgress {
 public:
  template <class Custom>
  ChildProgress(Display& display, const ProgressBar<Custom>& parentBar)
      : reader_(detail::ChildAccess::start(display, detail::BarAccess::engine(parentBar))) {}
  ChildProgress(const ChildProgress&) = delete;
  ChildProgress& operator=(const ChildProgress&) = delete;
  ChildProgress(ChildProgress&&) = delete;
  ChildProgress& operator=(ChildProgress&&) = delete;
  ~ChildProgress() = default;

  /// Reports dropped so far because they were not valid.
  std::uint64_t invalidReports() const noexcept { return detail::ChildAccess::invalid(*reader_); }
  /// The descriptor children report on, for a program that starts them with
  /// a chosen set of descriptors (it must be kept open in the child).
  int descriptor() const noexcept { return detail::ChildAccess::descriptor(*reader_); }

 private:
  detail::Own<detail::ChildReader> reader_;
};

}  // namespace System::ProgressBar
