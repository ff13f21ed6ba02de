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

// The id of a row's place once the row has left: the display numbers its
// rows from 1.
constexpr RowId kEmptied = 0;

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

class LogOutput final : public Output {
 public:
  LogOutput(std::ostream& stream, bool colour, const DisplayOptions& options)
      : stream_(&stream),
        colour_(colour),
        align_(options.alignColumns),
        logIntervalNs_(options.logInterval.count()) {}

  bool terminal() const noexcept override { return false; }
  bool escapes() const noexcept override { return colour_; }
  void drawn(Rows& rows, Row& row, const DrawnLine& line) override;
  // A plain line: no control character, escapes only with colour.
  void above(Rows&, std::string_view text) override {
    Text plain;
    for (std::size_t at = 0;;) {  // each of its lines
      const std::size_t end = std::min(text.find('\n', at), text.size());
      appendPlain(plain, text.substr(at, end - at), colour_);
      plain += '\n';
      if (end >= text.size()) break;
      at = end + 1;
    }
    writeDraw(*stream_, {plain});
  }
  void removed(Rows&) override {}
  void ticked(Rows&) override {}
  // What changed since each bar's last line.
  void end(Rows& rows) override;
  void setColumns(std::int64_t) noexcept override {}
  void divert(std::ostream& stream, int) noexcept override { stream_ = &stream; }
  void suspend(Rows&) override {}  // a log has nothing to erase
  void resume(Rows&) override {}

 private:
  void leave(Rows& rows, Row& row) noexcept;
  static bool changed(const Row& row) noexcept {
    return row.changedDone != row.loggedDone || row.changedTodo != row.loggedTodo ||
           row.changedMessage != row.loggedMessage;
  }
  static void logged(Row& row) {
    row.loggedDone = row.changedDone;
    row.loggedTodo = row.changedTodo;
    row.loggedMessage = row.changedMessage;
  }

  std::ostream* stream_;
  const bool colour_;
  const bool align_;
  std::size_t alignPrefix_ = 0, alignPostfix_ = 0;  // the widest labels of the bars so far
  const std::int64_t logIntervalNs_;
  Text laid_, plain_;        // reused by every line
  std::size_t emptied_ = 0;  // places of rows that left, not yet taken out
};

// A bar's first line, its final one, and in between a line at most once per
// interval while its counts or its message change (the time its labels show
// is not a change). The line is written before anything is kept of it, so
// that a failed write leaves the row and the alignment as they were.
void LogOutput::drawn(Rows& rows, Row& row, const DrawnLine& line) {
  const LineSource& source = *line.source;
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
  const bool changes = line.done != row.loggedDone || line.todo != row.loggedTodo ||
                       line.message != row.loggedMessage;
  const bool write = !row.logged || line.complete ||
                     (changes && nanosecondsBetween(row.loggedAt, line.now) >= logIntervalNs_);
  if (write) writeDraw(*stream_, {plain_, "\n"});
  alignPrefix_ = prefix;
  alignPostfix_ = postfix;
  if (line.complete) {
    leave(rows, row);
    return;
  }
  swap(row.source, *line.source);
  row.text.swap(plain_);
  row.hasText = true;
  row.changedDone = line.done;
  row.changedTodo = line.todo;
  row.changedMessage = line.message;
  if (write) {
    row.logged = true;
    logged(row);
    row.loggedAt = line.now;
  }
}

// A row whose final line is out leaves: nothing of it is needed any more.
// Its place is emptied at once, under an id no row has, so that the display
// no longer finds it (a line that revives the bar brings it back as a new
// row, which starts over); the emptied places are taken out together once
// they are as many as the rows left, so that the running rows move once per
// as many rows leaving, not once for each.
void LogOutput::leave(Rows& rows, Row& row) noexcept {
  {
    const Row gone = std::move(row);  // what the row held goes with it
  }
  row = Row{};
  row.id = kEmptied;
  row.state = RowState::kGone;
  if (2 * ++emptied_ >= rows.size()) {
    std::erase_if(rows, [](const Row& r) { return r.id == kEmptied; });
    emptied_ = 0;
  }
}

void LogOutput::end(Rows& rows) {
  for (Row& row : rows) {
    if (!row.hasText || !changed(row)) continue;
    writeDraw(*stream_, {row.text, "\n"});
    logged(row);
  }
}

}  // namespace

std::unique_ptr<Output> logOutput(std::ostream& stream, bool colour,
                                  const DisplayOptions& options) {
  return std::make_unique<LogOutput>(stream, colour, options);
}

}  // namespace System::ProgressBar::detail
