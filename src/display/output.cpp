// A display's output (a terminal or not, with colour or not) and the
// display's own members.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <utility>

#include "System/ProgressBar/Display.hpp"
#include "bar/engine.hpp"
#include "base/cancel.hpp"
#include "display/display_core.hpp"
#include "display/report.hpp"

#if defined(__GLIBCXX__)
#include <ext/stdio_sync_filebuf.h>
#endif

namespace System::ProgressBar::detail {
namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

bool equals(const char* name, const char* text) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, text) == 0;
}

// A terminal that cannot move the cursor is written to as a log.
bool drawnAsTerminal(int fd) { return isTerminal(fd) && !equals("TERM", "dumb"); }

// Takes every byte and keeps none: where a display whose descriptor is
// closed writes, as a program that writes there would see nothing either.
class DiscardBuf final : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

std::ostream& discarded() {
  static DiscardBuf buf;
  static std::ostream stream(&buf);
  return stream;
}

bool closedDescriptor(int fd) noexcept { return fd >= 0 && ::fcntl(fd, F_GETFD) == -1; }

DisplayCore* makeCore(std::ostream& stream, std::unique_ptr<std::ostream>& own, int fd, bool colour,
                      std::unique_ptr<Output> output) {
  if (own && &stream == own.get()) {
    return new DisplayCore(std::move(own), fd, colour, std::move(output));
  }
  return new DisplayCore(stream, fd, colour, std::move(output));
}

// `reports`: a display on standard error made with the default
// constructor, which reports to a parent that shares its display.
DisplayCore* coreOn(std::ostream& given, int fd, const DisplayOptions& options,
                    std::unique_ptr<std::ostream>& own, bool reports = false) {
  // A program started with its standard error closed (2>&-) works as
  // without the display: the bars go nowhere, and no draw fails.
  const bool closed = closedDescriptor(fd) && descriptorOf(given.rdbuf()) == fd;
  std::ostream& stream = closed ? discarded() : given;
  if (closed) fd = -1;
  const bool terminal = drawnAsTerminal(fd);
  const bool colour = colourWanted(terminal, options.colour);
  if (hiddenWanted(options.hidden)) {
    return makeCore(stream, own, fd, colour, hiddenOutput(stream, terminal, colour));
  }
  std::unique_ptr<Output> output =
      terminal ? terminalOutput(stream, fd, 80, 0, colour, rewrapsOnResize(options.rewrapsOnResize),
                                terminalProgressWanted(options.terminalProgress), options)
               : logOutput(stream, colour, options);
  const char* report = reports ? std::getenv(kReportVariable) : nullptr;
  if (const std::optional<int> parent = reportDescriptor(report != nullptr ? report : "")) {
    output = reportOutput(*parent, program_invocation_short_name, std::move(output));
  }
  return makeCore(stream, own, fd, colour, std::move(output));
}

// The leading number of a version ("3.6.1", "20250101-120000-abc"), and
// the next one after a dot; -1 where there is none.
std::pair<long, long> versionOf(const char* text) {
  if (text == nullptr) return {-1, -1};
  char* end = nullptr;
  errno = 0;
  const long major = std::strtol(text, &end, 10);
  if (end == text || errno != 0 || major < 0) return {-1, -1};
  if (*end != '.') return {major, -1};
  const char* minorText = end + 1;
  const long minor = std::strtol(minorText, &end, 10);
  if (end == minorText || errno != 0 || minor < 0) return {major, -1};
  return {major, minor};
}

}  // namespace

// Where a stream's bytes go: a descriptor (-1 for a file stream that has
// none, which is no terminal), or nowhere known (a buffer of the caller's).
std::optional<int> descriptorOf(std::streambuf* buf) noexcept {
#if defined(__GLIBCXX__)
  // The standard streams' buffers, and file streams (through the member
  // that holds their file, protected in std::basic_filebuf).
  struct FileOf : std::filebuf {
    static int of(std::filebuf& file) noexcept { return (file.*&FileOf::_M_file).fd(); }
  };
  if (auto* sync = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(buf)) {
    return ::fileno(sync->file());
  }
  if (auto* file = dynamic_cast<std::filebuf*>(buf)) return FileOf::of(*file);
#else
  (void)buf;
#endif
  return std::nullopt;
}

