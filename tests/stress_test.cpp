// Many threads: on one bar, on the bars of one display, through a real pipe,
// and updaters cancelled at random points. Run under ThreadSanitizer too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/recording_buf.hpp"
#include "support/screen.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;

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

TEST(Stress, NoUpdateIsLostAndTheCompletingOneIsDrawn) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 20'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([copy = bar] {  // each thread holds its own copy
      for (int i = 0; i < 10'000; ++i) {
        testclock::advance(1us);
        pb::incProgress(copy, 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 20'000);
  const std::string bytes = buf.take();
  const std::string last = "[=============] 100%\n";
  ASSERT_GE(bytes.size(), last.size());
  EXPECT_EQ(bytes.substr(bytes.size() - last.size()), last);
  // Whole lines only: every line is 20 characters plus its terminator.
  EXPECT_EQ(bytes.size() % 21, 0u);
}

TEST(Stress, EveryUpdateDrawnUnderContentionYieldsWholeLines) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), std::nan(""), Progress<>{0, 4'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar] {
      for (int i = 0; i < 1'000; ++i) pb::incProgress(bar, 1);
    });
  }
  for (auto& t : threads) t.join();
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.size(), 4'001u * 21);
  EXPECT_EQ(buf.flushes, 4'001);
  for (std::size_t at = 0; at < bytes.size(); at += 21) {
    const char end = bytes[at + 20];
    EXPECT_TRUE(end == '\r' || end == '\n');
    EXPECT_EQ(bytes[at], '[');
  }
}

// Every incProgress that has returned is seen by read(), on whichever path it
// went (without the lock, or with it when it drew or completed).
TEST(Stress, ReadSeesEveryIncrementThatReturned) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar =
      pb::hNewProgressBar(out, testsupport::styleOfWidth(20), 1e3, Progress<>{0, 80'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar] {
      for (std::int64_t i = 1; i <= 20'000; ++i) {
        testclock::advance(std::chrono::microseconds(3));
        pb::incProgress(bar, 1);
        if (i % 101 == 0) {
          const std::int64_t seen = bar.pbStateMv().read().stProgress.progressDone;
          ASSERT_GE(seen, i);
          ASSERT_LE(seen, 80'000);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 80'000);
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.substr(bytes.size() - 21), "[=============] 100%\n");
}

// An update that waits for the lock while the holder lowers the total
// decides on the total it finds once it holds the lock: the cells reopen
// with the new total, so the completing update is drawn.
TEST(Stress, AnUpdateWaitingForTheLockSeesTheStateTheHolderLeaves) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, lineStyle(), 0.0, Progress<>{0, 1'000'000});
  std::thread waiter;
  pb::updateProgress(bar, [&](const Progress<>& p) {
    waiter = std::thread([&bar] { pb::incProgress(bar, -1); });
    std::this_thread::sleep_for(30ms);  // the waiter is blocked on the lock by now
    return Progress<>{p.progressDone, 50};
  });
  waiter.join();
  for (int i = 0; i < 100; ++i) pb::incProgress(bar, 1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 99);
  const std::string bytes = buf.take();
  EXPECT_NE(bytes.find(pb::renderProgressBar(lineStyle(), Progress<>{50, 50}, {}) + "\n"),
            std::string::npos)
      << bytes;
}

// Two increments that both land in cells before either takes the lock: the
// first to take it draws both, the completing line, once; the second has
// nothing left to show.
std::atomic<int> g_inCells{0};
// Threads count, one of them through a tracked loop, while a ticker ticks,
// looks and withdraws its word: nothing is lost, lines are whole, and the
// completing one is the last, drawn once.
TEST(Stress, UpdatesAndLoopsUnderAWatchingTickerLoseNothing) {
  testclock::resetTicks();
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(30), 10.0, Progress<>{0, 60'000});
  std::vector<std::thread> workers;
  {
    pb::Ticker ticker(bar, 1s);
    for (int t = 0; t < 2; ++t) {
      workers.emplace_back([&bar] {
        for (int i = 0; i < 20'000; ++i) pb::incProgress(bar, 1);
      });
    }
    workers.emplace_back([&bar] {
      for (const int item : pb::track(bar, std::vector<int>(20'000, 1))) (void)item;
    });
    for (int i = 0; i < 40; ++i) {
      testclock::advance(60ms);
      if (i % 3 == 0) {
        testclock::tick();
      } else {
        testclock::look();
      }
    }
    for (auto& w : workers) w.join();
  }
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 60'000);
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.substr(bytes.size() - 5), "100%\n");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1);
  for (std::size_t at = 0, end; at < bytes.size(); at = end + 1) {
    end = bytes.find_first_of("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end - at, 30u) << bytes.substr(at, end - at);
  }
}

TEST(Stress, TheCompletingLineIsDrawnOnceWhenTwoIncrementsCompleteTogether) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, lineStyle(), 0.0, Progress<>{0, 2});
  buf.take();
  g_inCells = 0;
  // Each increment reads the clock after adding to its cell and before taking
  // the lock: the first waits there until the second has drawn.
  testclock::onPreciseRead([] {
    if (g_inCells.fetch_add(1) == 0) {
      while (g_inCells.load() < 3) std::this_thread::yield();
    }
  });
  std::thread first([&bar] { pb::incProgress(bar, 1); });
  while (g_inCells.load() < 1) std::this_thread::yield();
  std::thread second([&bar] {
    pb::incProgress(bar, 1);
    g_inCells.fetch_add(1);
  });
  second.join();
  first.join();
  testclock::onPreciseRead(nullptr);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 2);
  const std::string complete = pb::renderProgressBar(lineStyle(), Progress<>{2, 2}, {}) + "\n";
  EXPECT_EQ(buf.take(), complete);
  pb::incProgress(bar, 0);  // later updates redraw a complete bar as ever
  EXPECT_EQ(buf.take(), complete);
}

// An increment that saw the cells open and adds to its (not yet joined)
// cell only once the lock holder has folded the cells: the holder folds it
// before it gives out budgets, so no budget lets the work complete unseen.
std::atomic<std::thread::id> g_late{};
std::atomic<int> g_lateStep{0};
void waitFor(int step) {
  while (g_lateStep.load() < step) std::this_thread::yield();
}
TEST(Stress, AnAdditionThatSlipsPastTheFoldIsFoldedBeforeBudgetsAreGiven) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, lineStyle(), 0.0, Progress<>{0, 10});
  buf.take();
  g_lateStep = 0;
  // The late thread: stops after it has seen the cells open (at its coarse
  // read) until the holder has folded them, and after it has added (at its
  // precise read) until the test lets it settle.
  testclock::onCoarseRead([] {
    if (std::this_thread::get_id() != g_late.load()) return;
    g_lateStep = 1;
    waitFor(2);
  });
  testclock::onPreciseRead([] {
    if (std::this_thread::get_id() != g_late.load()) return;
    g_lateStep = 3;
    waitFor(4);
  });
  std::thread late([&bar] {
    g_late = std::this_thread::get_id();
    pb::incProgress(bar, 5);
  });
  waitFor(1);
  pb::updateProgress(bar, [](const Progress<>& p) {
    g_lateStep = 2;  // the cells are folded: let the late addition in
    waitFor(3);
    return p;
  });
  for (int i = 0; i < 5; ++i) pb::incProgress(bar, 1);
  const std::string complete = pb::renderProgressBar(lineStyle(), Progress<>{10, 10}, {}) + "\n";
  EXPECT_EQ(buf.take(), complete) << "the completing increment drew, while the late one waits";
  g_lateStep = 4;
  late.join();
  testclock::onCoarseRead(nullptr);
  testclock::onPreciseRead(nullptr);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
  EXPECT_EQ(buf.take(), "") << "the late increment was shown by that line";
}

