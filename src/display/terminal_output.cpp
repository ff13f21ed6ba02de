// A display on a terminal: its rows as a block redrawn in place, frame by
// frame, with the lines printed above it.
//
// Between frames the cursor rests at the start of the line below the block,
// so that a program stopped at any moment (Ctrl-C, kill, abort) leaves the
// shell's prompt on a line of its own under every row. A frame goes up to the
// block's top from there, rewrites what changed, and comes back down. After a
// narrowing, a terminal that re-wraps its lines has made each old row as many
// rows as it takes at the new width, and the frame goes up over all of them;
// one that cuts its lines has kept one row each. The frame is one write,
// wrapped in the synchronised update mode (DEC private mode 2026) that
// terminals which know it use to paint it at once.
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "base/arithmetic.hpp"
#include "display/display_core.hpp"
#include "display/screen_text.hpp"
#include "display/work_share.hpp"
#include "render/line.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::string_view kEraseToEnd = "\x1b[K";
// Carriage return before line feed: a terminal in raw mode, or a row that
// filled the last column, does not return to the first column by itself.
constexpr std::string_view kNewLine = "\r\n";
constexpr std::string_view kEraseBelow = "\x1b[J";
constexpr std::string_view kEraseLine = "\x1b[2K";
constexpr std::string_view kDown = "\x1b[B";
constexpr std::string_view kSyncBegin = "\x1b[?2026h";
constexpr std::string_view kSyncEnd = "\x1b[?2026l";

struct WindowSize {
  std::int64_t columns = 0, rows = 0;
};

std::optional<WindowSize> windowOf(int fd) noexcept {
  winsize size{};
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
  return WindowSize{size.ws_col, size.ws_row};
}

// A line of the block as it is on the screen, and the layout of its row that
// it shows (0: none, the summary of rows that do not fit). Layouts are
// numbered across the output, so a number names a row and its text at once.
struct ShownLine {
  Text text;
  std::size_t columns = 0;
  std::uint64_t version = 0;
  bool kept = false;  // of a next frame: the text is the shown line's, left where it is
};

// What the terminal keeps of a row: its labels' columns, and its line as
// last laid out, and for what: the width and the label columns.
struct RowText {
  std::size_t prefixColumns = 0, postfixColumns = 0;
  Text text;
  std::size_t columns = 0;    // of text
  std::uint64_t version = 0;  // which layout of the output's made text (0: none yet)
  bool clean = true;          // text holds no control character
  bool laid = false;
  std::int64_t laidWidth = 0;
  std::size_t laidPrefix = 0, laidPostfix = 0;
  WorkPart part;  // its part of the work as the last frame counted it
};

class TerminalOutput final : public Output {
 public:
  TerminalOutput(std::ostream& stream, int fd, std::int64_t columns, std::int64_t rows, bool colour,
                 bool rewraps, bool indicator, const DisplayOptions& options)
      : stream_(&stream),
        fd_(fd),
        rowsStated_(rows),
        colour_(colour),
        rewraps_(rewraps),
        indicator_(indicator),
        align_(options.alignColumns),
        frameThrottle_(1.0 / options.refreshRate),
        columns_(columns) {}

  bool terminal() const noexcept override { return true; }
  bool escapes() const noexcept override { return colour_; }
  bool drawn(const Rows& rows, const Row& row, const DrawnLine& line, bool hadLine) override;
  bool above(const Rows& rows, std::string_view text) override {
    above_.emplace_back(text);
    try {
      return frame(rows, false);
    } catch (...) {
      above_.clear();
      throw;
    }
  }
  bool removed(const Rows& rows) override { return frame(rows, false); }
  bool ticked(const Rows& rows) override { return frame(rows, false); }
  // The final frame is drawn even while suspended: it is the last word.
  bool end(const Rows& rows) override {
    suspended_ = false;
    return frame(rows, true);
  }
  void forget(RowSlot slot, bool finished) noexcept override {
    // A finished row's part stays in the work's share; a row taken out
    // leaves the work.
    if (const RowText* text = texts_.find(slot); indicator_ && finished && text != nullptr) {
      share_.retire(text->part);
    }
    texts_.forget(slot);
  }
  void setColumns(std::int64_t columns) noexcept override {
    columns_.store(columns, std::memory_order_relaxed);
  }
  void divert(std::ostream& stream, int fd) noexcept override {
    stream_ = &stream;
    if (fd >= 0) fd_ = fd;
  }
  void suspend(const Rows& rows) override;
  bool resume(const Rows& rows) override {
    suspended_ = false;
    return frame(rows, false);
  }

