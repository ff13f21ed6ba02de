// A display's rows: added, placed below their parents, removed, drawn and
// ticked under one lock, and handed to the output.
#include "display/display_core.hpp"

#include <cxxabi.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <tuple>

#include "bar/engine.hpp"
#include "base/cancel.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

// The id of a row's place once the row has left: the display numbers its
// rows from 1.
constexpr RowId kEmptied = 0;

}  // namespace

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

DisplayCore::DivertId DisplayCore::divert(std::ostream& stream, int fd) {
  OwnedLock lock(mutex_, "a redirection", "display");
  diversions_.reserve(diversions_.size() + 1);
  output_->divert(stream, fd);
  stream_ = &stream;
  streamFd_ = fd;
  diversions_.push_back({nextDivert_, {&stream, fd}});
  return nextDivert_++;
}

void DisplayCore::undivert(DivertId id) noexcept {
  // Taken from inside a draw of this display, the lock would throw: the
  // diversion must end all the same, since its stream is about to go.
  const bool held = mutex_.heldByMe();
  std::optional<OwnedLock> lock;
  if (!held) {
    try {
      lock.emplace(mutex_, "a redirection's end", "display");
    } catch (...) {  // cannot happen when not held by this thread
      return;
    }
  }
  std::erase_if(diversions_, [&](const Diversion& d) { return d.id == id; });
  const Target now = diversions_.empty() ? Target{&original_, fd_} : diversions_.back().target;
  output_->divert(*now.stream, now.fd);
  stream_ = now.stream;
  streamFd_ = now.fd;
}

DisplayCore::Target DisplayCore::target() const {
  OwnedLock lock(mutex_, "a redirection", "display");
  return {stream_, streamFd_};
}

bool DisplayCore::drawsOnTerminalOf(int fd, int ownFd) const noexcept {
  if (!output_->terminal()) return false;
  struct stat other {};
  if (fd < 0 || ::isatty(fd) != 1 || ::fstat(fd, &other) != 0) return false;
  // A terminal stated by the caller has no descriptor to compare with.
  if (fd_ < 0) return true;
  struct stat own {};
  if (::isatty(ownFd) != 1 || ::fstat(ownFd, &own) != 0) return false;
  if (own.st_rdev == other.st_rdev) return true;
  // /dev/tty is the controlling terminal under another device number: two
  // descriptors of the controlling terminal belong to one session.
  const pid_t session = ::tcgetsid(fd);
  return session != -1 && session == ::tcgetsid(ownFd);
}

void DisplayCore::addPending(PendingLines& lines) {
  const std::lock_guard<std::mutex> lock(pendingMutex_);
  pending_.push_back(&lines);
}

void DisplayCore::removePending(PendingLines& lines) noexcept {
  const std::lock_guard<std::mutex> lock(pendingMutex_);
  std::erase(pending_, &lines);
}

void DisplayCore::addHook(SuspendHook& hook) {
  const std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.push_back(&hook);
}

void DisplayCore::removeHook(SuspendHook& hook) noexcept {
  const std::lock_guard<std::mutex> lock(hooksMutex_);
  std::erase(hooks_, &hook);
}

// The hooks are told under their lock, so that none ends meanwhile (a
// capture or redirection that ends on another thread waits for it).
void DisplayCore::beginSuspend() {
  {
    const std::lock_guard<std::mutex> lock(hooksMutex_);
    for (SuspendHook* hook : hooks_) hook->beforeSuspend();
  }
  try {
    OwnedLock lock(mutex_, "Display::suspend", "display");
    if (suspends_ == 0 && !ended_) output_->suspend(rows_);
    ++suspends_;
  } catch (...) {
    // Not suspended after all: the hooks take their output back.
    const std::lock_guard<std::mutex> lock(hooksMutex_);
    for (SuspendHook* hook : hooks_) hook->afterResume();
    throw;
  }
}

