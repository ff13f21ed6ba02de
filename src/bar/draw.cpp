// Writing drawn lines to a caller's stream.
#include <ios>
#include <iostream>
#include <ostream>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar::detail {

std::ostream& standardError() noexcept { return std::cerr; }

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept {
  if (!complete) return "\r";
  return onComplete == OnComplete::Clear ? kEraseLine : std::string_view("\n");
}

void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces) {
  // A stream that is not good writes nothing (its sentry refuses, and with
  // only eofbit set it says nothing): that is a failed draw.
  if (!stream.good()) {
    throw std::ios_base::failure("progress bar: the stream is not good, so nothing can be written");
  }
  // A failed draw must not leave the stream failed for the next one.
  try {
    for (const std::string_view piece : pieces) {
      if (!stream.fail()) stream.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
    if (!stream.fail()) stream.flush();
  } catch (...) {  // also the forced unwind of a cancelled thread: rethrown
    stream.clear();
    throw;
  }
  if (stream.fail()) {
    stream.clear();
    throw std::ios_base::failure("progress bar: writing the line to its stream failed");
  }
}

void writeCounted(std::ostream& stream, std::string_view bytes, std::size_t& accepted) {
  accepted = 0;
  if (!stream.good()) {
    throw std::ios_base::failure("progress bar: the stream is not good, so nothing can be written");
  }
  if (stream.tie() != nullptr) stream.tie()->flush();  // as the stream's own write would
  try {
    // The buffer says how much it took, which the stream's write does not.
    accepted = static_cast<std::size_t>(
        stream.rdbuf()->sputn(bytes.data(), static_cast<std::streamsize>(bytes.size())));
    if (accepted < bytes.size()) {
      stream.setstate(std::ios_base::badbit);  // throws if the stream asks for that
    } else {
      stream.flush();
      if (stream.fail()) accepted = 0;  // a buffer that could not send on sent none
    }
  } catch (...) {  // also the forced unwind of a cancelled thread: rethrown
    stream.clear();
    throw;
  }
  if (stream.fail()) {
    stream.clear();
    throw std::ios_base::failure("progress bar: writing the frame to its stream failed");
  }
}

BarSink::~BarSink() = default;
Redrawable::~Redrawable() = default;

void StreamSink::draw(std::string_view line, bool complete, OnComplete onComplete, TimePoint,
                      DrawCause, std::int64_t, std::int64_t) {
  writeDraw(*stream_, {line, terminatorFor(complete, onComplete)});
}

void StreamSink::printAbove(std::string_view text, const Text* line) {
  if (line == nullptr) {
    writeDraw(*stream_, {text, "\n"});
  } else {
    writeDraw(*stream_, {kEraseLine, text, "\n", *line, "\r"});
  }
}

}  // namespace System::ProgressBar::detail
