// A display's rows: added, placed below their parents, removed, drawn and
// ticked under one lock, and handed to the output.
#include "display/display_core.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "bar/engine.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {

DisplayCore::DisplayCore(std::ostream& stream, int fd, bool colour, std::unique_ptr<Output> output)
    : original_(stream),
      fd_(fd),
      colour_(colour),
      output_(std::move(output)),
      stream_(&stream),
      streamFd_(fd) {}

bool DisplayCore::ended() const {
  OwnedLock lock(mutex_, "a display's state", "display");
  return ended_;
}

std::size_t DisplayCore::rowsHeld() const {
  OwnedLock lock(mutex_, "a display's state", "display");
  return rows_.size();
}

DisplayCore::Target DisplayCore::divert(std::ostream& stream, int fd) {
  OwnedLock lock(mutex_, "a redirection", "display");
  const Target previous{stream_, streamFd_};
  output_->divert(stream, fd);
  stream_ = &stream;
  streamFd_ = fd;
  return previous;
}

void DisplayCore::undivert(Target previous) noexcept {
  try {
    OwnedLock lock(mutex_, "a redirection's end", "display");
    output_->divert(*previous.stream, previous.fd);
    stream_ = previous.stream;
    streamFd_ = previous.fd;
  } catch (...) {  // taken from inside a draw of this display: nothing else can be done
  }
}

DisplayCore::Target DisplayCore::target() const {
  OwnedLock lock(mutex_, "a redirection", "display");
  return {stream_, streamFd_};
}

void DisplayCore::addHook(SuspendHook& hook) {
  const std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.push_back(&hook);
}

void DisplayCore::removeHook(SuspendHook& hook) noexcept {
  const std::lock_guard<std::mutex> lock(hooksMutex_);
  std::erase(hooks_, &hook);
}

void DisplayCore::beginSuspend() {
  std::vector<SuspendHook*> hooks;
  {
    const std::lock_guard<std::mutex> lock(hooksMutex_);
    hooks = hooks_;
  }
  for (SuspendHook* hook : hooks) hook->beforeSuspend();
  OwnedLock lock(mutex_, "Display::suspend", "display");
  if (suspends_++ == 0 && !ended_) output_->suspend(rows_);
}

void DisplayCore::endSuspend() {
  {
    OwnedLock lock(mutex_, "Display::suspend", "display");
    if (--suspends_ != 0 || ended_) return;
    output_->resume(rows_);
  }
  std::vector<SuspendHook*> hooks;
  {
    const std::lock_guard<std::mutex> lock(hooksMutex_);
    hooks = hooks_;
  }
  for (SuspendHook* hook : hooks) hook->afterResume();
  tick();  // what the bars counted meanwhile
}

void DisplayCore::suspend(FunctionRef<void()> f) {
  beginSuspend();
  // Back however f ends; a failure of f goes on once the block is back.
  try {
    f();
  } catch (...) {
    try {
      endSuspend();
    } catch (...) {  // f's failure is the one to report
    }
    throw;
  }
  endSuspend();
}

Row* DisplayCore::find(RowId id) noexcept {
  for (Row& row : rows_) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

RowId DisplayCore::addRow(std::optional<RowId> parent) {
  OwnedLock lock(mutex_, "Display::add", "display");
  Row row;
  row.id = nextId_++;
  row.parent = parent;
  auto at = rows_.end();
  if (parent) {
    // Right below the parent and whatever was placed below it before; at the
    // top when the parent's row has left the block.
    const auto descends = [&](const Row& r) {
      for (std::optional<RowId> p = r.parent; p;) {
        if (*p == *parent) return true;
        const Row* up = find(*p);
        p = up != nullptr ? up->parent : std::nullopt;
      }
      return false;
    };
    const auto parentAt =
        std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.id == *parent; });
    at = rows_.begin();
    if (parentAt != rows_.end()) {
      at = std::next(parentAt);
      while (at != rows_.end() && descends(*at)) ++at;
    }
  }
  rows_.insert(at, std::move(row));
  return nextId_ - 1;
}

void DisplayCore::setLook(RowId id, std::shared_ptr<const RowLook> look) {
  OwnedLock lock(mutex_, "Display::add", "display");
  if (Row* row = find(id)) row->look = std::move(look);
}

void DisplayCore::bind(RowId id, BarEngine& bar) {
  try {
    OwnedLock lock(mutex_, "Display::add", "display");
    if (Row* row = find(id)) row->bar = &bar;
  } catch (...) {  // made from inside a draw of this display: the row is not ticked
  }
}

