// Writing one drawn line to the caller's stream.
#include <ios>
#include <ostream>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar::detail {

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept {
  if (!complete) return "\r";
  return onComplete == OnComplete::Clear ? std::string_view("\r\x1b[K") : std::string_view("\n");
}

void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces) {
  const std::ios_base::iostate before = stream.rdstate();
  // A failed draw must not leave the stream failed for the next one; the
  // caller's own error bits, if any, are kept.
  const auto restore = [&] {
    if (before == std::ios_base::goodbit) stream.clear();
  };
  try {
    for (const std::string_view piece : pieces) {
      if (stream) stream.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
    if (stream) stream.flush();
  } catch (...) {  // also the forced unwind of a cancelled thread: rethrown
    restore();
    throw;
  }
  if (!stream) {
    restore();
    throw std::ios_base::failure("progress bar: writing the line to its stream failed");
  }
}

}  // namespace System::ProgressBar::detail
