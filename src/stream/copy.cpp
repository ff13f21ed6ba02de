// Copies that count as they go: streams through a buffer, descriptors with
// the kernel's zero-copy calls where both ends allow them.
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <memory>
#include <ostream>

#include "System/ProgressBar/Stream.hpp"
#include "stream/fd_io.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::size_t kChunk = 128 * 1024;
// A zero-copy call that moves this much finds its input flowing fast.
constexpr ssize_t kFlowing = 32 * 1024;
// An input pipe this large holds what a fast writer writes during a pause.
constexpr int kLargePipe = 512 * 1024;

[[noreturn]] void fail(CopyError::End end, int error) {
  throw CopyError(end, std::error_code(error, std::generic_category()),
                  end == CopyError::End::Read ? "copy: reading failed" : "copy: writing failed");
}

[[noreturn]] void failStream(CopyError::End end) {
  throw CopyError(end, std::make_error_code(std::io_errc::stream),
                  end == CopyError::End::Read ? "copy: reading failed" : "copy: writing failed");
}

// What a zero-copy call came to.
enum class Moved { kAll, kFallBack };

// Runs `call` (one zero-copy transfer: bytes moved, 0 at the end, or -1) to
// the end. Any failure but a closed reader hands the rest to the plain loop,
// which tells a read failure from a write failure; so does a call the two
// descriptors do not support.
template <class Call>
Moved zeroCopy(int in, int out, const ByteCount& count, std::int64_t& total, bool mayPause,
               Call call) {
  bool flowing = false;  // the last call found the input flowing fast
  bool waited = false;
  for (;;) {
    const ssize_t n = call();
    if (n > 0) {
      total = wrappingAdd(total, n);
      count.add(n);
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

std::int64_t plainLoop(int in, int out, const ByteCount& count, std::int64_t total) {
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const ssize_t got = readSome(in, buffer.get(), kChunk);
    if (got < 0) fail(CopyError::End::Read, errno);
    if (got == 0) return total;
    if (!writeAll(out, buffer.get(), static_cast<std::size_t>(got))) {
      fail(CopyError::End::Write, errno);
    }
    total = wrappingAdd(total, got);
    count.add(got);
  }
}

}  // namespace

std::int64_t copyFds(int in, int out, const ByteCount& count) {
  struct stat from {
  }, to{};
  if (::fstat(in, &from) != 0) fail(CopyError::End::Read, errno);
  if (::fstat(out, &to) != 0) fail(CopyError::End::Write, errno);
  std::int64_t total = 0;
  const auto done = [&](Moved moved) { return moved == Moved::kAll; };
  if (S_ISFIFO(from.st_mode) || S_ISFIFO(to.st_mode)) {
    const bool largePipe = S_ISFIFO(from.st_mode) && ::fcntl(in, F_GETPIPE_SZ) >= kLargePipe;
    if (done(zeroCopy(in, out, count, total, largePipe, [&] {
          return ::splice(in, nullptr, out, nullptr, 1 << 20,
                          SPLICE_F_MOVE | SPLICE_F_MORE | SPLICE_F_NONBLOCK);
        }))) {
      return total;
    }
  } else if (S_ISREG(from.st_mode) && S_ISREG(to.st_mode)) {
    if (done(zeroCopy(in, out, count, total, false,
                      [&] { return ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0); }))) {
      return total;
    }
  }
  if (S_ISREG(from.st_mode) || S_ISBLK(from.st_mode)) {
    if (done(zeroCopy(in, out, count, total, false,
                      [&] { return ::sendfile(out, in, nullptr, 1 << 30); }))) {
      return total;
    }
  }
  return plainLoop(in, out, count, total);
}

std::int64_t copyStreams(std::istream& in, std::ostream& out, const ByteCount& count) {
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  std::int64_t total = 0;
  for (;;) {
    try {
      in.read(buffer.get(), static_cast<std::streamsize>(kChunk));
    } catch (const std::ios_base::failure& e) {
      // A mask with failbit throws at the end too: that is no failure.
      if (in.bad() || !in.eof())
        throw CopyError(CopyError::End::Read, e.code(), "copy: reading failed");
    }
    const std::streamsize got = in.gcount();
    if (got > 0) {
      try {
        out.write(buffer.get(), got);
      } catch (const std::ios_base::failure& e) {
        throw CopyError(CopyError::End::Write, e.code(), "copy: writing failed");
      }
      if (!out) failStream(CopyError::End::Write);
      total = wrappingAdd(total, got);
      count.add(got);
    }
    if (in.bad() || (!in && !in.eof())) failStream(CopyError::End::Read);
    if (in.eof()) break;
  }
  try {
    out.flush();
  } catch (const std::ios_base::failure& e) {
    throw CopyError(CopyError::End::Write, e.code(), "copy: writing failed");
  }
  if (!out) failStream(CopyError::End::Write);
  return total;
}

}  // namespace System::ProgressBar::detail
