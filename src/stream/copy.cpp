// Copies that count as they go: streams through a buffer, descriptors with
// the kernel's zero-copy calls where both ends allow them.
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#if defined(__GLIBCXX__)
#include <ext/stdio_sync_filebuf.h>
#endif

#include "System/ProgressBar/Stream.hpp"
#include "bar/clock.hpp"
#include "stream/fd_io.hpp"

namespace System::ProgressBar::detail {
namespace {

// The blocks of a stream copy.
constexpr std::size_t kChunk = 128 * 1024;
// A zero-copy call that moves this much finds its input flowing fast.
constexpr ssize_t kFlowing = 32 * 1024;
// An input pipe this large holds what a fast writer writes during a pause.
constexpr int kLargePipe = 512 * 1024;

// A descriptor copy moves its bytes in pieces timed to take about kTarget
// each, a quarter of a bar's default refresh period, so that its bar moves
// within each period however fast or slow the two ends are.
constexpr std::int64_t kTarget = 25'000'000;  // ns
constexpr std::size_t kLeastPiece = 64 * 1024;
constexpr std::size_t kFirstPiece = 256 * 1024;
// Zero-copy pieces pass no byte through the process: they may grow large.
constexpr std::size_t kMostZeroCopyPiece = std::size_t{64} << 20;
// The plain loop's pieces are its buffer.
constexpr std::size_t kMostPlainPiece = std::size_t{1} << 20;

// Sizes the pieces of a copy by the time each took: a piece that moved all
// it was allowed in at most half of kTarget doubles; one that took longer
// than kTarget becomes what would have taken kTarget at the speed it moved.
// Both stay within [kLeastPiece, most]. The time runs from start() to
// moved(), so a wait for a descriptor between calls is not the piece's; a
// read that waits for its input is, which only shrinks a piece that the
// input fills only partly anyway.
class Pacer {
 public:
  explicit Pacer(std::size_t most) noexcept : most_(most) {}
  std::size_t piece() const noexcept { return piece_; }
  void start() noexcept { started_ = readSteadyCoarseClock(); }
  void moved(std::size_t n) noexcept {
    const std::int64_t took = readSteadyCoarseClock() - started_;
    if (took > kTarget) {
      // n is at most most_ (< 2^27) and kTarget < 2^25: no overflow.
      const auto fits = static_cast<std::size_t>(static_cast<std::int64_t>(n) * kTarget / took);
      piece_ = std::clamp(fits, kLeastPiece, most_);
    } else if (took <= kTarget / 2 && n >= piece_) {
      piece_ = std::min(piece_ * 2, most_);
    }
  }

