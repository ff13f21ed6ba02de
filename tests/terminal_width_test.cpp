#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "System/ProgressBar/Bar.hpp"

namespace pb = System::ProgressBar;
using pb::Progress;

namespace {

// Points standard output at `fd` for the lifetime of the object.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

pb::ProgressBarWidth widthAfterCreation(pb::ProgressBarWidth requested) {
  pb::Style<> s = pb::defStyle();
  s.styleWidth = requested;
  std::ostringstream sink;
  return pb::hNewProgressBar(sink, s, 10.0, Progress<>{0, 10}).pbStyle().styleWidth;
}

std::int64_t terminalWidth(const pb::ProgressBarWidth& w) {
  EXPECT_TRUE(std::holds_alternative<pb::TerminalWidth>(w));
  return std::get<pb::TerminalWidth>(w).n;
}

TEST(TerminalWidth, FollowsAPseudoTerminalOnStandardOutput) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  for (const unsigned short columns : {120, 0}) {
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 40;
    ASSERT_EQ(::ioctl(slave, TIOCSWINSZ, &size), 0);
    StdoutRedirect redirect(slave);
    EXPECT_EQ(terminalWidth(widthAfterCreation(pb::TerminalWidth{50})), columns);
    // A constant width is kept whatever the terminal says.
    const auto constant = widthAfterCreation(pb::ConstantWidth{40});
    ASSERT_TRUE(std::holds_alternative<pb::ConstantWidth>(constant));
    EXPECT_EQ(std::get<pb::ConstantWidth>(constant).n, 40);
  }
  ::close(slave);
  ::close(master);
}

TEST(TerminalWidth, KeepsTheFallbackWhenStandardOutputIsAFile) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  StdoutRedirect redirect(::fileno(file));
  EXPECT_EQ(terminalWidth(widthAfterCreation(pb::TerminalWidth{50})), 50);
  std::fclose(file);
}

TEST(TerminalWidth, TheFirstLineUsesTheResolvedWidth) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  StdoutRedirect redirect(::fileno(file));
  pb::Style<> s = pb::defStyle();
  s.styleWidth = pb::TerminalWidth{12};
  std::ostringstream sink;
  pb::hNewProgressBar(sink, s, 10.0, Progress<>{1, 2});
  EXPECT_EQ(sink.str(), "[==>..]  50%\r");
  std::fclose(file);
}

}  // namespace