void DisplayCore::endSuspend() {
  {
    OwnedLock lock(mutex_, "Display::suspend", "display");
    if (--suspends_ != 0 || ended_) return;
    if (output_->resume(rows_)) leaveShown(nullptr);
  }
  {
    const std::lock_guard<std::mutex> lock(hooksMutex_);
    for (SuspendHook* hook : hooks_) hook->afterResume();
  }
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
    } catch (const abi::__forced_unwind&) {
      throw;
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

RowSlot DisplayCore::takeSlot() {
  if (!freeSlots_.empty()) {
    const RowSlot slot = freeSlots_.back();
    freeSlots_.pop_back();
    return slot;
  }
  freeSlots_.reserve(std::size_t{slots_} + 1);  // so that freeing it never allocates
  return slots_++;
}

void DisplayCore::release(RowSlot slot, bool finished) noexcept {
  output_->forget(slot, finished);
  freeSlots_.push_back(slot);
}

void DisplayCore::erase(Rows::iterator at) noexcept {
  release(at->slot, false);
  rows_.erase(at);
}

void DisplayCore::leaveShown(Row* drawn) noexcept {
  if (output_->terminal()) {
    // A terminal's block keeps its order: finished rows leave from its top,
    // where the frame wrote their final lines above it for good; cleared
    // rows leave wherever they are.
    const auto first = std::find_if(rows_.begin(), rows_.end(),
                                    [](const Row& r) { return r.state == RowState::kLive; });
    for (auto r = rows_.begin(); r != first; ++r) release(r->slot, true);
    rows_.erase(rows_.begin(), first);
    for (const Row& r : rows_) {
      if (r.state == RowState::kGone) release(r.slot, true);
    }
    std::erase_if(rows_, [](const Row& r) { return r.state == RowState::kGone; });
    return;
  }
  if (drawn == nullptr || drawn->state == RowState::kLive) return;
  // A log keeps only its running bars: a row whose final line is out leaves
  // at once. Its place is emptied, under an id no row has, so that the
  // display no longer finds it (a line that revives the bar brings it back
  // as a new row, which starts over); the emptied places are taken out
  // together once they are as many as the rows left, so that the running
  // rows move once per as many rows leaving, not once for each.
  release(drawn->slot, true);
  {
    const Row gone = std::move(*drawn);  // what the row held goes with it
  }
  *drawn = Row{};
  drawn->id = kEmptied;
  drawn->state = RowState::kGone;
  if (2 * ++emptied_ >= rows_.size()) {
    std::erase_if(rows_, [](const Row& r) { return r.id == kEmptied; });
    emptied_ = 0;
  }
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
  row.slot = takeSlot();
  try {
    rows_.insert(at, std::move(row));
  } catch (...) {
    freeSlots_.push_back(row.slot);
    throw;
  }
  return nextId_ - 1;
}

void DisplayCore::setLook(RowId id, std::shared_ptr<const BarLook> look) {
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
    if (eraseUnshown && !at->hasText) erase(at);
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

void DisplayCore::removeRow(RowId id, bool& removed) {
  OwnedLock lock(mutex_, "Display::remove", "display");
  const auto at =
      std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.id == id; });
  // A finished row keeps its final line, wherever it stands; the row of a
  // bar still running leaves the block, and its bar draws nothing more.
  // A row that has left already was finished (its line is above the block,
  // or in the log) or cleared.
  if (at == rows_.end() || at->state == RowState::kDone) return;
  removed = true;
  const bool shown = at->hasText;
  erase(at);
  if (shown && !ended_ && output_->removed(rows_)) leaveShown(nullptr);
}

