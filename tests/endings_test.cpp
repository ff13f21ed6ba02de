// Things that end: a display, its bars' handles, redirections, captures,
// line streams and suspensions may end in any order, from any thread, and the
// display's last frame tells the truth whatever went first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ext/stdio_filebuf.h>
#include <latch>
#include <optional>
#include <string>
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

Lines splitLines(const std::string& bytes) {
  Lines lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::size_t countOf(const Lines& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// Lines of the bar of `counted()` that show `counts` ("150/200").
std::size_t countShowing(const Lines& lines, const std::string& counts) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
    return l.starts_with("work ") && l.ends_with(" " + counts);
  }));
}

pb::Style<> counted() {
  return pb::Style<>{
      .stylePrefix = "work", .stylePostfix = pb::exact(), .styleWidth = pb::ConstantWidth{20}};
}

// The quick start's shape, left early: the handle is declared after the
// display, so it goes first, with progress that no line showed yet.
TEST(FinalFrame, HandlesThatGoFirstLeaveTheirStoredProgress) {
  for (const bool terminal : {true, false}) {
    testclock::setCoarse(0ns, 4ms);
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    {
      std::optional<pb::Display> display;
      if (terminal) {
        display.emplace(out, pb::AsTerminal{40, 10}, pb::DisplayOptions{.colour = false});
      } else {
        display.emplace(out, pb::AsLog{});
      }
      const auto bar = display->add(counted(), 200);
      for (int i = 0; i < 200; ++i) {
        if (i == 150) break;
        testclock::advance(1ms);  // drawn at most every 100 ms: the last 50 steps are unseen
        pb::incProgress(bar, 1);
      }
    }
    if (terminal) {
      testsupport::Screen screen(10, 40);
      screen.feed(buf.bytes);
      EXPECT_EQ(countShowing(screen.lines(), "150/200"), 1u);
      EXPECT_EQ(screen.lines().size(), 1u);
    } else {
      const Lines lines = splitLines(buf.bytes);
      EXPECT_EQ(countShowing(lines, "150/200"), 1u);
      EXPECT_EQ(countShowing({lines.back()}, "150/200"), 1u);
    }
  }
}

// A finished bar's handle going first keeps its final line once; a bar whose
// handle went with nothing unseen keeps its line as it was.
TEST(FinalFrame, EachFinalLineOnceWhateverWentFirst) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  {
    pb::Display display(out, pb::AsLog{});
    {
      const auto done = display.add(counted(), 2);
      pb::incProgress(done, 2);
      const auto quiet = display.add(counted(), 4);
      testclock::advance(1s);
      pb::incProgress(quiet, 1);  // drawn: nothing unseen
    }
    display.end();
  }
  const Lines lines = splitLines(buf.bytes);
  EXPECT_EQ(countShowing(lines, "2/2"), 1u);
  EXPECT_EQ(countShowing(lines, "1/4"), 1u);
}

// A removed running bar keeps counting and never draws again, on a terminal
// and in a log, whatever its later updates do.
TEST(Remove, ARemovedBarNeverDrawsAgain) {
  for (const bool terminal : {true, false}) {
    testclock::setCoarse(0ns, 4ms);
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    std::optional<pb::Display> display;
    if (terminal) {
      display.emplace(out, pb::AsTerminal{40, 10}, pb::DisplayOptions{.colour = false});
    } else {
      display.emplace(out, pb::AsLog{});
    }
    const auto gone = display->add(pb::Style<>{.stylePrefix = "gone"}, 10);
    const auto kept = display->add(pb::Style<>{.stylePrefix = "kept"}, 10);
    display->remove(gone);
    const std::size_t before = buf.bytes.size();
    testclock::advance(1s);
    pb::incProgress(gone, 3);
    pb::setTotal(gone, 20);
    pb::reset(gone);
    pb::incProgress(gone, 20);  // complete
    pb::finish(gone);
    EXPECT_EQ(buf.bytes.size(), before) << terminal;
    EXPECT_EQ(gone.pbStateMv().read().stProgress.progressDone, 20);
    pb::incProgress(kept, 10);
    display->end();
    EXPECT_EQ(buf.bytes.find("gone", before), std::string::npos) << terminal;
    EXPECT_NE(buf.bytes.find("kept", before), std::string::npos) << terminal;
  }
}

