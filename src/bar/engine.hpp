// Internal: the compiled engine of a bar. Do not include from public headers.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "System/ProgressBar/SpeedHistory.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/detail/Engine.hpp"
#include "bar/cells.hpp"
#include "bar/owned_mutex.hpp"
#include "bar/sink.hpp"

namespace System::ProgressBar::detail {

// One bar: its lock and the state it guards (the count's cells, the total,
// the time of the last draw, where the bar is in its life), its speed
// history, its output and the buffers a draw reuses. The typed half (style
// and stored progress) is the model, which it owns and calls under its lock.
class BarEngine {
 public:
  BarEngine(Own<BarModel> model, Own<BarSink> sink, const EngineSetup& setup);
  BarEngine(const BarEngine&) = delete;
  BarEngine& operator=(const BarEngine&) = delete;
  ~BarEngine();

  // The count behind Ref<BarEngine>.
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // A reference, if one is still held somewhere (a display's rows hold the
  // engine without one, and take one to redraw it); else null.
  Ref<BarEngine> tryShare() noexcept;

  Counter& counter() noexcept { return cells_.counter(); }
  BarSink& sink() noexcept { return *sink_; }

  // The first line, drawn before the bar is shared, so without the lock.
  void drawFirst();
  void settle(std::int64_t n, TimePoint now);
  void apply(std::int64_t n, TimePoint now, const char* call);
  void update(TimePoint now, FunctionRef<Counts(std::int64_t)> next);
  void read(FunctionRef<void(std::int64_t, TimePoint)> read);
  void printAbove(std::string_view text);
  void finish(const PostfixMessage* message, std::optional<OnComplete> how);
  void setTotal(std::int64_t total);
  void reset(std::optional<std::int64_t> total);
  void setMessage(std::string_view message);
  TimePoint startTime() const noexcept { return start_.load(std::memory_order_relaxed); }
  // The stored progress at the current time, read under the lock so that the
  // line is never older than the last one drawn. `cause` is kTick when a
  // display redraws all its bars and then frames once; it reads the clock
  // once for them all and gives the time as `at`, which stands unless the
  // bar drew later meanwhile.
  void redraw(DrawCause cause, std::optional<TimePoint> at = std::nullopt);
  // As a tick, for a bar whose stored progress (or message) no line shows.
  void redrawUnseen();
  // A ticker's thread (`watcher`) looks at the bar at `now`, and ticks next
  // at `tickAt`: it gives its word that no draw is due until the time it
  // returns, by which it must look again (see CellKeeper::watch).
  TimePoint watch(Watcher* watcher, TimePoint tickAt, TimePoint now);
  // The watcher has stopped: the clocks decide again. From a thread that
  // holds the bar's lock (in one of its draws) the change waits for the
  // draw's end.
  void unwatch(const Watcher* watcher) noexcept;

 private:
  class Held;
  // What an operation that draws may change before its draw, as it was, so
  // that a failed draw gives the bar back as it was. Lock-free additions
  // made meanwhile stay.
  struct Snapshot {
    std::int64_t added = 0;  // what the operation added to the count, taken back
    std::int64_t todo;
    bool totalKnown, finished, finishing;
    TimePoint start;
    std::uint64_t messages;               // a message set since is given back
    std::optional<SpeedHistory> history;  // kept only where the operation starts it over
  };
  Snapshot snapshot(bool withHistory = false) const;
  void restore(Snapshot& before) noexcept;
  // drawLine, giving the bar back as `before` says when the draw fails.
  void drawOrRestore(Snapshot& before, Counts c, TimePoint now, bool complete, DrawCause cause,
                     const PostfixMessage* message, OnComplete how);
  void drawOrRestore(Snapshot& before, Counts c, TimePoint now, bool complete) {
    drawOrRestore(before, c, now, complete, DrawCause::kUpdate, nullptr, onComplete_);
  }

  CountPolicy policy() const noexcept { return {finished_, totalKnown_, todo_}; }
  bool complete(Counts c) const noexcept { return totalKnown_ && c.done >= c.todo; }
  bool drawDue(Counts c, TimePoint now) const noexcept;
  void renderLine(bool spare, std::int64_t done, TimePoint now, const PostfixMessage* message);
  void drawLine(bool spare, Counts c, TimePoint now, bool complete, DrawCause cause,
                const PostfixMessage* message, OnComplete how);
  void drawLine(bool spare, Counts c, TimePoint now, bool complete, DrawCause cause) {
    drawLine(spare, c, now, complete, cause, nullptr, onComplete_);
  }

  const Own<BarModel> model_;
  const Own<BarSink> sink_;
  std::atomic<TimePoint> start_;  // written under the lock (reset), read anywhere
  const OnComplete onComplete_;
  const unsigned escapes_;  // of the style: which escapes to call, when the sink shows them
  CellKeeper cells_;
  alignas(64) OwnedMutex mutex_;
  std::int64_t todo_;  // the stored progress's total
  bool totalKnown_;
  bool finished_ = false;
  bool finishing_ = false;  // the draw under way is the finishing one
  bool lineEnded_;          // the last line drawn ended the bar's line
  OnComplete endedAs_;      // and how
  // Whether the last line drawn shows the stored progress, with what done:
  // an increment that a draw already showed needs no line of its own.
  bool shown_ = true;
  std::int64_t shownDone_;
  // Reused by every draw, so that a draw allocates nothing once warm.
  LineSource line_;
  Text message_, spareMessage_;  // what message() shows; the one before, while a draw may fail
  std::uint64_t messages_ = 0;   // how many times it was set
  SpeedHistory history_;
  std::atomic<long> refs_{1};
};

}  // namespace System::ProgressBar::detail