bool isTerminal(int fd) noexcept { return fd >= 0 && ::isatty(fd) == 1; }

bool colourWanted(bool terminal, std::optional<bool> forced) noexcept {
  if (forced) return *forced;
  if (set("CLICOLOR_FORCE") && !equals("CLICOLOR_FORCE", "0")) return true;
  return terminal && !set("NO_COLOR") && !equals("TERM", "dumb");
}

bool rewrapsOnResize(std::optional<bool> forced) noexcept {
  if (forced) return *forced;
  // Terminals known to re-wrap their lines; any other is taken to cut them,
  // which at worst leaves a fragment of an old row above the block.
  if (set("TMUX") || set("VTE_VERSION") || set("KITTY_WINDOW_ID") || set("WT_SESSION") ||
      set("KONSOLE_VERSION") || set("ALACRITTY_WINDOW_ID") || set("WEZTERM_EXECUTABLE")) {
    return true;
  }
  for (const char* program : {"iTerm.app", "Apple_Terminal", "WezTerm", "vscode", "ghostty"}) {
    if (equals("TERM_PROGRAM", program)) return true;
  }
  for (const char* term : {"xterm-kitty", "alacritty", "foot", "xterm-ghostty"}) {
    if (equals("TERM", term)) return true;
  }
  return false;
}

