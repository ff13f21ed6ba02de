// A display: several bars on one output, drawn as a block of rows on a
// terminal, or as plain log lines anywhere else.
//
//   pb::Display display;                                   // on standard error
//   auto a = display.add(style, pb::Progress<>{0, 300});
//   auto b = display.add(style, pb::Progress<>{0, 200});
//   std::jthread ta([&] { for (...) pb::incProgress(a, 1); });
//   std::jthread tb([&] { for (...) pb::incProgress(b, 1); });
//
// Locks: an update takes its bar's lock, then the display's lock to hand over
// its line; the display never takes a bar's lock while it holds its own, so
// updates of different bars never wait on each other's locks.
#pragma once

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/detail/Ref.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

/// How a display draws.
struct DisplayOptions {
  /// The most frames per second on a terminal; also the refresh rate of every
  /// bar of the display. An update that completes a bar is drawn at once.
  double refreshRate = 10.0;
  /// Outside a terminal, the least time between two log lines of one bar
  /// while it changes; its first and its final line are written whatever.
  std::chrono::nanoseconds logInterval = std::chrono::seconds(10);
  /// Colour (the styles' escapes, and escapes in label text): nullopt decides
  /// from the output, on only for a terminal when `NO_COLOR` is unset or
  /// empty and `TERM` is not `dumb`, and forced on by `CLICOLOR_FORCE` set to
  /// anything but "" and "0"; true or false decides for the caller.
  std::optional<bool> colour = std::nullopt;
  /// Pads each row's prefix and postfix to the widest seen in the block (in
  /// a log, of the bars so far), in columns, so that every bar proper starts
  /// and ends at the same columns; rows do not move when a wide one leaves,
  /// and the padding that would end a line is left out.
  bool alignColumns = false;
  /// Whether the terminal re-wraps its lines when it is resized (most do:
  /// tmux, VTE, kitty, iTerm2, WezTerm, Windows Terminal; xterm and the
  /// Linux console cut them). After a narrowing the display then knows how
  /// many rows the old block became and overwrites all of them; when it
  /// cannot know, it overwrites only as many rows as it drew, which may leave
  /// a fragment of the old block above the new one but never a printed line
  /// overwritten. nullopt decides from the environment (TMUX, TERM_PROGRAM,
  /// VTE_VERSION and the like); true or false decides for the caller.
  std::optional<bool> rewrapsOnResize = std::nullopt;
  /// The terminal's own progress indicator (the sequence `ESC ] 9 ; 4 ;
  /// state ; percent ESC \`, which Windows Terminal, ConEmu, Ghostty,
  /// iTerm2, WezTerm and VTE terminals show in the tab, title bar or
  /// taskbar): the share of every known total that is done, in whole
  /// percent rounded down, over every bar the display has had; busy with no
  /// share while no bar has a known total; an error from the moment a bar is
  /// abandoned (finished short of its total with its line kept); cleared
  /// while the display is suspended and when it ends. Sent with a frame that
  /// changes it, never in a log. nullopt decides from the environment: on
  /// only for terminals known to show it (outside tmux and screen), and
  /// `PROGRESSBAR_TERMINAL_PROGRESS` set to `1` or `0` decides instead; off
  /// for a stated terminal (`AsTerminal`). true or false decides for the
  /// caller.
  std::optional<bool> terminalProgress = std::nullopt;
  /// Draws no bar at all, on any output; nothing else changes: bars count,
  /// lines printed above the block and the lines of redirections and
  /// captures are written as they would be without a block. Also set by
  /// the environment variable `PROGRESSBAR_HIDE` (anything but empty or `0`),
  /// for every display of the program.
  bool hidden = false;
};

/// Output stated by the caller: a terminal of this many columns (and rows, 0
/// when not known), for tests and custom sinks that are not a real terminal.
struct AsTerminal {
  std::int64_t columns;
  std::int64_t rows = 0;
};

/// Output stated by the caller: a plain log (a file, a pipe, CI).
struct AsLog {};

class Display;
template <class R, class Custom>
requires std::ranges::input_range<std::remove_reference_t<R>>
class TrackView;

