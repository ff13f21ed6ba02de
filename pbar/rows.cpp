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
#include <optional>
#include <sstream>
#include <vector>

namespace pbar {

namespace {

// A row of the group, as the shared file holds it (one a line, in the order
// the rows were taken): whose it is, and whether it has its final line.
struct Entry {
  long pid;
  unsigned long long start;  // the process's start, in clock ticks after boot
  bool done;
};

// When process `pid` started, from /proc; nullopt when it is gone.
std::optional<unsigned long long> startOf(long pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[1024];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  const std::string_view stat(text, static_cast<std::size_t>(n));
  // The name in parentheses may hold anything; the fields after the last
  // ')' are the third onwards, and the start time is the 22nd.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::istringstream fields{std::string(stat.substr(close + 1))};
  std::string field;
  for (int i = 3; i < 22 && fields >> field; ++i) {
  }
  unsigned long long start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

unsigned long long ownStart() {
  static const unsigned long long start = startOf(::getpid()).value_or(0);
  return start;
}

bool alive(const Entry& entry) {
  const std::optional<unsigned long long> start = startOf(entry.pid);
  return start && *start == entry.start;
}

// The shared file of this process group's pbars on the terminal `tty` in
// `dir`, locked, or -1: a regular file of this user's alone.
int openRegistry(const std::string& dir, const struct stat& tty, std::string& path) {
  path = dir + "/pbar-rows-" + std::to_string(::getuid()) + "-" + std::to_string(tty.st_rdev) +
         "-" + std::to_string(::getpgrp());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The group's rows; none when the file holds anything but rows (a file of
// someone else's making) or only rows of processes that are gone.
std::vector<Entry> readEntries(int fd) {
  std::string text;
  char chunk[4096];
  for (off_t at = 0; text.size() < (1 << 20);) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  std::vector<Entry> entries;
  std::istringstream lines(text);
  bool anyAlive = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    Entry entry{};
    int done = 0;
    std::string rest;
    if (!(in >> entry.pid >> entry.start >> done) || (in >> rest) || entry.pid <= 0 ||
        (done != 0 && done != 1)) {
      return {};
    }
    entry.done = done == 1;
    anyAlive = anyAlive || alive(entry);
    entries.push_back(entry);
  }
  return anyAlive ? entries : std::vector<Entry>{};
}

void writeEntries(int fd, const std::vector<Entry>& entries) {
  std::string text;
  for (const Entry& e : entries) {
    text +=
        std::to_string(e.pid) + ' ' + std::to_string(e.start) + ' ' + (e.done ? '1' : '0') + '\n';
  }
  if (::ftruncate(fd, 0) == 0) (void)::pwrite(fd, text.data(), text.size(), 0);
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

// Appends the cursor's move `rows` rows up ('A') or down ('B').
void appendMove(std::string& bytes, std::int64_t rows, char direction) {
  if (rows <= 0) return;
  bytes.append("\x1b[");
  bytes.append(std::to_string(rows));
  bytes.push_back(direction);
}

// Holds the shared file's lock: `flock` was taken when it was opened.
struct Unlock {
  int fd;
  ~Unlock() {
    if (fd >= 0) ::flock(fd, LOCK_UN);
  }
};

}  // namespace

TerminalRows::TerminalRows(int fd, int rows, const Gate& gate, std::optional<std::int64_t> height)
    : fd_(fd),
      gate_(gate),
      height_(height),
      groupRow_(static_cast<std::size_t>(rows), -1),
      lines_(static_cast<std::size_t>(rows)) {}

TerminalRows::~TerminalRows() {
  leave();
  if (registry_ >= 0) ::close(registry_);
}

bool TerminalRows::lockRegistry() {
  if (!looked_) {
    looked_ = true;
    struct stat tty {};
    if (::fstat(fd_, &tty) == 0) {
      // The runtime directory where there is a usable one, else /tmp.
      const char* const runtime = std::getenv("XDG_RUNTIME_DIR");
      if (runtime != nullptr && runtime[0] == '/') registry_ = openRegistry(runtime, tty, path_);
      if (registry_ < 0) registry_ = openRegistry("/tmp", tty, path_);
    }
  }
  return registry_ >= 0 && ::flock(registry_, LOCK_EX) == 0;
}

void TerminalRows::take(int row) {
  const bool shared = lockRegistry();
  const Unlock unlock{shared ? registry_ : -1};
  std::vector<Entry> entries = shared ? readEntries(registry_) : std::vector<Entry>{};
  const std::int64_t taken = shared ? static_cast<std::int64_t>(entries.size()) : taken_;
  // The first row starts where the cursor is; a later one below the last.
  put(fd_, taken > 0 ? "\n\x1b[K" : "\r\x1b[K");
  groupRow_[static_cast<std::size_t>(row)] = taken;
  ++taken_;
  if (shared) {
    entries.push_back({static_cast<long>(::getpid()), ownStart(), false});
    writeEntries(registry_, entries);
  }
}

std::int64_t TerminalRows::rowsInGroup() {
  if (!lockRegistry()) return taken_;
  return static_cast<std::int64_t>(readEntries(registry_).size());
}

void TerminalRows::draw(int row, std::string_view line) {
  if (!gate_.open() || row < 0 || static_cast<std::size_t>(row) >= groupRow_.size()) return;
  const std::lock_guard lock(mutex_);
  if (left_) return;
  if (groupRow_[static_cast<std::size_t>(row)] < 0) take(row);
  lines_[static_cast<std::size_t>(row)] = line;
  drawTaken(row, line);
}

void TerminalRows::interrupted() {
  {
    const std::lock_guard lock(mutex_);
    for (std::size_t row = 0; !left_ && row < groupRow_.size(); ++row) {
      if (groupRow_[row] >= 0) drawTaken(static_cast<int>(row), lines_[row]);
    }
  }
  leave();
}

void TerminalRows::drawTaken(int row, std::string_view line) {
  const std::int64_t rows = rowsInGroup();
  const Unlock unlock{registry_};
  const std::int64_t up =
      std::max<std::int64_t>(rows - 1 - groupRow_[static_cast<std::size_t>(row)], 0);
  winsize size{};
  const bool sized = ::ioctl(fd_, TIOCGWINSZ, &size) == 0;
  const std::int64_t height = height_.value_or(sized ? size.ws_row : 0);
  if (height > 0 && up >= height) return;
  // Erased first: a line as wide as the terminal leaves the cursor on its
  // last column, where an erase would take the last character.
  std::string bytes = "\r";
  appendMove(bytes, up, 'A');
  bytes.append("\x1b[K");
  bytes.append(sized && size.ws_col > 0 ? fitted(line, size.ws_col) : line);
  bytes.push_back('\r');
  appendMove(bytes, up, 'B');
  put(fd_, bytes);
}

void TerminalRows::leave() {
  const std::lock_guard lock(mutex_);
  if (left_ || taken_ == 0) {
    left_ = true;
    return;
  }
  left_ = true;
  bool last = true;
  if (lockRegistry()) {
    const Unlock unlock{registry_};
    std::vector<Entry> entries = readEntries(registry_);
    for (Entry& entry : entries) {
      if (entry.pid == static_cast<long>(::getpid()) && entry.start == ownStart())
        entry.done = true;
      if (!entry.done && alive(entry)) last = false;
    }
    if (last) {
      ::unlink(path_.c_str());
    } else {
      writeEntries(registry_, entries);
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
