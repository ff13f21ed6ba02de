// Capturing the process's own output descriptors: each is pointed at a pipe
// whose reader thread cuts what arrives into lines above a display's block.
//
// Captures of one descriptor nest, and may end in any order: the process
// keeps, for each captured descriptor, its original and the captures of it
// in the order they began; the descriptor points at the newest capture's
// pipe, or at its original again once none is left.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <system_error>
#include <thread>
#include <vector>

#include "System/ProgressBar/Redirect.hpp"
#include "base/cancel.hpp"
#include "display/display_core.hpp"
#include "output/line_splitter.hpp"

namespace System::ProgressBar::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Once a capture ends, what is still in its pipes is awaited until this much
// quiet, and for no longer than kMostWait in all.
constexpr auto kQuiet = std::chrono::milliseconds(100);
constexpr auto kMostWait = std::chrono::seconds(1);

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), std::string("CaptureOutput: ") + what);
}

// Flushes the C and C++ standard streams that write to `fd`, and those
// alone: a stream the capture leaves alone keeps its buffering as the
// program had it (a file's bytes in the order they would have had).
void flushStandardStreams(int fd) {
  if (fd == STDOUT_FILENO) {
    std::cout.flush();
    std::fflush(stdout);
  } else if (fd == STDERR_FILENO) {
    // Through the buffers: std::cerr.flush() would flush std::cout, its tie.
    if (std::streambuf* buf = std::cerr.rdbuf()) buf->pubsync();
    if (std::streambuf* buf = std::clog.rdbuf()) buf->pubsync();
    std::fflush(stderr);
  }
}

void closeFd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A descriptor of the library's own is never 0, 1 or 2: a program started
// with one of them closed would otherwise find a pipe of ours there.
int above2(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

void makePipe(int (&ends)[2]) {
  int made[2];
  if (::pipe2(made, O_CLOEXEC) != 0) fail("pipe");
  ends[0] = above2(made[0]);
  ends[1] = above2(made[1]);
  if (ends[0] < 0 || ends[1] < 0) {
    const int error = errno;
    closeFd(ends[0]);
    closeFd(ends[1]);
    errno = error;
    fail("pipe");
  }
}

// Writes to a descriptor with write(2), all of it or a failure.
class FdBuf final : public std::streambuf {
 public:
  explicit FdBuf(int fd) : fd_(fd) {}

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd_, s + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += w;
    }
    return done;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }

 private:
  int fd_;
};

// Starts a thread of the library's with every signal blocked: the program's
// signals go to its own threads, and a write to a closed pipe fails with
// EPIPE instead of ending the process.
template <class F>
std::thread quietThread(F&& f) {
  sigset_t all, before;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  struct Restore {
    sigset_t& mask;
    ~Restore() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{before};
  return std::thread(std::forward<F>(f));
}

// Passes what a child process still writes to an ended capture's pipe on to
// the descriptor the capture had taken, until every writer has closed it.
void forward(int from, int to) noexcept {
  const DeferCancellation deferred;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(from, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, chunk + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        done = n;  // nowhere to go: dropped, as the child's write would have failed
        continue;
      }
      done += w;
    }
  }
  ::close(from);
  ::close(to);
}

}  // namespace

class Capture;

// The process's captured descriptors: for each, its original (a duplicate
// kept aside) and its captures, oldest first.
class CapturedFds {
 public:
  struct Entry {
    int fd;
    int original;
    std::vector<std::pair<const Capture*, int>> captures;  // and the write end of each one's pipe
  };

  static CapturedFds& instance() {
    static CapturedFds* fds = new CapturedFds;  // never destroyed: threads may use it at exit
    return *fds;
  }

  // Points `fd` at `write` for `capture`.
  void attach(const Capture& capture, int fd, int write) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Entry* entry = find(fd);
    bool made = false;
    if (entry == nullptr) {
      const int original = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (original < 0) fail("dup");
      entries_.push_back(Entry{fd, original, {}});
      entry = &entries_.back();
      made = true;
    }
    if (::dup2(write, fd) < 0) {
      const int error = errno;
      if (made) {
        ::close(entry->original);
        entries_.pop_back();
      }
      errno = error;
      fail("dup2");
    }
    entry->captures.emplace_back(&capture, write);
  }

  // Takes `capture` off `fd`: the descriptor points at the newest capture
  // left, or at its original.
  void detach(const Capture& capture, int fd) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    Entry* entry = find(fd);
    if (entry == nullptr) return;
    auto& captures = entry->captures;
    const auto at = std::find_if(captures.begin(), captures.end(),
                                 [&](const auto& c) { return c.first == &capture; });
    if (at == captures.end()) return;
    const bool newest = std::next(at) == captures.end();
    captures.erase(at);
    if (captures.empty()) {
      ::dup2(entry->original, fd);
      ::close(entry->original);
      std::erase_if(entries_, [&](const Entry& e) { return e.fd == fd; });
    } else if (newest) {
      ::dup2(captures.back().second, fd);
    }
  }

  // While a display is suspended: `fd` as it was, and back.
  void showOriginal(int fd) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const Entry* entry = find(fd)) ::dup2(entry->original, fd);
  }
  void showCaptured(int fd) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const Entry* entry = find(fd); entry != nullptr && !entry->captures.empty()) {
      ::dup2(entry->captures.back().second, fd);
    }
  }

  // Whether `fd`, as the program had it before any capture, shows on the
  // display's terminal.
  bool showsOn(const DisplayCore& core, int fd) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto original = [&](int d) {
      const Entry* entry = find(d);
      return entry != nullptr ? entry->original : d;
    };
    return core.drawsOnTerminalOf(original(fd), original(core.fd()));
  }

  // A duplicate of `fd`'s original (of `fd` itself when it is not
  // captured), for the caller to keep and close.
  int duplicateOriginal(int fd) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = find(fd);
    const int copy = ::fcntl(entry != nullptr ? entry->original : fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) fail("dup");
    return copy;
  }

 private:
  Entry* find(int fd) noexcept {
    for (Entry& entry : entries_) {
      if (entry.fd == fd) return &entry;
    }
    return nullptr;
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
};