// Lines printed above a terminal's block keep their shape: whatever wraps,
// tabs or wide characters do at a row's end, no cell of an old row is left
// beside them.
TEST(PrintedShape, NoCellOfAnOldRowIsLeftBesideAPrintedLine) {
  struct Case {
    const char* text;
    Lines shown;  // the printed line's rows on a terminal 10 columns wide
  };
  const Case cases[] = {
      {"a\tb", {"a       b"}},
      {"0123456\tx", {"0123456 x"}},
      {"012345678\tx", {"012345678", "x"}},          // a tab to the row's end
      {"abcdefghi\u4e2d", {"abcdefghi", "\u4e2d"}},  // a wide character at the last column
      {"\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d", {"\u4e2d\u4e2d\u4e2d\u4e2d\u4e2d", "\u4e2d"}},
      {"ab\x1b[2Jcd\x1b[5Aef\x07", {"abcdef"}},  // what moves the cursor is dropped
      {"0123456789abc", {"0123456789", "abc"}},
      {"0123456789", {"0123456789"}},
      {"0123456789\tx", {"0123456789", "        x"}},  // a tab after a full row
  };
  for (const Case& c : cases) {
    testclock::setCoarse(0ns, 4ms);
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    testsupport::Screen screen(8, 10);
    SCOPED_TRACE(c.text);
    pb::Display display(out, pb::AsTerminal{10, 8}, pb::DisplayOptions{.colour = false});
    const pb::Style<> full{.stylePrefix = "XXXXXXXXXX"};  // rows cut to the full width
    std::vector<pb::ProgressBar<>> bars;
    for (int i = 0; i < 4; ++i) bars.push_back(display.add(full, 1));
    display.printAbove(c.text);
    display.end();
    screen.feed(buf.bytes);
    Lines expected = c.shown;
    for (auto& line : expected) line.erase(line.find_last_not_of(' ') + 1);
    for (int i = 0; i < 4; ++i) expected.push_back("XXXXXXXXXX");
    EXPECT_EQ(screen.lines(), expected) << c.text;
  }
}

// With colour, a printed line keeps its colour and links, and drops what
// changes the screen; its colour ends with it.
TEST(PrintedShape, ColourStaysOnItsLine) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsTerminal{40, 8}, pb::DisplayOptions{.colour = true});
  display.printAbove("\x1b[31mred\x1b[2J \x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\\x1bm");
  EXPECT_NE(buf.bytes.find("\x1b[31mred \x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\\x1b[0m\r\n"),
            std::string::npos);
}

// The objects that end, each made in this order and ended in every order.
enum class Part { kDisplay, kHandle, kCapture, kRedirect, kLines, kSuspension };
constexpr std::array kParts = {Part::kDisplay,  Part::kHandle, Part::kCapture,
                               Part::kRedirect, Part::kLines,  Part::kSuspension};

struct World {
  testsupport::RecordingBuf log;
  std::ostream out{&log};
  int fd = -1;  // captured: a pipe the test reads what reaches it directly
  int read = -1;
  testsupport::RecordingBuf streamBuf;
  std::ostream stream{&streamBuf};  // redirected
  std::optional<pb::Display> display;
  std::optional<pb::ProgressBar<>> bar;
  std::optional<pb::CaptureOutput> capture;
  std::optional<pb::RedirectStream> redirect;
  std::optional<std::jthread> writer;  // holds a line stream with a line unfinished
  std::optional<std::latch> letGo;
  std::optional<pb::Suspension> suspension;
  struct stat before {};  // the captured descriptor before anything
};

void make(World& w, const std::vector<Part>& parts) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  w.read = p[0];
  w.fd = p[1];
  ASSERT_EQ(::fstat(w.fd, &w.before), 0);
  w.display.emplace(w.out, pb::AsLog{});
  const auto has = [&](Part part) { return std::count(parts.begin(), parts.end(), part) != 0; };
  if (has(Part::kHandle)) {
    w.bar.emplace(w.display->add(counted(), 10));
    pb::incProgress(*w.bar, 3);  // unseen
  }
  if (has(Part::kCapture))
    w.capture.emplace(*w.display, std::initializer_list<int>{w.fd}, pb::Route::Always);
  if (has(Part::kRedirect)) w.redirect.emplace(w.stream, *w.display, pb::Route::Always);
  if (has(Part::kLines)) {
    w.letGo.emplace(1);
    std::latch written(1);
    w.writer.emplace([&w, &written, display = &*w.display] {
      display->lines() << "thread line";
      written.count_down();
      w.letGo->wait();
    });
    written.wait();
  }
  if (has(Part::kSuspension)) w.suspension.emplace(*w.display);
  if (has(Part::kCapture)) {
    ASSERT_EQ(::write(w.fd, "captured\n", 9), 9);
  }
  w.stream << "redirected\n";
}

