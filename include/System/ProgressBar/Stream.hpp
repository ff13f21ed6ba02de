// Bytes in motion: streams whose bytes are counted on a bar as they pass,
// and copies that count as they go.
//
//   std::ifstream file("model.bin", std::ios::binary);
//   auto counted = pb::trackRead(bar, file);   // every byte read from `file`
//   pb::copy(STDIN_FILENO, STDOUT_FILENO, bar);  // zero-copy where it can
#pragma once

#include <cstdint>
#include <iosfwd>
#include <streambuf>
#include <system_error>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar {

namespace detail {
// A bar's counting half, without its custom type: adds bytes to it.
class ByteCount {
 public:
  explicit ByteCount(BarEngine& engine) noexcept : engine_(Ref<BarEngine>::share(&engine)) {}
  // As incProgress(bar, n).
  void add(std::int64_t n) const;

 private:
  Ref<BarEngine> engine_;
};

template <class Custom>
ByteCount byteCount(const ProgressBar<Custom>& bar) noexcept {
  return ByteCount(BarAccess::engine(bar));
}
}  // namespace detail

/// A stream buffer over another that counts on a bar every byte that passes
/// through it, read or written, exactly: a byte read counts when the caller
/// takes it, a byte written when the buffer beneath accepts it. It keeps no
/// bytes of its own, so the buffer beneath can be used again directly at any
/// moment. Counts are handed to the bar in batches, at the latest before a
/// read could wait for more input, at each flush and at destruction, so the
/// bar is exact whenever the program could look. A failure of the bar's draw
/// propagates from the stream operation that handed the count over (the
/// stream sets badbit, and throws as its exception mask says); the count is
/// kept and handed over next time.
class CountingStreamBuf final : public std::streambuf {
 public:
  template <class Custom>
  CountingStreamBuf(const ProgressBar<Custom>& bar, std::streambuf& inner)
      : CountingStreamBuf(detail::byteCount(bar), inner) {}
  CountingStreamBuf(detail::ByteCount count, std::streambuf& inner) noexcept;
  CountingStreamBuf(const CountingStreamBuf&) = delete;
  CountingStreamBuf& operator=(const CountingStreamBuf&) = delete;
  /// Hands the last count to the bar (a failure is dropped; a cancellation
  /// of the thread meanwhile waits until the count is handed over, then acts
  /// at the thread's next cancellation point).
  ~CountingStreamBuf() override;

  /// Every byte counted so far, handed over or not.
  std::int64_t counted() const noexcept { return counted_; }
  /// Hands what is pending to the bar now.
  void handOver();
  std::streambuf& inner() const noexcept { return *inner_; }

 protected:
  int_type underflow() override;
  int_type uflow() override;
  std::streamsize xsgetn(char* s, std::streamsize n) override;
  std::streamsize showmanyc() override;
  int_type pbackfail(int_type c) override;
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  void add(std::int64_t n);

  detail::ByteCount count_;
  std::streambuf* inner_;
  std::int64_t pending_ = 0;
  std::int64_t counted_ = 0;
};

/// While it lives, every byte read from or written to a stream is counted
/// on a bar: it puts a `CountingStreamBuf` over the stream's own buffer, and
/// when it goes it hands over the last count and puts the stream's buffer
/// back. The stream's state, exception mask and errors are its own
/// throughout. Make it with `trackRead` or `trackWrite`; destroy it before the
/// stream, and while no other thread uses the stream.
class [[nodiscard]] StreamTracking {
 public:
  StreamTracking(detail::ByteCount count, std::istream& stream);
  StreamTracking(detail::ByteCount count, std::ostream& stream);
  StreamTracking(const StreamTracking&) = delete;
  StreamTracking& operator=(const StreamTracking&) = delete;
  ~StreamTracking();

  /// Every byte counted so far.
  std::int64_t counted() const noexcept { return buf_.counted(); }

 private:
  StreamTracking(detail::ByteCount count, std::ios& stream, std::streambuf& buffer);

