// Internal: the compiled engine of a bar, as the typed templates see it. Do
// not include this file directly; include System/ProgressBar/Bar.hpp.
//
// Everything a bar does that does not depend on its custom type (its lock,
// counting, throttle, life, speed history, output and line buffer) is one
// compiled engine. The typed half of a bar (its style and its stored
// progress) is a BarModel that the engine calls back, under its lock, to
// render a line or to build the next progress; plain values cross between
// them, as fmt's templates hand plain arguments to compiled code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Counter.hpp"
#include "System/ProgressBar/detail/Line.hpp"
#include "System/ProgressBar/detail/Ref.hpp"

namespace System::ProgressBar {
enum class OnComplete;
}

namespace System::ProgressBar::detail {

class BarEngine;  // compiled: one bar's lock, counting, throttle, life and output
class BarSink;    // compiled: where a bar's lines go

// What the engine asks the typed half to render.
struct RenderRequest {
  std::int64_t done;              // the done count to show
  const Timing* timing;           // start, time stamp, speed history
  bool spare;                     // the progress an update is building, not the stored one
  bool full;                      // a finished bar of unknown total: a full bar proper
  unsigned escapes;               // the escapes to run (an escape mask)
  const PostfixMessage* message;  // shown with or instead of the postfix, or null
};

// The counts of a progress, for the engine.
struct Counts {
  std::int64_t done, todo;
};

// The typed half of a bar. The engine owns it and calls it under its lock.
class BarModel {
 public:
  BarModel() = default;
  BarModel(const BarModel&) = delete;
  BarModel& operator=(const BarModel&) = delete;
  virtual ~BarModel() = default;
  // The line for the progress the request names, into `line`.
  virtual void render(LineSource& line, const RenderRequest& request) = 0;
  // The stored progress gets this total.
  virtual void setTodo(std::int64_t todo) noexcept = 0;
  // The progress an update built becomes the stored one.
  virtual void commitSpare() noexcept = 0;
};

// What a new engine starts from, besides its model and its sink.
struct EngineSetup {
  double delay;  // the refresh delay, 1 / rate
  TimePoint start;
  std::string_view open, close;  // the style's fixed texts
  char32_t done, current, todo;
  unsigned escapes;  // the style's escapes that are not the default's
  OnComplete onComplete;
  Counts initial;
  bool totalKnown;
  const std::int64_t* halfLives;  // what the style's recent-rate labels ask of the speed history
  std::size_t halfLifeCount;
};

// A bar's engine is counted: every handle of the bar holds it.
template <>
struct RefCount<BarEngine> {
  static void retain(BarEngine* engine) noexcept;
  static void release(BarEngine* engine) noexcept;
};
template <>
struct Delete<BarSink> {
  void operator()(BarSink* sink) const noexcept;
};

// The engine's operations. Each that draws throws as the draw does and
// leaves the bar as it was; each that locks throws std::logic_error naming
// `call` when a callable of the bar calls back into it while it draws.
struct Engine {
  // Makes an engine that owns `model` and `sink`, and draws the first line;
  // if that fails, the model and the sink go with it and the failure
  // propagates. The reference returned is the first.
  static Ref<BarEngine> start(Own<BarModel> model, Own<BarSink> sink, const EngineSetup& setup);

  static Counter& counter(BarEngine& engine) noexcept;
  // Finishes an increment of n after its lock-free attempt: under the lock
  // when the attempt did not count it by itself, drawing when due. Returns
  // the time stamp of the update.
  static TimePoint settle(BarEngine& engine, std::int64_t n, Count result,
                          const CountAttempt& attempt);
  // An increment of n on `engine`, whose counter is `counter`: the
  // lock-free attempt, then settle when the attempt did not count n by
  // itself. `coarse` is a coarse reading the caller took just before, if
  // any. Once settled, `attempt` holds the update's time stamp (haveNow).
  static Count count(BarEngine& engine, Counter& counter, std::int64_t n, CountAttempt& attempt,
                     std::int64_t coarse = kNoReading) {
    const Count result = counter.tryCount(n, attempt, coarse);
    if (result != Count::kCounted) {
      attempt.now = settle(engine, n, result, attempt);
      attempt.haveNow = true;
    }
    return result;
  }
  // updateProgress: `next(done)` builds the next progress from the stored
  // one with that done count, in the model's spare, and gives its counts.
  static void update(BarEngine& engine, TimePoint now, FunctionRef<Counts(std::int64_t)> next);
  // `read(done, renderTime)` under the lock, with the done count folded.
  static void read(BarEngine& engine, FunctionRef<void(std::int64_t, TimePoint)> read);
  static void printAbove(BarEngine& engine, std::string_view text);
  // Ends the bar's line as `how` says, or as its style does, showing
  // `message` when given.
  static void finish(BarEngine& engine, std::optional<PostfixMessage> message,
                     std::optional<OnComplete> how);
  // finish(engine) for a destructor: a failure is dropped, and a cancellation
  // of the calling thread waits until the bar's last line is out.
  static void finishQuietly(BarEngine& engine) noexcept;
  // Done back to 0 (and the total, when given), the start and the speed
  // history now, the bar drawing again.
  static void reset(BarEngine& engine, std::optional<std::int64_t> total);
  static void setMessage(BarEngine& engine, std::string_view message);
  static TimePoint startTime(const BarEngine& engine) noexcept;
  static void setTotal(BarEngine& engine, std::int64_t total);
  // A steady tick of this bar.
  static void redraw(BarEngine& engine);
  static std::ostream& stream(BarEngine& engine) noexcept;
};

// One draw step on a stream: the line, then "\r" while incomplete or the
// completion terminator, then one flush (see drawProgressBar).
void drawLine(std::ostream& stream, std::string_view line, bool complete, OnComplete onComplete);

// Sinks for bars of their own: the caller's stream, and standard error.
Own<BarSink> streamSink(std::ostream& stream);
std::ostream& standardError() noexcept;
// Columns of the terminal on standard output, or nothing when it is not a
// terminal or the query fails.
std::optional<std::int64_t> terminalColumns() noexcept;

}  // namespace System::ProgressBar::detail