void DisplayCore::unbind(RowId id) noexcept {
  const auto forget = [&](bool eraseUnshown) {
    const auto at =
        std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.id == id; });
    if (at == rows_.end()) return;
    at->bar = nullptr;
    if (eraseUnshown && !at->hasText) rows_.erase(at);
  };
  if (mutex_.heldByMe()) {
    // A bar that goes while this display draws (its last handle dropped by a
    // callable of the draw): forget it, but leave the rows as the draw sees them.
    forget(false);
    return;
  }
  try {
    OwnedLock lock(mutex_, "a bar's end", "display");
    forget(true);
  } catch (...) {  // the lock could not be taken: nothing else can be done
  }
}

void DisplayCore::removeRow(RowId id) {
  OwnedLock lock(mutex_, "Display::remove", "display");
  const auto at =
      std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.id == id; });
  // A finished row keeps its final line, wherever it stands; the row of a
  // bar still running leaves the block.
  if (at == rows_.end() || at->state == RowState::kDone) return;
  const bool shown = at->hasText;
  rows_.erase(at);
  if (shown && !ended_) output_->removed(rows_);
}

void DisplayCore::submit(RowId id, const DrawnLine& line,
                         const std::shared_ptr<const RowLook>& look, BarEngine* bar) {
  OwnedLock lock(mutex_, "a draw", "display");
  if (ended_) return;
  // A line that is not complete revives a finished row (setTotal, reset, a
  // count taken back); a finishing line replaces a final one. Any other line
  // of a finished bar changes nothing: a final line stays final.
  const bool revives = !line.complete;
  const bool finishing = line.cause == DrawCause::kFinish;
  Row* row = find(id);
  if (row == nullptr) {
    // Its final line has left the block, or it was cleared: it comes back
    // below the block.
    if (!revives && !(finishing && line.onComplete != OnComplete::Clear)) return;
    Row back;
    back.id = id;
    back.bar = bar;
    back.look = look;
    rows_.push_back(std::move(back));
    try {
      output_->drawn(rows_, rows_.back(), line);
    } catch (...) {
      if (!rows_.empty() && rows_.back().id == id) rows_.pop_back();
      throw;
    }
    return;
  }
  if (row->state == RowState::kLive) {
    output_->drawn(rows_, *row, line);
    return;
  }
  if (!revives && !finishing) return;
  // Live again; a revived row starts over in a log as a new bar would.
  const RowState before = row->state;
  const bool logged = row->logged, completeLogged = row->completeLogged;
  row->state = RowState::kLive;
  if (revives) row->logged = row->completeLogged = false;
  try {
    output_->drawn(rows_, *row, line);
  } catch (...) {
    if (Row* again = find(id)) {
      again->state = before;
      again->logged = logged;
      again->completeLogged = completeLogged;
    }
    throw;
  }
}

void DisplayCore::printAbove(std::string_view text) {
  OwnedLock lock(mutex_, "printAbove", "display");
  if (ended_) {  // as it is on a terminal; a plain line in a log
    Text plain;
    if (!output_->terminal()) appendPlain(plain, text, colour_);
    writeDraw(*stream_, {output_->terminal() ? text : std::string_view(plain), "\n"});
    return;
  }
  output_->above(rows_, text);
}

template <class Draw>
void DisplayCore::forEachBar(const char* call, Draw draw) {
  // The bars, each held by a reference of its own so that none goes
  // meanwhile; a bar whose last handle is being dropped is left out.
  std::vector<BarEngine*> bars;
  {
    OwnedLock lock(mutex_, call, "display");
    if (ended_) return;
    bars.reserve(rows_.size());
    for (const Row& row : rows_) {
      if (row.state == RowState::kLive && row.bar != nullptr && row.bar->tryRetain()) {
        bars.push_back(row.bar);
      }
    }
  }
  struct Release {
    std::vector<BarEngine*>& bars;
    ~Release() {
      for (BarEngine* bar : bars) bar->release();
    }
  } release{bars};
  // A bar that fails does not keep the others from being drawn: its failure
  // is reported once they are.
  std::exception_ptr failure;
  for (BarEngine* bar : bars) {
    try {
      draw(*bar);
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::tick() {
  std::exception_ptr failure;
  try {
    forEachBar("a tick", [](BarEngine& bar) { bar.redraw(DrawCause::kTick); });
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  {
    OwnedLock lock(mutex_, "a tick", "display");
    if (!ended_) output_->ticked(rows_);
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::end() {
  // Updates that no line shows yet are drawn first: the final frame shows
  // every bar's stored progress.
  std::exception_ptr failure;
  try {
    forEachBar("Display::end", [](BarEngine& bar) { bar.redrawUnseen(); });
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  {
    OwnedLock lock(mutex_, "Display::end", "display");
    if (ended_) return;
    // Ended once the final output is out: a failed one can be tried again.
    output_->end(rows_);
    ended_ = true;
  }
  if (failure) std::rethrow_exception(failure);
}

RowSink::~RowSink() {
  if (bound_) display_.unbind(row_);
  display_.release();
}

}  // namespace System::ProgressBar::detail