  std::ios& stream_;
  CountingStreamBuf buf_;
};

/// Counts on `bar` every byte read from `stream` while the result lives:
/// `auto counted = pb::trackRead(bar, file); while (std::getline(file, line)) ...`.
template <class Custom>
StreamTracking trackRead(const ProgressBar<Custom>& bar, std::istream& stream) {
  return StreamTracking(detail::byteCount(bar), stream);
}

/// Counts on `bar` every byte written to `stream` (accepted by its buffer)
/// while the result lives.
template <class Custom>
StreamTracking trackWrite(const ProgressBar<Custom>& bar, std::ostream& stream) {
  return StreamTracking(detail::byteCount(bar), stream);
}

/// A copy that failed, and at which end. `code()` is the system's error
/// where there is one (`std::io_errc::stream` for a stream that failed).
/// Where a stream or its buffer threw, the error holds that exception:
/// `std::rethrow_if_nested(error)` throws it again.
class CopyError : public std::system_error {
 public:
  enum class End { Read, Write };
  CopyError(End end, std::error_code code, const char* what);
  End end() const noexcept { return end_; }

 private:
  End end_;
};

namespace detail {
std::int64_t copyStreams(std::istream& in, std::ostream& out, const ByteCount& count);
std::int64_t copyFds(int in, int out, const ByteCount& count);
}  // namespace detail

/// Copies everything `in` holds to `out`, counting each byte on `bar` as
/// `out`'s buffer accepts it, and returns how many there were. Throws
/// `CopyError` naming the end that failed; by then every byte the buffer
/// reported taking is counted, and none is written twice. A buffer that
/// takes part of a block fails the copy with `out` bad, as a short write
/// does; one that throws counts none of the bytes of that call. A stream's
/// own exception, if its mask asks for one, becomes that error, and so does
/// any `std::exception` its buffer throws (held in it); `out` is left bad as
/// its own write would leave it. Other exceptions, and a cancellation of the
/// thread, pass through.
/// Streams of one regular file are refused with a write error of `EINVAL`
/// before anything is read, where their files can be told: file streams
/// (`std::ifstream`, `std::ofstream`, `std::fstream`), the standard streams,
/// and those under a `CountingStreamBuf`.
template <class Custom>
std::int64_t copy(std::istream& in, std::ostream& out, const ProgressBar<Custom>& bar) {
  return detail::copyStreams(in, out, detail::byteCount(bar));
}

/// Copies from descriptor `in` to its end to descriptor `out`, counting each
/// byte on `bar` as it is written, and returns how many there were. Uses the
/// kernel's zero-copy calls where both ends allow them (splice when one end is
/// a pipe, copy_file_range between files, sendfile from a file) and read and
/// write otherwise; a descriptor in non-blocking mode is waited for. Each
/// call moves at most a piece timed to take about 25 ms at the speed the
/// last ones went, and no less than 64 KiB, so that the bar moves within
/// each refresh period (0.1 s by default) at any speed over 640 KiB/s; into
/// a socket or a terminal, whose reader may slow down at any moment, pieces
/// stay at 64 KiB. From
/// an input pipe of 512 KiB or more (`fcntl(F_SETPIPE_SZ)`) that runs dry
/// while its writer is fast, it waits 50 µs for bytes to gather rather than
/// wake for each write.
///
/// Throws `CopyError` naming the end that failed; by then every byte `out`
/// took is counted, a write that failed partway included, and none is
/// written twice. A closed reader downstream is a write error with `EPIPE`
/// (if SIGPIPE is not left to end the process). A regular file is never
/// copied onto itself (through any descriptor of it, or any of its names):
/// that is a write error with `EINVAL`, before anything is read or written.
template <class Custom>
std::int64_t copy(int in, int out, const ProgressBar<Custom>& bar) {
  return detail::copyFds(in, out, detail::byteCount(bar));
}

}  // namespace System::ProgressBar
