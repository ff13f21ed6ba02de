// Bytes in motion: streams whose bytes count on a bar, and copies of streams
// and descriptors; each counts exactly what passed, at every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// A bar that draws nothing before completion, and how far it got.
// What a copy in a child process came to, with the bar's count there.
struct ChildCopy {
  bool threw = false;
  pb::CopyError::End end = pb::CopyError::End::Read;
  int code = 0;  // -1: some other exception
  std::int64_t counted = 0;
};

class Counted : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  std::int64_t done() const { return pb::progressOf(bar).progressDone; }

  // Runs `copy` in a child process whose files may grow to `limit` bytes (a
  // write beyond fails with EFBIG: SIGXFSZ is ignored there), and
  // `meanwhile` here.
  ChildCopy inChild(
      rlim_t limit, const std::function<void()>& copy,
      const std::function<void()>& meanwhile = [] {}) {
    int result[2];
    EXPECT_EQ(::pipe2(result, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit fsize{limit, limit};
      ChildCopy r;
      r.code = -2;
      if (::setrlimit(RLIMIT_FSIZE, &fsize) == 0) {
        try {
          copy();
          r.code = 0;
        } catch (const pb::CopyError& e) {
          r = {true, e.end(), e.code().value(), 0};
        } catch (...) {
          r = {true, pb::CopyError::End::Read, -1, 0};
        }
        r.counted = done();
      }
      const ssize_t sent = ::write(result[1], &r, sizeof r);
      ::_exit(sent == sizeof r ? 0 : 1);
    }
    ::close(result[1]);
    meanwhile();
    ChildCopy r;
    EXPECT_EQ(::read(result[0], &r, sizeof r), static_cast<ssize_t>(sizeof r));
    ::close(result[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    return r;
  }

  testsupport::RecordingBuf sink;
  std::ostream out{&sink};
  pb::ProgressBar<> bar = pb::hNewProgressBar(out, pb::Style<>{}, 0.0, pb::Progress<>{0, 1 << 30});
};

// A buffer that hands out `data`, then fails (throws) instead of ending.
class BreakingBuf : public std::streambuf {
 public:
  explicit BreakingBuf(std::string data) : data_(std::move(data)) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device gone"); }

 private:
  std::string data_;
};

const std::string kText = "first line\nsecond line\nthird";

struct ReadCase {
  const char* name;
  std::function<void(std::istream&)> read;
  std::int64_t counted;  // and what the stream still holds after the tracking
};

TEST_F(Counted, ReadingCountsWhatTheCallerTookAtEveryWayOut) {
  const ReadCase cases[] = {
      {"to the end",
       [](std::istream& s) {
         for (std::string l; std::getline(s, l);) {
         }
       },
       28},
      {"one line, then left",
       [](std::istream& s) {
         std::string l;
         std::getline(s, l);
       },
       11},
      {"a block",
       [](std::istream& s) {
         char b[6];
         s.read(b, 6);
       },
       6},
      {"a char put back",
       [](std::istream& s) {
         s.get();
         s.get();
         s.unget();
       },
       1},
      {"peeking takes nothing", [](std::istream& s) { s.peek(); }, 0},
      {"a word",
       [](std::istream& s) {
         std::string w;
         s >> w;
       },
       5},
  };
  for (const ReadCase& c : cases) {
    std::istringstream stream(kText);
    pb::setTotal(bar, 1 << 30);
    pb::reset(bar);
    {
      auto counted = pb::trackRead(bar, stream);
      c.read(stream);
      EXPECT_EQ(counted.counted(), c.counted) << c.name;
    }
    EXPECT_EQ(done(), c.counted) << c.name;
    // Nothing was held back: the rest is still the stream's, from where the
    // caller stopped.
    stream.clear();
    EXPECT_EQ(stream.rdbuf()->in_avail(), static_cast<std::streamsize>(kText.size() - c.counted))
        << c.name;
  }
}

TEST_F(Counted, SeekingMovesTheStreamAndCountsWhatIsReadAfter) {
  std::istringstream stream(kText);
  auto counted = pb::trackRead(bar, stream);
  stream.seekg(11);
  EXPECT_EQ(stream.tellg(), 11);
  std::string line;
  std::getline(stream, line);
  EXPECT_EQ(line, "second line");
  stream.seekg(-5, std::ios::end);
  std::getline(stream, line);
  EXPECT_EQ(line, "third");
  EXPECT_EQ(counted.counted(), 17);
}

// A buffer that holds one byte at a time, as a slow pipe does: each read
// beyond it would wait.
class ByteAtATime : public std::streambuf {
 public:
  explicit ByteAtATime(std::string data) : data_(std::move(data)) {}

 protected:
  int_type underflow() override {
    if (at_ == data_.size()) return traits_type::eof();
    setg(&data_[at_], &data_[at_], &data_[at_] + 1);
    ++at_;
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string data_;
  std::size_t at_ = 0;
};

TEST_F(Counted, TheBarIsCurrentWheneverAReadCouldWait) {
  ByteAtATime slow("abc");
  std::istream stream(&slow);
  auto counted = pb::trackRead(bar, stream);
  for (int i = 0; i < 3; ++i) stream.get();
  stream.peek();  // would wait for more
  EXPECT_EQ(done(), 3);
}

TEST_F(Counted, EmptyInputCountsNothingAndKeepsTheStreamsState) {
  std::istringstream stream("");
  stream.setstate(std::ios::eofbit);
  {
    auto counted = pb::trackRead(bar, stream);
    EXPECT_TRUE(stream.eof());  // the state is the stream's own
    stream.clear();
    std::string line;
    EXPECT_FALSE(std::getline(stream, line));
  }
  EXPECT_EQ(done(), 0);
  EXPECT_TRUE(stream.eof());
}

TEST_F(Counted, AFailingReadReachesTheCallerAsTheStreamSaysAndCountsWhatCame) {
  for (const bool throws : {false, true}) {
    pb::reset(bar);
    BreakingBuf broken("abcde");
    std::istream stream(&broken);
    if (throws) stream.exceptions(std::ios::badbit);
    {
      auto counted = pb::trackRead(bar, stream);
      std::string all;
      if (throws) {
        EXPECT_THROW(std::getline(stream, all), std::runtime_error);
      } else {
        std::getline(stream, all);
      }
      EXPECT_TRUE(stream.bad());
      EXPECT_EQ(all, "abcde");  // what came before the failure is the caller's
    }
    EXPECT_EQ(done(), 5) << throws;
    EXPECT_EQ(stream.rdbuf(), &broken);
  }
}

TEST_F(Counted, WritingCountsWhatTheBufferBeneathAccepted) {
  testsupport::FailingBuf target;
  std::ostream stream(&target);
  {
    auto counted = pb::trackWrite(bar, stream);
    stream << "twelve bytes" << 'x';
    stream.write("1234", 4);
    EXPECT_EQ(done(), 0);  // in a batch until a flush
    stream.flush();
    EXPECT_EQ(done(), 17);
    stream.write(std::string(5000, 'b').data(), 5000);
    EXPECT_EQ(done(), 5017);  // a full batch is handed over without a flush
    target.mode = testsupport::FailingBuf::Mode::kFailFlush;
    target.armed = true;  // a flush that fails reaches the stream
    stream.flush();
    EXPECT_TRUE(stream.bad());
    stream.clear();
    target.mode = testsupport::FailingBuf::Mode::kShortWrite;  // now nothing is accepted
    stream << "lost";
    EXPECT_TRUE(stream.bad());
  }
  EXPECT_EQ(done(), 5017);
  EXPECT_EQ(target.bytes, "twelve bytesx1234" + std::string(5000, 'b'));
  EXPECT_EQ(stream.rdbuf(), &target);
}

TEST_F(Counted, CopyingStreamsCountsAndNamesTheEndThatFailed) {
  std::string big(300000, 'z');
  std::istringstream in(big);
  in.exceptions(std::ios::failbit);  // the end of the input is no failure
  std::ostringstream copied;
  EXPECT_EQ(pb::copy(in, copied, bar), 300000);
  EXPECT_EQ(copied.str(), big);
  EXPECT_EQ(done(), 300000);

  BreakingBuf broken("abc");
  std::istream bad(&broken);
  std::ostringstream sink2;
  try {
    pb::copy(bad, sink2, bar);
    ADD_FAILURE() << "no error";
  } catch (const pb::CopyError& e) {
    EXPECT_EQ(e.end(), pb::CopyError::End::Read);
  }

  testsupport::FailingBuf full;
  full.armed = true;
  std::ostream toFull(&full);
  std::istringstream some("some bytes");
  try {
    pb::copy(some, toFull, bar);
    ADD_FAILURE() << "no error";
  } catch (const pb::CopyError& e) {
    EXPECT_EQ(e.end(), pb::CopyError::End::Write);
    EXPECT_EQ(e.code(), std::io_errc::stream);
  }
}

// A temporary file with `bytes`, open for reading.
int fileWith(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
  const int fd = ::dup(::fileno(f));
  std::fclose(f);
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string readAll(int fd) {
  ::lseek(fd, 0, SEEK_SET);
  std::string all;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
    all.append(chunk, static_cast<std::size_t>(n));
  }
  return all;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

// The ends of a descriptor copy at a speed the test sets: each read of the
// copy's steady clock notes the bar's count and lets pass the time that the
// bytes counted since take at `nsPerByte` (given the count before them). So
// each call of the copy takes as long as its bytes would, and each step of
// the bar is seen with its time.
class PacedEnds {
 public:
  using Speed = std::int64_t (*)(std::int64_t done);
  struct Step {
    std::int64_t bytes;
    std::chrono::nanoseconds took;
  };

  PacedEnds(const pb::ProgressBar<>& bar, Speed nsPerByte) {
    state = {&bar, nsPerByte, pb::progressOf(bar).progressDone, {}};
    testclock::onSteadyRead(&read);
  }
  PacedEnds(const PacedEnds&) = delete;
  PacedEnds& operator=(const PacedEnds&) = delete;
  ~PacedEnds() { testclock::onSteadyRead(nullptr); }

  const std::vector<Step>& steps() const { return state.steps; }
  std::int64_t moved() const {
    std::int64_t sum = 0;
    for (const Step& step : state.steps) sum += step.bytes;
    return sum;
  }
  // The steps that kept the bar still for longer than `period`.
  std::size_t longerThan(std::chrono::nanoseconds period) const {
    return static_cast<std::size_t>(std::count_if(state.steps.begin(), state.steps.end(),
                                                  [&](const Step& s) { return s.took > period; }));
  }

 private:
  struct State {
    const pb::ProgressBar<>* bar;
    Speed nsPerByte;
    std::int64_t seen;
    std::vector<Step> steps;
  };
  static inline State state{};

  static void read() {
    const std::int64_t now = pb::progressOf(*state.bar).progressDone;
    if (now == state.seen) return;
    const std::chrono::nanoseconds took((now - state.seen) * state.nsPerByte(state.seen));
    testclock::advance(took);
    state.steps.push_back({now - state.seen, took});
    state.seen = now;
  }
};

constexpr auto kRefreshPeriod = 100ms;  // a bar's default

// Every pair of ends the copy treats apart: a file, a pipe (non-blocking, or
// large enough to let a fast writer's bytes gather) and a socket, each way;
// at 5 MB/s the bar moves within each refresh period all the way.
TEST_F(Counted, CopyingDescriptorsByEveryMeans) {
  const std::string data = pattern(1 << 20);
  enum class End { kFile, kPipe, kNonBlockingPipe, kLargePipe, kSocket, kNonBlockingSocket };
  for (const End from :
       {End::kFile, End::kPipe, End::kNonBlockingPipe, End::kLargePipe, End::kSocket}) {
    // A non-blocking socket with a small buffer takes part of most writes.
    for (const End to : {End::kFile, End::kPipe, End::kSocket, End::kNonBlockingSocket}) {
      pb::reset(bar);
      int in = -1, feed = -1;
      if (from == End::kFile) {
        in = fileWith(data);
      } else {
        int p[2];
        if (from == End::kSocket) {
          ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p), 0);
        } else {
          ASSERT_EQ(::pipe2(p, O_CLOEXEC | (from == End::kNonBlockingPipe ? O_NONBLOCK : 0)), 0);
          if (from == End::kLargePipe) {
            ASSERT_EQ(::fcntl(p[0], F_SETPIPE_SZ, 1 << 20), 1 << 20);
          }
        }
        in = p[0];
        feed = p[1];
      }
      int out = -1, drain = -1;
      if (to == End::kFile) {
        out = fileWith("");
      } else {
        int p[2];
        if (to == End::kSocket || to == End::kNonBlockingSocket) {
          ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p), 0);
          out = p[1];
          drain = p[0];
          if (to == End::kNonBlockingSocket) {
            const int small = 4096;
            ::setsockopt(out, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            ASSERT_EQ(::fcntl(out, F_SETFL, O_NONBLOCK), 0);
          }
        } else {
          ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
          out = p[1];
          drain = p[0];
        }
      }
      std::string received;
      std::jthread writer, reader;
      if (feed >= 0) {
        writer = std::jthread([&] {
          for (std::size_t at = 0; at < data.size();) {
            pollfd p{feed, POLLOUT, 0};
            ::poll(&p, 1, -1);
            const ssize_t n =
                ::write(feed, data.data() + at, std::min<std::size_t>(data.size() - at, 50000));
            if (n > 0) at += static_cast<std::size_t>(n);
          }
          ::close(feed);
        });
      }
      if (drain >= 0) {
        reader = std::jthread([&] {
          char chunk[65536];
          for (ssize_t n; (n = ::read(drain, chunk, sizeof chunk)) > 0;) {
            received.append(chunk, static_cast<std::size_t>(n));
          }
        });
      }
      const PacedEnds ends(bar, [](std::int64_t) -> std::int64_t { return 200; });
      const std::int64_t copied = pb::copy(in, out, bar);
      if (writer.joinable()) writer.join();
      if (to == End::kFile) {
        received = readAll(out);
      } else {
        ::close(out);
        reader.join();
      }
      const std::string what =
          std::to_string(static_cast<int>(from)) + "->" + std::to_string(static_cast<int>(to));
      EXPECT_EQ(copied, static_cast<std::int64_t>(data.size())) << what;
      EXPECT_EQ(done(), copied) << what;
      EXPECT_TRUE(received == data) << what;
      EXPECT_EQ(ends.moved(), copied) << what;
      EXPECT_EQ(ends.longerThan(kRefreshPeriod), 0U) << what;
      ::close(in);
      if (to == End::kFile) ::close(out);
      if (drain >= 0) ::close(drain);
    }
  }
}

TEST_F(Counted, ADescriptorCopyNamesTheEndThatFailed) {
  const auto endOf = [&](int in, int out) {
    try {
      pb::copy(in, out, bar);
    } catch (const pb::CopyError& e) {
      return std::make_pair(e.end(), e.code().value());
    }
    return std::make_pair(pb::CopyError::End::Read, 0);
  };
  // A directory cannot be read.
  const int dir = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int file = fileWith("");
  EXPECT_EQ(endOf(dir, file), std::make_pair(pb::CopyError::End::Read, EISDIR));
  // A pipe whose reader has gone, from a file and from a pipe.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  for (const bool fromPipe : {false, true}) {
    int p[2], q[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    int in = fileWith("bytes");
    if (fromPipe) {
      ASSERT_EQ(::pipe2(q, O_CLOEXEC), 0);
      ASSERT_EQ(::write(q[1], "bytes", 5), 5);
      ::close(q[1]);
      ::close(in);
      in = q[0];
    }
    EXPECT_EQ(endOf(in, p[1]), std::make_pair(pb::CopyError::End::Write, EPIPE)) << fromPipe;
    ::close(in);
    ::close(p[1]);
  }
  std::signal(SIGPIPE, previous);
  // A descriptor that is not open.
  EXPECT_EQ(endOf(file, 1000), std::make_pair(pb::CopyError::End::Write, EBADF));
  ::close(dir);
  ::close(file);
}

// A file to file copy when its ends change speed: pieces grow while the
// ends are quick, and after the ends slow down the bar is still for one
// refresh period at most once, for the piece that was under way.
TEST_F(Counted, ADescriptorCopysPiecesFollowTheSpeedOfItsEnds) {
  constexpr std::int64_t kMiB = 1 << 20;
  struct Case {
    const char* name;
    PacedEnds::Speed nsPerByte;
    std::size_t mostCalls;
    std::size_t mostLongSteps;
  };
  const Case cases[] = {
      {"instant", [](std::int64_t) -> std::int64_t { return 0; }, 10, 0},
      {"instant, then 1 MB/s",
       [](std::int64_t done) -> std::int64_t { return done < 8 * kMiB ? 0 : 1000; }, 300, 1},
      {"1 MB/s, then instant",
       [](std::int64_t done) -> std::int64_t { return done < 2 * kMiB ? 1000 : 0; }, 50, 1},
  };
  const std::string data = pattern(48 * kMiB);
  const int in = fileWith(data);
  for (const Case& c : cases) {
    pb::reset(bar);
    ::lseek(in, 0, SEEK_SET);
    const int out = fileWith("");
    const PacedEnds ends(bar, c.nsPerByte);
    EXPECT_EQ(pb::copy(in, out, bar), 48 * kMiB) << c.name;
    EXPECT_EQ(ends.moved(), 48 * kMiB) << c.name;
    EXPECT_LE(ends.steps().size(), c.mostCalls) << c.name;
    EXPECT_LE(ends.longerThan(kRefreshPeriod), c.mostLongSteps) << c.name;
    ::close(out);
  }
  ::close(in);
}

// Into a socket (or a terminal) whose reader slows down after taking much
// quickly: a piece under way waits for the reader, so pieces stay small and
// the bar never stands still for a refresh period.
TEST_F(Counted, ADescriptorCopyToASlowReaderKeepsItsPiecesSmall) {
  constexpr std::int64_t kMiB = 1 << 20;
  const std::string data = pattern(12 * kMiB);
  const int in = fileWith(data);
  int p[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p), 0);
  std::int64_t received = 0;
  std::jthread reader([&] {
    char chunk[65536];
    for (ssize_t n; (n = ::read(p[0], chunk, sizeof chunk)) > 0;) received += n;
  });
  {
    const PacedEnds ends(bar, [](std::int64_t done) -> std::int64_t {
      return done < 8 * kMiB ? 0 : 1000;  // instant, then 1 MB/s
    });
    EXPECT_EQ(pb::copy(in, p[1], bar), 12 * kMiB);
    EXPECT_EQ(ends.longerThan(kRefreshPeriod), 0u);
    for (const auto& step : ends.steps()) EXPECT_LE(step.bytes, 64 * 1024);
  }
  ::close(p[1]);
  reader.join();
  EXPECT_EQ(received, 12 * kMiB);
  ::close(p[0]);
  ::close(in);
}

