// Child processes' bars in the parent's display: this test program started
// again as its own child (`--child=WHAT`), and pbar as a child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "display/report.hpp"
#include "support/fake_clock.hpp"

extern char** environ;

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

// What a child does with its display.
int runChild(std::string_view what) {
  if (what == "life") {
    pb::Display display;
    const auto a = display.add(pb::Style<>{.stylePrefix = "alpha"}, Progress<>{0, 10});
    const auto b = display.add(pb::Style<>{.stylePrefix = "beta"}, Progress<>{0, 10});
    const auto c = display.add(pb::Style<>{.stylePrefix = "gamma"}, Progress<>{0, 5});
    const auto d = display.add(pb::Style<>{.stylePrefix = "delta"}, Progress<>{0, 5});
    pb::incProgress(a, 10);
    pb::incProgress(b, 4);
    pb::abandon(b);
    pb::finishAndClear(c);
    display.remove(d);
    display.printAbove("hello from the child");
    return 0;
  }
  if (what == "killed") {
    pb::Display display;
    const auto a = display.add(pb::Style<>{.stylePrefix = "epsilon"}, Progress<>{0, 10});
    testclock::advance(1s);  // the update is due, and reaches the parent before the end
    pb::incProgress(a, 3);
    ::kill(::getpid(), SIGKILL);
  }
  if (what == "invalid") {
    const int fd = std::atoi(std::getenv("PROGRESSBAR_REPORT_FD"));
    for (const std::string& line :
         {std::string("not json\n"), std::string("[1,2]\n"),
          std::string("{\"id\":-1,\"done\":0}\n"), std::string("{\"id\":1}\n"),
          std::string("{\"id\":1,\"done\":1,\"state\":\"odd\"}\n"),
          std::string("{\"id\":1,\"done\":1,\"total\":\"ten\"}\n"),
          std::string("{\"id\":1,\"done\":9223372036854775808}\n"), std::string(100000, 'x'),
          std::string("{\"id\":7,\"prefix\":\"raw\",\"done\":2,\"total\":4,\"state\":\"done\","
                      "\"later\":[1]}\n")}) {
      if (::write(fd, line.data(), line.size()) < 0 && errno != EMSGSIZE) return 1;
    }
    return 0;
  }
  if (what == "running") {  // ends with its bar still running
    pb::Display display;
    const auto a = display.add(pb::Style<>{.stylePrefix = "eta"}, Progress<>{0, 10});
    testclock::advance(1s);
    pb::incProgress(a, 5);
    return 0;
  }
  if (what == "sticky") {  // texts given once, kept by later reports
    const int fd = std::atoi(std::getenv("PROGRESSBAR_REPORT_FD"));
    for (const std::string line :
         {R"({"id":1,"name":"py","prefix":"x","message":"m","done":3,"total":10})",
          R"({"id":1,"done":10,"total":10,"state":"done"})"}) {
      if (::write(fd, line.data(), line.size()) < 0) return 1;
    }
    return 0;
  }
  if (what == "dying-parent") {  // killed while a kid reports and a forked copy holds its socket
    pb::Display display;
    const auto jobs = display.add(pb::Style<>{.stylePrefix = "jobs"}, 1);
    const pb::ChildProgress share(display, jobs);
    const pid_t holder = ::fork();
    if (holder == 0) {
      ::sleep(30);
      ::_exit(0);
    }
    std::ofstream(std::getenv("HOLDER_FILE")) << holder;
    const std::string kid = std::filesystem::read_symlink("/proc/self/exe").string() +
                            " --child=many-lines 2>" + std::getenv("KID_ERR") + " &";
    if (std::system(kid.c_str()) != 0) return 1;
    std::this_thread::sleep_for(100ms);
    ::kill(::getpid(), SIGKILL);
  }
  if (what == "many-lines") {
    pb::Display display;
    for (int i = 0; i < 300; ++i) {
      display.printAbove("kid line " + std::to_string(i));
      std::this_thread::sleep_for(1ms);
    }
    return 0;
  }
  if (what == "alone") {
    char go = 0;
    if (::read(STDIN_FILENO, &go, 1) != 1) return 1;  // the parent has stopped sharing
    pb::Display display;
    const auto a = display.add(pb::Style<>{.stylePrefix = "zeta"}, Progress<>{0, 2});
    pb::incProgress(a, 2);
    return 0;
  }
  return 2;
}