void end(World& w, Part part) {
  switch (part) {
    case Part::kDisplay:
      w.display.reset();
      break;
    case Part::kHandle:
      w.bar.reset();
      break;
    case Part::kCapture:
      w.capture.reset();
      break;
    case Part::kRedirect:
      w.redirect.reset();
      break;
    case Part::kLines:
      if (!w.writer) break;
      w.letGo->count_down();
      w.writer.reset();
      break;
    case Part::kSuspension:
      w.suspension.reset();
      break;
  }
}

// Every order of endings of two and of three of the parts, one order on
// another thread: nothing crashes or is written through a freed object (the
// sanitizer builds run this), each line arrives once, the bar's final line
// shows its stored progress once, and the descriptor and the stream are as
// they were.
TEST(Endings, AnyOrderOfEndingsIsSafe) {
  testclock::setCoarse(0ns, 4ms);
  std::vector<std::vector<Part>> subsets;
  for (std::size_t a = 0; a < kParts.size(); ++a) {
    for (std::size_t b = a + 1; b < kParts.size(); ++b) {
      subsets.push_back({kParts[a], kParts[b]});
      for (std::size_t c = b + 1; c < kParts.size(); ++c) {
        subsets.push_back({kParts[a], kParts[b], kParts[c]});
      }
    }
  }
  int runs = 0;
  for (std::vector<Part> parts : subsets) {
    std::sort(parts.begin(), parts.end());
    do {
      for (const bool threaded : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "order " << [&] {
          std::string s;
          for (const Part p : parts) s += std::to_string(static_cast<int>(p));
          return s;
        }() << (threaded ? " (last on another thread)" : ""));
        World w;
        make(w, parts);
        for (std::size_t i = 0; i < parts.size(); ++i) {
          if (threaded && i + 1 == parts.size()) {
            std::jthread([&] { end(w, parts[i]); }).join();
          } else {
            end(w, parts[i]);
          }
        }
        // Whatever was not among the parts ends last, in the order made.
        for (const Part p : {Part::kSuspension, Part::kLines, Part::kRedirect, Part::kCapture,
                             Part::kHandle, Part::kDisplay}) {
          end(w, p);
        }
        const Lines logged = splitLines(w.log.take());
        const std::string direct = testsupport::drain(w.read);
        const auto has = [&](Part part) {
          return std::count(parts.begin(), parts.end(), part) != 0;
        };
        if (has(Part::kCapture)) {
          EXPECT_EQ(countOf(logged, "captured") + (direct == "captured\n" ? 1 : 0), 1u);
        }
        if (has(Part::kRedirect)) {
          // While suspended, the stream's own buffer takes it as it comes.
          EXPECT_EQ(
              countOf(logged, "redirected") + countOf(splitLines(w.streamBuf.bytes), "redirected"),
              1u);
          EXPECT_EQ(w.stream.rdbuf(), &w.streamBuf);
        }
        if (has(Part::kLines)) {
          EXPECT_EQ(countOf(logged, "thread line"), 1u);
        }
        if (has(Part::kHandle)) {
          EXPECT_EQ(countShowing(logged, "3/10"), 1u);
        }
        struct stat after {};
        ASSERT_EQ(::fstat(w.fd, &after), 0);
        EXPECT_EQ(after.st_ino, w.before.st_ino);
        ::close(w.fd);
        ::close(w.read);
        ++runs;
      }
    } while (std::next_permutation(parts.begin(), parts.end()));
  }
  EXPECT_EQ(runs, 2 * (15 * 2 + 20 * 6));
}