// File streams of one file, directly, through another name, and under a
// counting buffer: refused before a byte is written; two files copy.
TEST_F(Counted, AStreamCopyRefusesAFileOntoItself) {
  const std::string path = ::testing::TempDir() + "pb-self-" + std::to_string(::getpid());
  const std::string link = path + ".link", other = path + ".other";
  const std::string text(300000, 'x');
  struct Case {
    const char* what;
    std::string output;
    bool counted;  // the input read through trackRead
    bool refused;
  };
  const Case cases[] = {
      {"the same name", path, false, true},
      {"a hard link", link, false, true},
      {"through a counting buffer", path, true, true},
      {"another file", other, false, false},
  };
  // Should the refusal fail, the file grows no larger than this, instead of
  // until the disk is full.
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit capped = before;
  capped.rlim_cur = 16 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::binary) << text;
    ::unlink(link.c_str());
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    pb::reset(bar);
    {
      std::ifstream in(path, std::ios::binary);
      std::ofstream out(c.output, std::ios::binary | std::ios::app);
      pb::CountingStreamBuf counting(bar, *in.rdbuf());
      std::istream viaCounting(&counting);
      try {
        EXPECT_EQ(pb::copy(c.counted ? viaCounting : in, out, bar), 300000) << c.what;
        EXPECT_FALSE(c.refused) << c.what;
      } catch (const pb::CopyError& e) {
        EXPECT_TRUE(c.refused) << c.what;
        EXPECT_EQ(e.end(), pb::CopyError::End::Write) << c.what;
        EXPECT_EQ(e.code(), std::errc::invalid_argument) << c.what;
      }
    }
    std::ifstream check(path, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(check)), {}).size(), 300000u) << c.what;
    EXPECT_EQ(done(), c.refused ? 0 : 300000) << c.what;
  }
  ::setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previous);
  for (const std::string& name : {path, link, other}) ::unlink(name.c_str());
}