class Capture final : public SuspendHook {
 public:
  Capture(DisplayCore& core, std::initializer_list<int> fds, Route route);
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture() override;

  // Puts everything back and joins the reader; the first failure to write a
  // captured line, if any.
  std::exception_ptr end() noexcept;

  void beforeSuspend() override;
  void afterResume() override;

 private:
  struct Captured {
    int fd;
    int read = -1, write = -1;  // the pipe
    int forwardTo = -1;         // where a child's later output goes, once the capture ends
    LineSplitter split;
    bool open = true;
    bool attached = false;
  };

  void detachAll() noexcept;
  void run() noexcept;
  void emit(std::string_view line) noexcept;
  // Waits until the reader has taken all that is in the pipes (at most 1 s).
  void drain() noexcept;

  Ref<DisplayCore> core_;  // held until the capture ends
  std::vector<Captured> fds_;
  int stop_[2] = {-1, -1};
  int displayFd_ = -1;
  std::unique_ptr<FdBuf> displayBuf_;
  std::unique_ptr<std::ostream> displayStream_;
  std::optional<DisplayCore::DivertId> diverted_;
  std::thread reader_;
  std::mutex mutex_;  // the reader's work on a chunk, and the failure
  std::exception_ptr failure_;
  std::atomic<bool> ended_{false};
};

Capture::Capture(DisplayCore& core, std::initializer_list<int> fds, Route route)
    : core_(Ref<DisplayCore>::share(&core)) {
  struct Undo {
    Capture& capture;
    bool done = false;
    ~Undo() {
      if (done) return;
      const DeferCancellation deferred;
      capture.detachAll();
      for (Captured& c : capture.fds_) {
        closeFd(c.read);
        closeFd(c.write);
      }
      if (capture.diverted_) capture.core_->undivert(*capture.diverted_);
      closeFd(capture.displayFd_);
      for (int& fd : capture.stop_) closeFd(fd);
    }
  } undo{*this};
  // Only what goes to the display's own terminal is taken: a descriptor on
  // a file, a pipe, a socket or another terminal keeps its bytes, and a
  // closed one stays closed.
  for (const int fd : fds) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) == -1) continue;
    if (route == Route::ToSameTerminal && !showsOnDisplay(*core_, fd)) continue;
    if (std::any_of(fds_.begin(), fds_.end(), [&](const Captured& c) { return c.fd == fd; })) {
      continue;
    }
    fds_.push_back(Captured{.fd = fd, .split = {}});
  }
  if (fds_.empty()) {
    undo.done = true;
    core_ = Ref<DisplayCore>();
    ended_ = true;  // nothing to end
    return;
  }
  makePipe(stop_);
  for (const Captured& c : fds_) flushStandardStreams(c.fd);
  for (Captured& c : fds_) {
    int p[2];
    makePipe(p);
    c.read = p[0];
    c.write = p[1];
  }
  // The display's own output keeps its way to where it went, through a
  // stream tied to no other: a stream such as std::cerr flushes std::cout
  // before each write, and that flush could wait on a full pipe whose reader
  // waits for the display.
  // The descriptor the display writes to: its own, or its stream's (a
  // terminal stated by the caller on std::cerr writes to descriptor 2).
  const int displayFd =
      core_->fd() >= 0 ? core_->fd() : descriptorOf(core_->stream().rdbuf()).value_or(-1);
  if (std::any_of(fds_.begin(), fds_.end(), [&](const Captured& c) { return c.fd == displayFd; })) {
    displayFd_ = CapturedFds::instance().duplicateOriginal(displayFd);
    displayBuf_ = std::make_unique<FdBuf>(displayFd_);
    displayStream_ = std::make_unique<std::ostream>(displayBuf_.get());
    diverted_ = core_->divert(*displayStream_, displayFd_);
  }
  for (Captured& c : fds_) {
    CapturedFds::instance().attach(*this, c.fd, c.write);
    c.attached = true;
  }
  for (const Captured& c : fds_) {
    if (c.fd == STDOUT_FILENO) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  }
  reader_ = quietThread([this] { run(); });
  core_->addHook(*this);
  undo.done = true;
}

