// A display: rows of bars redrawn as frames on a terminal, or written as
// plain log lines.
#include "System/ProgressBar/Display.hpp"

#include <cxxabi.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "display/screen_text.hpp"
#include "label/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::string_view kEraseToEnd = "\x1b[K";
// Carriage return before line feed: a terminal in raw mode, or a row that
// filled the last column, does not return to the first column by itself.
constexpr std::string_view kNewLine = "\r\n";
constexpr std::string_view kEraseBelow = "\x1b[J";

struct WindowSize {
  std::int64_t columns = 0, rows = 0;
};

std::optional<WindowSize> windowOf(int fd) noexcept {
  winsize size{};
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
  return WindowSize{size.ws_col, size.ws_row};
}

}  // namespace

DisplayCore::DisplayCore(const DisplayOutput& output, const DisplayOptions& options, bool colour)
    : output_(output),
      colour_(colour),
      frameThrottle_(1.0 / options.refreshRate),
      logIntervalNs_(options.logInterval.count()),
      columns_(output.columns) {}

DisplayCore::Row* DisplayCore::find(RowId id) noexcept {
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

void DisplayCore::attach(RowId id, std::weak_ptr<Redrawable> bar) {
  OwnedLock lock(mutex_, "Display::add", "display");
  if (Row* row = find(id)) row->bar = std::move(bar);
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
  if (shown && output_.terminal && !ended_) frame(false);
}

void DisplayCore::releaseRow(RowId id) noexcept {
  try {
    OwnedLock lock(mutex_, "a bar's end", "display");
    const auto at =
        std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.id == id; });
    if (at != rows_.end() && !at->hasText) rows_.erase(at);
  } catch (...) {  // called back from inside a draw of this display: keep the row
  }
}

RenderOptions DisplayCore::renderOptions() const noexcept {
  RenderOptions options;
  options.measure = Measure::kColumns;
  options.escapes = colour_;
  // Asked before each line is rendered, as before each frame, so that a line
  // is made for the width it will be shown at.
  if (output_.terminal) options.terminalWidth = askColumns();
  return options;
}

void DisplayCore::setColumns(std::int64_t columns) noexcept {
  columns_.store(columns, std::memory_order_relaxed);
}

void DisplayCore::submit(RowId id, std::string_view line, bool complete, std::int64_t done,
                         std::int64_t todo, TimePoint now, DrawCause cause) {
  OwnedLock lock(mutex_, "a draw", "display");
  if (ended_) return;
  Row* row = find(id);
  if (row == nullptr || row->state != RowState::kLive) return;  // a final line stays final
  if (!output_.terminal) {
    row->text.clear();
    appendPlain(row->text, line, colour_);
    row->hasText = true;
    row->changedDone = done;
    row->changedTodo = todo;
    if (complete)
      row->state = row->onComplete == OnComplete::Clear ? RowState::kGone : RowState::kDone;
    writeLog(*row, done, todo, now);
    return;
  }
  // Keep the old line until the frame is out, so that a failed frame leaves
  // the row as it was.
  const bool wasShown = row->hasText;
  const RowShape oldShape{row->columns, row->clean};
  if (colour_) {
    spare_.assign(line);
  } else {  // no escape from any source, labels included
    spare_.clear();
    appendPlain(spare_, line, false);
  }
  row->text.swap(spare_);
  row->hasText = true;
  const RowShape shape = shapeOf(row->text);
  row->columns = shape.columns;
  row->clean = shape.clean;
  if (complete)
    row->state = row->onComplete == OnComplete::Clear ? RowState::kGone : RowState::kDone;
  if (cause == DrawCause::kTick) return;  // the tick frames once for all bars
  const bool due = complete || !wasShown || !framed_ || !frameThrottle_.tooSoon(now, lastFrame_);
  if (!due) return;
  try {
    frame(false);
  } catch (...) {
    if (Row* again = find(id)) {
      again->text.swap(spare_);
      again->hasText = wasShown;
      again->columns = oldShape.columns;
      again->clean = oldShape.clean;
      again->state = RowState::kLive;
    }
    throw;
  }
  lastFrame_ = now;
}