// An input with failbit in its mask: at its end already, the copy is of
// nothing and no failure; failed already, a read error.
TEST_F(Counted, AStreamInputsMaskAtItsEndAndFailedBefore) {
  for (const bool atEnd : {true, false}) {
    std::istringstream in(atEnd ? "" : "text");
    std::ostringstream out;
    if (atEnd) {
      in.peek();  // eofbit alone
      in.exceptions(std::ios::failbit);
    } else {
      in.exceptions(std::ios::failbit);
      try {
        in.setstate(std::ios::failbit);
      } catch (const std::ios_base::failure&) {
      }
    }
    try {
      EXPECT_EQ(pb::copy(in, out, bar), 0) << atEnd;
      EXPECT_TRUE(atEnd);
    } catch (const pb::CopyError& e) {
      EXPECT_FALSE(atEnd);
      EXPECT_EQ(e.end(), pb::CopyError::End::Read);
    }
  }
}

// A named file in $TMPDIR, removed at the end.
class NamedFile {
 public:
  explicit NamedFile(const std::string& bytes)
      : path_((std::filesystem::temp_directory_path() / "copy-test-XXXXXX").string()) {
    const int fd = ::mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  NamedFile(const NamedFile&) = delete;
  NamedFile& operator=(const NamedFile&) = delete;
  ~NamedFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string bytes() const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    std::string all = readAll(fd);
    ::close(fd);
    return all;
  }

