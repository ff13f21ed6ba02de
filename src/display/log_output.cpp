// A display anywhere but a terminal: each bar's line when it starts, at most
// once per interval while it changes, and when it completes; plain text.
#include <string>

#include "display/display_core.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

class LogOutput final : public Output {
 public:
  LogOutput(std::ostream& stream, bool colour, const DisplayOptions& options)
      : stream_(&stream), colour_(colour), logIntervalNs_(options.logInterval.count()) {}

  bool terminal() const noexcept override { return false; }
  bool escapes() const noexcept override { return colour_; }
  std::optional<std::int64_t> terminalWidth() const noexcept override { return std::nullopt; }
  void drawn(Rows&, Row& row, const DrawnLine& line) override {
    row.text.clear();
    appendPlain(row.text, line.text, colour_);
    row.hasText = true;
    row.changedDone = line.done;
    row.changedTodo = line.todo;
    if (line.complete) {
      row.state = row.onComplete == OnComplete::Clear ? RowState::kGone : RowState::kDone;
    }
    writeLog(row, line.done, line.todo, line.now);
  }
  void above(Rows&, std::string_view text) override { writeDraw(*stream_, {text, "\n"}); }
  void removed(Rows&) override {}
  void ticked(Rows&) override {}
  // What changed since each bar's last line.
  void end(Rows& rows) override;
  void setColumns(std::int64_t) noexcept override {}

 private:
  void writeLog(Row& row, std::int64_t done, std::int64_t todo, TimePoint now);

  std::ostream* const stream_;
  const bool colour_;
  const std::int64_t logIntervalNs_;
};

void LogOutput::writeLog(Row& row, std::int64_t done, std::int64_t todo, TimePoint now) {
  const bool complete = row.state != RowState::kLive;
  const bool changed = done != row.loggedDone || todo != row.loggedTodo;
  bool write = !row.logged;
  if (complete && !row.completeLogged) write = true;
  if (!complete && changed && nanosecondsBetween(row.loggedAt, now) >= logIntervalNs_) write = true;
  if (!write) return;
  writeDraw(*stream_, {row.text, "\n"});
  row.logged = true;
  row.completeLogged = complete;
  row.loggedDone = done;
  row.loggedTodo = todo;
  row.loggedAt = now;
}

void LogOutput::end(Rows& rows) {
  for (Row& row : rows) {
    if (!row.hasText || row.completeLogged) continue;
    if (row.changedDone == row.loggedDone && row.changedTodo == row.loggedTodo) continue;
    writeDraw(*stream_, {row.text, "\n"});
    row.loggedDone = row.changedDone;
    row.loggedTodo = row.changedTodo;
  }
}

}  // namespace

std::unique_ptr<Output> logOutput(std::ostream& stream, bool colour,
                                  const DisplayOptions& options) {
  return std::make_unique<LogOutput>(stream, colour, options);
}

}  // namespace System::ProgressBar::detail