void DisplayCore::printAbove(std::string_view text) {
  OwnedLock lock(mutex_, "printAbove", "display");
  if (ended_ || !output_.terminal) {
    writeDraw(*output_.stream, {text, "\n"});
    return;
  }
  above_.emplace_back(text);
  try {
    frame(false);
  } catch (...) {
    above_.clear();
    throw;
  }
}

void DisplayCore::tick() {
  std::vector<std::shared_ptr<Redrawable>> bars;
  {
    OwnedLock lock(mutex_, "a tick", "display");
    if (ended_) return;
    for (const Row& row : rows_) {
      if (row.state != RowState::kLive) continue;
      if (std::shared_ptr<Redrawable> bar = row.bar.lock()) bars.push_back(std::move(bar));
    }
  }
  // Each bar under its own lock, and not under the display's. A bar that
  // fails does not keep the others from being drawn: its failure is
  // reported once they are.
  std::exception_ptr failure;
  for (const std::shared_ptr<Redrawable>& bar : bars) {
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
    if (!ended_ && output_.terminal) frame(false);
  }
  if (failure) std::rethrow_exception(failure);
}

void DisplayCore::end() {
  OwnedLock lock(mutex_, "Display::end", "display");
  if (ended_) return;
  // Ended once the final frame is out: a failed one can be tried again.
  if (output_.terminal) {
    frame(true);
  } else {
    flushLog();
  }
  ended_ = true;
}

std::int64_t DisplayCore::askColumns() const noexcept {
  if (const std::optional<WindowSize> size = windowOf(output_.fd)) return size->columns;
  return columns_.load(std::memory_order_relaxed);
}

// One frame, written with one write and one flush. Between frames the cursor
// rests at the start of the block's first row: a terminal that rewraps its
// lines when narrowed keeps the cursor at the start of that row, so the next
// frame overwrites the whole block from there, whatever the old rows became.
// A row may fill the last column, where the terminal's cursor then waits to
// wrap and an erase would take the row's last character: so the erase below
// the block is written at the start of the last row, before its text, and an
// erase to the end of a row only after a row that is shorter.
// A row as the frame shows it: as it is when it fits, else cut. Returns its
// columns.
std::size_t DisplayCore::appendRow(const Row& row, std::int64_t width) {
  if (row.clean && static_cast<std::int64_t>(row.columns) <= width) {
    frame_ += row.text;
    return row.columns;
  }
  return appendCut(frame_, row.text, width);
}

void DisplayCore::appendUp(std::int64_t rows) {
  if (rows <= 0) return;
  char digits[kDecimalBuffer];
  frame_ += "\x1b[";
  frame_.append(digits, formatDecimal(digits, rows));
  frame_ += 'A';
}

