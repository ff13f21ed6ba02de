// Counting the bytes that pass through a stream, and the bar's counting half
// without its custom type.
#include <cxxabi.h>

#include <istream>
#include <ostream>
#include <stdexcept>

#include "System/ProgressBar/Stream.hpp"
#include "System/ProgressBar/detail/Counter.hpp"
#include "System/ProgressBar/detail/Engine.hpp"
#include "base/cancel.hpp"

namespace System::ProgressBar {
namespace detail {

void ByteCount::add(std::int64_t n) const {
  CountAttempt attempt;
  Engine::count(*engine_, Engine::counter(*engine_), n, attempt);
}

}  // namespace detail

namespace {
// Counts go to the bar at least this often; in between they cost an addition.
constexpr std::int64_t kBatch = 4096;
}  // namespace

CountingStreamBuf::CountingStreamBuf(detail::ByteCount count, std::streambuf& inner) noexcept
    : count_(std::move(count)), inner_(&inner) {}

CountingStreamBuf::~CountingStreamBuf() {
  const detail::DeferCancellation deferred;  // the count goes over whole
  try {
    handOver();
  } catch (...) {  // a destructor has nowhere to report it
  }
}

void CountingStreamBuf::handOver() {
  if (pending_ == 0) return;
  count_.add(pending_);
  pending_ = 0;
}

void CountingStreamBuf::add(std::int64_t n) {
  counted_ = detail::wrappingAdd(counted_, n);
  pending_ = detail::wrappingAdd(pending_, n);
  if (pending_ >= kBatch || pending_ <= -kBatch) handOver();
}

// Reading: nothing is buffered here, so a byte is taken from the buffer
// beneath exactly when the caller takes it.
CountingStreamBuf::int_type CountingStreamBuf::underflow() {
  if (pending_ != 0 && inner_->in_avail() <= 0) handOver();  // the read may wait
  return inner_->sgetc();
}

CountingStreamBuf::int_type CountingStreamBuf::uflow() {
  if (pending_ != 0 && inner_->in_avail() <= 0) handOver();
  const int_type c = inner_->sbumpc();
  if (!traits_type::eq_int_type(c, traits_type::eof())) add(1);
  return c;
}

std::streamsize CountingStreamBuf::xsgetn(char* s, std::streamsize n) {
  if (pending_ != 0 && inner_->in_avail() < n) handOver();
  const std::streamsize got = inner_->sgetn(s, n);
  if (got > 0) add(got);
  return got;
}

std::streamsize CountingStreamBuf::showmanyc() { return inner_->in_avail(); }

CountingStreamBuf::int_type CountingStreamBuf::pbackfail(int_type c) {
  const int_type back = traits_type::eq_int_type(c, traits_type::eof())
                            ? inner_->sungetc()
                            : inner_->sputbackc(traits_type::to_char_type(c));
  if (!traits_type::eq_int_type(back, traits_type::eof())) add(-1);  // taken back
  return back;
}

// Writing: a byte counts when the buffer beneath accepts it.
CountingStreamBuf::int_type CountingStreamBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const int_type put = inner_->sputc(traits_type::to_char_type(c));
  if (!traits_type::eq_int_type(put, traits_type::eof())) add(1);
  return put;
}

std::streamsize CountingStreamBuf::xsputn(const char* s, std::streamsize n) {
  const std::streamsize put = inner_->sputn(s, n);
  if (put > 0) add(put);
  return put;
}

int CountingStreamBuf::sync() {
  handOver();
  return inner_->pubsync();
}

CountingStreamBuf::pos_type CountingStreamBuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                       std::ios_base::openmode which) {
  return inner_->pubseekoff(off, dir, which);
}

CountingStreamBuf::pos_type CountingStreamBuf::seekpos(pos_type pos,
                                                       std::ios_base::openmode which) {
  return inner_->pubseekpos(pos, which);
}

namespace {
std::streambuf& bufferOf(std::ios& stream) {
  if (stream.rdbuf() == nullptr)
    throw std::invalid_argument("trackRead/trackWrite: a stream without a buffer");
  return *stream.rdbuf();
}

// Puts `buf` under `stream`, keeping the stream's state as it was (rdbuf()
// clears it).
void swapBuffer(std::ios& stream, std::streambuf* buf) {
  const std::ios::iostate state = stream.rdstate();
  const std::ios::iostate mask = stream.exceptions();
  stream.exceptions(std::ios::goodbit);
  stream.rdbuf(buf);
  stream.clear(state);
  stream.exceptions(mask);  // throws only if the state already asked for it
}
}  // namespace

StreamTracking::StreamTracking(detail::ByteCount count, std::istream& stream)
    : StreamTracking(std::move(count), stream, bufferOf(stream)) {}
StreamTracking::StreamTracking(detail::ByteCount count, std::ostream& stream)
    : StreamTracking(std::move(count), stream, bufferOf(stream)) {}

StreamTracking::StreamTracking(detail::ByteCount count, std::ios& stream, std::streambuf& buffer)
    : stream_(stream), buf_(std::move(count), buffer) {
  try {
    swapBuffer(stream_, &buf_);
  } catch (...) {  // a state the mask asks to throw for: the stream's buffer goes back
    try {
      swapBuffer(stream_, &buf_.inner());
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {
    }
    throw;
  }
}

StreamTracking::~StreamTracking() {
  const detail::DeferCancellation deferred;  // the count goes over whole
  try {
    buf_.handOver();
  } catch (...) {  // a destructor has nowhere to report it
  }
  try {
    swapBuffer(stream_, &buf_.inner());
  } catch (...) {  // the state was the stream's own already
  }
}

CopyError::CopyError(End end, std::error_code code, const char* what)
    : std::system_error(code, what), end_(end) {}

}  // namespace System::ProgressBar