 private:
  std::string path_;
};

// A file copied onto itself, however it was opened a second time, is
// refused before a byte moves (in a child where files stay under 1 MiB,
// should the copy run away); another file is copied.
TEST_F(Counted, ADescriptorCopyRefusesAFileOntoItself) {
  const std::string text = "the same file\n";
  struct Case {
    const char* name;
    std::function<int(int in, const std::string& path)> output;  // in itself or a new descriptor
    bool same;
  };
  const Case cases[] = {
      {"the same descriptor", [](int in, const std::string&) { return in; }, true},
      {"a duplicate", [](int in, const std::string&) { return ::dup(in); }, true},
      {"opened again to append",
       [](int, const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_APPEND); },
       true},
      {"opened again to read and write",
       [](int, const std::string& path) { return ::open(path.c_str(), O_RDWR); }, true},
      {"its /proc/self/fd entry",
       [](int in, const std::string&) {
         return ::open(("/proc/self/fd/" + std::to_string(in)).c_str(), O_WRONLY | O_APPEND);
       },
       true},
      {"a hard link",
       [](int, const std::string& path) {
         const std::string link = path + ".link";
         EXPECT_EQ(::link(path.c_str(), link.c_str()), 0);
         const int fd = ::open(link.c_str(), O_WRONLY | O_APPEND);
         ::unlink(link.c_str());
         return fd;
       },
       true},
      {"another file",
       [](int, const std::string& path) {
         return ::open((path + ".other").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
       },
       false},
  };
  for (const Case& c : cases) {
    NamedFile file(text);
    const int in = ::open(file.path().c_str(), O_RDWR | O_CLOEXEC);
    const int out = c.output(in, file.path());
    ASSERT_GE(out, 0) << c.name;
    const ChildCopy r = inChild(1 << 20, [&] { pb::copy(in, out, bar); });
    if (c.same) {
      EXPECT_TRUE(r.threw) << c.name;
      EXPECT_EQ(r.end, pb::CopyError::End::Write) << c.name;
      EXPECT_EQ(r.code, EINVAL) << c.name;
      EXPECT_EQ(r.counted, 0) << c.name;
    } else {
      EXPECT_FALSE(r.threw) << c.name;
      EXPECT_EQ(r.counted, static_cast<std::int64_t>(text.size())) << c.name;
      const int copy = ::open((file.path() + ".other").c_str(), O_RDONLY | O_CLOEXEC);
      EXPECT_EQ(readAll(copy), text) << c.name;
      ::close(copy);
      ::unlink((file.path() + ".other").c_str());
    }
    EXPECT_EQ(file.bytes(), text) << c.name;
    if (out != in) ::close(out);
    ::close(in);
  }
  try {
    const int fd = fileWith(text);
    pb::copy(fd, fd, bar);
    ::close(fd);
    ADD_FAILURE() << "no error";
  } catch (const pb::CopyError& e) {
    EXPECT_NE(std::string(e.what()).find("copy: the output is the input"), std::string::npos);
  }
}