void DisplayCore::submit(RowId id, const DrawnLine& line,
                         const std::shared_ptr<const BarLook>& look, BarEngine* bar,
                         const bool& removed) {
  OwnedLock lock(mutex_, "a draw", "display");
  if (ended_ || removed) return;
  // A line that is not complete revives a finished row (setTotal, reset, a
  // count taken back); a finishing line replaces a final one. Any other line
  // of a finished bar changes nothing: a final line stays final.
  const bool revives = !line.complete;
  const bool finishing = line.cause == DrawCause::kFinish;
  Row* row = find(id);
  const bool back = row == nullptr;
  if (back) {
    // Its final line has left the block, or it was cleared: it comes back
    // below the block.
    if (!revives && !(finishing && line.onComplete != OnComplete::Clear)) return;
    Row comes;
    comes.id = id;
    comes.bar = bar;
    comes.look = look;
    comes.slot = takeSlot();
    try {
      rows_.push_back(std::move(comes));
    } catch (...) {
      freeSlots_.push_back(comes.slot);
      throw;
    }
    row = &rows_.back();
  } else if (row->state != RowState::kLive && !revives && !finishing) {
    return;
  }
  // The row holds the new line until the output fails to show it.
  const auto counts = std::make_tuple(row->done, row->todo, row->totalKnown);
  const RowState before = row->state;
  const bool hadLine = row->hasText;
  swap(row->source, *line.source);
  row->done = line.done;
  row->todo = line.todo;
  row->totalKnown = line.totalKnown;
  row->hasText = true;
  row->state = !line.complete                         ? RowState::kLive
               : line.onComplete == OnComplete::Clear ? RowState::kGone
                                                      : RowState::kDone;
  bool shown;
  try {
    shown = output_->drawn(rows_, *row, line, hadLine);
  } catch (...) {
    swap(row->source, *line.source);
    std::tie(row->done, row->todo, row->totalKnown) = counts;
    row->hasText = hadLine;
    row->state = before;
    if (back) erase(rows_.end() - 1);
    throw;
  }
  if (shown) leaveShown(row);
}

void DisplayCore::printAbove(std::string_view text) {
  OwnedLock lock(mutex_, "printAbove", "display");
  if (ended_) {
    writeAbove(*stream_, text, output_->terminal(), colour_);
    return;
  }
  if (output_->above(rows_, text)) leaveShown(nullptr);
}

std::vector<Ref<BarEngine>> DisplayCore::liveBars() { return retainLive("a tick"); }

// A bar whose last handle is being dropped is left out.
std::vector<Ref<BarEngine>> DisplayCore::retainLive(const char* call) {
  std::vector<Ref<BarEngine>> bars;
  OwnedLock lock(mutex_, call, "display");
  if (ended_) return bars;
  bars.reserve(rows_.size());
  for (const Row& row : rows_) {
    if (row.state != RowState::kLive || row.bar == nullptr) continue;
    if (Ref<BarEngine> bar = row.bar->tryShare()) bars.push_back(std::move(bar));
  }
  return bars;
}

template <class Draw>
void DisplayCore::forEachBar(const char* call, Draw draw) {
  // The bars, each held by a reference of its own so that none goes
  // meanwhile.
  const std::vector<Ref<BarEngine>> bars = retainLive(call);
  if (bars.empty()) return;
  // A bar that fails does not keep the others from being drawn: its failure
  // is reported once they are.
  std::exception_ptr failure;
  for (const Ref<BarEngine>& bar : bars) {
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
    // One time for the frame's lines: a clock read a bar costs as much as
    // laying its row out.
    const TimePoint now = readWallClock();
    forEachBar("a tick", [now](BarEngine& bar) { bar.redraw(DrawCause::kTick, now); });
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  {
    OwnedLock lock(mutex_, "a tick", "display");
    if (!ended_ && output_->ticked(rows_)) leaveShown(nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::end() {
  // Lines that threads left unfinished on `lines()`, then updates that no
  // line shows yet: the final frame shows every bar's stored progress.
  std::exception_ptr failure;
  try {
    const std::lock_guard<std::mutex> lock(pendingMutex_);
    for (PendingLines* lines : pending_) lines->flushPending();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    forEachBar("Display::end", [](BarEngine& bar) { bar.redrawUnseen(); });
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  {
    OwnedLock lock(mutex_, "Display::end", "display");
    if (ended_) return;
    // Ended once the final output is out: a failed one can be tried again.
    const bool shown = output_->end(rows_);
    ended_ = true;
    if (shown) leaveShown(nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::close() noexcept {
  const DeferCancellation deferred;
  try {
    const std::lock_guard<std::mutex> lock(pendingMutex_);
    for (PendingLines* lines : pending_) lines->flushPending();
  } catch (...) {  // a destructor has nowhere to report it
  }
}

RowSink::~RowSink() {
  if (bound_) display_->unbind(row_);
}

void RefCount<DisplayCore>::retain(DisplayCore* core) noexcept { core->retain(); }
void RefCount<DisplayCore>::release(DisplayCore* core) noexcept { core->release(); }

}  // namespace System::ProgressBar::detail
