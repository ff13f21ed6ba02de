#include "rows.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace pbar {

namespace {

// A pbar of the group, as the shared file holds it: one a line.
struct Member {
  long pid;
  std::int64_t first;  // the group's row of its first
  std::int64_t rows;
  bool done;
};

// The shared file of this process group's pbars on the terminal `tty`, in
// the user's runtime directory (else /tmp), readable by the user alone.
int openRegistry(const struct stat& tty, std::string& path) {
  const char* const runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string dir = runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
  path = dir + "/pbar-rows-" + std::to_string(::getuid()) + "-" +
                           std::to_string(tty.st_rdev) + "-" + std::to_string(::getpgrp());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
      ::flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<Member> readMembers(int fd) {
  std::string text;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  std::vector<Member> members;
  std::istringstream in(text);
  Member m{};
  while (in >> m.pid >> m.first >> m.rows >> m.done) {
    if (m.pid > 0 && m.first >= 0 && m.rows > 0) members.push_back(m);
  }
  // A group whose pbars are all gone (killed before they could leave) is
  // over: its rows are no one's.
  for (const auto& member : members) {
    if (::kill(static_cast<pid_t>(member.pid), 0) == 0 || errno != ESRCH) return members;
  }
  return {};
}

void writeMembers(int fd, const std::vector<Member>& members) {
  std::string text;
  for (const auto& m : members) {
    text += std::to_string(m.pid) + ' ' + std::to_string(m.first) + ' ' + std::to_string(m.rows) +
            ' ' + (m.done ? '1' : '0') + '\n';
  }
  if (::ftruncate(fd, 0) == 0) {
    (void)::pwrite(fd, text.data(), text.size(), 0);
  }
}

std::int64_t rowsOf(const std::vector<Member>& members) {
  std::int64_t rows = 0;
  for (const auto& m : members) rows = std::max(rows, m.first + m.rows);
  return rows;
}

// Writes all of `bytes`, dropping a failure.
void put(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// `line` cut to `columns` characters (a character of UTF-8 a column, an
// escape sequence none), so that it never wraps onto the row below it when
// the terminal has narrowed since the bar took its width.
std::string_view fitted(std::string_view line, std::size_t columns) {
  std::size_t shown = 0;
  for (std::size_t at = 0; at < line.size();) {
    if (line[at] == '\x1b') {
      // CSI: parameters and intermediates up to a final byte; OSC and the
      // rest: the next byte.
      std::size_t end = at + 1;
      if (end < line.size() && line[end] == '[') {
        ++end;
        while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7e)) ++end;
      }
      at = std::min(end + 1, line.size());
      continue;
    }
    if ((static_cast<unsigned char>(line[at]) & 0xC0) != 0x80) {
      if (shown == columns) return line.substr(0, at);
      ++shown;
    }
    ++at;
  }
  return line;
}

std::string move(std::int64_t rows, char direction) {
  return rows > 0 ? "\x1b[" + std::to_string(rows) + direction : "";
}

// Holds the shared file's lock: `flock` was taken when it was opened.
struct Unlock {
  int fd;
  ~Unlock() {
    if (fd >= 0) ::flock(fd, LOCK_UN);
  }
};

}  // namespace

TerminalRows::TerminalRows(int fd, int rows, const Gate& gate,
                           std::optional<std::int64_t> height)
    : fd_(fd), rows_(rows), gate_(gate), height_(height) {}

TerminalRows::~TerminalRows() {
  const std::lock_guard lock(mutex_);
  if (first_ >= 0) leave();
  if (registry_ >= 0) ::close(registry_);
}

void TerminalRows::join() {
  struct stat tty {};
  std::vector<Member> members;
  if (::fstat(fd_, &tty) == 0) registry_ = openRegistry(tty, path_);
  const Unlock unlock{registry_};
  if (registry_ >= 0) members = readMembers(registry_);
  first_ = rowsOf(members);
  // The first rows start where the cursor is; later ones below the last.
  std::string bytes = first_ > 0 ? "\n" : "\r";
  for (int row = 0; row < rows_; ++row) bytes += row > 0 ? "\n\x1b[K" : "\x1b[K";
  bytes += '\r';
  put(fd_, bytes);
  members.push_back({static_cast<long>(::getpid()), first_, rows_, false});
  if (registry_ >= 0) writeMembers(registry_, members);
}

std::int64_t TerminalRows::lastRow() {
  if (registry_ < 0 || ::flock(registry_, LOCK_EX) != 0) return first_ + rows_ - 1;
  return rowsOf(readMembers(registry_)) - 1;
}

void TerminalRows::draw(int row, std::string_view line) {
  if (!gate_.open() || row < 0 || row >= rows_) return;
  const std::lock_guard lock(mutex_);
  if (first_ < 0) join();
  const std::int64_t up = std::max<std::int64_t>(lastRow() - (first_ + row), 0);
  const Unlock unlock{registry_};
  winsize size{};
  const bool sized = ::ioctl(fd_, TIOCGWINSZ, &size) == 0;
  const std::int64_t height = height_.value_or(sized ? size.ws_row : 0);
  if (height > 0 && up >= height) return;
  // Erased first: a line as wide as the terminal leaves the cursor on its
  // last column, where an erase would take the last character.
  std::string bytes = "\r" + move(up, 'A') + "\x1b[K";
  bytes += sized && size.ws_col > 0 ? fitted(line, size.ws_col) : line;
  bytes += "\r" + move(up, 'B');
  put(fd_, bytes);
}

void TerminalRows::leave() {
  bool last = true;
  if (registry_ >= 0 && ::flock(registry_, LOCK_EX) == 0) {
    const Unlock unlock{registry_};
    std::vector<Member> members = readMembers(registry_);
    for (Member& m : members) {
      if (m.pid == static_cast<long>(::getpid()) && m.first == first_) m.done = true;
      if (!m.done && (::kill(static_cast<pid_t>(m.pid), 0) == 0 || errno != ESRCH)) last = false;
    }
    if (last) {
      ::unlink(path_.c_str());
    } else {
      writeMembers(registry_, members);
    }
  }
  if (last) put(fd_, "\n");
}

RowBuf::int_type RowBuf::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) pending_ += traits_type::to_char_type(c);
  return traits_type::not_eof(c);
}

std::streamsize RowBuf::xsputn(const char* s, std::streamsize n) {
  pending_.append(s, static_cast<std::size_t>(n));
  return n;
}

int RowBuf::sync() {
  std::string_view line = pending_;
  if (line.ends_with("\r\x1b[K")) {
    line = {};
  } else if (line.ends_with('\r') || line.ends_with('\n')) {
    line.remove_suffix(1);
  }
  if (const std::size_t cr = line.rfind('\r'); cr != std::string_view::npos) {
    line.remove_prefix(cr + 1);
  }
  rows_.draw(row_, line);
  pending_.clear();
  return 0;
}

}  // namespace pbar
