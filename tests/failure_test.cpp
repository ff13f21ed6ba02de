// Failures at every point of a bar's life: throwing callables, failing and
// throwing streams, a cancelled thread, faults injected at each step, and
// callables that call back into their own bar.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <ios>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::drain;
using testsupport::FailingBuf;
using testsupport::FdBuf;
using testsupport::styleOfWidth;

namespace {

struct Boom : std::runtime_error {
  Boom() : std::runtime_error("boom") {}
};

TEST(Failure, ThrowingCallableLeavesTheStateAndWritesNothing) {
  FailingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{3, 10});
  buf.take();
  for (const auto after : {0ms, 500ms}) {  // too soon, then not too soon
    testclock::advance(after);
    const auto before = bar.pbStateMv().read();
    EXPECT_THROW(pb::updateProgress(bar, [](const Progress<>&) -> Progress<> { throw Boom(); }),
                 Boom);
    EXPECT_EQ(buf.take(), "");
    const auto now = bar.pbStateMv().read();
    EXPECT_EQ(now.stProgress.progressDone, before.stProgress.progressDone);
    EXPECT_EQ(now.stRenderTime, before.stRenderTime);
  }
  pb::incProgress(bar, 1);  // the bar still works
  EXPECT_EQ(buf.take(), "[=====>.......]  40%\r");
}

TEST(Failure, FailingStreamsThrowAndKeepTheOldState) {
  using Mode = FailingBuf::Mode;
  for (const Mode mode : {Mode::kShortWrite, Mode::kFailFlush, Mode::kThrowOnWrite}) {
    FailingBuf buf;
    buf.mode = mode;
    std::ostream out(&buf);
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
    const auto before = bar.pbStateMv().read();
    buf.armed = true;
    testclock::advance(1s);
    EXPECT_THROW(pb::incProgress(bar, 5), std::ios_base::failure);
    EXPECT_TRUE(out.good()) << "a failed draw must not poison the stream";
    const auto after = bar.pbStateMv().read();
    EXPECT_EQ(after.stProgress.progressDone, 0);
    EXPECT_EQ(after.stRenderTime, before.stRenderTime);
    buf.armed = false;
    buf.take();
    pb::incProgress(bar, 5);
    EXPECT_EQ(buf.take(), "[======>......]  50%\r");
  }
}

TEST(Failure, AStreamThatThrowsByItselfPropagatesItsOwnException) {
  FailingBuf buf;
  buf.mode = FailingBuf::Mode::kThrowOnWrite;
  std::ostream out(&buf);
  out.exceptions(std::ios_base::badbit);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
  buf.armed = true;
  EXPECT_THROW(pb::incProgress(bar, 10), std::runtime_error);
  EXPECT_TRUE(out.good());
  buf.armed = false;
  pb::incProgress(bar, 10);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
}

TEST(Failure, AFailingFirstDrawCreatesNoBar) {
  FailingBuf buf;
  buf.armed = true;
  std::ostream out(&buf);
  EXPECT_THROW(pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10}),
               std::ios_base::failure);
  buf.armed = false;
  pb::Style<> s = styleOfWidth(20);
  s.stylePrefix =
      pb::Label<>([](const Progress<>&, const pb::Timing&) -> std::string { throw Boom(); });
  EXPECT_THROW(pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 10}), Boom);
  EXPECT_EQ(buf.take(), "");
}

struct CancelCase {
  pb::ProgressBar<>* bar;
  std::atomic<bool> started{false};
};

void* updateInThread(void* arg) {
  auto* c = static_cast<CancelCase*>(arg);
  c->started = true;
  pb::incProgress(*c->bar, 7);  // blocks writing to the full pipe
  return nullptr;
}

TEST(Failure, CancelledWhileWritingLeavesAUsableBar) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FdBuf buf(fds[1]);
  std::ostream out(&buf);
  auto bar = pb::hNewProgressBar(out, styleOfWidth(20), std::nan(""), Progress<>{0, 10});
  // Fill the pipe so that the next draw blocks.
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(fds[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);

  CancelCase c{&bar};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, updateInThread, &c), 0);
  while (!c.started) {
  }
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);

  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 0);
  EXPECT_TRUE(out.good());
  drain(fds[0]);
  pb::incProgress(bar, 3);
  EXPECT_EQ(drain(fds[0]), "[===>.........]  30%\r");
  ::close(fds[0]);
  ::close(fds[1]);
}

using testsupport::Fault;
using testsupport::FaultyBuf;
using testsupport::Injected;

enum class Kind { kStream, kLabel, kEscape, kCallable };

struct Outcome {
  std::string bytes;
  std::int64_t done, todo;
  pb::TimePoint renderTime, start;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << testing::PrintToString(o.bytes) << " " << o.done << "/" << o.todo << " @"
        << o.renderTime.time_since_epoch().count() << " from "
        << o.start.time_since_epoch().count();
  }
};