namespace detail {
class DisplayCore;  // compiled: a display's rows, lock and output
// A display's state is counted: the display, its rows and whatever writes
// above its block hold it.
template <>
struct RefCount<DisplayCore> {
  static void retain(DisplayCore* core) noexcept;
  static void release(DisplayCore* core) noexcept;
};
// What the display's own reference does when it goes: ends the display (a
// failure of the final frame is dropped), then lets go of its state.
struct EndDisplay {
  void operator()(DisplayCore* core) const noexcept;
};
[[noreturn]] void throwTotalOutOfRange();
// `total` as a progress count, when it is one (else std::out_of_range).
template <class Integer>
std::int64_t checkedTotal(Integer total) {
  if (!std::in_range<std::int64_t>(total)) throwTotalOutOfRange();
  return static_cast<std::int64_t>(total);
}
// Compiled helpers of this header.
struct DisplayAccess {
  // A new row's sink, at the end of the block or right below the row of
  // `parent` (a bar of this display, else std::invalid_argument).
  static Own<BarSink> rowSink(Display& display, BarEngine* parent);
  static void remove(Display& display, BarEngine& bar);
  static DisplayCore& core(Display& display) noexcept;
  static double refreshRate(const Display& display) noexcept;
};
}  // namespace detail

/// Draws any number of bars on one output. On a terminal the bars form a
/// block of rows at the bottom of the output, redrawn in place at most
/// `refreshRate` times a second with one write and one flush per frame; rows
/// are measured in terminal columns (wide characters two, combining marks
/// none) and cut to the terminal's width, which is asked again before each
/// frame, so a row never takes more than one line. A bar whose work completes
/// keeps its final line above the live rows (`WriteNewline`) or leaves the
/// block (`Clear`); `printAbove` on any bar writes above the whole block; when
/// no live row is left, or the display ends, the cursor rests on a fresh line
/// below. Anywhere else (a file, a pipe, CI, or `TERM=dumb`) there are no
/// carriage returns, no cursor movement and no escapes: each bar writes a
/// plain line when it starts, then at most once per `logInterval` while it
/// changes, and when it completes. There every bar proper is 30 columns wide
/// whatever the style's width and the labels (a style of width 0 or less has
/// none), the labels take their own width, and no line ends in a blank.
///
/// Bars are ordinary `ProgressBar` handles and may carry different custom
/// types; they may be added and removed from any thread at any time. Updates
/// of different bars never wait on each other's locks; lines never
/// interleave. A failing write or label reaches the caller whose update
/// failed and leaves every bar and the display usable.
///
/// A display ends when `end()` is called or it is destroyed: each bar whose
/// stored progress no line shows yet (an update too soon to draw) is drawn,
/// then the final frame, which shows every bar's stored progress also when
/// its handles went first (a handle declared after the display, a loop left
/// early), and each bar's final line once. Handles to its bars stay valid after that: they keep
/// counting and can be read, but draw nothing more. The stream must outlive every handle. A display
/// can be moved; a display moved from may only be destroyed or assigned to. Destroying a display
/// (or assigning to it) ends it, and does not report a failure of the final frame (call `end()` to
/// see it).
class Display {
 public:
  /// On standard error, asking descriptor 2 whether it is a terminal.
  Display();
  explicit Display(const DisplayOptions& options);
  /// On `stream`, whose file descriptor `fd` says whether it is a terminal
  /// and how wide it is.
  Display(std::ostream& stream, int fd, const DisplayOptions& options = {});
  /// On `stream`, drawn as a terminal of the stated size.
  Display(std::ostream& stream, AsTerminal terminal, const DisplayOptions& options = {});
  /// On `stream`, written as a plain log.
  Display(std::ostream& stream, AsLog log, const DisplayOptions& options = {});

  /// A new bar in a new row at the bottom of the block. Its first line is
  /// drawn before this returns; if that fails, no bar is added. A
  /// `TerminalWidth` style follows the display's width.
  template <class Custom>
  ProgressBar<Custom> add(const Style<Custom>& style, const Progress<Custom>& initialProgress) {
    return addRow(style, initialProgress, nullptr, true);
  }
  /// A new bar with `total` to do, none done and a default custom value, for
  /// a total of any integer type but bool and the character types (a `'7'`
  /// total does not compile): `display.add(style, files.size())`. A total
  /// out of the signed 64-bit range throws `std::out_of_range`.
  template <class Custom, detail::CountInteger Integer>
  ProgressBar<Custom> add(const Style<Custom>& style, Integer total) {
    return add(style, Progress<Custom>{0, detail::checkedTotal(total), Custom{}});
  }
  /// A new bar whose total is not known yet (see `UnknownTotal`).
  template <class Custom>
  ProgressBar<Custom> add(const Style<Custom>& style, const Progress<Custom>& initialProgress,
                          UnknownTotal) {
    return addRow(style, initialProgress, nullptr, false);
  }
  /// A new bar in a row directly below `parent` (after rows added below it
  /// before): a step under the task it belongs to. `parent` must be a bar of
  /// this display (else `std::invalid_argument`); when its row has left the
  /// block, the new row goes to the top of the block, right below its line.
  template <class Custom, class ParentCustom>
  ProgressBar<Custom> addBelow(const ProgressBar<ParentCustom>& parent, const Style<Custom>& style,
                               const Progress<Custom>& initialProgress) {
    return addRow(style, initialProgress, &detail::BarAccess::engine(parent), true);
  }
  /// Takes a running bar's row out of the block; the handle keeps counting
  /// but draws nothing more, whatever it is told later (`setTotal`, `reset`,
  /// `finish` too). A finished bar's row keeps its final line, wherever it
  /// stands. A bar of another display is left alone.
  template <class Custom>
  void remove(const ProgressBar<Custom>& bar) {
    detail::DisplayAccess::remove(*this, detail::BarAccess::engine(bar));
  }