// Threads that count at the same time each count on a cache line of their
// own, up to as many threads as there are cells, also after other threads
// came and went: a thread's cell comes back when it ends.
TEST(Stress, ThreadsCountingAtOnceUseDifferentCells) {
  constexpr std::size_t kThreads = pb::detail::Counter::kCells;
  std::vector<std::size_t> cells(kThreads);
  cells[0] = pb::detail::Counter::cellIndex();  // this thread's, taken first
  for (std::size_t t = 1; t < kThreads; ++t) {
    std::thread([] { (void)pb::detail::Counter::cellIndex(); }).join();
  }
  std::atomic<std::size_t> arrived{1};
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      cells[t] = pb::detail::Counter::cellIndex();
      ++arrived;
      while (arrived.load() < kThreads) std::this_thread::yield();  // all alive at once
    });
  }
  for (auto& t : threads) t.join();
  std::sort(cells.begin(), cells.end());
  EXPECT_EQ(std::adjacent_find(cells.begin(), cells.end()), cells.end());
  EXPECT_LT(cells.back(), kThreads);
  // More threads than cells share them, each on a cell of the bar's.
  std::vector<std::size_t> shared(3 * kThreads);
  arrived = 0;
  threads.clear();
  for (std::size_t t = 0; t < shared.size(); ++t) {
    threads.emplace_back([&, t] {
      shared[t] = pb::detail::Counter::cellIndex();
      ++arrived;
      while (arrived.load() < shared.size()) std::this_thread::yield();
    });
  }
  for (auto& t : threads) t.join();
  for (const std::size_t cell : shared) EXPECT_LT(cell, kThreads);
}

// Threads on their own bars and on a shared one of one display, with lines
// printed above: the final screen shows every bar's last line once and
// every log line.
TEST(Stress, ThreadsOnTheBarsOfOneDisplay) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  std::vector<std::string> screenLines;
  {
    pb::Display display(out, pb::AsTerminal{50},
                        pb::DisplayOptions{.refreshRate = 1e4, .colour = false});
    std::vector<pb::ProgressBar<>> own;
    for (int t = 0; t < 3; ++t) {
      own.push_back(
          display.add(pb::Style<>{.stylePrefix = "own" + std::to_string(t)}, Progress<>{0, 5'000}));
    }
    const auto shared = display.add(pb::Style<>{.stylePrefix = "shared"}, Progress<>{0, 15'000});
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 5'000; ++i) {
          testclock::advance(std::chrono::microseconds(1));
          pb::incProgress(own[t], 1);
          pb::incProgress(shared, 1);
          if (i % 1'000 == 0)
            pb::printAbove(own[t], "log " + std::to_string(t) + " " + std::to_string(i));
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  testsupport::Screen screen(40, 50);
  screen.feed(buf.take());
  const std::vector<std::string> lines = screen.lines();
  std::size_t logs = 0;
  for (const std::string& line : lines) logs += line.rfind("log ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(logs, 15u);
  for (const char* name : {"own0 ", "own1 ", "own2 ", "shared "}) {
    std::size_t finals = 0;
    for (const std::string& line : lines) {
      if (line.rfind(name, 0) == 0) {
        ++finals;
        EXPECT_NE(line.find("100%"), std::string::npos) << line;
      }
    }
    EXPECT_EQ(finals, 1u) << name;
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
