// Faults injected at every point of a bar's life: the k-th stream write or
// flush fails, or the k-th run of a label, an escape or an update callable
// throws. Each failure must reach the caller unchanged, leave the old state
// and a free lock, and the retried step must behave as if nothing had failed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ios>
#include <optional>
#include <string>
#include <vector>

#include "System/ProgressBar/Bar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

struct Injected {};

// Fires once, on the k-th event counted after arming.
struct Fault {
  int countdown = 0;
  bool fire() { return countdown > 0 && --countdown == 0; }
};

class FaultyBuf : public testsupport::RecordingBuf {
 public:
  Fault* fault = nullptr;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return fault != nullptr && fault->fire() ? 0 : RecordingBuf::xsputn(s, n);
  }
  int sync() override { return fault != nullptr && fault->fire() ? -1 : RecordingBuf::sync(); }
};

enum class Kind { kStream, kLabel, kEscape, kCallable };

struct Outcome {
  std::string bytes;
  std::int64_t done, todo;
  pb::TimePoint renderTime;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << testing::PrintToString(o.bytes) << " " << o.done << "/" << o.todo << " @"
        << o.renderTime.time_since_epoch().count();
  }
};

// Runs a whole life: creation, a throttled update, a drawn one, completion, a
// redraw after completion, and an update that makes the bar incomplete again.
// With `kind` set, the k-th event of that kind fails; returns whether it did.
bool runLife(std::optional<Kind> kind, int k, std::vector<Outcome>& outcomes) {
  Fault fault{kind ? k : 0};
  FaultyBuf buf;
  std::ostream out(&buf);
  if (kind == Kind::kStream) buf.fault = &fault;
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{24};
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
      {0ms, [&] { bar.emplace(pb::hNewProgressBar(out, style, 10.0, Progress<>{0, 5})); }},
      {10ms, [&] { pb::updateProgress(*bar, add(1)); }},
      {200ms, [&] { pb::updateProgress(*bar, add(1)); }},
      {210ms, [&] { pb::updateProgress(*bar, add(3)); }},
      {220ms, [&] { pb::updateProgress(*bar, add(0)); }},
      {230ms, [&] { pb::updateProgress(*bar, add(-1)); }},
  };
  const auto observe = [&] {
    const auto s = bar->pbStateMv().read();  // also proves the lock is free
    return Outcome{buf.take(), s.stProgress.progressDone, s.stProgress.progressTodo,
                   s.stRenderTime};
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
  int injected = 0;
  for (const Kind kind : {Kind::kStream, Kind::kLabel, Kind::kEscape, Kind::kCallable}) {
    for (int k = 1;; ++k) {
      std::vector<Outcome> outcomes;
      const bool fired = runLife(kind, k, outcomes);
      EXPECT_EQ(outcomes, reference) << "kind " << static_cast<int>(kind) << ", fault " << k;
      if (!fired) break;
      ++injected;
    }
  }
  // Four draws, each with two writes and a flush, a label run and an escape
  // call; five update callables.
  EXPECT_EQ(injected, 4 * 3 + 4 + 4 + 5);
}

}  // namespace
