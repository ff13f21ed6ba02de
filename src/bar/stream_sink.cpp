// A bar of its own on a caller's stream, and the draw step on one.
#include <iostream>
#include <optional>
#include <ostream>

#include "System/ProgressBar/detail/Engine.hpp"
#include "bar/sink.hpp"
#include "base/stream_write.hpp"
#include "render/line.hpp"

namespace System::ProgressBar::detail {

std::ostream& standardError() noexcept { return std::cerr; }

void Delete<BarSink>::operator()(BarSink* sink) const noexcept { delete sink; }

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept {
  if (!complete) return "\r";
  return onComplete == OnComplete::Clear ? kEraseLine : std::string_view("\n");
}

BarSink::~BarSink() = default;

namespace {

// A bar of its own on a stream: the exact bytes of the draw step, its lines
// laid out by the renderer's rules.
class StreamSink final : public BarSink {
 public:
  explicit StreamSink(std::ostream& stream) noexcept : stream_(&stream) {}
  void prepare(const FixedTexts& texts) override { look_.emplace(texts, Measure::kCodePoints); }
  void draw(const DrawnLine& line) override {
    writeDraw(*stream_, {laidOut(*line.source), terminatorFor(line.complete, line.onComplete)});
  }
  bool wantsLineAbove() const noexcept override { return true; }
  void printAbove(std::string_view text, LineSource* line) override {
    if (line == nullptr) {
      writeDraw(*stream_, {text, "\n"});
    } else {
      writeDraw(*stream_, {kEraseLine, text, "\n", laidOut(*line), "\r"});
    }
  }
  std::ostream& stream() const noexcept override { return *stream_; }

 private:
  // Each line is drawn once: it is laid out where its labels are.
  std::string_view laidOut(LineSource& line) const {
    layoutInPlace(line, look_->fixed);
    return line.labels;
  }

  std::ostream* stream_;
  std::optional<BarLook> look_;  // once prepared
};

}  // namespace

Own<BarSink> streamSink(std::ostream& stream) { return Own<BarSink>(new StreamSink(stream)); }

void drawLine(std::ostream& stream, std::string_view line, bool complete, OnComplete onComplete) {
  writeDraw(stream, {line, terminatorFor(complete, onComplete)});
}

}  // namespace System::ProgressBar::detail
