// Bytes in motion: streams whose bytes count on a bar, and copies of streams
// and descriptors; each counts exactly what passed, at every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// A bar that draws nothing before completion, and how far it got.
class Counted : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  std::int64_t done() const { return pb::progressOf(bar).progressDone; }

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

// Every pair of ends the copy treats apart: a file, a pipe (non-blocking, or
// large enough to let a fast writer's bytes gather) and a socket, each way.
TEST_F(Counted, CopyingDescriptorsByEveryMeans) {
  const std::string data = pattern(1 << 20);
  enum class End { kFile, kPipe, kNonBlockingPipe, kLargePipe, kSocket };
  for (const End from :
       {End::kFile, End::kPipe, End::kNonBlockingPipe, End::kLargePipe, End::kSocket}) {
    for (const End to : {End::kFile, End::kPipe, End::kSocket}) {
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
        if (to == End::kSocket) {
          ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p), 0);
          out = p[1];
          drain = p[0];
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

}  // namespace
