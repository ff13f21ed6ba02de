// pbar: copies files or standard input to standard output with a progress
// bar on standard error, one bar per input.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <System/ProgressBar.hpp>
#include <System/ProgressBar/Version.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "gate.hpp"
#include "options.hpp"
#include "rows.hpp"
#include "transfer.hpp"

namespace pb = System::ProgressBar;
using pbar::Gate;

namespace {

__extension__ using Wide = __int128;

struct Input {
  std::string path;   // "-": standard input
  std::string shown;  // as errors name it
  std::optional<std::int64_t> total;
  bool totalGiven = false;  // the total is --size's, not the input's own size
  std::string fault;        // why it cannot be read, found before it is opened
};

std::string defaultFormat(std::size_t nameWidth, bool known, bool lines) {
  std::string format = nameWidth > 0 ? "{prefix:<" + std::to_string(nameWidth) + "} " : "";
  if (lines) {
    format +=
        known ? "{bar} {counts} lines {rate} {eta:>5}" : "{spinner} {pos} lines {rate} {elapsed}";
  } else {
    format += known ? "{bar} {bytes} {byte_rate:>12} {eta:>5}"
                    : "{spinner} {bytes_done} {byte_rate} {elapsed}";
  }
  return format;
}

// A stream buffer that writes to a descriptor, once `gate` is open, and
// drops what it cannot write: the bars' lines in a log.
class GatedFdBuf final : public std::streambuf {
 public:
  GatedFdBuf(int fd, const Gate& gate) : fd_(fd), gate_(gate) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const char byte = traits_type::to_char_type(c);
      xsputn(&byte, 1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (gate_.open()) pbar::writeCounted(fd_, s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  const int fd_;
  const Gate& gate_;
};

// Takes every byte and keeps none: the stream of bars that show nothing.
class DiscardBuf final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Writes the bar's whole percentage (its count, without a total) on a line
// of standard error every interval while it lives, and once at the end.
class NumericOutput {
 public:
  NumericOutput(const pb::ProgressBar<>& bar, std::chrono::nanoseconds interval, const Gate& gate)
      : bar_(bar), gate_(gate), thread_([this, interval](std::stop_token stop) {
          std::unique_lock lock(mutex_);
          while (!stop.stop_requested()) {
            wake_.wait_for(lock, stop, interval, [] { return false; });
            if (!stop.stop_requested()) write();
          }
        }) {}
  NumericOutput(const NumericOutput&) = delete;
  NumericOutput& operator=(const NumericOutput&) = delete;
  ~NumericOutput() {
    thread_.request_stop();
    thread_.join();
    write();
  }

 private:
  void write() const {
    if (!gate_.open()) return;
    const pb::Progress<> progress = pb::progressOf(bar_);
    const std::int64_t value =
        progress.progressTodo > 0
            ? static_cast<std::int64_t>(static_cast<Wide>(progress.progressDone) * 100 /
                                        progress.progressTodo)
            : progress.progressDone;
    const std::string line = std::to_string(value) + "\n";
    pbar::writeCounted(STDERR_FILENO, line.data(), line.size());
  }

  const pb::ProgressBar<> bar_;
  const Gate& gate_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

// The columns of the terminal on standard error, 0 when it is none.
std::int64_t terminalColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// kReport: to the display of a parent that shares it.
enum class Shown { kNothing, kNumbers, kRows, kLog, kReport };

// Finds each input's total, and what makes it unreadable, before anything
// is drawn.
std::vector<Input> inputsOf(const pbar::Options& options) {
  std::vector<Input> inputs;
  for (const std::string& path : options.files) inputs.emplace_back().path = path;
  if (inputs.empty()) inputs.emplace_back().path = "-";
  for (Input& input : inputs) {
    const bool standardInput = input.path == "-";
    input.shown = standardInput ? "standard input" : input.path;
    struct stat st {};
    const int found = standardInput ? ::fstat(STDIN_FILENO, &st) : ::stat(input.path.c_str(), &st);
    if (found != 0) {
      input.fault = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
      input.fault = std::strerror(EISDIR);
    } else if (!standardInput && ::access(input.path.c_str(), R_OK) != 0) {
      input.fault = std::strerror(errno);
    }
    // A regular file's size is its total, standard input's too when it is one.
    if (!options.lines && found == 0 && S_ISREG(st.st_mode) && !options.stopAtSize) {
      input.total = st.st_size;
    } else {
      input.total = options.size;
      input.totalGiven = options.size.has_value();
    }
  }
  return inputs;
}

// When Ctrl-C, a hang-up or kill ends pbar, its rows are left first as they
// would be at its end (the cursor below them when it is the last of its
// pipeline, the shared file removed), then the signal ends it as it would
// have. The signals are waited for by a thread of their own: the main thread
// and every thread started after it block them.
class SignalWatch {
 public:
  SignalWatch() {
    sigset_t watched;
    sigemptyset(&watched);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction now {};
      // A signal the parent ignores stays ignored.
      if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
        sigaddset(&watched, signal);
      }
    }
    ::pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    std::thread([this, watched] {
      int signal = 0;
      if (::sigwait(&watched, &signal) != 0) return;
      {
        const std::lock_guard lock(mutex_);
        if (rows_ != nullptr) rows_->interrupted();
      }
      std::signal(signal, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      std::raise(signal);
    }).detach();
  }
  // The rows to leave; nullptr: none (before they go).
  void watch(pbar::TerminalRows* rows) {
    const std::lock_guard lock(mutex_);
    rows_ = rows;
  }

 private:
  std::mutex mutex_;
  pbar::TerminalRows* rows_ = nullptr;
};

SignalWatch& signalWatch() {
  static SignalWatch* const watch = new SignalWatch;  // lives to the end of the process
  return *watch;
}

class Run {
 public:
  explicit Run(const pbar::Options& options)
      : options_(options),
        inputs_(inputsOf(options)),
        interval_(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(options.interval.value_or(0.1)))),
        gate_(options.delay, options.wait) {
    const char* const term = std::getenv("TERM");
    const char* const hide = std::getenv("PROGRESSBAR_HIDE");
    const char* const report = std::getenv("PROGRESSBAR_REPORT_FD");
    if (options.quiet || (hide != nullptr && hide[0] != '\0' && std::strcmp(hide, "0") != 0)) {
      shown_ = Shown::kNothing;
    } else if (options.numeric) {
      shown_ = Shown::kNumbers;
    } else if (report != nullptr && report[0] != '\0') {
      shown_ = Shown::kReport;
    } else if (::isatty(STDERR_FILENO) == 1 &&
               !(term != nullptr && std::strcmp(term, "dumb") == 0)) {
      shown_ = Shown::kRows;
    } else {
      shown_ = Shown::kLog;
    }
    // Every style first: a bad template ends the run before anything is drawn.
    std::size_t nameWidth = 0;
    for (const Input& input : inputs_) {
      if (inputs_.size() > 1) nameWidth = std::max(nameWidth, nameOf(input).size());
    }
    for (const Input& input : inputs_) {
      const std::string name = nameOf(input);
      const std::string format =
          options.format
              ? *options.format
              : defaultFormat(name.empty() ? 0 : std::max<std::size_t>(nameWidth, name.size()),
                              input.total.has_value(), options.lines);
      pb::Style<> style =
          pb::styleFromTemplate(format, {.prefix = name, .unit = "lines", .bytes = !options.lines});
      // A bar of its own on a terminal takes the terminal's width (standard
      // output, which a bar would ask, is the pipe); a log gives the bar its
      // own width whatever the line's.
      if (std::holds_alternative<pb::TerminalWidth>(style.styleWidth) &&
          (shown_ == Shown::kRows || options.width)) {
        const std::int64_t columns = terminalColumns();
        style.styleWidth = pb::ConstantWidth{options.width.value_or(columns > 0 ? columns : 80)};
      }
      styles_.push_back(std::move(style));
    }
    if (shown_ == Shown::kRows) {
      rows_.emplace(STDERR_FILENO, static_cast<int>(inputs_.size()), gate_, options.height);
      signalWatch().watch(&*rows_);
    } else if (shown_ == Shown::kLog || shown_ == Shown::kReport) {
      pb::DisplayOptions displayOptions{.alignColumns = inputs_.size() > 1};
      if (options.interval) {
        displayOptions.refreshRate = 1.0 / *options.interval;
        displayOptions.logInterval = interval_;
      }
      const pb::AsLog log;
      if (shown_ == Shown::kReport) {
        display_.emplace(displayOptions);  // on standard error: it reports while the parent lives
      } else {
        display_.emplace(logStream_, log, displayOptions);
      }
    }
  }

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() { signalWatch().watch(nullptr); }

  int run() {
    int status = 0;
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      const int result = copyOne(i);
      if (result == kPipeClosed) return endForClosedPipe();
      if (result != 0) status = 1;
      if (result == kOutputFailed) break;
    }
    end();
    return status;
  }