 private:
  // Draws the block; whether it did (and shows the rows as they are).
  bool frame(const Rows& rows, bool last);
  // Writes frame_; on a failure, notes where the cursor went and that the
  // screen must be written again whole.
  void writeFrame();
  RowText& layOut(const Row& row, std::int64_t width, std::size_t prefix, std::size_t postfix);
  static std::size_t appendRow(Text& out, std::string_view text, bool clean, std::size_t columns,
                               std::int64_t width);
  void appendMove(std::int64_t rows);
  void appendEraseRows(std::int64_t rows);
  void appendForward(std::int64_t columns);
  void appendLine(std::string_view text, bool clean, std::size_t columns, std::int64_t width);
  void appendAboveLine(std::string_view text, std::int64_t width);
  void appendChange(const ShownLine& shown, const ShownLine& next);
  std::int64_t rowsAboveCursor(std::int64_t width) const noexcept;
  // The indicator for the rows as they are, when it changed: written at the
  // frame's start, and what it then shows.
  std::optional<Indicator> indicatorChange(const Rows& rows, bool last);

  std::ostream* stream_;
  int fd_;                         // -1: none; the size is stated
  const std::int64_t rowsStated_;  // stated height; 0: unknown
  const bool colour_;
  const bool rewraps_;
  const bool indicator_;  // the terminal's own progress indicator is kept
  WorkShare share_;
  Indicator sent_;  // what the terminal's indicator shows now
  const bool align_;
  std::size_t alignPrefix_ = 0, alignPostfix_ = 0;  // the widest labels seen in the block
  RowSlots<RowText> texts_;
  const Throttle frameThrottle_;
  std::atomic<std::int64_t> columns_;  // stated width, or the last one asked
  std::vector<Text> above_;            // lines to print above the block at the next frame
  // The block as the last frame left it, and where the cursor is: rows below
  // the block's top (shown_.size() is the line below the block).
  std::vector<ShownLine> shown_;
  std::int64_t shownWidth_ = 0;
  std::int64_t cursorRow_ = 0;
  bool dirty_ = false;  // a frame was cut short: the next one rewrites everything
  bool suspended_ = false;
  bool framed_ = false;
  TimePoint lastFrame_{};
  std::uint64_t layouts_ = 0;  // rows laid out so far: each layout's version
  Text frame_;                 // reused by every frame, as are these
  Text laid_;
  Text printed_;
  std::vector<const Row*> block_;
  std::vector<ShownLine> next_;
};

bool TerminalOutput::drawn(const Rows& rows, const Row& row, const DrawnLine& line, bool hadLine) {
  RowText& text = texts_.of(row);
  // Keep the old columns until the frame is out, so that a failed frame
  // leaves the row as it was.
  const auto previous = std::make_pair(text.prefixColumns, text.postfixColumns);
  text.prefixColumns = measure(row.source.prefix(), Measure::kColumns).length;
  text.postfixColumns = measure(row.source.postfix(), Measure::kColumns).length;
  text.laid = false;
  const bool due =
      line.cause != DrawCause::kTick &&
      (line.complete || !hadLine || !framed_ || !frameThrottle_.tooSoon(line.now, lastFrame_));
  if (!due) return false;  // shown by a later frame (a tick frames once for all its bars)
  bool shown;
  try {
    shown = frame(rows, false);
  } catch (...) {
    RowText& again = texts_.of(row);  // the frame may have made room for other rows
    std::tie(again.prefixColumns, again.postfixColumns) = previous;
    again.laid = false;  // the failed frame laid out the new line
    throw;
  }
  lastFrame_ = line.now;
  return shown;
}

RowText& TerminalOutput::layOut(const Row& row, std::int64_t width, std::size_t prefix,
                                std::size_t postfix) {
  RowText& text = texts_.of(row);
  if (text.laid && text.laidWidth == width && text.laidPrefix == prefix &&
      text.laidPostfix == postfix) {
    return text;
  }
  layoutSource(laid_, row.source, row.look->fixed,
               LineFit{.terminalWidth = width,
                       .barColumns = -1,
                       .prefixColumns = prefix,
                       .postfixColumns = postfix});
  if (!colour_) {  // no escape from any source, labels included
    text.text.clear();
    appendPlain(text.text, laid_, false);
  } else {
    text.text.swap(laid_);
  }
  const RowShape shape = shapeOf(text.text);
  text.columns = shape.columns;
  text.clean = shape.clean;
  text.laid = true;
  text.version = ++layouts_;
  text.laidWidth = width;
  text.laidPrefix = prefix;
  text.laidPostfix = postfix;
  return text;
}