 private:
  std::size_t most_;
  std::size_t piece_ = std::min(kFirstPiece, most_);
  std::int64_t started_ = 0;
};

const char* failed(CopyError::End end) {
  return end == CopyError::End::Read ? "copy: reading failed" : "copy: writing failed";
}

[[noreturn]] void fail(CopyError::End end, int error) {
  throw CopyError(end, std::error_code(error, std::generic_category()), failed(end));
}

[[noreturn]] void failStream(CopyError::End end) {
  throw CopyError(end, std::make_error_code(std::io_errc::stream), failed(end));
}

// The exception in flight, thrown by a stream or its buffer at `end`, as a
// CopyError that holds it (std::rethrow_if_nested reaches it); a system
// error keeps its code. Any other kind of exception, and a cancellation of
// the thread, goes on as it is.
[[noreturn]] void rethrowAsCopyError(CopyError::End end) {
  try {
    throw;
  } catch (const std::system_error& e) {
    std::throw_with_nested(CopyError(end, e.code(), failed(end)));
  } catch (const std::exception& e) {
    std::throw_with_nested(CopyError(end, std::make_error_code(std::io_errc::stream),
                                     (std::string(failed(end)) + ": " + e.what()).c_str()));
  }
}

// Sets `state` as the stream's own read or write would, without the
// exception its mask may ask for: the copy throws a CopyError instead, or
// none at the end of the input.
void setQuietly(std::ios& stream, std::ios::iostate state) {
  try {
    stream.setstate(state);
  } catch (const std::ios_base::failure&) {
  }
}

// What a zero-copy call came to.
enum class Moved { kAll, kFallBack };

// Runs `call` (one zero-copy transfer of at most the piece it is given:
// bytes moved, 0 at the end, or -1) to the end. Any failure but a closed
// reader hands the rest to the plain loop, which tells a read failure from a
// write failure; so does a call the two descriptors do not support.
template <class Call>
Moved zeroCopy(int in, int out, const ByteCount& count, std::int64_t& total, bool mayPause,
               std::size_t most, Call call) {
  Pacer pacer(most);
  bool flowing = false;  // the last call found the input flowing fast
  bool waited = false;
  for (;;) {
    pacer.start();
    const ssize_t n = call(pacer.piece());
    if (n > 0) {
      total = wrappingAdd(total, n);
      count.add(n);
      pacer.moved(static_cast<std::size_t>(n));
      flowing = mayPause && n >= kFlowing;
      waited = false;
      continue;
    }
    if (n == 0) return Moved::kAll;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{in, POLLIN, 0};
      const bool inReady = ::poll(&p, 1, 0) > 0;
      if (!inReady && flowing && !waited) {
        // A fast writer upstream, into a pipe large enough to hold what it
        // writes meanwhile: let its bytes gather for a moment rather than
        // wake for each of its writes, which costs it more than the pause
        // costs this copy. A slow one is waited for without a timer.
        const timespec pause{0, 50'000};
        ::nanosleep(&pause, nullptr);
        waited = true;
        continue;
      }
      if (waitFor(inReady ? out : in, inReady)) continue;
    }
    if (errno == EPIPE) fail(CopyError::End::Write, EPIPE);
    return Moved::kFallBack;
  }
}

std::int64_t plainLoop(int in, int out, const ByteCount& count, std::int64_t total,
                       std::size_t most) {
  Pacer pacer(std::min(most, kMostPlainPiece));
  const std::unique_ptr<char[]> buffer(new char[kMostPlainPiece]);
  for (;;) {
    pacer.start();
    const ssize_t got = readSome(in, buffer.get(), pacer.piece());
    if (got < 0) fail(CopyError::End::Read, errno);
    if (got == 0) return total;
    std::size_t written = 0;
    const bool whole = writeAll(out, buffer.get(), static_cast<std::size_t>(got), written);
    const int error = errno;
    if (written > 0) {  // what the output took counts, even if it failed then
      total = wrappingAdd(total, static_cast<std::int64_t>(written));
      count.add(static_cast<std::int64_t>(written));
    }
    if (!whole) fail(CopyError::End::Write, error);
    pacer.moved(written);
  }
}

// Puts `n` bytes into `out`'s buffer as out.write would (a sentry first; a
// buffer that takes fewer, or throws, sets badbit), counting what the buffer
// reported taking before any failure reaches the caller as a CopyError.
void put(std::ostream& out, const char* data, std::streamsize n, const ByteCount& count,
         std::int64_t& total) {
  std::streamsize taken = 0;
  bool ready = false;
  try {
    const std::ostream::sentry sentry(out);
    ready = static_cast<bool>(sentry);
    if (ready) {
      try {
        taken = out.rdbuf()->sputn(data, n);
      } catch (...) {  // badbit, as the stream's own write sets; then on
        setQuietly(out, std::ios::badbit);
        throw;
      }
    }
  } catch (const std::exception&) {
    rethrowAsCopyError(CopyError::End::Write);
  }
  taken = std::clamp<std::streamsize>(taken, 0, n);
  if (taken > 0) {
    total = wrappingAdd(total, taken);
    count.add(taken);
  }
  if (!ready) failStream(CopyError::End::Write);
  if (taken < n) {
    setQuietly(out, std::ios::badbit);
    failStream(CopyError::End::Write);
  }
}

// Takes up to `n` bytes from `in`'s buffer as in.read would (a sentry first;
// eofbit and failbit at the end; badbit if the buffer throws), and returns
// how many came. The end is no failure, whatever the mask; any other
// exception reaches the caller as a CopyError.
std::streamsize take(std::istream& in, char* data, std::streamsize n) {
  std::streamsize got = 0;
  try {
    const std::istream::sentry sentry(in, true);
    if (sentry) {
      try {
        got = in.rdbuf()->sgetn(data, n);
      } catch (...) {  // badbit, as the stream's own read sets; then on
        setQuietly(in, std::ios::badbit);
        throw;
      }
      if (got < n) setQuietly(in, std::ios::eofbit | std::ios::failbit);
    }
  } catch (const std::ios_base::failure&) {
    // A stream at its end already, with failbit in the mask.
    if (in.bad() || !in.eof()) rethrowAsCopyError(CopyError::End::Read);
  } catch (const std::exception&) {
    rethrowAsCopyError(CopyError::End::Read);
  }
  return std::clamp<std::streamsize>(got, 0, n);
}

#if defined(__GLIBCXX__)
// A file buffer's descriptor, which the standard does not name: libstdc++
// keeps it in the protected `_M_file`.
struct FileBufDescriptor : std::filebuf {
  static int of(std::filebuf& buffer) { return (buffer.*&FileBufDescriptor::_M_file).fd(); }
};
#endif

// The descriptor beneath a stream buffer where it can be told (a file
// stream's, a standard stream's, through a counting buffer), else -1.
int descriptorOf(std::streambuf* buffer) {
  for (int depth = 0; buffer != nullptr && depth < 16; ++depth) {
    if (auto* counting = dynamic_cast<CountingStreamBuf*>(buffer)) {
      buffer = &counting->inner();
      continue;
    }
#if defined(__GLIBCXX__)
    if (auto* file = dynamic_cast<std::filebuf*>(buffer)) return FileBufDescriptor::of(*file);
    if (auto* standard = dynamic_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(buffer)) {
      return standard->file() != nullptr ? ::fileno(standard->file()) : -1;
    }
#endif
    return -1;
  }
  return -1;
}

// A file copied onto itself grows as fast as it is read, until the disk is
// full. EINVAL: each end is fine alone, the pair is not (ELOOP would speak of
// symbolic links). Other kinds of descriptor end on their own, or are the
// caller's: a device has a size, and a pipe fed from its own read end moves
// only what was put in it.
void refuseOneFile(const struct stat& from, const struct stat& to) {
  if (S_ISREG(from.st_mode) && S_ISREG(to.st_mode) && from.st_dev == to.st_dev &&
      from.st_ino == to.st_ino) {
    throw CopyError(CopyError::End::Write, std::make_error_code(std::errc::invalid_argument),
                    "copy: the output is the input");
  }
}

}  // namespace

std::int64_t copyFds(int in, int out, const ByteCount& count) {
  struct stat from {
  }, to{};
  if (::fstat(in, &from) != 0) fail(CopyError::End::Read, errno);
  if (::fstat(out, &to) != 0) fail(CopyError::End::Write, errno);
  refuseOneFile(from, to);
  // An output that a slow reader drains (a socket, a terminal) can hold a
  // whole piece for as long as the reader takes: its pieces stay at the
  // least, so a blocked call moves the bar at least every period at any
  // speed above some 640 KiB/s, however fast the reader was before. A file,
  // a pipe (written without blocking) and the memory devices (/dev/null)
  // take what they are given at once.
  const bool drained = S_ISSOCK(to.st_mode) || (S_ISCHR(to.st_mode) && major(to.st_rdev) != 1);
  const std::size_t most = drained ? kLeastPiece : kMostZeroCopyPiece;
  std::int64_t total = 0;
  const auto done = [&](Moved moved) { return moved == Moved::kAll; };
  if (S_ISFIFO(from.st_mode) || S_ISFIFO(to.st_mode)) {
    const bool largePipe = S_ISFIFO(from.st_mode) && ::fcntl(in, F_GETPIPE_SZ) >= kLargePipe;
    if (done(zeroCopy(in, out, count, total, largePipe, most, [&](std::size_t piece) {
          return ::splice(in, nullptr, out, nullptr, piece,
                          SPLICE_F_MOVE | SPLICE_F_MORE | SPLICE_F_NONBLOCK);
        }))) {
      return total;
    }
  } else if (S_ISREG(from.st_mode) && S_ISREG(to.st_mode)) {
    if (done(zeroCopy(in, out, count, total, false, most, [&](std::size_t piece) {
          return ::copy_file_range(in, nullptr, out, nullptr, piece, 0);
        }))) {
      return total;
    }
  }
  if (S_ISREG(from.st_mode) || S_ISBLK(from.st_mode)) {
    if (done(zeroCopy(in, out, count, total, false, most,
                      [&](std::size_t piece) { return ::sendfile(out, in, nullptr, piece); }))) {
      return total;
    }
  }
  return plainLoop(in, out, count, total, most);
}

std::int64_t copyStreams(std::istream& in, std::ostream& out, const ByteCount& count) {
  // Streams of one file, where their descriptors can be told.
  const int inFd = descriptorOf(in.rdbuf()), outFd = descriptorOf(out.rdbuf());
  struct stat from {
  }, to{};
  if (inFd >= 0 && outFd >= 0 && ::fstat(inFd, &from) == 0 && ::fstat(outFd, &to) == 0) {
    refuseOneFile(from, to);
  }
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  std::int64_t total = 0;
  for (;;) {
    const std::streamsize got = take(in, buffer.get(), static_cast<std::streamsize>(kChunk));
    if (got > 0) put(out, buffer.get(), got, count, total);
    if (in.bad() || (!in && !in.eof())) failStream(CopyError::End::Read);
    if (in.eof()) break;
  }
  try {
    out.flush();
  } catch (const std::exception&) {
    rethrowAsCopyError(CopyError::End::Write);
  }
  if (!out) failStream(CopyError::End::Write);
  return total;
}

}  // namespace System::ProgressBar::detail