// The terminals known to show the sequence in a tab, title bar or taskbar,
// from the version each first did, as their release notes give it:
// - Windows Terminal 1.6 (WT_SESSION; its version is not in the
//   environment, and every release still in use is later);
// - ConEmu, where the sequence comes from (ConEmuANSI=ON);
// - Ghostty 1.2.0 (TERM_PROGRAM=ghostty, TERM_PROGRAM_VERSION);
// - iTerm2 3.6.0 (TERM_PROGRAM=iTerm.app); earlier releases take OSC 9 for
//   a notification and would post one for each change;
// - WezTerm builds after its 20240203 release (TERM_PROGRAM=WezTerm, whose
//   version is the build's date); the release itself takes OSC 9 for a
//   notification too;
// - VTE 0.80 (VTE_VERSION=8000: GNOME Terminal, Ptyxis, Tilix and others).
// Inside tmux or screen the sequence reaches no tab: they pass it nowhere.
// Any other terminal may show it as text or raise an alert, so it is off.
bool terminalProgressWanted(std::optional<bool> forced) noexcept {
  if (forced) return *forced;
  if (equals("PROGRESSBAR_TERMINAL_PROGRESS", "1")) return true;
  if (equals("PROGRESSBAR_TERMINAL_PROGRESS", "0")) return false;
  if (set("TMUX") || set("STY")) return false;
  if (set("WT_SESSION") || equals("ConEmuANSI", "ON")) return true;
  const auto [major, minor] = versionOf(std::getenv("TERM_PROGRAM_VERSION"));
  if (equals("TERM_PROGRAM", "ghostty")) return major > 1 || (major == 1 && minor >= 2);
  if (equals("TERM_PROGRAM", "iTerm.app")) return major > 3 || (major == 3 && minor >= 6);
  if (equals("TERM_PROGRAM", "WezTerm")) return major > 20240203;
  return versionOf(std::getenv("VTE_VERSION")).first >= 8000;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool hiddenWanted(bool forced) noexcept {
  return forced || (set("PROGRESSBAR_HIDE") && !equals("PROGRESSBAR_HIDE", "0"));
}

Own<BarSink> DisplayAccess::rowSink(Display& display, BarEngine* parent) {
  DisplayCore& core = *display.core_;
  std::optional<RowId> parentRow;
  if (parent != nullptr) {
    const auto* sink = dynamic_cast<const RowSink*>(&parent->sink());
    if (sink != nullptr) parentRow = sink->rowIn(core);
    if (!parentRow) {
      throw std::invalid_argument("Display::addBelow: the parent is not a bar of this display");
    }
  }
  const RowId row = core.addRow(parentRow);
  try {
    return Own<BarSink>(new RowSink(core, row));
  } catch (...) {
    core.unbind(row);
    throw;
  }
}

void DisplayAccess::remove(Display& display, BarEngine& bar) {
  if (auto* sink = dynamic_cast<RowSink*>(&bar.sink());
      sink != nullptr && sink->rowIn(*display.core_)) {
    sink->remove();
  }
}

DisplayCore& DisplayAccess::core(Display& display) noexcept { return *display.core_; }
double DisplayAccess::refreshRate(const Display& display) noexcept { return display.refreshRate_; }

void EndDisplay::operator()(DisplayCore* core) const noexcept {
  const DeferCancellation deferred;  // the final frame goes out whole
  try {
    core->end();
  } catch (...) {  // the final frame could not be written; end() reports it
  }
  core->close();
  core->release();
}

void throwTotalOutOfRange() {
  throw std::out_of_range("Display::add: the total is out of the range of a progress count");
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

Display::Display() : Display(DisplayOptions{}) {}

// On standard error's buffer through a stream of the display's own, tied to
// no other: std::cerr flushes std::cout before each write, which would
// change when a program's buffered standard output reaches its file.
Display::Display(const DisplayOptions& options) : refreshRate_(options.refreshRate) {
  auto own = std::make_unique<std::ostream>(std::cerr.rdbuf());
  own->exceptions(std::cerr.exceptions());
  std::ostream& stream = *own;
  core_ = decltype(core_)(detail::coreOn(stream, STDERR_FILENO, options, own, true));
}

Display::Display(std::ostream& stream, int fd, const DisplayOptions& options)
    : refreshRate_(options.refreshRate) {
  std::unique_ptr<std::ostream> none;
  core_ = decltype(core_)(detail::coreOn(stream, fd, options, none));
}

// A stated output is what the caller says, whatever the environment names
// (a hiding switch aside).
Display::Display(std::ostream& stream, AsTerminal terminal, const DisplayOptions& options)
    : refreshRate_(options.refreshRate) {
  const bool colour = detail::colourWanted(true, options.colour);
  core_ = decltype(core_)(new detail::DisplayCore(
      stream, -1, colour,
      detail::hiddenWanted(options.hidden)
          ? detail::hiddenOutput(stream, true, colour)
          : detail::terminalOutput(stream, -1, terminal.columns, terminal.rows, colour,
                                   options.rewrapsOnResize.value_or(false),
                                   options.terminalProgress.value_or(false), options)));
}

Display::Display(std::ostream& stream, AsLog, const DisplayOptions& options)
    : refreshRate_(options.refreshRate) {
  const bool colour = detail::colourWanted(false, options.colour);
  core_ = decltype(core_)(new detail::DisplayCore(
      stream, -1, colour,
      detail::hiddenWanted(options.hidden) ? detail::hiddenOutput(stream, false, colour)
                                           : detail::logOutput(stream, colour, options)));
}

void Display::printAbove(std::string_view text) { core_->printAbove(text); }
void Display::end() { core_->end(); }
bool Display::isTerminal() const noexcept { return core_->isTerminal(); }
bool Display::colour() const noexcept { return core_->colour(); }
void Display::setColumns(std::int64_t columns) noexcept { core_->setColumns(columns); }
void Display::redraw() { core_->tick(); }
void Display::suspendFor(detail::FunctionRef<void()> f) { core_->suspend(f); }
std::ostream& Display::lines() { return detail::linesOf(*core_); }

// The display's state is held from before the block goes until it is back.
Suspension::Suspension(Display& display)
    : core_(detail::Ref<detail::DisplayCore>::share(&detail::DisplayAccess::core(display))),
      uncaught_(std::uncaught_exceptions()) {
  core_->beginSuspend();
}

Suspension::~Suspension() noexcept(false) {
  if (std::uncaught_exceptions() == uncaught_) {
    core_->endSuspend();
    return;
  }
  const detail::DeferCancellation deferred;  // nothing may leave while one unwinds
  try {
    core_->endSuspend();
  } catch (...) {  // an exception is already on its way
  }
}

}  // namespace System::ProgressBar
