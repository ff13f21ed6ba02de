#include "stream/fd_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace System::ProgressBar::detail {

bool waitFor(int fd, bool write) {
  pollfd p{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
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
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, false)) return -1;
  }
}

bool writeAll(int fd, const char* data, std::size_t n, std::size_t& written) {
  written = 0;
  while (written < n) {
    const ssize_t put = ::write(fd, data + written, n - written);
    if (put > 0) {
      written += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, true)) continue;
    if (put == 0) errno = EIO;
    return false;
  }
  return true;
}

bool writeAll(int fd, const char* data, std::size_t n) {
  std::size_t written = 0;
  return writeAll(fd, data, n, written);
}

}  // namespace System::ProgressBar::detail