 private:
  static constexpr int kInputFailed = 1, kOutputFailed = 2, kPipeClosed = 3;

  std::string nameOf(const Input& input) const {
    return options_.name ? *options_.name : input.path == "-" ? "" : input.path;
  }

  pb::ProgressBar<> barFor(std::size_t i) {
    const pb::Style<>& style = styles_[i];
    const std::optional<std::int64_t>& total = inputs_[i].total;
    const double rate = 1e9 / static_cast<double>(interval_.count());
    if (display_) {
      return total ? display_->add(style, *total)
                   : display_->add(style, pb::Progress<>{0, 0}, pb::unknownTotal);
    }
    std::ostream& stream = *streams_.emplace_back(std::make_unique<std::ostream>(
        shown_ == Shown::kRows
            ? static_cast<std::streambuf*>(
                  bufs_.emplace_back(std::make_unique<pbar::RowBuf>(*rows_, static_cast<int>(i)))
                      .get())
            : &discard_));
    return total ? pb::hNewProgressBar(stream, style, rate, pb::Progress<>{0, *total})
                 : pb::hNewProgressBar(stream, style, rate, pb::Progress<>{0, 0}, pb::unknownTotal);
  }

  void report(std::size_t i, const std::string& what) {
    const std::string line = "pbar: " + what;
    // An error is shown even before the bars are: as a line of its own.
    if (rows_ && gate_.open()) {
      rows_->draw(static_cast<int>(i), line);
    } else if (display_) {
      display_->printAbove(line);
    } else {
      const std::string text = line + "\n";
      pbar::writeCounted(STDERR_FILENO, text.data(), text.size());
    }
  }

