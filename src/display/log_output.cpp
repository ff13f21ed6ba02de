// A display anywhere but a terminal: each bar's line when it starts, at most
// once per interval while it changes, and when it completes; plain text.
#include <algorithm>
#include <string>
#include <utility>

#include "display/display_core.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

class LogOutput final : public Output {
 public:
  LogOutput(std::ostream& stream, bool colour, const DisplayOptions& options)
      : stream_(&stream),
        colour_(colour),
        align_(options.alignColumns),
        logIntervalNs_(options.logInterval.count()) {}

  bool terminal() const noexcept override { return false; }
  bool escapes() const noexcept override { return colour_; }
  void drawn(Rows&, Row& row, const DrawnLine& line) override {
    std::swap(row.source, *line.source);
    row.prefixColumns = measure(row.source.prefix, Measure::kColumns).length;
    row.postfixColumns = measure(row.source.postfix, Measure::kColumns).length;
    // Aligned as the block of a terminal would be: to the widest labels of
    // the bars seen so far.
    if (align_) {
      alignPrefix_ = std::max(alignPrefix_, row.prefixColumns);
      alignPostfix_ = std::max(alignPostfix_, row.postfixColumns);
    }
    Text text;
    layoutSource(text, row.source, row.look->fixed, std::nullopt, alignPrefix_, alignPostfix_);
    row.text.clear();
    appendPlain(row.text, text, colour_);
    row.hasText = true;
    row.changedDone = line.done;
    row.changedTodo = line.todo;
    row.changedMessage = line.message;
    if (line.complete) {
      row.state = line.onComplete == OnComplete::Clear ? RowState::kGone : RowState::kDone;
    }
    writeLog(row, line.now);
  }
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
  void writeLog(Row& row, TimePoint now);
  static bool changed(const Row& row) noexcept {
    return row.changedDone != row.loggedDone || row.changedTodo != row.loggedTodo ||
           row.changedMessage != row.loggedMessage;
  }
  static void logged(Row& row) {
    row.loggedDone = row.changedDone;
    row.loggedTodo = row.changedTodo;
    row.loggedMessage = row.changedMessage;
    row.loggedText = row.text;
  }

  std::ostream* stream_;
  const bool colour_;
  const bool align_;
  std::size_t alignPrefix_ = 0, alignPostfix_ = 0;
  const std::int64_t logIntervalNs_;
};

// A bar's first line, its final one (again only when finishing changed its
// text), and in between a line at most once per interval while its counts or
// its message change (the time its labels show is not a change).
void LogOutput::writeLog(Row& row, TimePoint now) {
  const bool complete = row.state != RowState::kLive;
  bool write = !row.logged;
  if (complete && (!row.completeLogged || row.text != row.loggedText)) write = true;
  if (!complete && changed(row) && nanosecondsBetween(row.loggedAt, now) >= logIntervalNs_) {
    write = true;
  }
  if (!write) return;
  writeDraw(*stream_, {row.text, "\n"});
  row.logged = true;
  row.completeLogged = complete;
  logged(row);
  row.loggedAt = now;
}

void LogOutput::end(Rows& rows) {
  for (Row& row : rows) {
    if (!row.hasText || row.completeLogged || !changed(row)) continue;
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
