#include "transfer.hpp"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string_view>
#include <system_error>

namespace pbar {
namespace pb = System::ProgressBar;
namespace {

constexpr std::size_t kChunk = 128 * 1024;

[[noreturn]] void fail(pb::CopyError::End end, int error) {
  throw pb::CopyError(end, std::error_code(error, std::generic_category()),
                      end == pb::CopyError::End::Read ? "reading failed" : "writing failed");
}

// Waits until `fd` can be read (or written); false with errno set.
bool waitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

ssize_t readSome(int fd, char* data, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, data, n);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, POLLIN)) return -1;
  }
}

// The bytes of `text` up to and including its `lines`-th line feed (all of
// it when it has fewer), and how many line feeds that holds.
std::pair<std::size_t, std::int64_t> linesPrefix(std::string_view text, std::int64_t lines) {
  std::int64_t found = 0;
  for (std::size_t at = 0; found < lines;) {
    const std::size_t feed = text.find('\n', at);
    if (feed == std::string_view::npos) break;
    ++found;
    at = feed + 1;
    if (found == lines) return {at, found};
  }
  return {text.size(), found};
}

// Keeps a copy to `rate` units a second, in steps of about a twentieth of a
// second.
class Limiter {
 public:
  explicit Limiter(std::int64_t rate)
      : rate_(static_cast<double>(rate)),
        step_(std::clamp<std::int64_t>(rate / 20, 1, static_cast<std::int64_t>(kChunk))) {}

  // Waits until a step may go: how many units may go now.
  std::int64_t wait() {
    for (;;) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
      const double budget = rate_ * elapsed - static_cast<double>(spent_);
      if (budget >= static_cast<double>(step_)) {
        return static_cast<std::int64_t>(std::min(budget, static_cast<double>(kChunk)));
      }
      const double seconds = (static_cast<double>(step_) - budget) / rate_;
      const timespec pause{
          static_cast<time_t>(seconds),
          static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9) +
              1};
      ::nanosleep(&pause, nullptr);
    }
  }
  void spent(std::int64_t units) { spent_ += units; }

 private:
  const double rate_;
  const std::int64_t step_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::int64_t spent_ = 0;
};

// Counts on the bar, raising a guessed total that the count would reach
// before the input ends, so that the bar stays open and ends at the count.
class Counter {
 public:
  Counter(const pb::ProgressBar<>& bar, const Transfer& how)
      : bar_(bar), total_(how.total.value_or(0)), raise_(how.totalGiven && !how.stopAtSize) {}

  void add(std::int64_t units) {
    if (units == 0) return;
    if (raise_ && done_ + units >= total_) {
      // The count and the raised total in one update, so that no line shows
      // one without the other.
      total_ = done_ + units + 1;
      raised_ = true;
      pb::updateProgress(bar_, [&](const pb::Progress<>& p) {
        return pb::Progress<>{p.progressDone + units, total_, p.progressCustom};
      });
    } else {
      pb::incProgress(bar_, units);
    }
    done_ += units;
  }
  // The input has ended: a raised total becomes the count.
  void end() {
    if (raised_) pb::setTotal(bar_, done_);
  }
  std::int64_t done() const { return done_; }

 private:
  const pb::ProgressBar<>& bar_;
  std::int64_t total_;
  const bool raise_;
  bool raised_ = false;
  std::int64_t done_ = 0;
};

void plainCopy(int in, int out, const pb::ProgressBar<>& bar, const Transfer& how) {
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  std::optional<Limiter> limiter;
  if (how.rateLimit) limiter.emplace(*how.rateLimit);
  // The count to stop at, with --stop-at-size.
  const bool stops = how.stopAtSize;
  const std::int64_t stopAt = how.total.value_or(0);
  Counter counter(bar, how);
  const auto reachedStop = [&] { return stops && counter.done() >= stopAt; };
  while (!reachedStop()) {
    std::size_t want = kChunk;
    if (stops && !how.lines) {
      want = static_cast<std::size_t>(std::min<std::int64_t>(kChunk, stopAt - counter.done()));
    }
    const ssize_t got = readSome(in, buffer.get(), want);
    if (got < 0) fail(pb::CopyError::End::Read, errno);
    if (got == 0) break;
    for (std::string_view rest(buffer.get(), static_cast<std::size_t>(got));
         !rest.empty() && !reachedStop();) {
      std::string_view piece = rest;
      if (stops && how.lines) {
        piece = piece.substr(0, linesPrefix(piece, stopAt - counter.done()).first);
      }
      if (limiter) {
        const std::int64_t allowed = limiter->wait();
        piece = piece.substr(
            0, how.lines ? linesPrefix(piece, allowed).first : static_cast<std::size_t>(allowed));
      }
      const std::size_t written = writeCounted(out, piece.data(), piece.size());
      const int error = errno;
      const std::int64_t units = how.lines ? std::count(piece.data(), piece.data() + written, '\n')
                                           : static_cast<std::int64_t>(written);
      counter.add(units);
      if (limiter) limiter->spent(units);
      if (written < piece.size()) fail(pb::CopyError::End::Write, error);
      rest.remove_prefix(piece.size());
    }
  }
  counter.end();
}

}  // namespace

std::size_t writeCounted(int fd, const char* data, std::size_t n) {
  std::size_t written = 0;
  while (written < n) {
    const ssize_t put = ::write(fd, data + written, n - written);
    if (put > 0) {
      written += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT)) continue;
    if (put == 0) errno = EIO;
    break;
  }
  return written;
}

void copy(int in, int out, const pb::ProgressBar<>& bar, const Transfer& how) {
  if (how.lines || how.totalGiven || how.stopAtSize || how.rateLimit) {
    plainCopy(in, out, bar, how);
  } else {
    pb::copy(in, out, bar);
  }
}

}  // namespace pbar
