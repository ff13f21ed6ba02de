// A display's rows: added, placed below their parents, removed, drawn and
// ticked under one lock, and handed to the output.
#include "display/display_core.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "bar/engine.hpp"

namespace System::ProgressBar::detail {

DisplayCore::DisplayCore(std::ostream& stream, bool colour, std::unique_ptr<Output> output)
    : stream_(stream), colour_(colour), output_(std::move(output)) {}

Row* DisplayCore::find(RowId id) noexcept {
  for (Row& row : rows_) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

RowId DisplayCore::addRow(std::optional<RowId> parent, OnComplete onComplete) {
  OwnedLock lock(mutex_, "Display::add", "display");
  Row row;
  row.id = nextId_++;
  row.parent = parent;
  row.onComplete = onComplete;
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

void DisplayCore::setLook(RowId id, std::unique_ptr<RowLook> look) {
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

void DisplayCore::submit(RowId id, const DrawnLine& line) {
  OwnedLock lock(mutex_, "a draw", "display");
  if (ended_) return;
  Row* row = find(id);
  if (row == nullptr || row->state != RowState::kLive) return;  // a final line stays final
  output_->drawn(rows_, *row, line);
}

void DisplayCore::printAbove(std::string_view text) {
  OwnedLock lock(mutex_, "printAbove", "display");
  if (ended_) {
    writeDraw(stream_, {text, "\n"});
    return;
  }
  output_->above(rows_, text);
}

void DisplayCore::tick() {
  // The bars to redraw, each held by a reference of its own so that none goes
  // meanwhile; a bar whose last handle is being dropped is left out.
  std::vector<BarEngine*> bars;
  {
    OwnedLock lock(mutex_, "a tick", "display");
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
  // Each bar under its own lock, and not under the display's. A bar that
  // fails does not keep the others from being drawn: its failure is
  // reported once they are.
  std::exception_ptr failure;
  for (BarEngine* bar : bars) {
    try {
      bar->redraw(DrawCause::kTick);
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  {
    OwnedLock lock(mutex_, "a tick", "display");
    if (!ended_) output_->ticked(rows_);
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::end() {
  OwnedLock lock(mutex_, "Display::end", "display");
  if (ended_) return;
  // Ended once the final output is out: a failed one can be tried again.
  output_->end(rows_);
  ended_ = true;
}

RowSink::~RowSink() {
  if (bound_) display_.unbind(row_);
  display_.release();
}

}  // namespace System::ProgressBar::detail
