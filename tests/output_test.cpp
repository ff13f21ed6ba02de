// Output from the rest of a program: a display's line streams, redirected
// streams, captured descriptors (a child process too) and suspending the
// display; each line arrives whole, once, above the block or in the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/recording_buf.hpp"
#include "support/screen.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

// Whether a sanitizer watches this build: their runtimes open descriptors
// for their own checks, so a test that uses them all up cannot run there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

Lines splitLines(const std::string& bytes) {
  Lines lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A log display whose every line the test reads back.
class Output : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  Lines logged() { return splitLines(buf.take()); }
  // Lines that start with `prefix`, each with how often it came.
  std::map<std::string, int> counted(const std::string& prefix) {
    std::map<std::string, int> counts;
    for (const std::string& line : logged()) {
      if (line.starts_with(prefix)) ++counts[line];
    }
    return counts;
  }

  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  std::optional<pb::Display> display{std::in_place, out, pb::AsLog{}};
};

pb::Style<> jobStyle() {
  return pb::Style<>{
      .stylePrefix = "job", .stylePostfix = pb::exact(), .styleWidth = pb::ConstantWidth{20}};
}

// The line of a job bar at done of 4, as a terminal shows it.
std::string jobAt(std::int64_t done) {
  std::string line = pb::renderProgressBar(jobStyle(), pb::Progress<>{done, 4}, pb::Timing{});
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

// Threads that each write `lines` lines in three pieces through `stream_of`.
template <class StreamOf>
void writeFromThreads(int threads, int lines, StreamOf streamOf) {
  std::vector<std::jthread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=] {
      for (int i = 0; i < lines; ++i) {
        std::ostream& s = streamOf();
        s << "line " << t << '.';
        s << i;
        s << std::endl;
      }
    });
  }
}

void expectEachOnce(const std::map<std::string, int>& counts, int threads, int lines) {
  EXPECT_EQ(counts.size(), static_cast<std::size_t>(threads * lines));
  for (const auto& [line, n] : counts) EXPECT_EQ(n, 1) << line;
}

TEST_F(Output, LinesFromManyThreadsArriveWholeAndOnce) {
  writeFromThreads(6, 150, [&]() -> std::ostream& { return display->lines(); });
  expectEachOnce(counted("line "), 6, 150);
}

TEST_F(Output, AThreadsLastLineWithoutALineFeedArrivesWhenTheThreadEnds) {
  std::jthread([&] { display->lines() << "first\nno line feed"; }).join();
  EXPECT_EQ(logged(), (Lines{"first", "no line feed"}));
}

TEST_F(Output, RedirectedStreamFromManyThreads) {
  testsupport::RecordingBuf ownBuf;
  std::ostream stream(&ownBuf);
  {
    pb::RedirectStream guard(stream, *display);
    writeFromThreads(6, 150, [&]() -> std::ostream& { return stream; });
    stream << "left over";
  }
  EXPECT_EQ(stream.rdbuf(), &ownBuf);
  EXPECT_EQ(ownBuf.bytes, "");
  std::map<std::string, int> counts = counted("");
  EXPECT_EQ(counts["left over"], 1);
  counts.erase("left over");
  expectEachOnce(counts, 6, 150);
}

TEST_F(Output, AThreadsUnfinishedLineIsNeverAnothersStart) {
  testsupport::RecordingBuf ownBuf;
  std::ostream stream(&ownBuf);
  {
    pb::RedirectStream guard(stream, *display);
    std::jthread([&] { stream << "half"; }).join();
    std::jthread([&] { stream << "whole\n"; }).join();
  }
  EXPECT_EQ(logged(), (Lines{"whole", "half"}));
}

TEST_F(Output, RedirectionUnwoundByAnExceptionPutsTheBufferBack) {
  testsupport::RecordingBuf ownBuf;
  std::ostream stream(&ownBuf);
  try {
    pb::RedirectStream guard(stream, *display);
    stream << "partial";
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(stream.rdbuf(), &ownBuf);
  stream << "after\n";
  EXPECT_EQ(ownBuf.bytes, "after\n");
  EXPECT_EQ(logged(), (Lines{"partial"}));
}

// The display's own stream redirected, and a display on a stream tied to
// the redirected one (as std::cerr is to std::cout): its writes flush that
// stream while it holds its lock, which must not wait on a writer.
TEST_F(Output, RedirectingTheDisplaysOwnOrTiedStream) {
  for (const bool tied : {false, true}) {
    testsupport::RecordingBuf otherBuf;
    std::ostream other(&otherBuf);
    if (tied) out.tie(&other);
    std::ostream& redirected = tied ? other : out;
    {
      pb::RedirectStream guard(redirected, *display);
      auto bar = display->add(jobStyle(), std::int64_t{2});
      writeFromThreads(3, 50, [&]() -> std::ostream& {
        pb::incProgress(bar, 0);
        return redirected;
      });
      pb::incProgress(bar, 2);
    }
    out.tie(nullptr);
    EXPECT_EQ(out.rdbuf(), &buf);
    const Lines lines = logged();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("line "); }),
              150);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "job [==============================] 2/2"), 1)
        << tied;
  }
}