// A line as the frame shows it: as it is when it fits, else cut. Returns
// its columns.
std::size_t TerminalOutput::appendRow(Text& out, std::string_view text, bool clean,
                                      std::size_t columns, std::int64_t width) {
  if (clean && static_cast<std::int64_t>(columns) <= width) {
    out += text;
    return columns;
  }
  return appendCut(out, text, width);
}

void TerminalOutput::appendMove(std::int64_t rows) {
  if (rows == 0) return;
  char digits[kDecimalBuffer];
  frame_ += "\x1b[";
  frame_.append(digits, formatDecimal(digits, rows < 0 ? -rows : rows));
  frame_ += rows < 0 ? 'A' : 'B';
}

// Erases `rows` lines from the cursor's down, and comes back to the first.
void TerminalOutput::appendEraseRows(std::int64_t rows) {
  for (std::int64_t row = 0; row < rows; ++row) {
    frame_ += kEraseLine;
    if (row + 1 < rows) frame_ += kDown;
  }
  appendMove(1 - rows);
}

void TerminalOutput::appendForward(std::int64_t columns) {
  char digits[kDecimalBuffer];
  frame_ += "\x1b[";
  frame_.append(digits, formatDecimal(digits, columns));
  frame_ += 'C';
}

// A row of a frame, cut to the width, on its line erased first. Erasing
// the whole line before writing leaves nothing of the old one and takes
// nothing of the new one, even one that fills the last column; and it tells
// a terminal that re-wraps on a resize (tmux at least) that the line no
// longer continues on the next, which an erase after the text does not.
void TerminalOutput::appendLine(std::string_view text, bool clean, std::size_t columns,
                                std::int64_t width) {
  frame_ += kEraseLine;
  appendRow(frame_, text, clean, columns, width);
  frame_ += kNewLine;
}

// A printed line, each of its lines in a shape the display knows (see
// appendPrinted) on lines erased first: every row it wraps onto is erased
// before it is written, so that nothing of the old block's rows is left
// beside it, whatever its tabs and wide characters do at a row's end.
void TerminalOutput::appendAboveLine(std::string_view text, std::int64_t width) {
  do {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    printed_.clear();
    const std::int64_t rows = appendPrinted(printed_, line, width, colour_);
    frame_ += kEraseLine;
    for (std::int64_t row = 1; row < rows; ++row) {
      frame_ += '\n';  // a line feed scrolls at the screen's foot, where moving down would not
      frame_ += kEraseLine;
    }
    appendMove(1 - rows);
    frame_ += printed_;
    // Colour a line leaves on goes no further than the line.
    if (printed_.find('\x1b') != Text::npos) frame_ += "\x1b[0m";
    frame_ += kNewLine;
  } while (!text.empty());
}

// A row that changed, from the cursor at its start: what is alike at its
// start is skipped (its escapes written, so that the colour is as the whole
// row would leave it), the rest written, and what is left of the old row
// erased.
void TerminalOutput::appendChange(const ShownLine& shown, const ShownLine& next) {
  const RowStart same = commonStart(shown.text, next.text);
  if (same.columns == 0) {
    frame_ += kEraseLine;
    frame_ += next.text;
    return;
  }
  appendEscapes(frame_, std::string_view(next.text).substr(0, same.bytes));
  appendForward(static_cast<std::int64_t>(same.columns));
  frame_.append(next.text, same.bytes);
  if (shown.columns > next.columns) frame_ += kEraseToEnd;
}

// How far above the cursor the block's top is now: a row the terminal
// re-wrapped at a narrower width takes as many rows as it needs there.
std::int64_t TerminalOutput::rowsAboveCursor(std::int64_t width) const noexcept {
  const bool rewrapped = rewraps_ && width < shownWidth_;
  std::int64_t rows = 0;
  for (std::size_t i = 0; i < shown_.size() && static_cast<std::int64_t>(i) < cursorRow_; ++i) {
    const auto columns = static_cast<std::int64_t>(shown_[i].columns);
    rows += rewrapped && columns > width ? (columns + width - 1) / width : 1;
  }
  return rows + std::max<std::int64_t>(0, cursorRow_ - static_cast<std::int64_t>(shown_.size()));
}