Capture::~Capture() { end(); }

void Capture::detachAll() noexcept {
  for (Captured& c : fds_) {
    if (c.attached) CapturedFds::instance().detach(*this, c.fd);
    c.attached = false;
  }
}

void Capture::emit(std::string_view line) noexcept {
  try {
    core_->printAbove(line);
  } catch (...) {
    if (!failure_) failure_ = std::current_exception();
  }
}

void Capture::run() noexcept {
  const DeferCancellation deferred;  // a thread of the library's: end() stops it
  std::vector<pollfd> polls;
  for (const Captured& c : fds_) polls.push_back(pollfd{c.read, POLLIN, 0});
  polls.push_back(pollfd{stop_[0], POLLIN, 0});
  std::optional<Clock::time_point> until;  // once asked to stop
  char chunk[1 << 16];
  for (;;) {
    int timeout = -1;
    if (until) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
      timeout = static_cast<int>(
          std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(kQuiet))
              .count());
    }
    const int ready = ::poll(polls.data(), polls.size(), timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // quiet, or the time is up
    if (polls.back().revents != 0) {
      until = Clock::now() + kMostWait;
      polls.back().fd = -1;
    }
    bool anyOpen = false;
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      Captured& c = fds_[i];
      if (polls[i].revents != 0) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const ssize_t n = ::read(c.read, chunk, sizeof chunk);
        if (n > 0) {
          c.split.feed({chunk, static_cast<std::size_t>(n)},
                       [&](std::string_view line) { emit(line); });
        } else if (n == 0 || errno != EINTR) {
          c.open = false;
          polls[i].fd = -1;
        }
      }
      anyOpen = anyOpen || c.open;
    }
    if (!anyOpen) break;
    if (until && Clock::now() >= *until) break;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (Captured& c : fds_) c.split.finish([&](std::string_view line) { emit(line); });
}

void Capture::drain() noexcept {
  const auto until = Clock::now() + kMostWait;
  for (;;) {
    bool empty = true;
    for (const Captured& c : fds_) {
      int pending = 0;
      if (c.open && ::ioctl(c.read, FIONREAD, &pending) == 0 && pending > 0) empty = false;
    }
    if (empty) {
      const std::lock_guard<std::mutex> lock(mutex_);  // the last chunk taken is handed over
      return;
    }
    if (Clock::now() > until) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Capture::beforeSuspend() {
  const DeferCancellation deferred;  // the descriptors are put back whole
  for (const Captured& c : fds_) flushStandardStreams(c.fd);
  for (const Captured& c : fds_) {
    if (c.attached) CapturedFds::instance().showOriginal(c.fd);
  }
  drain();
}

void Capture::afterResume() {
  const DeferCancellation deferred;
  for (const Captured& c : fds_) flushStandardStreams(c.fd);
  for (const Captured& c : fds_) {
    if (c.attached) CapturedFds::instance().showCaptured(c.fd);
  }
}

std::exception_ptr Capture::end() noexcept {
  if (ended_.exchange(true)) return nullptr;
  // Nothing here may stop halfway: a cancellation waits for the thread's
  // next cancellation point.
  const DeferCancellation deferred;
  core_->removeHook(*this);
  for (const Captured& c : fds_) flushStandardStreams(c.fd);
  for (Captured& c : fds_) {
    // A child that keeps the pipe writes to the descriptor's original later.
    try {
      c.forwardTo = CapturedFds::instance().duplicateOriginal(c.fd);
    } catch (...) {  // out of descriptors: a child's later writes fail
    }
    if (c.attached) CapturedFds::instance().detach(*this, c.fd);
    c.attached = false;
    closeFd(c.write);
  }
  const char stop = 0;
  while (::write(stop_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  reader_.join();
  for (Captured& c : fds_) {
    if (c.open && c.forwardTo >= 0) {
      try {
        quietThread([from = c.read, to = c.forwardTo] { forward(from, to); }).detach();
        c.read = c.forwardTo = -1;
      } catch (...) {  // no thread: the pipe closes, and a child's later writes fail
      }
    }
    closeFd(c.read);
    closeFd(c.forwardTo);
  }
  // The last lines the reader took went to the display's diverted stream.
  if (diverted_) core_->undivert(*diverted_);
  closeFd(displayFd_);
  for (int& fd : stop_) closeFd(fd);
  core_ = Ref<DisplayCore>();
  return failure_;
}

bool showsOnDisplay(const DisplayCore& core, int fd) {
  return CapturedFds::instance().showsOn(core, fd);
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

CaptureOutput::CaptureOutput(Display& display, std::initializer_list<int> fds, Route route)
    : capture_(new detail::Capture(detail::DisplayAccess::core(display), fds, route)) {}

CaptureOutput::CaptureOutput(Display& display, Route route)
    : CaptureOutput(display, {STDOUT_FILENO, STDERR_FILENO}, route) {}

CaptureOutput::~CaptureOutput() = default;

void CaptureOutput::end() {
  if (const std::exception_ptr failure = capture_->end()) std::rethrow_exception(failure);
}

}  // namespace System::ProgressBar
