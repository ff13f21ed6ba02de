// Real terminals: the width a bar of its own takes from standard output, and
// a display on a pseudo-terminal of its own, asked about itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>

#include "System/ProgressBar.hpp"
#include "display/display_core.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/scoped_env.hpp"
#include "support/screen.hpp"

namespace pb = System::ProgressBar;
using pb::Progress;

namespace {

// A pseudo-terminal of a given size; tests skip where none can be opened
// (build sandboxes without /dev/pts).
class Pty {
 public:
  static std::optional<Pty> open(unsigned short columns, unsigned short rows) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      if (master >= 0) ::close(master);
      return std::nullopt;
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
      ::close(master);
      return std::nullopt;
    }
    Pty pty(master, slave);
    pty.resize(columns, rows);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    return pty;
  }
  Pty(Pty&& other) noexcept : master_(other.master_), slave_(other.slave_) {
    other.master_ = other.slave_ = -1;
  }
  ~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  void resize(unsigned short columns, unsigned short rows) {
    winsize size{};
    size.ws_col = columns;
    size.ws_row = rows;
    ::ioctl(slave_, TIOCSWINSZ, &size);
  }
  int slave() const { return slave_; }
  std::string output() const { return testsupport::drain(master_); }

 private:
  Pty(int master, int slave) : master_(master), slave_(slave) {}
  int master_, slave_;
};

#define OPEN_PTY_OR_SKIP(name, columns, rows)         \
  std::optional<Pty> name = Pty::open(columns, rows); \
  if (!name) GTEST_SKIP() << "no pseudo-terminal can be opened here";

// Points standard output (or `target`) at `fd` for the lifetime of the object.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd, int target = STDOUT_FILENO)
      : target_(target), saved_(::dup(target)) {
    std::fflush(stdout);
    ::dup2(fd, target_);
  }
  ~StdoutRedirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }

 private:
  int target_, saved_;
};

pb::ProgressBarWidth widthAfterCreation(pb::ProgressBarWidth requested) {
  pb::Style<> s{.styleWidth = requested};
  std::ostringstream sink;
  return pb::hNewProgressBar(sink, s, 10.0, Progress<>{0, 10}).pbStyle().styleWidth;
}

std::int64_t terminalWidth(const pb::ProgressBarWidth& w) {
  EXPECT_TRUE(std::holds_alternative<pb::TerminalWidth>(w));
  return std::get<pb::TerminalWidth>(w).n;
}

TEST(TerminalWidth, FollowsAPseudoTerminalOnStandardOutput) {
  OPEN_PTY_OR_SKIP(pty, 120, 40);
  for (const unsigned short columns : {120, 0}) {
    pty->resize(columns, 40);
    StdoutRedirect redirect(pty->slave());
    EXPECT_EQ(terminalWidth(widthAfterCreation(pb::TerminalWidth{50})), columns);
    const auto constant = widthAfterCreation(pb::ConstantWidth{40});
    ASSERT_TRUE(std::holds_alternative<pb::ConstantWidth>(constant));
    EXPECT_EQ(std::get<pb::ConstantWidth>(constant).n, 40);
  }
}

TEST(TerminalWidth, KeepsTheFallbackWhenStandardOutputIsAFile) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  StdoutRedirect redirect(::fileno(file));
  EXPECT_EQ(terminalWidth(widthAfterCreation(pb::TerminalWidth{50})), 50);
  pb::Style<> s{.styleWidth = pb::TerminalWidth{12}};
  std::ostringstream sink;
  pb::hNewProgressBar(sink, s, 10.0, Progress<>{1, 2});
  EXPECT_EQ(sink.str(), "[==>..]  50%\r");
  std::fclose(file);
}

// The display asks its own descriptor: standard output is a file meanwhile
// (so results are checked once it is back).
TEST(DisplayOnAPty, IsATerminalOfItsOwnWidthAndFollowsAResize) {
  OPEN_PTY_OR_SKIP(pty, 50, 10);
  testsupport::FdBuf buf(pty->slave());
  std::ostream out(&buf);
  testsupport::Screen screen(10, 50);
  bool terminal = false;
  std::string first, narrowed;
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    StdoutRedirect redirect(::fileno(file));
    pb::Display display(out, pty->slave(), pb::DisplayOptions{.colour = false});
    terminal = display.isTerminal();
    pb::Style<> s{.stylePrefix = "pty"};
    const auto bar = display.add(s, Progress<>{1, 4});
    screen.feed(pty->output());
    first = screen.row(0);
    pty->resize(30, 10);
    screen.resize(10, 30);
    testclock::advance(std::chrono::seconds(1));
    pb::incProgress(bar, 1);
    screen.feed(pty->output());
    narrowed = screen.row(0);
  }
  std::fclose(file);
  EXPECT_TRUE(terminal);
  EXPECT_EQ(first, "pty [=========>.............................]  25%");
  EXPECT_EQ(narrowed, "pty [=========>.........]  50%");
  screen.feed(pty->output());
  EXPECT_EQ(screen.cursorRow(), 1) << "below the block once the display ends";
}