  /// Iterates `range` with a new bar of this display that counts its
  /// elements, as `track(bar, range)` does: for a sized range, a
  /// default-style bar with the range's size as its total; for any other, a
  /// bar of unknown total in `spinnerStyle()`; or with `style`. The view
  /// finishes its bar when it goes. Defined in `Track.hpp`.
  template <class R>
  TrackView<R, std::monostate> track(R&& range);
  template <class R, class Custom>
  TrackView<R, Custom> track(R&& range, const Style<Custom>& style);

  /// `text` and a line feed above the block; each line feed in it starts
  /// another line. On a terminal a line keeps a shape the display knows:
  /// tabs become the spaces to their stop, control characters and escapes
  /// that move the cursor are dropped (colour too, without colour), and the
  /// rows it wraps onto are erased first. In a log it is a plain line: no
  /// control character, no escape unless the display has colour.
  void printAbove(std::string_view text);
  /// A stream whose lines go above the block, for the calling thread: a
  /// line is what this thread wrote up to a line feed (`'\n'`,
  /// `std::endl`), so lines of different threads never mix. What a thread
  /// leaves without a line feed is written when the display ends (or when
  /// the thread ends, if that is first). A failing write throws, as
  /// `printAbove` does.
  std::ostream& lines();
  /// Erases the block, runs `f` (which may write freely, read a prompt or
  /// run a child process that owns the terminal), then draws the block again
  /// below whatever `f` left, with the updates its bars counted meanwhile. A
  /// failure of `f` still brings the block back, then propagates. In a log
  /// nothing is erased. See also `Suspension`.
  template <class F>
  void suspend(F&& f) {
    suspendFor(detail::FunctionRef<void()>(f));
  }
  /// Draws the final frame and leaves the cursor below it. Later calls do
  /// nothing; later updates of its bars draw nothing.
  void end();
  /// Whether the output is drawn as a terminal, and with colour.
  bool isTerminal() const noexcept;
  bool colour() const noexcept;
  /// For a display on a stated terminal: its new width, taken at the next frame.
  void setColumns(std::int64_t columns) noexcept;
  /// Redraws every bar with its stored progress at the current time, then
  /// draws a frame: what a steady tick does (see `Ticker`). A bar that fails
  /// does not keep the others from being drawn; the first failure is thrown
  /// once they are.
  void redraw();

 private:
  friend struct detail::DisplayAccess;
  void suspendFor(detail::FunctionRef<void()> f);
  template <class Custom>
  ProgressBar<Custom> addRow(const Style<Custom>& style, const Progress<Custom>& initialProgress,
                             detail::BarEngine* parent, bool totalKnown) {
    // If the first draw fails, the row's sink goes with the bar and takes the
    // row, which never showed a line, with it.
    return detail::makeBar(style, refreshRate_, initialProgress,
                           detail::DisplayAccess::rowSink(*this, parent), totalKnown);
  }

  // The display's own reference, which ends it when it goes.
  detail::Own<detail::DisplayCore, detail::EndDisplay> core_;
  double refreshRate_;
};

/// The display erased for a scope, as `Display::suspend` does for a callable:
/// `{ pb::Suspension pause(display); std::getline(std::cin, answer); }`. The
/// block comes back when the scope ends; if that fails while no exception is
/// on its way, the destructor throws. It keeps the display's state alive, so
/// the display may end first (the block then stays away).
class [[nodiscard]] Suspension {
 public:
  explicit Suspension(Display& display);
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;
  ~Suspension() noexcept(false);

 private:
  detail::Ref<detail::DisplayCore> core_;
  int uncaught_;
};

PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> Display::add<std::monostate>(
    const Style<std::monostate>&, const Progress<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> Display::add<std::monostate>(
    const Style<std::monostate>&, const Progress<std::monostate>&, UnknownTotal);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate>
Display::addBelow<std::monostate, std::monostate>(const ProgressBar<std::monostate>&,
                                                  const Style<std::monostate>&,
                                                  const Progress<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE void Display::remove<std::monostate>(
    const ProgressBar<std::monostate>&);

}  // namespace System::ProgressBar
