// The parent's side of shared progress: a datagram socket whose sending end
// every child inherits, and a thread that reads the children's reports and
// shows them as rows of the display, below the parent bar.
//
// The kernel gives each datagram its sender's process id, so reports of
// different processes never mix, and a process's end is seen through a
// descriptor of the process (pidfd): its running rows are then abandoned,
// once every report it sent before is read.
#include <cxxabi.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "System/ProgressBar/Children.hpp"
#include "System/ProgressBar/Finish.hpp"
#include "bar/engine.hpp"
#include "base/cancel.hpp"
#include "display/display_core.hpp"
#include "display/report.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

// The texts of a child's row.
struct ChildText {
  Text prefix, message;
};
using ChildBar = ProgressBar<ChildText>;

// More rows than this at once from children are dropped as invalid reports:
// a child cannot fill the parent's memory.
constexpr std::size_t kMaxRows = 4096;
// A datagram longer than this is cut by the kernel, and dropped.
constexpr std::size_t kReceiveBytes = 65536;

Style<ChildText> childStyle() {
  Style<ChildText> style;
  style.stylePrefix = Label<ChildText>(
      [](const Progress<ChildText>& p, const Timing&) { return p.progressCustom.prefix; });
  style.stylePostfix = Label<ChildText>(
      [](const Progress<ChildText>& p, const Timing&) { return p.progressCustom.message; });
  return style;
}

void closeFd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

class ChildReader {
 public:
  ChildReader(Display& display, BarEngine& parent)
      : core_(Ref<DisplayCore>::share(&DisplayAccess::core(display))),
        rate_(DisplayAccess::refreshRate(display)) {
    const auto* sink = dynamic_cast<const RowSink*>(&parent.sink());
    parentRow_ = sink != nullptr ? sink->rowIn(*core_) : std::nullopt;
    if (!parentRow_) {
      throw std::invalid_argument("ChildProgress: the parent is not a bar of this display");
    }
    int pair[2];
    int wake[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
      throw std::system_error(errno, std::generic_category(), "ChildProgress: socketpair");
    }
    reader_ = pair[0];
    writer_ = pair[1];
    const int on = 1;
    if (::pipe2(wake, O_CLOEXEC) != 0 ||
        ::setsockopt(reader_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::fcntl(writer_, F_SETFD, 0) != 0) {  // children inherit the sending end
      const int error = errno;
      closeAll();
      throw std::system_error(error, std::generic_category(), "ChildProgress");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
      previous_ = environmentValue(kReportVariable);
      value_ = std::to_string(writer_);
      if (::setenv(kReportVariable, value_.c_str(), 1) != 0) {
        throw std::system_error(errno, std::generic_category(), "ChildProgress: setenv");
      }
      // The reader takes no signal of the program's: every one blocked.
      sigset_t all, old;
      ::sigfillset(&all);
      ::pthread_sigmask(SIG_SETMASK, &all, &old);
      try {
        thread_ = std::thread([this] { run(); });
      } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
      }
      ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    } catch (...) {
      putBackEnvironment();
      closeAll();
      throw;
    }
  }
  ChildReader(const ChildReader&) = delete;
  ChildReader& operator=(const ChildReader&) = delete;

