// Writing to a stream through its buffer, as a draw does: every piece
// once, one flush, and the stream left as usable as it was.
#include "base/stream_write.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <ios>
#include <ostream>

namespace System::ProgressBar::detail {
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

}  // namespace System::ProgressBar::detail