// Erases the block row by row (not with an erase from the screen's top-left
// corner, which tmux scrolls into its history) and leaves the cursor at its
// top, where the program's own output goes; the block is drawn anew there.
void TerminalOutput::writeFrame() {
  std::size_t accepted = 0;
  try {
    writeCounted(*stream_, frame_, accepted);
  } catch (...) {
    // Where the cursor is now is known from what went out; the screen below
    // the block's top is not, so the next frame writes all of it again.
    cursorRow_ += rowsMoved(std::string_view(frame_).substr(0, accepted));
    dirty_ = true;
    throw;
  }
}

void TerminalOutput::suspend(const Rows&) {
  frame_.clear();
  // The indicator is cleared while the program has the terminal; the next
  // frame shows it again.
  if (sent_ != Indicator{}) appendIndicator(frame_, Indicator{});
  // Nothing shown: the cursor stays where the program left it, mid-line too.
  if (const std::int64_t up = rowsAboveCursor(shownWidth_); up > 0) {
    frame_ += '\r';
    appendMove(-up);
    appendEraseRows(up);
  }
  if (!frame_.empty()) writeFrame();
  sent_ = Indicator{};
  shown_.clear();
  cursorRow_ = 0;
  dirty_ = false;
  suspended_ = true;
}

bool TerminalOutput::frame(const Rows& rows, bool last) {
  if (suspended_) {  // no block: lines printed above are written as they come
    for (const Text& text : above_) writeDraw(*stream_, {text, "\n"});
    above_.clear();
    return false;
  }
  const std::optional<WindowSize> size = windowOf(fd_);
  const std::int64_t width =
      std::max<std::int64_t>(1, size ? size->columns : columns_.load(std::memory_order_relaxed));
  const std::int64_t height = size ? size->rows : rowsStated_;
  columns_.store(width, std::memory_order_relaxed);

  // The labels of the block's rows, padded to the widest of each seen in
  // it, so that rows line up with the finished rows above them and do not
  // move when a wide one leaves.
  if (align_) {
    for (const Row& row : rows) {
      if (!row.hasText || row.state == RowState::kGone) continue;
      const RowText& text = texts_.of(row);
      alignPrefix_ = std::max(alignPrefix_, text.prefixColumns);
      alignPostfix_ = std::max(alignPostfix_, text.postfixColumns);
    }
  }
  const std::size_t prefix = alignPrefix_, postfix = alignPostfix_;
  // Rows cleared from the block are not shown; finished lines at its top are
  // written once, above it, and leave it (the display takes them out once
  // the frame is out).
  auto first = rows.begin();
  std::size_t commits = 0;
  for (; first != rows.end() && first->state != RowState::kLive; ++first) {
    if (first->state == RowState::kDone) ++commits;
  }
  std::vector<const Row*>& block = block_;
  block.clear();
  for (auto r = first; r != rows.end(); ++r) {
    if (r->hasText && r->state != RowState::kGone) block.push_back(&*r);
  }
  // More rows than fit: the running ones first, in their order, and a line
  // that counts the rest; the last frame shows every row.
  std::size_t hidden = 0;
  const std::size_t rowsShown = block.size();
  const auto room = static_cast<std::size_t>(std::max<std::int64_t>(height - 1, 1));
  if (!last && height > 0 && block.size() > room) {
    const auto running = static_cast<std::size_t>(std::count_if(
        block.begin(), block.end(), [](const Row* r) { return r->state == RowState::kLive; }));
    std::size_t runningLeft = std::min(running, room - 1);
    std::size_t doneLeft = room - 1 - runningLeft;
    std::erase_if(block, [&](const Row* r) {
      std::size_t& left = r->state == RowState::kLive ? runningLeft : doneLeft;
      if (left == 0) return true;
      --left;
      return false;
    });
    hidden = rowsShown - block.size();
  }
  next_.resize(block.size() + (hidden != 0 ? 1 : 0));
  for (std::size_t i = 0; i < block.size(); ++i) {
    const RowText& row = layOut(*block[i], width, prefix, postfix);
    ShownLine& line = next_[i];
    line.version = row.version;
    // A row shown as it was laid out, at this width, is left as it is.
    line.kept =
        !dirty_ && width == shownWidth_ && i < shown_.size() && shown_[i].version == row.version;
    if (line.kept) {
      line.columns = shown_[i].columns;
      continue;
    }
    line.text.clear();
    line.columns = appendRow(line.text, row.text, row.clean, row.columns, width);
  }
  if (hidden != 0) {
    const Text summary = "\u2026 and " + std::to_string(hidden) + " more";
    ShownLine& line = next_.back();
    line.text.clear();
    line.columns = appendCut(line.text, summary, width);
    line.version = 0;
    line.kept = false;
  }
  const auto textOf = [this](std::size_t i) -> const Text& {
    return next_[i].kept ? shown_[i].text : next_[i].text;
  };

  const bool whole = dirty_ || !above_.empty() || commits != 0 || width != shownWidth_ ||
                     next_.size() != shown_.size();
  const std::optional<Indicator> indicator = indicatorChange(rows, last);
  frame_.clear();
  if (whole) {
    frame_ += kSyncBegin;
    frame_ += '\r';
    const std::int64_t up = rowsAboveCursor(width);
    appendMove(-up);
    const std::size_t start = frame_.size();
    // Everything from the block's top down is written again, each line
    // erasing what is left of the old one, and what the old block had below
    // is erased after: never an erase from the screen's top-left corner,
    // which tmux takes for a clear and scrolls into its history.
    for (const Text& text : above_) appendAboveLine(text, width);
    for (auto r = rows.begin(); r != first; ++r) {
      if (r->state != RowState::kDone) continue;
      const RowText& text = layOut(*r, width, prefix, postfix);
      appendLine(text.text, text.clean, text.columns, width);
    }
    for (std::size_t i = 0; i < next_.size(); ++i) {
      appendLine(textOf(i), true, next_[i].columns, width);
    }
    if (frame_.size() != start) {
      frame_ += kEraseBelow;
    } else if (up > 0) {
      appendEraseRows(up);  // nothing written: the old rows are erased one by one
    } else {
      frame_.clear();  // nothing shown and nothing to show: nothing is written
    }
    if (!frame_.empty()) frame_ += kSyncEnd;
  } else {
    // Only the lines that changed, moving over the others.
    std::int64_t at = cursorRow_;
    for (std::size_t i = 0; i < next_.size(); ++i) {
      if (next_[i].kept || next_[i].text == shown_[i].text) continue;
      if (at == cursorRow_) frame_ += kSyncBegin;
      frame_ += '\r';
      appendMove(static_cast<std::int64_t>(i) - at);
      appendChange(shown_[i], next_[i]);
      at = static_cast<std::int64_t>(i);
    }
    if (at == cursorRow_) {  // no row changed: only the indicator may have
      if (indicator) {
        appendIndicator(frame_, *indicator);
        writeFrame();
        sent_ = *indicator;
      }
      return false;
    }
    frame_ += '\r';
    appendMove(static_cast<std::int64_t>(next_.size()) - at);
    frame_ += kSyncEnd;
  }

  if (indicator) {
    Text change;
    appendIndicator(change, *indicator);
    frame_.insert(0, change);
  }
  if (!frame_.empty()) writeFrame();
  if (indicator) sent_ = *indicator;
  if (next_.size() == shown_.size()) {  // the lines that changed take their places
    for (std::size_t i = 0; i < next_.size(); ++i) {
      if (next_[i].kept) continue;
      shown_[i].text.swap(next_[i].text);
      shown_[i].columns = next_[i].columns;
      shown_[i].version = next_[i].version;
    }
  } else {
    for (std::size_t i = 0; i < next_.size(); ++i) {
      if (next_[i].kept) next_[i].text.swap(shown_[i].text);
    }
    shown_.swap(next_);
  }
  shownWidth_ = width;
  cursorRow_ = static_cast<std::int64_t>(shown_.size());
  dirty_ = false;
  above_.clear();
  framed_ = true;
  return true;
}

std::optional<Indicator> TerminalOutput::indicatorChange(const Rows& rows, bool last) {
  if (!indicator_) return std::nullopt;
  for (const Row& row : rows) {
    if (row.hasText) texts_.of(row).part = partOf(row);
  }
  // The last frame clears it: the work is over.
  const std::optional<Indicator> now = last ? Indicator{} : share_.indicator(rows);
  if (!now || *now == sent_) return std::nullopt;
  return now;
}

}  // namespace

std::unique_ptr<Output> terminalOutput(std::ostream& stream, int fd, std::int64_t columns,
                                       std::int64_t rows, bool colour, bool rewraps, bool indicator,
                                       const DisplayOptions& options) {
  return std::make_unique<TerminalOutput>(stream, fd, columns, rows, colour, rewraps, indicator,
                                          options);
}

}  // namespace System::ProgressBar::detail
