// A display that shows no bar: its bars count as ever, and lines printed
// above its (absent) block are written as a program would write them
// without one.
#include "base/stream_write.hpp"
#include "base/text.hpp"
#include "display/display_core.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

class HiddenOutput final : public Output {
 public:
  HiddenOutput(std::ostream& stream, bool terminal, bool colour)
      : stream_(&stream), terminal_(terminal), colour_(colour) {}

  bool terminal() const noexcept override { return terminal_; }
  bool escapes() const noexcept override { return colour_; }
  // Every row counts as shown, so that finished rows leave as they would.
  bool drawn(const Rows&, const Row&, const DrawnLine&, bool) override { return true; }
  bool above(const Rows&, std::string_view text) override {
    writeAbove(*stream_, text, terminal_, colour_);
    return true;
  }
  bool removed(const Rows&) override { return true; }
  bool ticked(const Rows&) override { return true; }
  bool end(const Rows&) override { return true; }
  void forget(RowSlot, bool) noexcept override {}
  void setColumns(std::int64_t) noexcept override {}
  void divert(std::ostream& stream, int) noexcept override { stream_ = &stream; }
  void suspend(const Rows&) override {}
  bool resume(const Rows&) override { return true; }

 private:
  std::ostream* stream_;
  const bool terminal_;
  const bool colour_;
};

}  // namespace

void writeAbove(std::ostream& stream, std::string_view text, bool terminal, bool colour) {
  if (terminal) {
    writeDraw(stream, {text, "\n"});
    return;
  }
  Text plain;
  for (std::size_t at = 0;;) {  // each of its lines
    const std::size_t end = std::min(text.find('\n', at), text.size());
    appendPlain(plain, text.substr(at, end - at), colour);
    plain += '\n';
    if (end >= text.size()) break;
    at = end + 1;
  }
  writeDraw(stream, {plain});
}

std::unique_ptr<Output> hiddenOutput(std::ostream& stream, bool terminal, bool colour) {
  return std::make_unique<HiddenOutput>(stream, terminal, colour);
}

}  // namespace System::ProgressBar::detail
