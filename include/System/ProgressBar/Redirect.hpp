// Output the rest of a program writes, above a display's block: lines from
// any thread, a redirected stream, and the process's own output descriptors.
//
//   pb::RedirectStream guard(std::cout, display);   // std::cout goes above
//   pb::CaptureOutput capture(display);             // printf, children too
//   std::system("make");
#pragma once

#include <initializer_list>
#include <iosfwd>
#include <string_view>

#include "System/ProgressBar/Display.hpp"

namespace System::ProgressBar {

namespace detail {
class RedirectBuf;
class Capture;
}  // namespace detail

/// Whole lines above a display's block, from any thread: what the
/// redirections and the spdlog sink write through. Copies share the
/// display's state and keep it alive, so a sink may outlive its display:
/// lines written after the display ends go to its stream as plain lines.
class LineSink {
 public:
  explicit LineSink(Display& display);
  LineSink(const LineSink& other) noexcept;
  LineSink& operator=(const LineSink& other) noexcept;
  ~LineSink();
  /// `line` above the block (a line feed in it starts another line), as
  /// `Display::printAbove` writes it; throws as that does.
  void write(std::string_view line) const;

 private:
  detail::DisplayCore* core_;
};

/// Sends everything written to `stream` (`std::cout`, `std::cerr`,
/// `std::clog`, any stream) above the display's block until it is
/// destroyed, then puts the stream's own buffer back, also when an exception
/// unwinds. A line is what one thread wrote up to a line feed, so lines of
/// different threads never mix; what a thread left without one is written
/// as a line when the redirection ends. The display's own output is not
/// redirected, whatever stream it writes to. Make and destroy it while no
/// other thread writes to `stream`; a failing line fails the write that
/// completed it, as the stream's exception mask says.
class RedirectStream {
 public:
  RedirectStream(std::ostream& stream, Display& display);
  RedirectStream(const RedirectStream&) = delete;
  RedirectStream& operator=(const RedirectStream&) = delete;
  ~RedirectStream();

 private:
  std::ostream& stream_;
  std::streambuf* old_;
  detail::RedirectBuf* buf_;                // owned
  std::ostream* own_ = nullptr;             // owned: the display's, when it wrote to `stream`
  detail::DisplayCore* core_ = nullptr;     // held while its output is diverted
  std::ostream* previousStream_ = nullptr;  // where the display wrote before
  int previousFd_ = -1;
};

/// Captures file descriptors of the process (standard output and standard
/// error by default): whatever any code writes to them (`printf`, `puts`,
/// `write(1, ...)`, a library in C, a child process it starts) arrives as
/// lines above the display's block, from a thread of the capture's own,
/// while the display itself goes on drawing to the real terminal. Standard
/// output is made line-buffered so that `printf` lines arrive as written.
/// While the display is suspended the descriptors are the real ones again.
///
/// Lines are cut as `LineSink` lines are: at line feeds, keeping what
/// follows a line's last carriage return; bytes that are not UTF-8 pass as
/// they are (a log drops control characters and escapes); a line longer
/// than 64 KiB is written in pieces of that size.
///
/// Destroying it (or `end()`) flushes the C and C++ standard streams, puts
/// the descriptors back, writes what is left (a last line without a line
/// feed too) and joins its thread. A child that still writes then has
/// 0.1 s of quiet for what it wrote to arrive; after that its writes fail
/// (EPIPE), as to any closed pipe. A capture may outlive its display: its
/// lines then go to the display's stream as plain lines.
class CaptureOutput {
 public:
  explicit CaptureOutput(Display& display, std::initializer_list<int> fds = {1, 2});
  CaptureOutput(const CaptureOutput&) = delete;
  CaptureOutput& operator=(const CaptureOutput&) = delete;
  /// As end(), dropping a failure to write a captured line.
  ~CaptureOutput();
  /// Ends the capture now and throws the first failure to write a captured
  /// line, if there was one. Later calls do nothing.
  void end();

 private:
  detail::Capture* capture_;  // owned
};

}  // namespace System::ProgressBar