// A file's size limit stops the output partway through a piece, at any
// byte: the count is what the file holds, each byte once, from every kind
// of input (in a child, whose limit it is).
TEST_F(Counted, ADescriptorCopyStoppedByAFileSizeLimitCountsWhatTheFileHolds) {
  const std::string data = pattern(256 * 1024);
  enum class From { kFile, kPipe, kSocket };
  for (const From from : {From::kFile, From::kPipe, From::kSocket}) {
    for (const rlim_t limit : {0, 1, 4095, 65537, 131073, 200001}) {
      int in = -1, feed = -1;
      if (from == From::kFile) {
        in = fileWith(data);
      } else if (from == From::kPipe) {  // all of it waits in the pipe
        int p[2];
        ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
        ASSERT_GE(::fcntl(p[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(data.size()));
        ASSERT_EQ(::write(p[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(p[1]);
        in = p[0];
      } else {  // written while the child copies
        int p[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p), 0);
        in = p[0];
        feed = p[1];
      }
      const int out = fileWith("");
      const ChildCopy r = inChild(
          limit,
          [&] {
            if (feed >= 0) ::close(feed);
            pb::copy(in, out, bar);
          },
          [&] {
            if (feed < 0) return;
            ::close(in);  // once the child stops reading, the writes fail
            in = -1;
            for (std::size_t at = 0; at < data.size();) {
              const ssize_t n = ::send(feed, data.data() + at, data.size() - at, MSG_NOSIGNAL);
              if (n <= 0) break;
              at += static_cast<std::size_t>(n);
            }
            ::close(feed);
          });
      const std::string what =
          std::to_string(static_cast<int>(from)) + " limit " + std::to_string(limit);
      EXPECT_TRUE(r.threw) << what;
      EXPECT_EQ(r.end, pb::CopyError::End::Write) << what;
      EXPECT_EQ(r.code, EFBIG) << what;
      EXPECT_EQ(r.counted, static_cast<std::int64_t>(limit)) << what;
      EXPECT_TRUE(readAll(out) == data.substr(0, limit)) << what;
      ::close(out);
      if (in >= 0) ::close(in);
    }
  }
}

// Takes what is written to it up to `limit` bytes; the write that reaches
// beyond takes what fits and returns short, or throws.
class TakesUpTo : public std::streambuf {
 public:
  TakesUpTo(std::size_t limit, bool throws) : limit_(limit), throws_(throws) {}
  std::string bytes;          // what it took
  std::int64_t reported = 0;  // what its writes said they took

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const auto fits = std::min(static_cast<std::size_t>(n), limit_ - bytes.size());
    bytes.append(s, fits);
    if (static_cast<std::streamsize>(fits) < n && throws_) throw std::runtime_error("device full");
    reported += static_cast<std::int64_t>(fits);
    return static_cast<std::streamsize>(fits);
  }
  int_type overflow(int_type c) override {
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::size_t limit_;
  bool throws_;
};

// What a CopyError holds: the what() of the exception it was made from.
std::string heldBy(const pb::CopyError& e) {
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& held) {
    return held.what();
  }
  return "";
}

// An output stream that fails at any byte of a block (the copy reads blocks
// of 128 KiB): the count is what it said it took, each byte once, and the
// stream is bad, whether its buffer returns short or throws (the error holds
// what it threw), and whatever its mask.
TEST_F(Counted, AStreamCopyThatFailsAtAnyByteCountsWhatTheBufferTook) {
  const std::string data = pattern(300000);
  for (const std::size_t limit : {0, 1, 131071, 131072, 131073, 299999}) {
    for (const bool throws : {false, true}) {
      for (const auto mask : {std::ios::goodbit, std::ios::badbit}) {
        pb::reset(bar);
        std::istringstream in(data);
        TakesUpTo target(limit, throws);
        std::ostream out(&target);
        out.exceptions(mask);
        const std::string what = std::to_string(limit) + (throws ? " throws" : " short") +
                                 (mask == std::ios::badbit ? " with mask" : "");
        try {
          pb::copy(in, out, bar);
          ADD_FAILURE() << what << ": no error";
        } catch (const pb::CopyError& e) {
          EXPECT_EQ(e.end(), pb::CopyError::End::Write) << what;
          EXPECT_EQ(heldBy(e), throws ? "device full" : "") << what;
        }
        EXPECT_EQ(done(), throws ? target.reported : static_cast<std::int64_t>(limit)) << what;
        EXPECT_TRUE(target.bytes == data.substr(0, target.bytes.size())) << what;
        EXPECT_TRUE(out.bad()) << what;
      }
    }
  }
}

// The input's buffer throwing, whatever the stream's mask, is a CopyError of
// the reading end that holds what it threw; an exception of a kind other
// than std::exception passes through as it is.
TEST_F(Counted, AStreamBuffersOwnExceptionBecomesACopyErrorOfItsEnd) {
  for (const auto mask : {std::ios::goodbit, std::ios::badbit}) {
    BreakingBuf broken("abc");
    std::istream in(&broken);
    in.exceptions(mask);
    std::ostringstream out;
    try {
      pb::copy(in, out, bar);
      ADD_FAILURE() << mask << ": no error";
    } catch (const pb::CopyError& e) {
      EXPECT_EQ(e.end(), pb::CopyError::End::Read) << mask;
      EXPECT_EQ(heldBy(e), "device gone") << mask;
    }
    EXPECT_TRUE(in.bad()) << mask;
  }

  struct Odd {};
  class ThrowsOdd : public std::streambuf {
   protected:
    std::streamsize xsputn(const char*, std::streamsize) override { throw Odd{}; }
  } odd;
  std::ostream oddOut(&odd);
  std::istringstream in("abc");
  EXPECT_THROW(pb::copy(in, oddOut, bar), Odd);
  EXPECT_TRUE(oddOut.bad());
}

}  // namespace
