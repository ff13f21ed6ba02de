// A display on a terminal: its rows as a block redrawn in place, frame by
// frame, with the lines printed above it.
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>

#include "base/arithmetic.hpp"
#include "display/display_core.hpp"
#include "display/screen_text.hpp"

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

class TerminalOutput final : public Output {
 public:
  TerminalOutput(std::ostream& stream, int fd, std::int64_t columns, std::int64_t rows, bool colour,
                 const DisplayOptions& options)
      : stream_(&stream),
        fd_(fd),
        rowsStated_(rows),
        colour_(colour),
        frameThrottle_(1.0 / options.refreshRate),
        columns_(columns) {}

  bool terminal() const noexcept override { return true; }
  bool escapes() const noexcept override { return colour_; }
  // Asked before each line is rendered, as before each frame, so that a line
  // is made for the width it will be shown at.
  std::optional<std::int64_t> terminalWidth() const noexcept override { return askColumns(); }
  void drawn(Rows& rows, Row& row, const DrawnLine& line) override;
  void above(Rows& rows, std::string_view text) override {
    above_.emplace_back(text);
    try {
      frame(rows, false);
    } catch (...) {
      above_.clear();
      throw;
    }
  }
  void removed(Rows& rows) override { frame(rows, false); }
  void ticked(Rows& rows) override { frame(rows, false); }
  void end(Rows& rows) override { frame(rows, true); }
  void setColumns(std::int64_t columns) noexcept override {
    columns_.store(columns, std::memory_order_relaxed);
  }

 private:
  std::int64_t askColumns() const noexcept {
    if (const std::optional<WindowSize> size = windowOf(fd_)) return size->columns;
    return columns_.load(std::memory_order_relaxed);
  }
  void frame(Rows& rows, bool last);
  std::size_t appendRow(const Row& row, std::int64_t width);
  void appendUp(std::int64_t rows);

  std::ostream* const stream_;
  const int fd_;                   // -1: none; the size is stated
  const std::int64_t rowsStated_;  // stated height; 0: unknown
  const bool colour_;
  const Throttle frameThrottle_;
  std::atomic<std::int64_t> columns_;  // stated width, or the last one asked
  std::vector<Text> above_;            // lines to print above the block at the next frame
  std::size_t shownRows_ = 0;          // rows of the block on screen; the cursor rests on its first
  // Rows below its resting place where a frame cut short left the cursor.
  std::int64_t cursorOffset_ = 0;
  bool framed_ = false;
  TimePoint lastFrame_{};
  Text frame_;  // reused by every frame
  Text spare_;
};

void TerminalOutput::drawn(Rows& rows, Row& row, const DrawnLine& line) {
  // Keep the old line until the frame is out, so that a failed frame leaves
  // the row as it was.
  const bool wasShown = row.hasText;
  const RowShape oldShape{row.columns, row.clean};
  if (colour_) {
    spare_.assign(line.text);
  } else {  // no escape from any source, labels included
    spare_.clear();
    appendPlain(spare_, line.text, false);
  }
  row.text.swap(spare_);
  row.hasText = true;
  const RowShape shape = shapeOf(row.text);
  row.columns = shape.columns;
  row.clean = shape.clean;
  if (line.complete) {
    row.state = row.onComplete == OnComplete::Clear ? RowState::kGone : RowState::kDone;
  }
  if (line.cause == DrawCause::kTick) return;  // the tick frames once for all bars
  const bool due =
      line.complete || !wasShown || !framed_ || !frameThrottle_.tooSoon(line.now, lastFrame_);
  if (!due) return;
  try {
    frame(rows, false);
  } catch (...) {
    row.text.swap(spare_);
    row.hasText = wasShown;
    row.columns = oldShape.columns;
    row.clean = oldShape.clean;
    row.state = RowState::kLive;
    throw;
  }
  lastFrame_ = line.now;
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
std::size_t TerminalOutput::appendRow(const Row& row, std::int64_t width) {
  if (row.clean && static_cast<std::int64_t>(row.columns) <= width) {
    frame_ += row.text;
    return row.columns;
  }
  return appendCut(frame_, row.text, width);
}

void TerminalOutput::appendUp(std::int64_t rows) {
  if (rows <= 0) return;
  char digits[kDecimalBuffer];
  frame_ += "\x1b[";
  frame_.append(digits, formatDecimal(digits, rows));
  frame_ += 'A';
}

// The frame is built from the rows as they are and changes them only once it
// is out, so that a failed frame leaves every row, and the lines waiting to go
// above the block, to the next one.
void TerminalOutput::frame(Rows& rows, bool last) {
  const std::int64_t width = askColumns();
  columns_.store(width, std::memory_order_relaxed);
  std::int64_t height = rowsStated_;
  if (const std::optional<WindowSize> size = windowOf(fd_)) height = size->rows;
  const auto fits = [width](std::size_t columns) {
    return static_cast<std::int64_t>(columns) >= width;
  };

  frame_.clear();  // (not assign("\r"): g++ 12 warns falsely about restrict there)
  frame_ += '\r';
  appendUp(cursorOffset_);  // back to the block after a frame cut short
  // Rows that have left the block go; final lines at its top are written
  // once, above it, and leave it too.
  auto live = rows.begin();
  const auto skipGone = [&] {
    while (live != rows.end() && live->state == RowState::kGone) ++live;
  };
  skipGone();
  const bool committing = live != rows.end() && live->state == RowState::kDone;
  if (!above_.empty() || committing) {
    // Lines above the block: clear the old block first, since a long text
    // may wrap over more of it than one row.
    frame_ += kEraseBelow;
    for (const Text& text : above_) {
      frame_ += text;
      frame_ += kNewLine;
    }
    // (a finished row has shown a line: it finished by drawing it)
    for (; live != rows.end() && live->state != RowState::kLive; ++live, skipGone()) {
      appendRow(*live, width);
      frame_ += kNewLine;
    }
  }
  const auto committed = live;
  const std::size_t limit =
      height > 1 ? static_cast<std::size_t>(height - 1) : std::numeric_limits<std::size_t>::max();
  std::size_t total = 0;
  for (auto r = committed; r != rows.end(); ++r) {
    total += r->hasText && r->state != RowState::kGone ? 1 : 0;
  }
  const std::size_t shown = std::min(total, limit);
  std::size_t written = 0;
  for (auto r = committed; r != rows.end(); ++r) {
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
    writeCounted(*stream_, frame_, accepted);
  } catch (...) {
    // Where the cursor is now: the next frame starts by going back up.
    cursorOffset_ += rowsMoved(std::string_view(frame_).substr(0, accepted));
    throw;
  }
  cursorOffset_ = 0;
  rows.erase(std::remove_if(rows.begin(), committed,
                            [](const Row& r) { return r.state != RowState::kLive; }),
             committed);
  std::erase_if(rows, [](const Row& r) { return r.state == RowState::kGone; });
  above_.clear();
  shownRows_ = parked ? shown : 0;
  framed_ = true;
}

}  // namespace

std::unique_ptr<Output> terminalOutput(std::ostream& stream, int fd, std::int64_t columns,
                                       std::int64_t rows, bool colour,
                                       const DisplayOptions& options) {
  return std::make_unique<TerminalOutput>(stream, fd, columns, rows, colour, options);
}

}  // namespace System::ProgressBar::detail
