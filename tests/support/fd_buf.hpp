// A stream buffer over a file descriptor, writing with plain write(2) so
// that a blocked write is a thread cancellation point.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <streambuf>
#include <string>

namespace testsupport {

class FdBuf : public std::streambuf {
 public:
  explicit FdBuf(int fd) : fd_(fd) {}

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd_, s + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return done;
      done += w;
    }
    return done;
  }
  int_type overflow(int_type c) override {
    const char ch = static_cast<char>(c);
    return xsputn(&ch, 1) == 1 ? traits_type::not_eof(c) : traits_type::eof();
  }

 private:
  int fd_;
};

// Reads everything available from a non-blocking descriptor.
inline std::string drain(int fd) {
  std::string all;
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<std::size_t>(n));
  return all;
}

}  // namespace testsupport