  int copyOne(std::size_t i) {
    const Input& input = inputs_[i];
    const bool standardInput = input.path == "-";
    if (!input.fault.empty()) {
      report(i, input.shown + ": " + input.fault);
      return kInputFailed;
    }
    const int in = standardInput ? STDIN_FILENO : ::open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      report(i, input.shown + ": " + std::strerror(errno));
      return kInputFailed;
    }
    struct Closer {
      int fd;
      bool own;
      ~Closer() {
        if (own) ::close(fd);
      }
    } const closer{in, !standardInput};
    // A pipe of 1 MiB rather than 64 KiB, so that a fast writer upstream is
    // not stopped while the copy lets its bytes gather.
    if (struct stat st{}; ::fstat(in, &st) == 0 && S_ISFIFO(st.st_mode)) {
      ::fcntl(in, F_SETPIPE_SZ, 1 << 20);
    }
    if (options_.wait && i == 0) {
      pollfd ready{in, POLLIN, 0};
      while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
      }
      gate_.inputCame();
    }
    const pb::ProgressBar<> bar = barFor(i);
    std::optional<pb::Ticker> ticker;
    if (shown_ == Shown::kRows) ticker.emplace(bar, interval_);
    std::optional<NumericOutput> numbers;
    if (shown_ == Shown::kNumbers) numbers.emplace(bar, interval_, gate_);
    try {
      const pbar::Transfer transfer{.lines = options_.lines,
                                    .total = input.total,
                                    .totalGiven = input.totalGiven,
                                    .stopAtSize = options_.stopAtSize,
                                    .rateLimit = options_.rateLimit};
      pbar::copy(in, STDOUT_FILENO, bar, transfer);
      ticker.reset();
      pb::finish(bar);
    } catch (const pb::CopyError& e) {
      ticker.reset();
      pb::abandon(bar);
      if (e.end() == pb::CopyError::End::Write && e.code().value() == EPIPE) return kPipeClosed;
      report(i, (e.end() == pb::CopyError::End::Read ? input.shown : "standard output") + ": " +
                    e.code().message());
      return e.end() == pb::CopyError::End::Write ? kOutputFailed : kInputFailed;
    }
    return 0;
  }

  void end() {
    if (display_) display_->end();
    signalWatch().watch(nullptr);
    rows_.reset();
  }

  // The reader went away: end as a shell expects of a pipe's writer.
  int endForClosedPipe() {
    end();
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    return 141;
  }

  const pbar::Options& options_;
  std::vector<Input> inputs_;
  std::chrono::nanoseconds interval_;
  Gate gate_;
  Shown shown_ = Shown::kLog;
  std::vector<pb::Style<>> styles_;
  DiscardBuf discard_;
  GatedFdBuf logBuf_{STDERR_FILENO, gate_};
  std::ostream logStream_{&logBuf_};
  std::optional<pbar::TerminalRows> rows_;
  std::vector<std::unique_ptr<pbar::RowBuf>> bufs_;
  std::vector<std::unique_ptr<std::ostream>> streams_;
  std::optional<pb::Display> display_;
};

// A closed standard descriptor keeps its number taken, so that no file pbar
// opens takes it: standard input and output then fail as closed ones do
// (/dev/null the wrong way round), standard error writes nowhere.
void holdClosedStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", fd == STDOUT_FILENO ? O_RDONLY : O_WRONLY);
    if (held >= 0 && held != fd) ::close(held);
  }
}

}  // namespace

int main(int argc, char** argv) {
  holdClosedStandardDescriptors();
  pbar::Options options;
  try {
    options = pbar::parseOptions(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "pbar: %s\nTry 'pbar --help' for more information.\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(pbar::kHelp, stdout);
    return 0;
  }
  if (options.version) {
    std::fputs("pbar (System::ProgressBar) " PROGRESSBAR_VERSION "\n", stdout);
    return 0;
  }
  // A closed pipe is seen as EPIPE, so that the bars can end first.
  std::signal(SIGPIPE, SIG_IGN);
  signalWatch();
  try {
    Run run(options);
    return run.run();
  } catch (const std::invalid_argument& e) {  // a bad template
    std::fprintf(stderr, "pbar: --format: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\npbar: %s\n", e.what());
    return 1;
  }
}
