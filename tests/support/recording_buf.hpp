// Stream buffers for tests: one that records every byte and counts flushes,
// and ones that fail on a chosen write or flush.
#pragma once

#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace testsupport {

class RecordingBuf : public std::streambuf {
 public:
  std::string bytes;
  int flushes = 0;
  int writes = 0;

  // Returns and forgets what was recorded.
  std::string take() {
    std::string out;
    out.swap(bytes);
    return out;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    ++writes;
    bytes.append(s, static_cast<std::size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) xsputn(reinterpret_cast<const char*>(&c), 1);
    return traits_type::not_eof(c);
  }
  int sync() override {
    ++flushes;
    return 0;
  }
};

// Fails (by returning a short count or -1, or by throwing) when asked to.
class FailingBuf : public RecordingBuf {
 public:
  enum class Mode { kShortWrite, kFailFlush, kThrowOnWrite };
  Mode mode = Mode::kShortWrite;
  bool armed = false;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (armed && mode == Mode::kShortWrite) return 0;
    if (armed && mode == Mode::kThrowOnWrite) throw std::runtime_error("device gone");
    return RecordingBuf::xsputn(s, n);
  }
  int sync() override {
    if (armed && mode == Mode::kFailFlush) return -1;
    return RecordingBuf::sync();
  }
};

// What an injected fault in a label, an escape or an update function throws.
struct Injected {};

// Fires once, on the k-th event counted after arming with countdown = k.
struct Fault {
  int countdown = 0;
  bool fire() { return countdown > 0 && --countdown == 0; }
};

// Fails the write or flush on which `fault` fires.
class FaultyBuf : public RecordingBuf {
 public:
  Fault* fault = nullptr;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return fault != nullptr && fault->fire() ? 0 : RecordingBuf::xsputn(s, n);
  }
  int sync() override { return fault != nullptr && fault->fire() ? -1 : RecordingBuf::sync(); }
};

}  // namespace testsupport
