// The engine of a bar: updates under its lock, the throttle's decisions,
// rollback of a failed update, the bar's life, its speed history and output.
#include "bar/engine.hpp"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/cancel.hpp"

namespace System::ProgressBar::detail {
namespace {

// The moving mark of a bar whose total is not known advances one cell per step.
constexpr std::int64_t kMarkStepNs = 100'000'000;

std::vector<std::chrono::nanoseconds> halfLivesOf(const EngineSetup& setup) {
  std::vector<std::chrono::nanoseconds> halfLives;
  for (std::size_t i = 0; i < setup.halfLifeCount; ++i) {
    halfLives.emplace_back(setup.halfLives[i]);
  }
  return halfLives;
}

}  // namespace

// Holds the bar's lock for a scope, closed for lock-free counting; lets cells
// count again when the scope ends, however it ends, on the policy of the
// state as the holder left it (read under the lock, never before).
class BarEngine::Held {
 public:
  Held(BarEngine& engine, const char* call) : engine_(engine) {
    engine_.mutex_.lock(call, "bar");
    engine_.cells_.close();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    engine_.cells_.open(engine_.policy());
    engine_.mutex_.unlock();
  }

 private:
  BarEngine& engine_;
};

BarEngine::BarEngine(Own<BarModel> model, Own<BarSink> sink, const EngineSetup& setup)
    : model_(std::move(model)),
      sink_(std::move(sink)),
      start_(setup.start),
      onComplete_(setup.onComplete),
      escapes_(sink_->escapes() ? setup.escapes : 0),
      cells_(setup.delay, setup.start, setup.initial.done),
      todo_(setup.initial.todo),
      totalKnown_(setup.totalKnown),
      lineEnded_(setup.totalKnown && setup.initial.done >= setup.initial.todo),
      endedAs_(setup.onComplete),
      shownDone_(setup.initial.done),
      history_(halfLivesOf(setup)) {
  sink_->prepare(FixedTexts{setup.open, setup.close, setup.done, setup.current, setup.todo});
  history_.record(setup.initial.done, setup.start);
  cells_.open(policy());
}

// A bar of a display whose last handle goes before a line shows its stored
// progress (a loop left early, a handle declared after its display) draws it
// once more for the row, so that the display's final frame tells the truth.
// Nothing can be reported from here, and nothing may stop it halfway: a
// thread's cancellation waits for the next cancellation point.
BarEngine::~BarEngine() {
  if (sink_->keepsUnseen()) {
    const DeferCancellation deferred;
    try {
      redrawUnseen();
    } catch (...) {  // the row keeps the last line it was given
    }
  }
  sink_->unbind();
}

Ref<BarEngine> BarEngine::tryShare() noexcept {
  long refs = refs_.load(std::memory_order_relaxed);
  while (refs > 0) {
    if (refs_.compare_exchange_weak(refs, refs + 1, std::memory_order_acquire)) {
      return Ref<BarEngine>::adopt(this);
    }
  }
  return {};
}

BarEngine::Snapshot BarEngine::snapshot(bool withHistory) const {
  Snapshot before{.todo = todo_,
                  .totalKnown = totalKnown_,
                  .finished = finished_,
                  .finishing = finishing_,
                  .start = startTime(),
                  .messages = messages_,
                  .history = std::nullopt};
  if (withHistory) before.history.emplace(history_);
  return before;
}

void BarEngine::restore(Snapshot& before) noexcept {
  cells_.add(wrappingNeg(before.added));
  todo_ = before.todo;
  totalKnown_ = before.totalKnown;
  model_->setTodo(before.todo);
  finished_ = before.finished;
  finishing_ = before.finishing;
  start_.store(before.start, std::memory_order_relaxed);
  if (messages_ != before.messages) {
    message_.swap(spareMessage_);
    messages_ = before.messages;
  }
  if (before.history) history_ = std::move(*before.history);
}

void BarEngine::drawOrRestore(Snapshot& before, Counts c, TimePoint now, bool complete,
                              DrawCause cause, const PostfixMessage* message, OnComplete how) {
  try {
    drawLine(false, c, now, complete, cause, message, how);
  } catch (...) {
    restore(before);
    throw;
  }
}

void BarEngine::drawFirst() {
  const Counts initial{cells_.total(), todo_};
  drawLine(false, initial, startTime(), complete(initial), DrawCause::kUpdate);
}

bool BarEngine::drawDue(Counts c, TimePoint now) const noexcept {
  if (finished_) return false;
  return complete(c) || !cells_.tooSoon(now);
}

void BarEngine::renderLine(bool spare, std::int64_t done, TimePoint now,
                           const PostfixMessage* message) {
  const bool ended = finished_ || finishing_;
  const Timing timing{startTime(), now, &history_, &message_};
  model_->render(line_, RenderRequest{.done = done,
                                      .timing = &timing,
                                      .spare = spare,
                                      .full = !totalKnown_ && ended,
                                      .escapes = escapes_,
                                      .message = message});
  if (!totalKnown_) {
    line_.indeterminate = !ended;
    line_.phase = static_cast<std::int64_t>(nanosecondsBetween(startTime(), now) / kMarkStepNs);
  }
}

void BarEngine::drawLine(bool spare, Counts c, TimePoint now, bool complete, DrawCause cause,
                         const PostfixMessage* message, OnComplete how) {
  renderLine(spare, c.done, now, message);
  sink_->draw(DrawnLine{&line_, complete, how, now, cause, c.done, c.todo, messages_, totalKnown_});
  history_.advance(c.done, now);
  lineEnded_ = complete;
  endedAs_ = how;
  shown_ = true;
  shownDone_ = c.done;
  cells_.setRenderTime(now);
}

void BarEngine::apply(std::int64_t n, TimePoint now, const char* call) {
  Held held(*this, call);
  const Counts c{wrappingAdd(cells_.total(), n), todo_};
  if (drawDue(c, now)) {
    drawLine(false, c, now, complete(c), DrawCause::kUpdate);
  } else {
    shown_ = false;
  }
  cells_.add(n);
}

void BarEngine::settle(std::int64_t n, TimePoint now) {
  Held held(*this, "incProgress");
  const Counts c{cells_.total(), todo_};
  // A line drawn since n was added already shows it: n is not zero and
  // nothing but lock-free additions, which cannot cancel it, changes the
  // count without drawing.
  if (n != 0 && shown_ && c.done == shownDone_) return;
  if (!drawDue(c, now)) {
    shown_ = false;
    return;
  }
  Snapshot before = snapshot();
  before.added = n;  // before the lock: the failed update takes nothing
  drawOrRestore(before, c, now, complete(c));
}

// The next progress is built beside the stored one and takes its place only
// once the draw has succeeded.
void BarEngine::update(TimePoint now, FunctionRef<Counts(std::int64_t)> next) {
  Held held(*this, "updateProgress");
  const std::int64_t before = cells_.total();
  const Counts c = next(before);
  if (drawDue(c, now)) {
    drawLine(true, c, now, complete(c), DrawCause::kUpdate);
  } else {
    shown_ = false;
  }
  cells_.add(wrappingSub(c.done, before));
  model_->commitSpare();
  todo_ = c.todo;
}

void BarEngine::read(FunctionRef<void(std::int64_t, TimePoint)> read) {
  mutex_.lock("pbStateMv().read()", "bar");
  struct Unlock {
    OwnedMutex& mutex;
    ~Unlock() { mutex.unlock(); }
  } unlock{mutex_};
  read(cells_.total(), cells_.renderTime());
}

void BarEngine::printAbove(std::string_view text) {
  const TimePoint now = readWallClock();
  Held held(*this, "printAbove");
  const Counts c{cells_.total(), todo_};
  if (finished_ || complete(c) || !sink_->wantsLineAbove()) {
    sink_->printAbove(text, nullptr);
    return;
  }
  // Not a draw: the speed history and the throttle keep nothing of it.
  renderLine(false, c.done, now, nullptr);
  sink_->printAbove(text, &line_);
}

// Ends the bar: draws the stored progress once more, with `message` when
// given, and ends its line as `how` says.
void BarEngine::finish(const PostfixMessage* message, std::optional<OnComplete> how) {
  const TimePoint now = readWallClock();
  Held held(*this, "finish");
  if (finished_) return;
  const Counts c{cells_.total(), todo_};
  const OnComplete end = how.value_or(onComplete_);
  // A completed line that ended the bar's line stays as it is, unless a
  // message is to be shown or it is to end another way.
  if (!lineEnded_ || message != nullptr || end != endedAs_) {
    Snapshot before = snapshot();
    finishing_ = true;
    drawOrRestore(before, c, now, true, DrawCause::kFinish, message, end);
  }
  finished_ = true;
  finishing_ = false;
}

void BarEngine::setTotal(std::int64_t total) {
  const TimePoint now = readWallClock();
  Held held(*this, "setTotal");
  Snapshot before = snapshot();
  todo_ = total;
  totalKnown_ = true;
  model_->setTodo(total);
  if (finished_) return;
  const Counts c{cells_.total(), todo_};
  drawOrRestore(before, c, now, complete(c));
}

// Everything the bar was is kept until the new first line is out, so that
// a failed draw gives it all back.
void BarEngine::reset(std::optional<std::int64_t> total) {
  const TimePoint now = readWallClock();
  Held held(*this, "reset");
  Snapshot before = snapshot(true);
  before.added = wrappingNeg(cells_.total());
  cells_.add(before.added);
  if (total) {
    todo_ = *total;
    totalKnown_ = true;
    model_->setTodo(*total);
  }
  start_.store(now, std::memory_order_relaxed);
  history_.record(0, now);
  finished_ = false;
  const Counts c{0, todo_};
  drawOrRestore(before, c, now, complete(c));
}

void BarEngine::setMessage(std::string_view message) {
  const TimePoint now = readWallClock();
  Held held(*this, "setMessage");
  Snapshot before = snapshot();
  spareMessage_.assign(message);
  message_.swap(spareMessage_);
  ++messages_;
  const Counts c{cells_.total(), todo_};
  if (!drawDue(c, now)) {
    shown_ = false;
    return;
  }
  drawOrRestore(before, c, now, complete(c));
}

void BarEngine::redrawUnseen() {
  Held held(*this, "Display::end");
  const Counts c{cells_.total(), todo_};
  if (finished_ || (shown_ && c.done == shownDone_)) return;
  drawLine(false, c, readWallClock(), complete(c), DrawCause::kTick);
}

void BarEngine::redraw(DrawCause cause, std::optional<TimePoint> at) {
  Held held(*this, "a tick");
  const TimePoint now = at && *at >= cells_.renderTime() ? *at : readWallClock();
  const Counts c{cells_.total(), todo_};
  if (finished_ || complete(c)) return;
  drawLine(false, c, now, false, cause);
}

TimePoint BarEngine::watch(Watcher* watcher, TimePoint tickAt, TimePoint now) {
  mutex_.lock("a tick", "bar");
  cells_.close();
  cells_.watch(watcher, tickAt, now);
  cells_.open(policy());  // where the look is answered
  const TimePoint by = cells_.lookBy(watcher, tickAt);
  mutex_.unlock();
  return by;
}

void BarEngine::unwatch(const Watcher* watcher) noexcept {
  if (mutex_.heldByMe()) {  // the cells open when the draw under way ends
    cells_.unwatch(watcher);
    return;
  }
  const DeferCancellation deferred;
  try {
    Held held(*this, "a ticker's end");
    cells_.unwatch(watcher);
  } catch (...) {  // cannot happen: the lock is not this thread's
  }
}

// The interface the typed templates see.

void throwCountOutOfRange(const char* call) {
  throw std::out_of_range(std::string(call) +
                          ": the total is out of the range of a progress count");
}

void RefCount<BarEngine>::retain(BarEngine* engine) noexcept { engine->retain(); }
void RefCount<BarEngine>::release(BarEngine* engine) noexcept { engine->release(); }

// A first draw that fails takes the engine, and with it the model and the
// sink, before anything holds it.
Ref<BarEngine> Engine::start(Own<BarModel> model, Own<BarSink> sink, const EngineSetup& setup) {
  auto engine = std::make_unique<BarEngine>(std::move(model), std::move(sink), setup);
  engine->drawFirst();
  engine->sink().bind(*engine);
  return Ref<BarEngine>::adopt(engine.release());
}
Counter& Engine::counter(BarEngine& engine) noexcept { return engine.counter(); }

TimePoint Engine::settle(BarEngine& engine, std::int64_t n, Count result,
                         const CountAttempt& attempt) {
  const TimePoint now = attempt.haveNow ? attempt.now : readWallClock();
  if (result == Count::kSettle) {
    engine.settle(n, now);
  } else if (result == Count::kApply) {
    engine.apply(n, now, "incProgress");
  }
  return now;
}

void Engine::update(BarEngine& engine, TimePoint now, FunctionRef<Counts(std::int64_t)> next) {
  engine.update(now, next);
}
void Engine::read(BarEngine& engine, FunctionRef<void(std::int64_t, TimePoint)> read) {
  engine.read(read);
}
void Engine::printAbove(BarEngine& engine, std::string_view text) { engine.printAbove(text); }
void Engine::finish(BarEngine& engine, std::optional<PostfixMessage> message,
                    std::optional<OnComplete> how) {
  engine.finish(message ? &*message : nullptr, how);
}
void Engine::finishQuietly(BarEngine& engine) noexcept {
  const DeferCancellation deferred;
  try {
    engine.finish(nullptr, std::nullopt);
  } catch (...) {  // a destructor has nowhere to report it
  }
}
void Engine::reset(BarEngine& engine, std::optional<std::int64_t> total) { engine.reset(total); }
void Engine::setMessage(BarEngine& engine, std::string_view message) { engine.setMessage(message); }
TimePoint Engine::startTime(const BarEngine& engine) noexcept { return engine.startTime(); }
void Engine::setTotal(BarEngine& engine, std::int64_t total) { engine.setTotal(total); }
void Engine::redraw(BarEngine& engine) { engine.redraw(DrawCause::kUpdate); }
std::ostream& Engine::stream(BarEngine& engine) noexcept { return engine.sink().stream(); }

}  // namespace System::ProgressBar::detail