// Descriptor 0 is a descriptor like any other.
TEST(DisplayOnAPty, MayBeOnStandardInput) {
  OPEN_PTY_OR_SKIP(pty, 30, 10);
  std::ostringstream out;
  {
    StdoutRedirect redirect(pty->slave(), STDIN_FILENO);
    pb::Display display(out, STDIN_FILENO, pb::DisplayOptions{.colour = false});
    EXPECT_TRUE(display.isTerminal());
    display.add(pb::Style<>{.stylePrefix = "a"}, Progress<>{1, 4});
  }
  testsupport::Screen screen(10, 30);
  screen.feed(out.str());
  EXPECT_EQ(screen.row(0), "a [=====>...............]  25%");
}

// A stated terminal is the size it was told, whatever standard output is.
TEST(DisplayOnAStatedTerminal, KeepsItsSizeWhenStandardOutputIsATerminal) {
  OPEN_PTY_OR_SKIP(pty, 100, 40);
  std::ostringstream out;
  {
    StdoutRedirect redirect(pty->slave());
    pb::Display display(out, pb::AsTerminal{30, 12}, pb::DisplayOptions{.colour = false});
    display.add(pb::Style<>{.stylePrefix = "a"}, Progress<>{1, 4});
  }
  testsupport::Screen screen(12, 30);
  screen.feed(out.str());
  EXPECT_EQ(screen.row(0), "a [=====>...............]  25%");
}

TEST(DisplayOnAPipe, IsALog) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  testsupport::FdBuf buf(fds[1]);
  std::ostream out(&buf);
  {
    pb::Display display(out, fds[1]);
    EXPECT_FALSE(display.isTerminal());
    display.add(pb::Style<>{.styleWidth = pb::ConstantWidth{20}}, Progress<>{3, 10});
  }
  EXPECT_EQ(testsupport::drain(fds[0]), "[=========>....................]  30%\n");
  ::close(fds[0]);
  ::close(fds[1]);
}

using Env = testsupport::ScopedEnv;

// A terminal that cannot move the cursor gets the log.
TEST(DisplayOnAPty, IsALogWhenTheTerminalIsDumb) {
  OPEN_PTY_OR_SKIP(pty, 50, 10);
  const Env term("TERM", "dumb");
  testsupport::FdBuf buf(pty->slave());
  std::ostream out(&buf);
  {
    pb::Display display(out, pty->slave());
    EXPECT_FALSE(display.isTerminal());
    display.add(pb::Style<>{.styleWidth = pb::ConstantWidth{20}}, Progress<>{3, 10});
  }
  EXPECT_EQ(pty->output(),
            "[=========>....................]  30%\r\n");  // the terminal's own CR before LF
}

TEST(Colour, FollowsTheTerminalAndTheEnvironmentUnlessForced) {
  // clang-format off
  const struct {
    bool terminal;
    const char *noColor, *term, *force;
    std::optional<bool> forced;
    bool colour;
  } rows[] = {
      {true, nullptr, "xterm", nullptr, std::nullopt, true},
      {false, nullptr, "xterm", nullptr, std::nullopt, false},
      {true, "1", "xterm", nullptr, std::nullopt, false},
      {true, "", "xterm", nullptr, std::nullopt, true},  // empty NO_COLOR: unset
      {true, nullptr, "dumb", nullptr, std::nullopt, false},
      {false, nullptr, "xterm", "1", std::nullopt, true},
      {false, nullptr, "xterm", "0", std::nullopt, false},
      {false, nullptr, "xterm", "", std::nullopt, false},
      {true, "1", "dumb", "yes", std::nullopt, true},
      {true, nullptr, "xterm", "1", false, false},
      {false, "1", "dumb", nullptr, true, true},
  };
  // clang-format on
  for (const auto& r : rows) {
    const Env noColor("NO_COLOR", r.noColor), term("TERM", r.term),
        force("CLICOLOR_FORCE", r.force);
    EXPECT_EQ(pb::detail::colourWanted(r.terminal, r.forced), r.colour)
        << r.terminal << " NO_COLOR=" << (r.noColor ? r.noColor : "-") << " TERM=" << r.term
        << " CLICOLOR_FORCE=" << (r.force ? r.force : "-");
  }
}

}  // namespace
