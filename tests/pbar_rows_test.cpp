// pbar's shared rows against what the shared file holds before it: a file of
// a live group is joined, anything else (rows of processes gone, a process
// id reused by another, a file of someone else's making) is a fresh group.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "rows.hpp"

namespace {

// When process `pid` started, as /proc/PID/stat's 22nd field says.
std::string startOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;
  return field;
}

class SharedRows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(slave_, &raw), 0);
    ::cfmakeraw(&raw);  // the bytes as written, no "\r" before each "\n"
    ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &raw), 0);
    char dir[] = "/tmp/pbar-rows-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    struct stat tty {};
    ASSERT_EQ(::fstat(slave_, &tty), 0);
    path_ = dir_ + "/pbar-rows-" + std::to_string(::getuid()) + "-" + std::to_string(tty.st_rdev) +
            "-" + std::to_string(::getpgrp());
  }
  void TearDown() override {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
    ::close(master_);
    ::close(slave_);
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  std::string written() {
    std::string out;
    char chunk[4096];
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(master_, chunk, sizeof chunk)) > 0;) out.append(chunk, n);
    return out;
  }
  std::string file() {
    std::ifstream in(path_);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  int master_ = -1, slave_ = -1;
  std::string dir_, path_;
  const pbar::Gate open_{0, false};
};

TEST_F(SharedRows, OnlyALiveGroupIsJoined) {
  const std::string self = std::to_string(::getpid()) + " " + startOf(::getpid());
  const struct {
    const char* what;
    std::string before;  // the file's text; "-" for no file
    bool joins;
  } cases[] = {
      {"no file", "-", false},
      {"an empty file", "", false},
      {"a live row", self + " 0\n", true},
      {"a live row with its final line", self + " 1\n", true},
      {"two rows, one live", "999999999 5 0\n" + self + " 0\n", true},
      {"a process id reused", std::to_string(::getpid()) + " 5000 0\n", false},
      {"init at another start", "1 5000 0\n", false},
      {"a process gone", "999999999 5 0\n", false},
      {"words", "hello there\n", false},
      {"a field too many", self + " 0 7\n", false},
      {"a bad mark", self + " 2\n", false},
  };
  for (const auto& c : cases) {
    if (c.before != "-") std::ofstream(path_) << c.before;
    {
      pbar::TerminalRows rows(slave_, 1, open_, std::nullopt);
      rows.draw(0, "line");
      const std::string out = written();
      EXPECT_EQ(out.substr(0, 4), c.joins ? "\n\x1b[K" : "\r\x1b[K") << c.what;
      EXPECT_NE(out.find("line"), std::string::npos) << c.what;
    }
    ::unlink(path_.c_str());
    written();
  }
}

TEST_F(SharedRows, TheLastToLeaveRemovesTheFileAndEndsTheRows) {
  // A live group member of its own: a child that waits.
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(gate[1]);
    char c;
    (void)::read(gate[0], &c, 1);
    ::_exit(0);
  }
  ::close(gate[0]);
  for (const bool otherLive : {false, true}) {
    if (otherLive) std::ofstream(path_) << child << ' ' << startOf(child) << " 0\n";
    {
      pbar::TerminalRows rows(slave_, 2, open_, std::nullopt);
      rows.draw(1, "one");
      rows.draw(0, "two");
      rows.draw(1, "one again");
    }
    const std::string out = written();
    // The rows' moves: row 1 is above row 0, which was taken after it.
    EXPECT_NE(out.find("\r\x1b[1A\x1b[Kone again\r\x1b[1B"), std::string::npos) << otherLive;
    EXPECT_EQ(out.ends_with("\n"), !otherLive) << otherLive;
    EXPECT_EQ(::access(path_.c_str(), F_OK) == 0, otherLive) << otherLive;
    if (otherLive) {
      const std::string rest = file();
      EXPECT_NE(rest.find(std::to_string(::getpid()) + ' ' + startOf(::getpid()) + " 1\n"),
                std::string::npos);
    }
  }
  ::close(gate[1]);
  ::waitpid(child, nullptr, 0);
}

}  // namespace
