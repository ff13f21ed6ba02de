// Output the rest of a program writes, above a display's block: lines from
// any thread, a redirected stream, and the process's own output descriptors.
//
//   pb::RedirectStream guard(std::cout, display);   // std::cout goes above
//   pb::CaptureOutput capture(display);             // printf, children too
//   std::system("make");
//
// A redirection or capture never changes where a program's data goes: it
// routes a stream's lines above the block only where that stream shows on
// the very terminal the display draws on. Elsewhere its bytes reach their
// destination exactly as without the library, and the bars still draw:
//
//   standard output       standard error (the display)   std::cout / printf
//   ------------------    ----------------------------   ----------------------
//   the terminal          the same terminal              lines above the block
//   a file, a pipe        the terminal                   to the file or pipe
//   the terminal          a file, a pipe, CI (a log)     to the terminal
//   a file, a pipe        a file, a pipe, CI (a log)     to the file or pipe
//   closed (>&-)          anything                       left closed
//   anything              closed (2>&-)                  as without the display;
//                                                        the bars go nowhere
//
// `Route::Always` routes whatever the destination (a log display then holds
// the program's lines among its own). A stream whose buffer is the caller's
// own (not a standard stream's, not a file stream's) is routed: the
// library cannot tell where it goes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string_view>

#include "System/ProgressBar/Display.hpp"
#include "System/ProgressBar/detail/Ref.hpp"

namespace System::ProgressBar {

namespace detail {
class RedirectBuf;
class Capture;
}  // namespace detail

/// Which output a redirection or capture routes above a display's block.
enum class Route {
  /// Only output that shows on the terminal the display draws on (the
  /// default): a file, a pipe, a socket or /dev/null gets its bytes as
  /// without the library.
  ToSameTerminal,
  /// All of it, wherever it went (into the display's log, or above its block).
  Always,
};

/// Whole lines above a display's block, from any thread: what the
/// redirections and the spdlog sink write through. Copies share the
/// display's state and keep it alive, so a sink may outlive its display:
/// lines written after the display ends go to its stream as plain lines
/// (which must outlive the sink, as it must every handle).
class LineSink {
 public:
  explicit LineSink(Display& display);
  /// `line` above the block (a line feed in it starts another line), as
  /// `Display::printAbove` writes it; throws as that does.
  void write(std::string_view line) const;

 private:
  detail::Ref<detail::DisplayCore> core_;
};

/// Sends everything written to `stream` (`std::cout`, `std::cerr`,
/// `std::clog`, any stream) above the display's block until it is
/// destroyed, then puts the stream's own buffer back, also when an exception
/// unwinds; where `stream` does not show on the display's terminal (see the
/// table above) it changes nothing. A line is what one thread wrote up to a
/// line feed, so lines of different threads never mix; what a thread left
/// without one is written as a line when the redirection ends. The display's
/// own output is not redirected, whatever stream it writes to. Redirections
/// of one stream nest, and may end in any order. Make and destroy it
/// while no other thread writes to `stream`; a failing line fails the write
/// that completed it, as the stream's exception mask says.
class RedirectStream {
 public:
  RedirectStream(std::ostream& stream, Display& display, Route route = Route::ToSameTerminal);
  RedirectStream(const RedirectStream&) = delete;
  RedirectStream& operator=(const RedirectStream&) = delete;
  ~RedirectStream();

 private:
  // Let go of last to first once the destructor has put everything back:
  // the display's state, the display's stream, then the buffer.
  std::ostream& stream_;
  std::streambuf* old_;                    // the buffer below this one
  detail::Own<detail::RedirectBuf> buf_;   // null when nothing is redirected
  detail::Own<std::ostream> own_;          // the display's, when it wrote to `stream`
  detail::Ref<detail::DisplayCore> core_;  // held while redirected
  std::optional<std::uint64_t> divert_;    // the display's diversion to own_
};

/// Captures file descriptors of the process (standard output and standard
/// error by default) that show on the display's terminal (see the table
/// above; a descriptor on a file, a pipe or another terminal, or a closed
/// one, is left alone): whatever any code writes to them (`printf`, `puts`,
/// `write(1, ...)`, a library in C, a child process it starts) arrives as
/// lines above the display's block, from a thread of the capture's own,
/// while the display itself goes on drawing to the real terminal. Standard
/// output, when captured, is made line-buffered so that `printf` lines
/// arrive as written. While the display is suspended the descriptors are the
/// real ones again. Captures of a
/// descriptor nest, and may end in any order. The library's own descriptors
/// are never 0, 1 or 2, and its threads block every signal.
///
/// Lines are cut as `LineSink` lines are: at line feeds, keeping what
/// follows a line's last carriage return; bytes that are not UTF-8 pass as
/// they are (a log drops control characters and escapes); a line longer
/// than 64 KiB is written in pieces of that size.
///
/// Destroying it (or `end()`) flushes the C and C++ standard streams, puts
/// the descriptors back, writes what is left (a last line without a line
/// feed too) and joins its thread. It returns within about a second
/// whatever a child still writes: what the child wrote arrives as lines
/// until 0.1 s of quiet, or for 1 s at most; what it writes after that goes
/// straight to the descriptor's original (the terminal), from a thread that
/// lasts until the child closes its end. A capture may outlive its display:
/// its lines then go to the display's stream as plain lines.
class CaptureOutput {
 public:
  explicit CaptureOutput(Display& display, std::initializer_list<int> fds = {1, 2},
                         Route route = Route::ToSameTerminal);
  /// Standard output and standard error, routed as `route` says.
  CaptureOutput(Display& display, Route route);
  CaptureOutput(const CaptureOutput&) = delete;
  CaptureOutput& operator=(const CaptureOutput&) = delete;
  /// As end(), dropping a failure to write a captured line.
  ~CaptureOutput();
  /// Ends the capture now and throws the first failure to write a captured
  /// line, if there was one. Later calls do nothing.
  void end();

 private:
  detail::Own<detail::Capture> capture_;
};

}  // namespace System::ProgressBar