// A descriptor of the test's own, captured: what a child process and this
// process write to it, cut into lines as a terminal would show them.
class Capture : public Output {
 protected:
  void SetUp() override {
    Output::SetUp();
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { ::close(fd); }
  void put(std::string_view bytes) const {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int fd = -1;
};

TEST_F(Capture, WritesAndAChildProcessArriveAsLines) {
  pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
  const std::string child = "printf 'child one\\nchild two' >&" + std::to_string(fd) +
                            "; echo ' (same line)' >&" + std::to_string(fd);
  ASSERT_EQ(std::system(child.c_str()), 0);
  put("10%\r20%\r\n");              // a line that redraws itself shows its last form
  put("a\x1b[1mbold\x1b[0m\tb\n");  // a log keeps no escape, and of controls tabs only
  put("bad \xff byte\n");
  put("no line feed");
  capture.end();
  EXPECT_EQ(logged(), (Lines{"child one", "child two (same line)", "20%", "abold\tb",
                             "bad \xff byte", "no line feed"}));
  put("after the end\n");  // the descriptor is its own again
  EXPECT_EQ(logged(), Lines{});
}

// A child that keeps the descriptor and writes later does not hold the end
// of the capture up: it ends after a tenth of a second of quiet.
TEST_F(Capture, AChildStillWritingDoesNotHoldTheEndUp) {
  pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
  const std::string child =
      "(sleep 3; echo late) >&" + std::to_string(fd) + " 2>/dev/null </dev/null &";
  ASSERT_EQ(std::system(child.c_str()), 0);
  const auto start = std::chrono::steady_clock::now();
  capture.end();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(Capture, ALongLineArrivesInPiecesOfAtMost64KiB) {
  // A character across the cut moves whole; bytes that start no character
  // move back at most a character's length.
  for (const auto& [inserted, cut] :
       {std::pair<std::string, std::size_t>{"\xc3\xa9", 65535}, {std::string(6, '\x80'), 65532}}) {
    std::string longLine(70000, 'x');
    longLine.replace(65535 - (cut == 65535 ? 0 : 3), inserted.size(), inserted);
    {
      pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
      std::jthread writer([&] { put(longLine + "\n"); });
    }
    const Lines lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], longLine.substr(0, cut));
    EXPECT_EQ(lines[1], longLine.substr(cut));
  }
}

TEST_F(Capture, ACaptureMayOutliveItsDisplay) {
  pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
  put("before\n");
  display.reset();
  put("after\n");
  capture.end();
  EXPECT_EQ(logged(), (Lines{"before", "after"}));
}

// Out of descriptors at each step of making a capture: it throws, and every
// descriptor is as it was, none left open.
TEST_F(Capture, AFailedCaptureLeavesTheDescriptorsAsTheyWere) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' own checks need descriptors";
  struct stat before {};
  ASSERT_EQ(::fstat(fd, &before), 0);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  int highest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // the lowest free descriptor
  ::close(highest);
  for (const rlim_t room : {0, 1, 2, 3, 4}) {  // the stop pipe, the dup, the pipe, ...
    rlimit tight = limit;
    tight.rlim_cur = static_cast<rlim_t>(highest) + room;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    bool threw = false;
    try {
      pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
    } catch (const std::system_error&) {
      threw = true;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_TRUE(threw) << room;
    struct stat after {};
    ASSERT_EQ(::fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << room;
    EXPECT_NE(::fcntl(STDOUT_FILENO, F_GETFD), -1) << room;
    const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(next, highest) << room;  // nothing left open
    ::close(next);
  }
}

// While the display is suspended the descriptor is its own again; what came
// before is above the block first.
TEST_F(Capture, SuspendingGivesTheDescriptorBack) {
  int real[2];
  ASSERT_EQ(::pipe2(real, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(::dup2(real[1], fd), fd);
  {
    pb::CaptureOutput capture(*display, {fd}, pb::Route::Always);
    put("before\n");
    display->suspend([&] { put("during\n"); });
    pb::Suspension pause(*display);
    put("paused\n");
  }
  put("after\n");
  EXPECT_EQ(logged(), (Lines{"before"}));
  EXPECT_EQ(testsupport::drain(real[0]), "during\npaused\nafter\n");
  ::close(real[0]);
  ::close(real[1]);
}

TEST_F(Capture, TheDisplaysOwnDescriptorKeepsDrawing) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
  const int displayFd = ::fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10);
  ::close(pipeFds[1]);
  std::string got;
  {
    testsupport::RecordingBuf unused;
    std::ostream never(&unused);  // the display is diverted to its descriptor
    pb::Display own(never, displayFd, pb::DisplayOptions{});
    pb::CaptureOutput capture(own, {displayFd}, pb::Route::Always);
    ASSERT_EQ(::write(displayFd, "captured\n", 9), 9);
    own.printAbove("from the display");
    {
      // A capture inside it writes the display where the outer one does:
      // the line reaches the real descriptor while the inner one lives.
      pb::CaptureOutput inner(own, {displayFd}, pb::Route::Always);
      ASSERT_EQ(::write(displayFd, "nested\n", 7), 7);
      const auto until = std::chrono::steady_clock::now() + 10s;
      while (got.find("nested\n") == std::string::npos &&
             std::chrono::steady_clock::now() < until) {
        pollfd p{pipeFds[0], POLLIN, 0};
        ::poll(&p, 1, 100);
        got += testsupport::drain(pipeFds[0]);
      }
      EXPECT_NE(got.find("nested\n"), std::string::npos);
    }
    // A capture that has been idle a while still reads.
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(::write(displayFd, "late\n", 5), 5);
    capture.end();
    EXPECT_EQ(unused.bytes, "");
  }
  ::close(displayFd);
  got += testsupport::drain(pipeFds[0]);
  ::close(pipeFds[0]);
  Lines lines = splitLines(got);
  std::sort(lines.begin(), lines.end());  // the captured line comes from another thread
  EXPECT_EQ(lines, (Lines{"captured", "from the display", "late", "nested"}));
}

// Suspending a display on a terminal erases the block, lets `f` write, and
// draws the block below it with what was counted meanwhile, also when `f`
// fails.
TEST(Suspend, ErasesRunsAndRedrawsBelowEvenWhenFFails) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(6, 30);
  pb::Display display(out, pb::AsTerminal{30, 6});
  auto bar = display.add(jobStyle(), std::int64_t{4});
  pb::incProgress(bar, 1);
  display.redraw();
  screen.feed(buf.take());
  ASSERT_EQ(screen.lines(), (Lines{jobAt(1)}));
  const auto during = [&](const char* text) {
    screen.feed(buf.take());
    EXPECT_EQ(screen.lines(), Lines{});  // erased
    out << text << '\n';
    pb::incProgress(bar, 1);  // counted, not drawn
    EXPECT_EQ(buf.bytes, std::string(text) + "\n");
  };
  EXPECT_THROW(display.suspend([&] {
    during("Continue? [y/n] y");
    throw std::runtime_error("f failed");
  }),
               std::runtime_error);
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"Continue? [y/n] y", jobAt(2)}));
  {
    pb::Suspension pause(display);
    screen.feed(buf.take());
    EXPECT_EQ(screen.lines(), (Lines{"Continue? [y/n] y"}));
    out << "again\n";
    pb::incProgress(bar, 1);
  }
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"Continue? [y/n] y", "again", jobAt(3)}));
  // Nested, the block is erased once and comes back once.
  display.suspend([&] {
    out << "outer\r\n";  // as a terminal's line discipline would turn "\n"
    pb::Suspension inner(display);
    out << "inner\n";
  });
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"Continue? [y/n] y", "again", "outer", "inner", jobAt(3)}));
  // A block of several rows is erased whole and comes back whole.
  testsupport::RecordingBuf pairBuf;
  std::ostream pairOut(&pairBuf);
  testsupport::Screen pairScreen(6, 30);
  pb::Display pair(pairOut, pb::AsTerminal{30, 6});
  pair.add(jobStyle(), std::int64_t{4});
  pair.add(jobStyle(), std::int64_t{4});
  pair.suspend([&] {
    pairScreen.feed(pairBuf.take());
    EXPECT_EQ(pairScreen.lines(), Lines{});
    pairOut << "between\n";
  });
  pairScreen.feed(pairBuf.take());
  EXPECT_EQ(pairScreen.lines(), (Lines{"between", jobAt(0), jobAt(0)}));
  // A display that shows nothing leaves the cursor where the program left it.
  std::ostringstream prompt;
  {
    pb::Display empty(prompt, pb::AsTerminal{30, 6});
    prompt << "Name: ";
    empty.suspend([&] { prompt << "Ann\n"; });
  }
  EXPECT_EQ(prompt.str(), "Name: Ann\n");
}

TEST_F(Output, SuspendInALogErasesNothing) {
  auto bar = display->add(jobStyle(), std::int64_t{2});
  display->suspend([&] { out << "prompt\n"; });
  pb::incProgress(bar, 2);
  EXPECT_EQ(logged(), (Lines{"job [..............................] 0/2", "prompt",
                             "job [==============================] 2/2"}));
}

}  // namespace