// A stream buffer the reading thread writes while the test reads it.
class LockedBuf : public std::streambuf {
 public:
  std::string text() {
    const std::lock_guard lock(mutex_);
    return bytes_;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard lock(mutex_);
    bytes_.append(s, static_cast<std::size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      const char ch = traits_type::to_char_type(c);
      xsputn(&ch, 1);
    }
    return traits_type::not_eof(c);
  }

 private:
  std::mutex mutex_;
  std::string bytes_;
};

struct Started {
  pid_t pid;
  int status = 0;
  int wait() {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }
};

// Starts `argv` with standard input from `in` (-1: as it is) and standard
// error to `errPath` (empty: as it is).
Started start(std::vector<std::string> args, int in = -1, const std::string& errPath = "") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  if (!errPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(error, 0) << argv[0];
  return Started{pid};
}

Started child(const char* what, int in = -1, const std::string& errPath = "") {
  return start({"/proc/self/exe", std::string("--child=") + what}, in, errPath);
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A parent: its display as a log, and one bar the children go below.
class ChildProgressTest : public ::testing::Test {
 protected:
  LockedBuf buf;
  std::ostream out{&buf};
  pb::Display display{out, pb::AsLog{}, pb::DisplayOptions{.colour = false}};
  pb::ProgressBar<> jobs = display.add(pb::Style<>{.stylePrefix = "jobs"}, Progress<>{0, 1});
};

TEST_F(ChildProgressTest, AChildsBarsFinishAbandonClearAndLeaveAsTheChildSays) {
  {
    pb::ChildProgress share(display, jobs);
    ASSERT_EQ(child("life").wait(), 0);
    EXPECT_EQ(share.invalidReports(), 0U);
  }
  display.end();
  const std::string log = buf.text();
  EXPECT_NE(log.find("exe: alpha [==============================] 100%\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("exe: beta [============>.................]  40%\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("hello from the child\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("(no longer followed)"), std::string::npos) << log;
  EXPECT_EQ(log.find("(process ended)"), std::string::npos) << log;
}

TEST_F(ChildProgressTest, AChildKilledMidWayLeavesItsRowAbandoned) {
  pb::ChildProgress share(display, jobs);
  const Started killed = child("killed");
  Started waited = killed;
  EXPECT_TRUE(WIFSIGNALED(waited.wait()));
  // The end of the process is seen while sharing goes on.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (buf.text().find("(process ended)") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(buf.text().find("exe: epsilon [=========>....................]  30% (process ended)\n"),
            std::string::npos)
      << buf.text();
}

TEST_F(ChildProgressTest, ReportsThatAreNotValidAreDroppedAndCounted) {
  pb::ChildProgress share(display, jobs);
  ASSERT_EQ(child("invalid").wait(), 0);
  pb::ChildProgress* shared = &share;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (shared->invalidReports() < 8 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(share.invalidReports(), 8U);
  const auto deadlineRow = std::chrono::steady_clock::now() + 20s;
  while (buf.text().find("raw [") == std::string::npos &&
         std::chrono::steady_clock::now() < deadlineRow) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(buf.text().find("raw [===============>..............]\n"), std::string::npos)
      << buf.text();
}

TEST_F(ChildProgressTest, AChildWhoseParentStoppedSharingDrawsOnItsOwn) {
  const std::string err = ::testing::TempDir() + "child_alone_err";
  int go[2], hold[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(hold), 0);
  Started alone{0};
  pid_t holder = 0;
  {
    pb::ChildProgress share(display, jobs);
    alone = child("alone", go[0], err);
    // A process forked without exec holds the parent's socket too.
    holder = ::fork();
    if (holder == 0) {
      ::close(hold[1]);
      char ignored;
      while (::read(hold[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
  }
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[0]);
  ::close(go[1]);
  ASSERT_EQ(alone.wait(), 0);
  ::close(hold[1]);
  ::close(hold[0]);
  Started{holder}.wait();
  EXPECT_EQ(fileText(err),
            "zeta [..............................]   0%\n"
            "zeta [==============================] 100%\n");
  EXPECT_EQ(buf.text().find("zeta"), std::string::npos);
}

TEST(ChildProgressParent, AKidOfAParentKilledAndNotYetReapedDrawsOnItsOwnAtOnce) {
  const std::string kidErr = ::testing::TempDir() + "child_kid_err";
  const std::string holderFile = ::testing::TempDir() + "child_holder";
  ::unlink(kidErr.c_str());
  ::setenv("KID_ERR", kidErr.c_str(), 1);
  ::setenv("HOLDER_FILE", holderFile.c_str(), 1);
  Started parent = child("dying-parent");
  // The parent stays a zombie, unreaped, while its kid goes on.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (fileText(kidErr).find("kid line 299\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_NE(fileText(kidErr).find("kid line 299\n"), std::string::npos)
      << "the kid waited for the forked copy of its parent";
  pid_t holder = 0;
  std::ifstream(holderFile) >> holder;
  if (holder > 0) ::kill(holder, SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(parent.wait()));
  ::unsetenv("KID_ERR");
  ::unsetenv("HOLDER_FILE");
}

TEST_F(ChildProgressTest, AChildThatEndedBeforeSharingEndsLeavesItsRowsEnded) {
  {
    pb::ChildProgress share(display, jobs);
    ASSERT_EQ(child("running").wait(), 0);
  }
  EXPECT_NE(buf.text().find("exe: eta [===============>..............]  50% (process ended)\n"),
            std::string::npos)
      << buf.text();
}

TEST_F(ChildProgressTest, TextsAReportLeavesOutAreTheLastOnes) {
  {
    pb::ChildProgress share(display, jobs);
    ASSERT_EQ(child("sticky").wait(), 0);
  }
  EXPECT_NE(buf.text().find("py: x [==============================] m\n"), std::string::npos)
      << buf.text();
}

TEST_F(ChildProgressTest, SharingNestsAndPutsTheVariableBack) {
  ::setenv("PROGRESSBAR_REPORT_FD", "before", 1);
  {
    pb::ChildProgress outer(display, jobs);
    EXPECT_EQ(std::getenv("PROGRESSBAR_REPORT_FD"), std::to_string(outer.descriptor()));
    {
      pb::ChildProgress inner(display, jobs);
      EXPECT_EQ(std::getenv("PROGRESSBAR_REPORT_FD"), std::to_string(inner.descriptor()));
    }
    EXPECT_EQ(std::getenv("PROGRESSBAR_REPORT_FD"), std::to_string(outer.descriptor()));
    EXPECT_EQ(::fcntl(outer.descriptor(), F_GETFD) & FD_CLOEXEC, 0) << "children inherit it";
  }
  EXPECT_STREQ(std::getenv("PROGRESSBAR_REPORT_FD"), "before");
  ::unsetenv("PROGRESSBAR_REPORT_FD");
  pb::Display other(out, pb::AsLog{});
  EXPECT_THROW(pb::ChildProgress(display, other.add(pb::Style<>{}, Progress<>{0, 1})),
               std::invalid_argument);
}

TEST_F(ChildProgressTest, ItsDescriptorsGoWithItEvenAsTheStandardOnes) {
  // Standard input closed: the socket or the pipe takes descriptor 0.
  const int saved = ::dup(STDIN_FILENO);
  ::close(STDIN_FILENO);
  {
    pb::ChildProgress share(display, jobs);
    EXPECT_NE(::fcntl(STDIN_FILENO, F_GETFD), -1) << "descriptor 0 is one of its own";
  }
  EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), -1) << "descriptor 0 is closed again";
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
}

TEST_F(ChildProgressTest, TheDisplayMayEndFirst) {
  auto* ended = new pb::Display(out, pb::AsLog{});
  const auto parent = ended->add(pb::Style<>{}, Progress<>{0, 1});
  pb::ChildProgress share(*ended, parent);
  delete ended;
  EXPECT_EQ(child("life").wait(), 0);
}

// The protocol's lines: what is taken, and what is dropped.
TEST(ReportLines, ValidOnesAreTakenAndAnyOtherIsDropped) {
  using pb::detail::BarReport;
  using pb::detail::parseReport;
  using pb::detail::ReportState;
  struct Case {
    const char* line;
    bool valid;
  };
  for (const Case c : {
           Case{R"({"id":0,"done":0})", true},
           Case{R"({"id":3,"done":-7,"total":null,"state":"removed","name":"n"})", true},
           Case{R"({"id":3,"done":1,"later":{"a":[1,2]}})", true},
           Case{R"({"print":"text"})", true},
           Case{R"({"id":3,"done":9223372036854775807,"total":9223372036854775807})", true},
           Case{R"({"id":3,"done":-9223372036854775808})", true},
           Case{R"({"id":3,"done":9223372036854775808})", false},
           Case{R"({"id":3,"done":1,"total":9223372036854775808})", false},
           Case{R"({"id":-1,"done":0})", false},
           Case{R"({"id":1.5,"done":0})", false},
           Case{R"({"id":"1","done":0})", false},
           Case{R"({"done":0})", false},
           Case{R"({"id":1})", false},
           Case{R"({"id":1,"done":0.5})", false},
           Case{R"({"id":1,"done":0,"total":"ten"})", false},
           Case{R"({"id":1,"done":0,"state":"odd"})", false},
           Case{R"({"id":1,"done":0,"state":1})", false},
           Case{R"({"id":1,"done":0,"prefix":7})", false},
           Case{R"({"id":1,"done":0,"name":null})", false},
           Case{R"({"id":1,"done":0,"message":[]})", false},
           Case{R"({"print":1})", false},
           Case{R"({"print":"a","id":1})", false},
           Case{R"([1])", false},
           Case{R"("text")", false},
           Case{R"({"id":1,"done":0)", false},
           Case{"", false},
       }) {
    EXPECT_EQ(parseReport(c.line).has_value(), c.valid) << c.line;
  }
  const auto bar = std::get<BarReport>(*parseReport(
      R"({"id":3,"done":-7,"total":12,"state":"abandoned","name":"n","prefix":"p","message":"m"})"));
  EXPECT_EQ(bar.id, 3U);
  EXPECT_EQ(bar.done, -7);
  EXPECT_EQ(bar.total, 12);
  EXPECT_EQ(bar.state, ReportState::kAbandoned);
  EXPECT_EQ(bar.name.value() + bar.prefix.value() + bar.message.value(), "npm");
}

TEST(ReportLines, EachStateAndTextGoesAndComesBackWithinOneLine) {
  using pb::detail::BarReport;
  using pb::detail::ReportState;
  for (const ReportState state :
       {ReportState::kRunning, ReportState::kDone, ReportState::kAbandoned, ReportState::kCleared,
        ReportState::kRemoved}) {
    BarReport sent{.id = 9,
                   .name = std::string(5000, 'n'),
                   .prefix = "\xe2\x9c\x93 ok \"quoted\"",
                   .message = std::string(3000, '\x01') + "\xff",
                   .done = 5,
                   .total = std::nullopt,
                   .state = state};
    const std::string line = pb::detail::encodeReport(sent);
    EXPECT_LE(line.size(), pb::detail::kReportMax);
    ASSERT_TRUE(line.ends_with('\n'));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
    const auto back =
        std::get<BarReport>(*pb::detail::parseReport(line.substr(0, line.size() - 1)));
    EXPECT_EQ(back.state, state);
    EXPECT_EQ(back.id, 9U);
    EXPECT_EQ(back.total, std::nullopt);
    EXPECT_EQ(back.prefix, sent.prefix);
    EXPECT_TRUE(sent.name->starts_with(back.name.value()) && !back.name->empty());
    EXPECT_TRUE(back.message.value().ends_with("\x01"));
  }
  const std::string print =
      pb::detail::encodeReport(pb::detail::PrintReport{std::string(9000, '"')});
  EXPECT_LE(print.size(), pb::detail::kReportMax);
}

#ifdef PBAR_PATH
TEST_F(ChildProgressTest, PbarReportsToTheDisplayItWasStartedUnder) {
  const std::string input = ::testing::TempDir() + "child_pbar_in";
  const std::string err = ::testing::TempDir() + "child_pbar_err";
  std::ofstream(input) << std::string(100000, 'x');
  const int in = ::open(input.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  {
    pb::ChildProgress share(display, jobs);
    Started pbar = start({PBAR_PATH, "-N", "copy", "-F", "{prefix} {bar:20} {percent}"}, in, err);
    ASSERT_EQ(pbar.wait(), 0);
  }
  ::close(in);
  display.end();
  EXPECT_EQ(fileText(err), "") << "pbar drew nothing of its own";
  EXPECT_NE(buf.text().find("pbar: copy [==============================] 100%\n"),
            std::string::npos)
      << buf.text();
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]).starts_with("--child=")) {
    return runChild(std::string_view(argv[1]).substr(8));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