// Captures and redirections of one descriptor or stream, nested and ended
// outer first: the program's next writes still arrive, once, and never
// through a pipe whose reader has gone (which would end it with SIGPIPE).
TEST(Endings, NestedCapturesAndRedirectionsEndedOuterFirst) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf log;
  std::ostream out(&log);
  pb::Display display(out, pb::AsLog{});
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  testsupport::RecordingBuf streamBuf;
  std::ostream stream(&streamBuf);
  {
    std::optional<pb::CaptureOutput> outer(std::in_place, display, std::initializer_list<int>{p[1]},
                                           pb::Route::Always);
    std::optional<pb::RedirectStream> outerStream(std::in_place, stream, display,
                                                  pb::Route::Always);
    pb::CaptureOutput inner(display, {p[1]}, pb::Route::Always);
    pb::RedirectStream innerStream(stream, display, pb::Route::Always);
    outer.reset();
    outerStream.reset();
    ASSERT_EQ(::write(p[1], "after the outer\n", 16), 16);
    stream << "stream after the outer\n";
  }
  ASSERT_EQ(::write(p[1], "after both\n", 11), 11);
  stream << "stream after both\n";
  EXPECT_EQ(stream.rdbuf(), &streamBuf);
  const Lines logged = splitLines(log.take());
  EXPECT_EQ(countOf(logged, "after the outer"), 1u);
  EXPECT_EQ(countOf(logged, "stream after the outer"), 1u);
  EXPECT_EQ(testsupport::drain(p[0]), "after both\n");
  EXPECT_EQ(streamBuf.bytes, "stream after both\n");
  ::close(p[0]);
  ::close(p[1]);
}

// Redirections of the display's own stream, nested: the display's lines go
// to the stream's own buffer, never through a redirection, and a line
// written to the stream goes above once.
TEST(Endings, NestedRedirectionsOfTheDisplaysOwnStreamLeaveItsLinesAlone) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf log;
  std::ostream out(&log);
  pb::Display display(out, pb::AsLog{});
  {
    pb::RedirectStream outer(out, display, pb::Route::Always);
    pb::RedirectStream inner(out, display, pb::Route::Always);
    out << "a line\n";
    const auto bar = display.add(pb::Style<>{.stylePrefix = "bar"}, pb::Progress<>{0, 10});
    pb::incProgress(bar, 10);
  }
  EXPECT_EQ(out.rdbuf(), &log);
  const Lines logged = splitLines(log.take());
  ASSERT_EQ(logged.size(), 3u) << log.bytes;
  EXPECT_EQ(logged[0], "a line");
  EXPECT_EQ(logged[1].rfind("bar [", 0), 0u);
  EXPECT_EQ(logged[2].rfind("bar [", 0), 0u);
}

// A thread's unfinished line on `lines()` is written when the display ends,
// not when the thread does (by then the display's stream may be gone).
TEST(Endings, AnUnfinishedLineIsWrittenWhenTheDisplayEnds) {
  testclock::setCoarse(0ns, 4ms);
  std::latch written(1), ended(1);
  std::optional<std::jthread> thread;
  {
    testsupport::RecordingBuf log;
    std::ostream out(&log);
    {
      pb::Display display(out, pb::AsLog{});
      thread.emplace([&] {
        display.lines() << "no line feed";
        written.count_down();
        ended.wait();
      });
      written.wait();
    }
    EXPECT_EQ(log.bytes, "no line feed\n");
  }  // the stream is gone before the thread ends
  ended.count_down();
  thread.reset();
}

// A capture ends within about a second whatever a child still writes; what
// the child writes later goes straight to the descriptor's original.
TEST(Endings, ACaptureEndsInBoundedTimeWhileAChildKeepsWriting) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf log;
  std::ostream out(&log);
  pb::Display display(out, pb::AsLog{});
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  const std::string fd = std::to_string(p[1]);
  std::optional<pb::CaptureOutput> capture(std::in_place, display, std::initializer_list<int>{p[1]},
                                           pb::Route::Always);
  ASSERT_EQ(std::system(("(i=0; while [ $i -lt 400 ]; do echo tick; sleep 0.01; i=$((i+1)); "
                         "done; echo last) >&" +
                         fd + " 2>/dev/null </dev/null &")
                            .c_str()),
            0);
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  capture.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  // The child's last line reaches the pipe's own reader once the child ends.
  std::string direct;
  char chunk[4096];
  for (ssize_t n;
       direct.find("last\n") == std::string::npos && (n = ::read(p[0], chunk, sizeof chunk)) > 0;) {
    direct.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_NE(direct.find("last\n"), std::string::npos);
  for (const std::string& line : splitLines(direct)) {  // forwarded as written, nothing more
    EXPECT_TRUE(line == "tick" || line == "last" || line.empty()) << line;
  }
  EXPECT_NE(log.bytes.find("tick\n"), std::string::npos);
  ::close(p[0]);
  ::close(p[1]);
}

