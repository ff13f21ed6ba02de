// Writing drawn lines to a caller's stream, and a bar of its own on one.
#include <cxxabi.h>

#include <algorithm>
#include <ios>
#include <iostream>
#include <optional>
#include <ostream>

#include "System/ProgressBar/detail/Engine.hpp"
#include "bar/sink.hpp"
#include "render/line.hpp"

namespace System::ProgressBar::detail {

std::ostream& standardError() noexcept { return std::cerr; }

void destroySink(BarSink* sink) noexcept { delete sink; }

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept {
  if (!complete) return "\r";
  return onComplete == OnComplete::Clear ? kEraseLine : std::string_view("\n");
}

namespace {

// One call into the stream's buffer, as the stream's own write and flush make
// it: an exception of the buffer fails the call and propagates only where the
// stream's exception mask asks for badbit (the forced unwind of a cancelled
// thread always goes on).
template <class Call>
bool bufferCall(std::ostream& stream, Call call) {
  try {
    return call();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if ((stream.exceptions() & std::ios_base::badbit) != 0) throw;
    return false;
  }
}

// Writes the pieces through the stream's buffer, one write each, then
// flushes once. The buffer says how much it took, which the stream's write
// does not; a failed flush counts as nothing sent.
void writeThrough(std::ostream& stream, std::initializer_list<std::string_view> pieces,
                  std::size_t& accepted) {
  accepted = 0;
  // A stream that is not good writes nothing (its sentry refuses, and with
  // only eofbit set it says nothing): that is a failed draw.
  if (!stream.good()) {
    throw std::ios_base::failure("progress bar: the stream is not good, so nothing can be written");
  }
  if (stream.tie() != nullptr) stream.tie()->flush();  // as the stream's own write would
  // A failed draw must not leave the stream failed for the next one.
  try {
    std::streambuf& buffer = *stream.rdbuf();
    bool sent = true;
    for (const std::string_view piece : pieces) {
      std::streamsize took = 0;
      sent = bufferCall(stream, [&] {
        took = buffer.sputn(piece.data(), static_cast<std::streamsize>(piece.size()));
        return took == static_cast<std::streamsize>(piece.size());
      });
      accepted += static_cast<std::size_t>(std::max<std::streamsize>(took, 0));
      if (!sent) break;
    }
    if (sent) {
      sent = bufferCall(stream, [&] { return buffer.pubsync() != -1; });
      if (!sent) accepted = 0;
    }
    if (!sent) stream.setstate(std::ios_base::badbit);  // throws if the stream asks for that
  } catch (...) {
    stream.clear();
    throw;
  }
  if (stream.fail()) {
    stream.clear();
    throw std::ios_base::failure("progress bar: writing the line to its stream failed");
  }
}

}  // namespace

void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces) {
  std::size_t accepted;
  writeThrough(stream, pieces, accepted);
}

void writeCounted(std::ostream& stream, std::string_view bytes, std::size_t& accepted) {
  writeThrough(stream, {bytes}, accepted);
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

BarSink* streamSink(std::ostream& stream) { return new StreamSink(stream); }

void drawLine(std::ostream& stream, std::string_view line, bool complete, OnComplete onComplete) {
  writeDraw(stream, {line, terminatorFor(complete, onComplete)});
}

}  // namespace System::ProgressBar::detail