// Runs a whole life: creation, a throttled update, a drawn one, completion, a
// redraw after completion, an update that makes the bar incomplete again, a
// message, two starts over and an end that keeps the line.
// With `kind` set, the k-th event of that kind fails; returns whether it did.
bool runLife(std::optional<Kind> kind, int k, std::vector<Outcome>& outcomes) {
  Fault fault{kind ? k : 0};
  FaultyBuf buf;
  std::ostream out(&buf);
  if (kind == Kind::kStream) buf.fault = &fault;
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{24};
  style.stylePostfix = pb::percentage() + " " + pb::message();
  style.stylePrefix = pb::Label<>([&](const Progress<>&, const pb::Timing&) {
    if (kind == Kind::kLabel && fault.fire()) throw Injected{};
    return std::string("job");
  });
  style.styleEscapeDone = [&](const Progress<>&) {
    if (kind == Kind::kEscape && fault.fire()) throw Injected{};
    return std::string("\x1b[1m");
  };
  const auto add = [&](std::int64_t n) {
    return [&fault, kind, n](const Progress<>& p) {
      if (kind == Kind::kCallable && fault.fire()) throw Injected{};
      return Progress<>{p.progressDone + n, p.progressTodo};
    };
  };

  const pb::TimePoint t0{std::chrono::seconds(1'800'000'000)};  // the same for every life
  std::optional<pb::ProgressBar<>> bar;
  const std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> steps = {
      {0ms,
       [&] {
         bar.emplace(pb::hNewProgressBar(out, style, 10.0, Progress<>{0, 5}));
       }},
      {10ms, [&] { pb::updateProgress(*bar, add(1)); }},
      {200ms, [&] { pb::updateProgress(*bar, add(1)); }},
      {210ms, [&] { pb::updateProgress(*bar, add(3)); }},
      {220ms, [&] { pb::updateProgress(*bar, add(0)); }},
      {230ms, [&] { pb::updateProgress(*bar, add(-1)); }},
      {440ms, [&] { pb::setMessage(*bar, "m"); }},
      {650ms, [&] { pb::reset(*bar); }},
      {860ms, [&] { pb::reset(*bar, 9); }},
      {870ms, [&] { pb::abandon(*bar, "x"); }},
  };
  const auto observe = [&] {
    const auto s = bar->pbStateMv().read();  // also proves the lock is free
    return Outcome{buf.take(), s.stProgress.progressDone, s.stProgress.progressTodo, s.stRenderTime,
                   bar->pbStartTime()};
  };
  bool fired = false;
  for (const auto& [at, step] : steps) {
    testclock::set(t0 + at);
    const std::optional<Outcome> before = bar ? std::optional(observe()) : std::nullopt;
    bool failed = false;
    try {
      step();
    } catch (const Injected&) {
      EXPECT_NE(kind, Kind::kStream);
      failed = true;
    } catch (const std::ios_base::failure&) {
      EXPECT_EQ(kind, Kind::kStream);
      failed = true;
    }
    if (failed) {
      fired = true;
      EXPECT_TRUE(out.good()) << "a failed draw left the stream failed";
      if (before) {
        Outcome now = observe();  // the lock is free and the state is the old one
        now.bytes = before->bytes;
        EXPECT_EQ(now, *before) << "state changed by a failed step";
      } else {
        EXPECT_FALSE(bar.has_value()) << "a failed creation made a bar";
      }
      buf.take();  // whatever part of a line got out before the failure
      fault.countdown = 0;
      step();
    }
    outcomes.push_back(observe());
  }
  return fired;
}

TEST(FaultInjection, EveryFailureLeavesTheBarAsIfItHadNotHappened) {
  std::vector<Outcome> reference;
  runLife(std::nullopt, 0, reference);
  for (const Kind kind : {Kind::kStream, Kind::kLabel, Kind::kEscape, Kind::kCallable}) {
    int fired = 0;
    for (int k = 1;; ++k) {
      std::vector<Outcome> outcomes;
      const bool failed = runLife(kind, k, outcomes);
      EXPECT_EQ(outcomes, reference) << "kind " << static_cast<int>(kind) << ", fault " << k;
      if (!failed) break;
      ++fired;
    }
    EXPECT_GT(fired, 0) << "no fault of kind " << static_cast<int>(kind) << " fired";
  }
}

// Each operation that changes the bar before its draw gives everything back
// when that draw fails: until the same operation succeeds, the bar shows and
// holds what it did before, and afterwards it goes on as if the failure had
// never been.
TEST(FaultInjection, EachOperationThatDrawsGivesTheBarBackWhenItsDrawFails) {
  using Op = std::function<void(const pb::ProgressBar<>&)>;
  // Each runs `after` its bar's last draw: an increment too soon to draw is
  // counted without the lock, then drawn under it when it completes the work.
  // clang-format off
  const struct { const char* name; std::chrono::milliseconds after; Op op; } cases[] = {
      {"incProgress",             1s,   [](const auto& bar) { pb::incProgress(bar, 4); }},
      {"incProgress, completing", 10ms, [](const auto& bar) { pb::incProgress(bar, 7); }},
      {"setTotal",                1s,   [](const auto& bar) { pb::setTotal(bar, 8); }},
      {"reset",                   1s,   [](const auto& bar) { pb::reset(bar, 12); }},
      {"setMessage",              1s,   [](const auto& bar) { pb::setMessage(bar, "second"); }},
      {"finish",                  1s,   [](const auto& bar) { pb::finish(bar); }},
  };
  // clang-format on
  // What a bar shows and holds at each look; with `failOnce`, the
  // operation's first draw fails before the first look.
  const auto life = [](std::chrono::milliseconds after, const Op& op, bool failOnce) {
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    bool fail = false;
    pb::Style<> style = styleOfWidth(80);
    style.stylePrefix = pb::Label<>([&](const Progress<>&, const pb::Timing&) {
      if (std::exchange(fail, false)) throw testsupport::Injected{};
      return std::string("job");
    });
    style.stylePostfix = pb::percentage() + " " + pb::elapsedTime(pb::renderDuration) + " " +
                         pb::recentRate("it/s", "--") + " " + pb::message();
    const pb::TimePoint t0{std::chrono::seconds(1'800'000'000)};
    testclock::set(t0);
    const auto bar = pb::hNewProgressBar(out, style, 10.0, Progress<>{2, 10});
    pb::setMessage(bar, "first");
    testclock::set(t0 + 1s);
    pb::incProgress(bar, 1);  // a speed to keep
    testclock::set(t0 + 1s + after);
    std::vector<std::string> seen;
    const auto look = [&] {
      pb::printAbove(bar, "look");  // the bar's line now, which changes nothing
      const auto state = bar.pbStateMv().read();
      seen.push_back(buf.take() + " " + std::to_string(state.stProgress.progressDone) + "/" +
                     std::to_string(state.stProgress.progressTodo) + " from " +
                     std::to_string(bar.pbStartTime().time_since_epoch().count()));
    };
    if (failOnce) {
      fail = true;
      EXPECT_THROW(op(bar), testsupport::Injected);
      EXPECT_FALSE(fail) << "the draw did not fail";
    }
    look();
    op(bar);
    look();
    testclock::set(t0 + 3s);
    pb::incProgress(bar, 1);
    look();
    return seen;
  };
  for (const auto& [name, after, op] : cases) {
    EXPECT_EQ(life(after, op, true), life(after, op, false)) << name;
  }
}

// A callable that calls back into its own bar gets a clear error instead of a
// hang. Each case runs in a child process that a hang would kill.
void expectReentryFails(const std::function<void()>& call, const char* name) {
  EXPECT_EXIT(
      {
        ::alarm(10);
        try {
          call();
        } catch (const std::logic_error& e) {
          std::_Exit(std::string(e.what()).find(name) != std::string::npos ? 0 : 3);
        }
        std::_Exit(2);
      },
      ::testing::ExitedWithCode(0), "")
      << name;
}

TEST(Reentry, CallingBackIntoTheSameBarThrowsLogicError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto labelCalling = [&](std::function<void(const pb::ProgressBar<>&)> back) {
    auto self = std::make_shared<std::optional<pb::ProgressBar<>>>();
    pb::Style<> s = styleOfWidth(30);
    s.stylePrefix = pb::Label<>([self, back](const Progress<>&, const pb::Timing&) {
      if (*self) back(**self);
      return std::string("x");
    });
    self->emplace(pb::hNewProgressBar(out, s, std::nan(""), Progress<>{0, 10}));
    return **self;
  };
  expectReentryFails(
      [&] {
        pb::incProgress(labelCalling([](const auto& bar) { (void)bar.pbStateMv().read(); }), 1);
      },
      "pbStateMv().read()");
  expectReentryFails(
      [&] {
        pb::incProgress(labelCalling([](const auto& bar) { pb::printAbove(bar, "log"); }), 1);
      },
      "printAbove");
  expectReentryFails(
      [&] { pb::incProgress(labelCalling([](const auto& bar) { pb::incProgress(bar, 1); }), 1); },
      "incProgress");
  expectReentryFails(
      [&] {
        const auto bar = pb::hNewProgressBar(out, styleOfWidth(30), 10.0, Progress<>{0, 10});
        pb::updateProgress(bar, [&](const Progress<>& p) {
          pb::incProgress(bar, 1);
          return p;
        });
      },
      "incProgress");
  expectReentryFails(
      [&] {
        const auto bar = pb::hNewProgressBar(out, styleOfWidth(30), 10.0, Progress<>{0, 10});
        pb::updateProgress(bar, [&](const Progress<>& p) {
          (void)bar.pbStateMv().read();
          return p;
        });
      },
      "pbStateMv().read()");
}

}  // namespace
