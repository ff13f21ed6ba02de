// A display in a child process whose parent shares its display: each bar's
// line goes to the parent as a report, each printed line too, and the parent
// draws them. When the parent is gone (a report cannot be sent), the display
// draws on its own from then on, as it would have without a parent.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>
#include <utility>

#include "base/cancel.hpp"
#include "display/display_core.hpp"
#include "display/report.hpp"
#include "display/screen_text.hpp"

namespace System::ProgressBar::detail {
namespace {

// What a row last reported, so that a tick sends nothing unchanged.
struct Reported {
  bool sent = false;
  RowId id = 0;
  Text line;
};

ReportState stateOf(const Row& row) noexcept {
  switch (row.state) {
    case RowState::kLive:
      return ReportState::kRunning;
    case RowState::kGone:
      return ReportState::kCleared;
    case RowState::kDone:
      break;
  }
  return row.abandoned() ? ReportState::kAbandoned : ReportState::kDone;
}

class ReportOutput final : public Output {
 public:
  ReportOutput(int fd, std::string name, std::unique_ptr<Output> fallback)
      : fd_(fd), name_(std::move(name)), fallback_(std::move(fallback)) {
    // The process that made the socket: the parent, whose end tells that
    // nobody reads any more, even where a copy of its socket lives on in a
    // process it forked.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) parent_ = peer.pid;
    if (parent_ > 0) parentFd_ = static_cast<int>(::syscall(SYS_pidfd_open, parent_, 0));
  }
  ~ReportOutput() override {
    if (parentFd_ >= 0) ::close(parentFd_);
  }

  // As the display would be without a parent: captures and redirections
  // take the same lines, which go to the parent as printed lines.
  bool terminal() const noexcept override { return fallback_->terminal(); }
  bool escapes() const noexcept override { return fallback_->escapes(); }
  bool drawn(const Rows& rows, const Row& row, const DrawnLine& line, bool hadLine) override {
    if (!alone_) {
      Reported& kept = reported_.of(row);
      BarReport report{.id = row.id,
                       .name = name_,
                       .prefix = plainText(row.source.prefix()),
                       .message = plainText(row.source.postfix()),
                       .done = row.done,
                       .total = row.totalKnown ? std::optional(row.todo) : std::nullopt,
                       .state = stateOf(row)};
      Text text = encodeReport(report);
      if (kept.sent && kept.line == text) return true;
      // A running bar's report may wait for the next; a final one may not.
      if (send(text, report.state != ReportState::kRunning)) {
        kept.sent = true;
        kept.id = row.id;
        kept.line.swap(text);
        return true;
      }
    }
    return fallback_->drawn(rows, row, line, hadLine);
  }
  bool above(const Rows& rows, std::string_view text) override {
    if (!alone_ && send(encodeReport(PrintReport{Text(text)}), true)) return false;
    return fallback_->above(rows, text);
  }
  bool removed(const Rows& rows) override { return alone_ ? fallback_->removed(rows) : true; }
  bool ticked(const Rows& rows) override { return alone_ ? fallback_->ticked(rows) : true; }
  bool end(const Rows& rows) override { return alone_ ? fallback_->end(rows) : true; }
  void forget(RowSlot slot, bool finished) noexcept override {
    // A running row taken out is gone from the parent's display too.
    if (const Reported* kept = reported_.find(slot);
        !alone_ && !finished && kept != nullptr && kept->sent) {
      const DeferCancellation deferred;  // nothing may leave here
      try {
        BarReport report;
        report.id = kept->id;
        report.state = ReportState::kRemoved;
        send(encodeReport(report), false);
      } catch (...) {  // no memory for the report: the parent's row stays
      }
    }
    reported_.forget(slot);
    fallback_->forget(slot, finished);
  }
  void setColumns(std::int64_t columns) noexcept override { fallback_->setColumns(columns); }
  void divert(std::ostream& stream, int fd) noexcept override { fallback_->divert(stream, fd); }
  void suspend(const Rows& rows) override {
    if (alone_) fallback_->suspend(rows);
  }
  bool resume(const Rows& rows) override { return alone_ ? fallback_->resume(rows) : true; }

 private:
  // Whether the process that made the socket has ended (a zombie not yet
  // reaped included, which a process it forked may outlive with a copy of
  // its socket that nobody reads).
  bool parentEnded() const {
    if (parentFd_ >= 0) {
      pollfd ended{parentFd_, POLLIN, 0};
      return ::poll(&ended, 1, 0) > 0;
    }
    return parent_ > 0 && ::kill(parent_, 0) != 0 && errno == ESRCH;
  }

  // Sends one report whole; false (and alone from now on) when the parent
  // is gone. A report that would wait is dropped unless `wait`; one that
  // waits, waits for room or for the parent's end. Waiting is a
  // cancellation point.
  bool send(std::string_view text, bool wait) {
    for (;;) {
      if (parentEnded()) break;
      if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) break;
      if (!wait) return true;  // the next report catches up
      pollfd room[2] = {{fd_, POLLOUT, 0}, {parentFd_, POLLIN, 0}};
      // Without a descriptor of the parent, its end is looked for now and then.
      if (::poll(room, parentFd_ >= 0 ? 2 : 1, parentFd_ >= 0 ? -1 : 100) < 0 && errno != EINTR) {
        break;
      }
    }
    alone_ = true;
    return false;
  }

  const int fd_;
  const std::string name_;
  const std::unique_ptr<Output> fallback_;
  pid_t parent_ = 0;   // 0: not known
  int parentFd_ = -1;  // the parent's pidfd; -1: none to be had
  bool alone_ = false;
  RowSlots<Reported> reported_;
};

}  // namespace

std::unique_ptr<Output> reportOutput(int fd, std::string name, std::unique_ptr<Output> fallback) {
  return std::make_unique<ReportOutput>(fd, std::move(name), std::move(fallback));
}

std::optional<int> reportDescriptor(std::string_view value) noexcept {
  int fd = -1;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), fd);
  if (error != std::errc{} || end != value.data() + value.size() || fd < 0) return std::nullopt;
  // Only a datagram socket, which the parent made: any other descriptor of
  // that number is not for reports.
  struct stat info {};
  int type = 0;
  socklen_t length = sizeof type;
  if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) {
    return std::nullopt;
  }
  return fd;
}

}  // namespace System::ProgressBar::detail
