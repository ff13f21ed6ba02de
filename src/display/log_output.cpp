// A display anywhere but a terminal: each bar's line when it starts, at most
// once per interval while it changes, and when it completes; plain text.
//
// Every line of a log has its bar proper kLogBarColumns wide, whatever the
// style's width and however long the labels around it are, so that the bars
// of a log read down one column; the labels take their own width (with
// alignColumns, the widest of each seen so far), and no line ends in blanks.
// A row leaves once its final line is out: a log keeps only its running
// bars, however many it has had.
#include <algorithm>
#include <string>
#include <utility>

#include "base/text.hpp"
#include "display/display_core.hpp"
#include "display/screen_text.hpp"
#include "render/line.hpp"

namespace System::ProgressBar::detail {
namespace {

// The columns of a log line's bar proper; a style of no width (a spinner's)
// has none, in a log as on a terminal.
constexpr std::int64_t kLogBarColumns = 30;

// Leaves out the blanks that end a line's visible text, keeping the escape
// sequences among and after them.
void trimEnd(Text& line) {
  std::size_t end = 0;  // after the last visible character that is not blank
  for (std::size_t at = 0; at < line.size();) {
    if (line[at] == '\x1b') {
      at += escapeSequenceLength(std::string_view(line).substr(at));
      continue;
    }
    const char c = line[at++];
    if (c != ' ' && c != '\t') end = at;
  }
  if (end == line.size()) return;
  Text escapes;
  appendEscapes(escapes, std::string_view(line).substr(end));
  line.resize(end);
  line += escapes;
}

// What a log keeps of a row: what its last line written showed (counts,
// message) and when, the latest, and the line that shows the latest.
struct LogRow {
  bool logged = false;
  std::int64_t loggedDone = 0, loggedTodo = 0, changedDone = 0, changedTodo = 0;
  std::uint64_t loggedMessage = 0, changedMessage = 0;
  TimePoint loggedAt{};
  Text text;

  bool changed() const noexcept {
    return changedDone != loggedDone || changedTodo != loggedTodo ||
           changedMessage != loggedMessage;
  }
  void markLogged() noexcept {
    loggedDone = changedDone;
    loggedTodo = changedTodo;
    loggedMessage = changedMessage;
  }
};

class LogOutput final : public Output {
 public:
  LogOutput(std::ostream& stream, bool colour, const DisplayOptions& options)
      : stream_(&stream),
        colour_(colour),
        align_(options.alignColumns),
        logIntervalNs_(options.logInterval.count()) {}

  bool terminal() const noexcept override { return false; }
  bool escapes() const noexcept override { return colour_; }
  bool drawn(const Rows& rows, const Row& row, const DrawnLine& line, bool hadLine) override;
  // A plain line: no control character, escapes only with colour.
  bool above(const Rows&, std::string_view text) override {
    writeAbove(*stream_, text, false, colour_);
    return false;
  }
  bool removed(const Rows&) override { return false; }
  bool ticked(const Rows&) override { return false; }
  // What changed since each bar's last line.
  bool end(const Rows& rows) override;
  void forget(RowSlot slot, bool) noexcept override { rows_.forget(slot); }
  void setColumns(std::int64_t) noexcept override {}
  void divert(std::ostream& stream, int) noexcept override { stream_ = &stream; }
  void suspend(const Rows&) override {}  // a log has nothing to erase
  bool resume(const Rows&) override { return false; }

 private:
  std::ostream* stream_;
  const bool colour_;
  const bool align_;
  std::size_t alignPrefix_ = 0, alignPostfix_ = 0;  // the widest labels of the bars so far
  const std::int64_t logIntervalNs_;
  RowSlots<LogRow> rows_;
  Text laid_, plain_;  // reused by every line
};

// A bar's first line, its final one, and in between a line at most once per
// interval while its counts or its message change (the time its labels show
// is not a change). The line is written before anything is kept of it, so
// that a failed write leaves the row and the alignment as they were. A row
// whose final line is out leaves: a log keeps only its running bars.
bool LogOutput::drawn(const Rows&, const Row& row, const DrawnLine& line, bool) {
  LogRow& kept = rows_.of(row);
  const LineSource& source = row.source;
  // Aligned as the block of a terminal would be: to the widest labels of
  // the bars seen so far.
  std::size_t prefix = 0, postfix = 0;
  if (align_) {
    prefix = std::max(alignPrefix_, measure(source.prefix(), Measure::kColumns).length);
    postfix = std::max(alignPostfix_, measure(source.postfix(), Measure::kColumns).length);
  }
  layoutSource(laid_, source, row.look->fixed,
               LineFit{.terminalWidth = std::nullopt,
                       .barColumns = source.width > 0 ? kLogBarColumns : 0,
                       .prefixColumns = prefix,
                       .postfixColumns = postfix});
  plain_.clear();
  appendPlain(plain_, laid_, colour_);
  trimEnd(plain_);
  const bool changes = line.done != kept.loggedDone || line.todo != kept.loggedTodo ||
                       line.message != kept.loggedMessage;
  const bool write = !kept.logged || line.complete ||
                     (changes && nanosecondsBetween(kept.loggedAt, line.now) >= logIntervalNs_);
  if (write) writeDraw(*stream_, {plain_, "\n"});
  alignPrefix_ = prefix;
  alignPostfix_ = postfix;
  if (line.complete) return true;  // the row leaves: nothing of it is needed any more
  kept.text.swap(plain_);
  kept.changedDone = line.done;
  kept.changedTodo = line.todo;
  kept.changedMessage = line.message;
  if (write) {
    kept.logged = true;
    kept.markLogged();
    kept.loggedAt = line.now;
  }
  return true;
}

bool LogOutput::end(const Rows& rows) {
  for (const Row& row : rows) {
    if (!row.hasText) continue;
    LogRow& kept = rows_.of(row);
    if (!kept.changed()) continue;
    writeDraw(*stream_, {kept.text, "\n"});
    kept.markLogged();
  }
  return false;
}

}  // namespace

std::unique_ptr<Output> logOutput(std::ostream& stream, bool colour,
                                  const DisplayOptions& options) {
  return std::make_unique<LogOutput>(stream, colour, options);
}

}  // namespace System::ProgressBar::detail