// The frame is built from the rows as they are and changes them only once it
// is out, so that a failed frame leaves every row, and the lines waiting to go
// above the block, to the next one.
void DisplayCore::frame(bool last) {
  const std::int64_t width = askColumns();
  columns_.store(width, std::memory_order_relaxed);
  std::int64_t height = output_.rows;
  if (const std::optional<WindowSize> size = windowOf(output_.fd)) height = size->rows;
  const auto fits = [width](std::size_t columns) {
    return static_cast<std::int64_t>(columns) >= width;
  };

  frame_.clear();  // (not assign("\r"): g++ 12 warns falsely about restrict there)
  frame_ += '\r';
  appendUp(cursorOffset_);  // back to the block after a frame cut short
  // Rows that have left the block go; final lines at its top are written
  // once, above it, and leave it too.
  auto live = rows_.begin();
  const auto skipGone = [&] {
    while (live != rows_.end() && live->state == RowState::kGone) ++live;
  };
  skipGone();
  const bool committing = live != rows_.end() && live->state == RowState::kDone;
  if (!above_.empty() || committing) {
    // Lines above the block: clear the old block first, since a long text
    // may wrap over more of it than one row.
    frame_ += kEraseBelow;
    for (const Text& text : above_) {
      frame_ += text;
      frame_ += kNewLine;
    }
    // (a finished row has shown a line: it finished by drawing it)
    for (; live != rows_.end() && live->state != RowState::kLive; ++live, skipGone()) {
      appendRow(*live, width);
      frame_ += kNewLine;
    }
  }
  const auto committed = live;
  const std::size_t limit =
      height > 1 ? static_cast<std::size_t>(height - 1) : std::numeric_limits<std::size_t>::max();
  std::size_t total = 0;
  for (auto r = committed; r != rows_.end(); ++r) {
    total += r->hasText && r->state != RowState::kGone ? 1 : 0;
  }
  const std::size_t shown = std::min(total, limit);
  std::size_t written = 0;
  for (auto r = committed; r != rows_.end(); ++r) {
    if (!r->hasText || r->state == RowState::kGone || written == shown) continue;
    if (++written == shown) {
      frame_ += kEraseBelow;
      appendRow(*r, width);
    } else {
      if (!fits(appendRow(*r, width))) frame_ += kEraseToEnd;
      frame_ += kNewLine;
    }
  }
  if (shown == 0) frame_ += kEraseBelow;
  const bool parked = !last && shown != 0;
  if (!parked) {
    if (shown != 0) frame_ += kNewLine;
  } else {
    appendUp(static_cast<std::int64_t>(shown - 1));
    frame_ += '\r';
  }
  std::size_t accepted = 0;
  try {
    writeCounted(*output_.stream, frame_, accepted);
  } catch (...) {
    // Where the cursor is now: the next frame starts by going back up.
    cursorOffset_ += rowsMoved(std::string_view(frame_).substr(0, accepted));
    throw;
  }
  cursorOffset_ = 0;
  rows_.erase(std::remove_if(rows_.begin(), committed,
                             [](const Row& r) { return r.state != RowState::kLive; }),
              committed);
  std::erase_if(rows_, [](const Row& r) { return r.state == RowState::kGone; });
  above_.clear();
  shownRows_ = parked ? shown : 0;
  framed_ = true;
}

void DisplayCore::writeLog(Row& row, std::int64_t done, std::int64_t todo, TimePoint now) {
  const bool complete = row.state != RowState::kLive;
  const bool changed = done != row.loggedDone || todo != row.loggedTodo;
  bool write = !row.logged;
  if (complete && !row.completeLogged) write = true;
  if (!complete && changed && nanosecondsBetween(row.loggedAt, now) >= logIntervalNs_) write = true;
  if (!write) return;
  writeDraw(*output_.stream, {row.text, "\n"});
  row.logged = true;
  row.completeLogged = complete;
  row.loggedDone = done;
  row.loggedTodo = todo;
  row.loggedAt = now;
}

void DisplayCore::flushLog() {
  for (Row& row : rows_) {
    if (!row.hasText || row.completeLogged) continue;
    if (row.changedDone == row.loggedDone && row.changedTodo == row.loggedTodo) continue;
    writeDraw(*output_.stream, {row.text, "\n"});
    row.loggedDone = row.changedDone;
    row.loggedTodo = row.changedTodo;
  }
}

RowSink::~RowSink() { display_->releaseRow(row_); }

void RowSink::draw(std::string_view line, bool complete, OnComplete, TimePoint now, DrawCause cause,
                   std::int64_t done, std::int64_t todo) {
  display_->submit(row_, line, complete, done, todo, now, cause);
}

void RowSink::printAbove(std::string_view text, const Text*) { display_->printAbove(text); }

std::optional<std::uint64_t> RowSink::rowIn(const void* display) const noexcept {
  if (display != display_.get()) return std::nullopt;
  return row_;
}

}  // namespace System::ProgressBar::detail
