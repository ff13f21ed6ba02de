// A thread cancelled where the library blocks: in a write of a clean-up that
// a destructor runs, in a join, in a copy's read. The cancellation is never
// swallowed (glibc aborts the process then) nor turned into std::terminate:
// it goes on at once where it can, and where a destructor cannot let it out,
// it waits until the clean-up is done and acts at the thread's next
// cancellation point. The bar, its lock and the display stay usable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

// A bar and a log display on one pipe that nobody reads until the test says
// so, and the thread to cancel.
struct Pipe {
  Pipe() {
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int fds[2];
};

struct Context : Pipe {
  // Fills the pipe, so that the next write blocks, and says so.
  void blockNext() {
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '~');
    while (::write(fds[1], filler.data(), filler.size()) > 0) {
    }
    while (::write(fds[1], "~", 1) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    reached = true;
  }

  testsupport::FdBuf buf{fds[1]};
  std::ostream out{&buf};
  pb::ProgressBar<> bar =
      pb::hNewProgressBar(out, testsupport::styleOfWidth(20), std::nan(""), Progress<>{0, 10});
  pb::Display display{out, pb::AsLog{}, pb::DisplayOptions{.colour = false}};
  std::atomic<bool> reached{false};
  void (*run)(Context&) = nullptr;
};

int g_returned;  // a thread that was not cancelled returns its address

void* runThenReturn(void* arg) {
  auto* c = static_cast<Context*>(arg);
  c->run(*c);
  ::pthread_testcancel();
  return &g_returned;
}

struct Blocked {
  const char* name;
  void (*run)(Context&);
  std::int64_t done;  // the bar's count once the thread is gone
  // What reached the pipe after it was filled (all of it, when it never
  // was): what the clean-up wrote, then the test's increment of the bar and
  // its line above the display.
  const char* after;
};

void PrintTo(const Blocked& b, std::ostream* os) { *os << b.name; }

class Cancelled : public ::testing::TestWithParam<Blocked> {
 protected:
  void SetUp() override {
    testclock::setCoarse(0ns, 4ms);
    testclock::resetTicks();
  }
};

TEST_P(Cancelled, TheCancellationGoesOnAndLeavesTheBarUsable) {
  const Blocked& b = GetParam();
  Context c;
  c.run = b.run;
  pthread_t thread;
  ASSERT_EQ(::pthread_create(&thread, nullptr, runThenReturn, &c), 0);
  while (!c.reached) {
  }
  // Cancelled while it blocks (or before it gets there): only then is the
  // pipe read, which lets a deferred clean-up end.
  ASSERT_EQ(::pthread_cancel(thread), 0);
  std::string bytes;
  std::thread reader([&] {
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(c.fds[0], chunk, sizeof chunk)) > 0) {
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
  });
  void* result = nullptr;
  ASSERT_EQ(::pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);

  // The bar's lock is free and its stream good; the display takes lines.
  EXPECT_EQ(pb::progressOf(c.bar).progressDone, b.done);
  EXPECT_TRUE(c.out.good());
  pb::incProgress(c.bar, 1);
  c.display.printAbove("usable");
  c.display.end();
  ::close(std::exchange(c.fds[1], -1));  // the reader's end of file
  reader.join();
  EXPECT_EQ(bytes.substr(bytes.find_last_of('~') + 1), b.after);
}

const std::vector<int> kItems{1, 2, 3};

const Blocked kBlocked[] = {
    {"a counted stream that hands its last count over as it goes",
     [](Context& c) {
       std::stringbuf inner;
       pb::CountingStreamBuf counting(c.bar, inner);
       std::ostream written(&counting);
       written << "12345";
       c.blockNext();
     },
     5, "[======>......]  50%\r[=======>.....]  60%\rusable\n"},
    {"a stream's tracking, ended",
     [](Context& c) {
       std::ostringstream written;
       const auto tracking = pb::trackWrite(c.bar, written);
       written << "123";
       c.blockNext();
     },
     3, "[===>.........]  30%\r[=====>.......]  40%\rusable\n"},
    {"a guard that finishes the bar while an exception is on its way",
     [](Context& c) {
       try {
         const auto guard = pb::finishOnExit(c.bar);
         c.blockNext();
         throw std::runtime_error("failed");
       } catch (const std::runtime_error&) {
       }
     },
     0, "[.............]   0%\nusable\n"},
    {"a loop's own display bar, finished as its view goes",
     [](Context& c) {
       auto view = c.display.track(kItems);
       for (const int item : view) {
         (void)item;
         break;
       }
       c.blockNext();
     },
     0,
     "[..............................]   0%\n"
     "[=>...........]  10%\rusable\n"},
    {"a ticker's destructor, joining its thread blocked in a tick",
     [](Context& c) {
       const pb::Ticker ticker(c.bar, 1s);
       c.blockNext();
       testclock::releaseTick();
     },
     0, "[.............]   0%\r[=>...........]  10%\rusable\n"},
    {"a ticker stopped while its thread is blocked in a tick",
     [](Context& c) {
       pb::Ticker ticker(c.bar, 1s);
       c.blockNext();
       testclock::releaseTick();
       ticker.stop();
     },
     0, "[.............]   0%\r[=>...........]  10%\rusable\n"},
    {"a copy waiting for its input",
     [](Context& c) {
       // A socket that stays silent: the copy reads it with read(2).
       struct Descriptors {
         int fds[3];
         Descriptors() {
           if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socket");
           fds[2] = ::open("/dev/null", O_WRONLY);
         }
         ~Descriptors() {
           for (const int fd : fds) ::close(fd);
         }
       } d;
       c.reached = true;
       pb::copy(d.fds[0], d.fds[2], c.bar);
     },
     0, "[.............]   0%\r[=>...........]  10%\rusable\n"},
};

INSTANTIATE_TEST_SUITE_P(Everywhere, Cancelled, ::testing::ValuesIn(kBlocked),
                         [](const ::testing::TestParamInfo<Blocked>& info) {
                           return "Case" + std::to_string(info.index);
                         });

}  // namespace