// A pseudo-terminal: the program's side, and what reached the terminal.
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    side = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  ~Pty() {
    ::close(side);
    ::close(master);
  }
  int master = -1, side = -1;
};

// What a capture or a redirection takes: only what shows on the display's
// own terminal; bytes for a file, a pipe, another terminal or a log display
// reach them as without the library.
TEST(Routing, OnlyWhatShowsOnTheDisplaysTerminalIsTaken) {
  testclock::setCoarse(0ns, 4ms);
  ::setenv("TERM", "xterm", 1);
  Pty mine, other;
  ASSERT_GE(mine.side, 0);
  ASSERT_GE(other.side, 0);
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  const int sameTerminal = ::fcntl(mine.side, F_DUPFD_CLOEXEC, 3);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int closed = ::fcntl(devNull, F_DUPFD_CLOEXEC, 3);
  ::close(closed);
  struct Case {
    const char* what;
    int fd;
    bool log;  // the display writes a log, not a terminal
    bool taken;
  };
  const Case cases[] = {
      {"the same terminal", sameTerminal, false, true},
      {"the same terminal, a log display", sameTerminal, true, false},
      {"another terminal", other.side, false, false},
      {"a pipe", p[1], false, false},
      {"/dev/null", devNull, false, false},
      {"a closed descriptor", closed, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::RecordingBuf shown;
    std::ostream out(&shown);
    std::optional<pb::Display> display;
    if (c.log) {
      display.emplace(out, pb::AsLog{});
    } else {
      display.emplace(out, mine.side, pb::DisplayOptions{.colour = false});
    }
    {
      pb::CaptureOutput capture(*display, {c.fd});
      const bool written = ::write(c.fd, "probe by write\n", 15) == 15;
      EXPECT_EQ(written, c.fd != closed);
    }
    {
      __gnu_cxx::stdio_filebuf<char> file(
          ::fcntl(c.fd == closed ? devNull : c.fd, F_DUPFD_CLOEXEC, 3), std::ios::out);
      std::ostream stream(&file);
      pb::RedirectStream redirect(stream, *display);
      stream << "probe by stream" << std::endl;
    }
    display.reset();
    EXPECT_EQ(shown.bytes.find("probe by write") != std::string::npos, c.taken);
    EXPECT_EQ(shown.bytes.find("probe by stream") != std::string::npos, c.taken);
    if (c.fd == p[1]) {
      EXPECT_EQ(testsupport::drain(p[0]), "probe by write\nprobe by stream\n");
    }
    EXPECT_EQ(::fcntl(closed, F_GETFD), -1);  // still closed
  }
  // Whatever the route, a closed descriptor stays closed and nothing fails;
  // an idle capture ends after its tenth of a second of quiet, not its most.
  {
    testsupport::RecordingBuf shown;
    std::ostream out(&shown);
    pb::Display display(out, pb::AsLog{});
    const auto start = std::chrono::steady_clock::now();
    { pb::CaptureOutput capture(display, {closed, p[1]}, pb::Route::Always); }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
    EXPECT_EQ(::fcntl(closed, F_GETFD), -1);
  }
  // A stream on a buffer of the caller's cannot say where it goes: taken.
  testsupport::RecordingBuf shown, own;
  std::ostream out(&shown), stream(&own);
  {
    pb::Display display(out, mine.side, pb::DisplayOptions{.colour = false});
    pb::RedirectStream redirect(stream, display);
    stream << "probe\n";
  }
  EXPECT_NE(shown.bytes.find("probe"), std::string::npos);
  EXPECT_EQ(own.bytes, "");
  for (const int fd : {sameTerminal, devNull, p[0], p[1]}) ::close(fd);
}

// A terminal stated on a stream that writes to a captured descriptor: the
// display's own frames are never captured (they would fill the pipe its
// reader writes them to, and the capture would never end).
TEST(Routing, AStatedTerminalOnACapturedDescriptorKeepsItsOwnOutput) {
  testclock::setCoarse(0ns, 4ms);
  const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(sink, 0);
  __gnu_cxx::stdio_filebuf<char> file(::fcntl(sink, F_DUPFD_CLOEXEC, 3), std::ios::out);
  std::ostream stream(&file);
  pb::Display display(stream, pb::AsTerminal{40});
  const auto bar = display.add(counted(), 3000);
  {
    pb::CaptureOutput capture(display, {sink}, pb::Route::Always);
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(::write(sink, "a line of output\n", 17), 17);
      pb::incProgress(bar, 1);
    }
  }
  ::close(sink);
}

