// Capturing the process's own output descriptors: each is pointed at a pipe
// whose reader thread cuts what arrives into lines above a display's block.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <system_error>
#include <thread>
#include <vector>

#include "System/ProgressBar/Redirect.hpp"
#include "display/display_core.hpp"
#include "output/line_splitter.hpp"

namespace System::ProgressBar::detail {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), std::string("CaptureOutput: ") + what);
}

void flushStandardStreams() {
  std::cout.flush();
  std::cerr.flush();
  std::clog.flush();
  std::fflush(nullptr);
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

}  // namespace

class Capture final : public SuspendHook {
 public:
  Capture(DisplayCore& core, std::initializer_list<int> fds);
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
    int saved = -1;             // the descriptor as it was
    int read = -1, write = -1;  // the pipe
    LineSplitter split;
    bool open = true;
  };

  void capture(Captured& c) const;
  void restore(Captured& c) const noexcept;
  void run() noexcept;
  void emit(std::string_view line) noexcept;
  // Waits until the reader has taken all that is in the pipes (at most 1 s).
  void drain() noexcept;

  DisplayCore& core_;
  std::vector<Captured> fds_;
  int stop_[2] = {-1, -1};
  std::unique_ptr<FdBuf> displayBuf_;
  std::unique_ptr<std::ostream> displayStream_;
  DisplayCore::Target previous_{};  // where the display wrote before
  std::thread reader_;
  std::mutex mutex_;  // the reader's work on a chunk, and the failure
  std::exception_ptr failure_;
  bool ended_ = false;
};

Capture::Capture(DisplayCore& core, std::initializer_list<int> fds) : core_(core) {
  core_.retain();
  struct Undo {
    Capture& capture;
    bool done = false;
    ~Undo() {
      if (done) return;
      for (Captured& c : capture.fds_) {
        capture.restore(c);
        for (const int fd : {c.saved, c.read, c.write}) {
          if (fd >= 0) ::close(fd);
        }
      }
      for (const int fd : capture.stop_) {
        if (fd >= 0) ::close(fd);
      }
      capture.core_.release();
    }
  } undo{*this};
  for (const int fd : fds) fds_.push_back(Captured{.fd = fd, .split = {}});
  if (::pipe2(stop_, O_CLOEXEC) != 0) fail("pipe");
  flushStandardStreams();
  for (Captured& c : fds_) {
    c.saved = ::fcntl(c.fd, F_DUPFD_CLOEXEC, 3);
    if (c.saved < 0) fail("dup");
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) fail("pipe");
    c.read = p[0];
    c.write = p[1];
    capture(c);
  }
  // The display's own output keeps its way to the terminal, through a stream
  // tied to no other: a stream such as std::cerr flushes std::cout before
  // each write, and that flush could wait on a full pipe whose reader waits
  // for the display.
  if (const DisplayCore::Target now = core_.target(); now.fd >= 0) {
    int fd = now.fd;
    for (const Captured& c : fds_) {
      if (c.fd == fd) fd = c.saved;
    }
    displayBuf_ = std::make_unique<FdBuf>(fd);
    displayStream_ = std::make_unique<std::ostream>(displayBuf_.get());
    previous_ = core_.divert(*displayStream_, fd);
  }
  for (const Captured& c : fds_) {
    if (c.fd == STDOUT_FILENO) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  }
  reader_ = std::thread([this] { run(); });
  core_.addHook(*this);
  undo.done = true;
}

Capture::~Capture() { end(); }

void Capture::capture(Captured& c) const {
  if (::dup2(c.write, c.fd) < 0) fail("dup2");
}

void Capture::restore(Captured& c) const noexcept {
  if (c.saved >= 0) ::dup2(c.saved, c.fd);
}

void Capture::emit(std::string_view line) noexcept {
  try {
    core_.printAbove(line);
  } catch (...) {
    if (!failure_) failure_ = std::current_exception();
  }
}

void Capture::run() noexcept {
  std::vector<pollfd> polls;
  for (const Captured& c : fds_) polls.push_back(pollfd{c.read, POLLIN, 0});
  polls.push_back(pollfd{stop_[0], POLLIN, 0});
  bool stopping = false;
  char chunk[1 << 16];
  for (;;) {
    // Once asked to stop, a tenth of a second without bytes ends the reading.
    const int ready = ::poll(polls.data(), polls.size(), stopping ? 100 : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if (polls.back().revents != 0) {
      stopping = true;
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
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (Captured& c : fds_) c.split.finish([&](std::string_view line) { emit(line); });
}

void Capture::drain() noexcept {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
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
    if (std::chrono::steady_clock::now() > until) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Capture::beforeSuspend() {
  flushStandardStreams();
  for (Captured& c : fds_) restore(c);
  drain();
}

void Capture::afterResume() {
  flushStandardStreams();
  for (Captured& c : fds_) capture(c);
}

std::exception_ptr Capture::end() noexcept {
  if (ended_) return nullptr;
  ended_ = true;
  core_.removeHook(*this);
  flushStandardStreams();
  for (Captured& c : fds_) {
    restore(c);
    ::close(c.write);
  }
  const char stop = 0;
  while (::write(stop_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  reader_.join();
  // The last lines the reader took went to the saved descriptors, which the
  // display may be writing to: they close after it is put back.
  if (displayStream_) core_.undivert(previous_);
  for (Captured& c : fds_) {
    ::close(c.read);
    ::close(c.saved);
  }
  ::close(stop_[0]);
  ::close(stop_[1]);
  core_.release();
  return failure_;
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

CaptureOutput::CaptureOutput(Display& display, std::initializer_list<int> fds)
    : capture_(new detail::Capture(detail::DisplayAccess::core(display), fds)) {}

CaptureOutput::~CaptureOutput() { delete capture_; }

void CaptureOutput::end() {
  if (const std::exception_ptr failure = capture_->end()) std::rethrow_exception(failure);
}

}  // namespace System::ProgressBar
