// Many threads updating one bar that draws to a real pipe, and updaters
// cancelled at random points.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar/Bar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

pb::Style<> lineStyle() {
  pb::Style<> s = pb::defStyle();
  s.styleWidth = pb::ConstantWidth{40};
  s.stylePostfix = pb::exact();
  return s;
}

// A pipe whose read end a thread drains into a string until closed.
class DrainedPipe {
 public:
  DrainedPipe() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe");
    reader_ = std::thread([this] {
      char chunk[65536];
      ssize_t n;
      while ((n = ::read(fds_[0], chunk, sizeof chunk)) > 0) {
        bytes_.append(chunk, static_cast<std::size_t>(n));
      }
    });
  }
  int writeEnd() const { return fds_[1]; }
  // Closes the write end and returns everything that came through.
  std::string finish() {
    ::close(fds_[1]);
    reader_.join();
    ::close(fds_[0]);
    return bytes_;
  }

 private:
  int fds_[2];
  std::thread reader_;
  std::string bytes_;
};

TEST(Stress, ThreadsOnOnePipeLoseNothingAndNeverInterleave) {
  constexpr std::int64_t kTotal = 1'000'000;
  for (const int threads : {2, 4, 8}) {
    DrainedPipe pipe;
    testsupport::FdBuf buf(pipe.writeEnd());
    std::ostream out(&buf);
    const pb::Style<> style = lineStyle();
    // Delay 100 us with 1 us per update: about one draw in a hundred.
    const auto bar = pb::hNewProgressBar(out, style, 1e4, Progress<>{0, kTotal});
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([bar, threads] {
        for (std::int64_t i = 0; i < kTotal / threads; ++i) {
          testclock::advance(1us);
          pb::incProgress(bar, 1);
        }
      });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, kTotal);
    const std::string bytes = pipe.finish();

    // Every line is a whole rendering of a larger count than the line before.
    std::size_t lines = 0;
    std::int64_t last = -1;
    std::size_t at = 0;
    while (at < bytes.size()) {
      const std::size_t end = bytes.find_first_of("\r\n", at);
      ASSERT_NE(end, std::string::npos) << "a line without terminator";
      const std::string line = bytes.substr(at, end - at);
      const std::int64_t done = std::stoll(line.substr(line.find(']') + 1));
      ASSERT_EQ(line, pb::renderProgressBar(style, Progress<>{done, kTotal}, {}));
      ASSERT_GT(done, last);
      ASSERT_EQ(bytes[end], done == kTotal ? '\n' : '\r');
      last = done;
      at = end + 1;
      ++lines;
    }
    EXPECT_EQ(last, kTotal) << "the completing update was not drawn";
    EXPECT_GT(lines, 1000u);
  }
}

struct Updater {
  pb::ProgressBar<> bar;
  std::atomic<std::int64_t> completed{0};
  std::atomic<bool> started{false};
};

void* updateForever(void* arg) {
  auto* u = static_cast<Updater*>(arg);
  u->started = true;
  for (;;) {
    pb::incProgress(u->bar, 1);  // every update draws, so each one writes
    u->completed.fetch_add(1);
  }
  return nullptr;
}

TEST(Stress, RandomCancellationAlwaysLeavesAConsistentBar) {
  DrainedPipe pipe;
  testsupport::FdBuf buf(pipe.writeEnd());
  std::ostream out(&buf);
  Updater updater{pb::hNewProgressBar(out, lineStyle(), std::nan(""), Progress<>{0, 1 << 30})};
  std::mt19937 random(12345);
  std::int64_t expected = 0;
  for (int round = 0; round < 200; ++round) {
    updater.started = false;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, updateForever, &updater), 0);
    while (!updater.started) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    ASSERT_EQ(pthread_cancel(thread), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    expected = updater.completed.load();
    // The lock is free, the state holds exactly the updates that returned,
    // and the stream still works.
    ASSERT_EQ(updater.bar.pbStateMv().read().stProgress.progressDone, expected);
    ASSERT_TRUE(out.good());
    pb::incProgress(updater.bar, 1);
    updater.completed.fetch_add(1);
  }
  EXPECT_GE(expected, 199);  // at least the updates made between rounds
  pipe.finish();
}

}  // namespace