// Nested captures of the display's own terminal: the inner one takes it too,
// and goes on taking it once the outer one has ended.
TEST(Routing, AnInnerCaptureOfTheTerminalGoesOnAfterTheOuter) {
  testclock::setCoarse(0ns, 4ms);
  ::setenv("TERM", "xterm", 1);
  Pty mine;
  ASSERT_GE(mine.side, 0);
  const int fd = ::fcntl(mine.side, F_DUPFD_CLOEXEC, 3);
  testsupport::RecordingBuf shown;
  std::ostream out(&shown);
  {
    pb::Display display(out, mine.side, pb::DisplayOptions{.colour = false});
    std::optional<pb::CaptureOutput> outer(std::in_place, display, std::initializer_list<int>{fd});
    pb::CaptureOutput inner(display, {fd});
    outer.reset();
    ASSERT_EQ(::write(fd, "after the outer\n", 16), 16);
  }
  EXPECT_NE(shown.bytes.find("after the outer"), std::string::npos);
  ::close(fd);
}

// A display that ends while suspended still draws its final frame.
TEST(FinalFrame, ADisplayEndedWhileSuspendedDrawsItsLastFrame) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  std::optional<pb::Display> display(std::in_place, out, pb::AsTerminal{40, 10},
                                     pb::DisplayOptions{.colour = false});
  const auto bar = display->add(counted(), 10);
  pb::incProgress(bar, 3);
  {
    pb::Suspension pause(*display);
    display.reset();
  }
  testsupport::Screen screen(10, 40);
  screen.feed(buf.bytes);
  EXPECT_EQ(countShowing(screen.lines(), "3/10"), 1u);
}

// Lines after a log display has ended are still lines; a failed line of
// `lines()` is not the start of the next; C1 controls stay out of a log.
TEST(LogLines, LinesStayLinesAfterTheEndAndAfterAFailure) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  {
    pb::Display display(out, pb::AsLog{});
    pb::LineSink sink(display);
    display.printAbove("next\xc2\x85line");
    buf.armed = true;
    EXPECT_ANY_THROW(display.lines() << "lost" << std::endl);
    buf.armed = false;
    display.lines() << "kept" << std::endl;
    display.end();
    sink.write("ended: one\ntwo");
  }
  EXPECT_EQ(splitLines(buf.bytes), (Lines{"nextline", "kept", "ended: one", "two"}));
}

// A display whose stream writes to a closed descriptor (a program started
// with 2>&-) draws nowhere, and no update fails.
TEST(Routing, ADisplayOnAClosedDescriptorDrawsNowhere) {
  testclock::setCoarse(0ns, 4ms);
  std::FILE* file = std::fopen("/dev/null", "w");
  ASSERT_NE(file, nullptr);
  const int fd = ::fileno(file);
  {
    __gnu_cxx::stdio_filebuf<char> buf(file, std::ios::out);
    std::ostream stream(&buf);
    ::close(fd);
    {
      pb::Display display(stream, fd);
      const auto bar = display.add(counted(), 10);
      EXPECT_NO_THROW(pb::incProgress(bar, 10));
      EXPECT_NO_THROW(display.printAbove("nowhere"));
    }
    EXPECT_TRUE(stream.good());
    const int again = ::open("/dev/null", O_WRONLY | O_CLOEXEC);  // for fclose to close
    if (again != fd) {
      ::dup2(again, fd);
      ::close(again);
    }
  }
  std::fclose(file);
}

}  // namespace