  // Children started from now on do not report; what was sent is read,
  // then the thread ends.
  ~ChildReader() {
    const DeferCancellation deferred;
    putBackEnvironment();
    char stop = 0;
    while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) thread_.join();
    closeAll();
  }

  std::uint64_t invalid() const noexcept { return invalid_.load(std::memory_order_relaxed); }
  int descriptor() const noexcept { return writer_; }

 private:
  struct Process {
    int pidfd = -1;  // -1: no descriptor (gone already, or none can be had)
    bool gone = false;
  };
  struct Shown {
    ChildBar bar;
    bool totalKnown;
    Text name, prefix, message;  // as the last report that had them said
  };
  using Key = std::pair<pid_t, std::uint64_t>;

  void putBackEnvironment() noexcept {
    const std::optional<std::string> now = environmentValue(kReportVariable);
    if (!now || *now != value_) return;  // another sharing came after, and is in place
    if (previous_) {
      ::setenv(kReportVariable, previous_->c_str(), 1);
    } else {
      ::unsetenv(kReportVariable);
    }
  }
  void closeAll() noexcept {
    closeFd(reader_);
    closeFd(writer_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    for (auto& [pid, process] : processes_) closeFd(process.pidfd);
  }

  void run() {
    try {
      loop();
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {  // no memory: the children's rows stay as they are
    }
    for (auto& [key, shown] : shown_) end(shown, "(no longer followed)");
    shown_.clear();
  }

  void loop() {
    std::vector<pollfd> polled;
    std::vector<pid_t> pids;
    for (;;) {
      polled.assign({{reader_, POLLIN, 0}, {wakeRead_, POLLIN, 0}});
      pids.clear();
      for (const auto& [pid, process] : processes_) {
        if (process.pidfd < 0) continue;
        polled.push_back({process.pidfd, POLLIN, 0});
        pids.push_back(pid);
      }
      if (::poll(polled.data(), polled.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      drain();
      const bool stopping = polled[1].revents != 0;
      if (stopping) {
        // Children that send from now on are told the parent is gone, and
        // draw on their own (also where a process forked without exec holds
        // this socket too); what they sent before is still read.
        ::shutdown(reader_, SHUT_RD);
        drain();
      }
      for (std::size_t i = 2; i < polled.size(); ++i) {
        if (polled[i].revents != 0) processEnded(pids[i - 2]);
      }
      if (stopping) {  // a child that has ended by now ended: it is not merely left
        for (auto& [pid, process] : processes_) {
          pollfd ended{process.pidfd, POLLIN, 0};
          if (process.pidfd >= 0 && ::poll(&ended, 1, 0) > 0) process.gone = true;
        }
      }
      for (auto& [pid, process] : processes_) {
        if (process.gone) processEnded(pid);
      }
      std::erase_if(processes_, [](const auto& p) { return p.second.gone && p.second.pidfd < 0; });
      if (stopping) return;
    }
  }

  // Reads every datagram waiting.
  void drain() {
    std::vector<char> data(kReceiveBytes);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
      iovec io{data.data(), data.size()};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t got = ::recvmsg(reader_, &message, MSG_DONTWAIT);
      if (got < 0) {
        if (errno == EINTR) continue;
        return;  // nothing more waiting
      }
      if ((message.msg_flags & MSG_TRUNC) != 0) {
        invalid_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      pid_t pid = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
          ucred credentials{};
          std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
          pid = credentials.pid;
        }
      }
      std::string_view text(data.data(), static_cast<std::size_t>(got));
      while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty()) continue;
        if (const std::optional<Report> report = parseReport(line)) {
          apply(pid, *report);
        } else {
          invalid_.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
  }

  void follow(pid_t pid) {
    if (pid <= 0 || processes_.contains(pid)) return;
    Process process;
    process.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    // A process gone already (or a kernel without pidfds, where only the end
    // of sharing abandons its rows).
    process.gone = process.pidfd < 0 && errno == ESRCH;
    processes_.emplace(pid, process);
  }

  void processEnded(pid_t pid) {
    auto at = processes_.find(pid);
    if (at == processes_.end()) return;
    closeFd(at->second.pidfd);
    at->second.gone = true;
    for (auto row = shown_.lower_bound({pid, 0}); row != shown_.end() && row->first.first == pid;) {
      end(row->second, "(process ended)");
      row = shown_.erase(row);
    }
  }

  // A row whose child will say no more: abandoned where it stands.
  static void end(Shown& shown, const char* why) {
    try {
      finish(shown.bar, why, FinishMessage::AfterPostfix, OnComplete::WriteNewline);
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {  // the display's stream failed: the row stays as it was
    }
  }

  void apply(pid_t pid, const Report& report) {
    try {
      if (const auto* print = std::get_if<PrintReport>(&report)) {
        core_->printAbove(print->text);
        return;
      }
      applyBar(pid, std::get<BarReport>(report));
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (...) {  // the display's stream failed: the next report tries again
    }
  }

  void applyBar(pid_t pid, const BarReport& report) {
    follow(pid);
    const Key key{pid, report.id};
    auto at = shown_.find(key);
    // The texts a report leaves out are those the bar's last report gave.
    const auto textOf = [&](const std::optional<Text>& given, Text Shown::*kept) {
      if (given) return plainText(*given);
      return at != shown_.end() ? (at->second).*kept : Text();
    };
    const Text name = textOf(report.name, &Shown::name);
    const Text prefix = textOf(report.prefix, &Shown::prefix);
    const Text message = textOf(report.message, &Shown::message);
    ChildText text{name.empty() ? prefix : prefix.empty() ? name : name + ": " + prefix, message};
    if (at == shown_.end()) {
      if (report.state == ReportState::kRemoved) return;
      if (shown_.size() >= kMaxRows) {
        invalid_.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      const Progress<ChildText> progress{report.done, report.total.value_or(0), std::move(text)};
      const RowId row = core_->addRow(parentRow_);
      Own<BarSink> sink;
      try {
        sink = Own<BarSink>(new RowSink(*core_, row));
      } catch (...) {
        core_->unbind(row);
        throw;
      }
      at = shown_
               .emplace(key, Shown{makeBar(childStyle(), rate_, progress, std::move(sink),
                                           report.total.has_value()),
                                   report.total.has_value(), name, prefix, message})
               .first;
    } else if (report.state == ReportState::kRemoved) {
      if (auto* sink = dynamic_cast<RowSink*>(&BarAccess::engine(at->second.bar).sink())) {
        sink->remove();
      }
      shown_.erase(at);
      return;
    } else {
      Shown& shown = at->second;
      if (report.total && !shown.totalKnown) {
        setTotal(shown.bar, *report.total);
        shown.totalKnown = true;
      }
      updateProgress(shown.bar, [&](const Progress<ChildText>& p) {
        return Progress<ChildText>{report.done, report.total.value_or(p.progressTodo), text};
      });
      shown.name = name;
      shown.prefix = prefix;
      shown.message = message;
    }
    switch (report.state) {
      case ReportState::kRunning:
      case ReportState::kRemoved:
        return;
      case ReportState::kDone:
        finish(at->second.bar, OnComplete::WriteNewline);
        break;
      case ReportState::kAbandoned:
        abandon(at->second.bar);
        break;
      case ReportState::kCleared:
        finishAndClear(at->second.bar);
        break;
    }
    shown_.erase(at);
  }

  const Ref<DisplayCore> core_;
  const double rate_;
  std::optional<RowId> parentRow_;
  int reader_ = -1, writer_ = -1, wakeRead_ = -1, wakeWrite_ = -1;
  std::optional<std::string> previous_;  // the variable before this sharing
  std::string value_;                    // and while it lasts
  std::atomic<std::uint64_t> invalid_{0};
  // The reading thread's own:
  std::map<pid_t, Process> processes_;
  std::map<Key, Shown> shown_;
  std::thread thread_;
};

void Delete<ChildReader>::operator()(ChildReader* reader) const noexcept { delete reader; }

Own<ChildReader> ChildAccess::start(Display& display, BarEngine& parent) {
  return Own<ChildReader>(new ChildReader(display, parent));
}

std::uint64_t ChildAccess::invalid(const ChildReader& reader) noexcept { return reader.invalid(); }

int ChildAccess::descriptor(const ChildReader& reader) noexcept { return reader.descriptor(); }

}  // namespace System::ProgressBar::detail
