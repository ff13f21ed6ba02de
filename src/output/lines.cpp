// Lines from the rest of a program: a display's per-thread line streams, the
// line sink, and redirected streams.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <utility>
#include <vector>

#include "System/ProgressBar/Redirect.hpp"
#include "base/cancel.hpp"
#include "display/display_core.hpp"
#include "output/line_splitter.hpp"

namespace System::ProgressBar::detail {
namespace {

// One thread's stream of lines to one display: unbuffered, since a line is
// handed over at its line feed anyway. What the thread leaves unfinished is
// written when the display ends, or else when the thread does.
class ThreadLineBuf final : public std::streambuf, public PendingLines {
 public:
  explicit ThreadLineBuf(DisplayCore& core) : core_(Ref<DisplayCore>::share(&core)) {
    core_->addPending(*this);
  }
  ThreadLineBuf(const ThreadLineBuf&) = delete;
  ThreadLineBuf& operator=(const ThreadLineBuf&) = delete;
  ~ThreadLineBuf() override {
    core_->removePending(*this);
    const DeferCancellation deferred;  // a thread's end: nothing may stop it halfway
    try {
      flushPending();
    } catch (...) {  // a thread's end has nowhere to report it
    }
  }
  DisplayCore& core() const noexcept { return *core_; }
  bool idle() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return split_.empty();
  }
  void flushPending() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    split_.finish([&](std::string_view line) { core_->printAbove(line); });
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
      split_.feed({s, static_cast<std::size_t>(n)},
                  [&](std::string_view line) { core_->printAbove(line); });
    } catch (...) {
      split_.clear();  // a failed line fails its own write, and is not the next one's start
      throw;
    }
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
  }

 private:
  const Ref<DisplayCore> core_;
  // The thread's own, but for the display's end, which writes what is left.
  std::mutex mutex_;
  LineSplitter split_;
};

struct ThreadLines {
  struct Stream {
    explicit Stream(DisplayCore& core) : buf(core), stream(&buf) {
      stream.exceptions(std::ios::badbit);
    }
    ThreadLineBuf buf;
    std::ostream stream;
  };
  std::vector<std::unique_ptr<Stream>> streams;
};
thread_local ThreadLines threadLines;

// A number of the calling thread's own, never given to another: a thread's
// id may be given again once it ends, which would make a new thread go on
// with the line an ended one left unfinished.
std::uint64_t threadToken() noexcept {
  static std::atomic<std::uint64_t> next{0};
  thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed) + 1;
  return token;
}

}  // namespace

std::ostream& linesOf(DisplayCore& core) {
  auto& streams = threadLines.streams;
  for (const auto& s : streams) {
    if (&s->buf.core() == &core) {
      s->stream.clear();  // a failed line fails only its own write
      return s->stream;
    }
  }
  // Streams of displays that have ended, with nothing left to write, go.
  std::erase_if(streams, [](const auto& s) { return s->buf.idle() && s->buf.core().ended(); });
  streams.push_back(std::make_unique<ThreadLines::Stream>(core));
  return streams.back()->stream;
}

// A redirected stream's buffer: each thread's line apart, handed over whole.
// Lines are cut under the buffer's lock and handed to the display after it
// is let go, so that the display, which may flush this stream while it holds
// its own lock (a stream tied to it), never waits for a writer that waits
// for the display. While the display is suspended what is written goes to
// the stream's own buffer, as it comes.
class RedirectBuf final : public std::streambuf, public SuspendHook {
 public:
  RedirectBuf(DisplayCore& core, std::streambuf* own)
      : core_(Ref<DisplayCore>::share(&core)), own_(own) {}
  void hook() { core_->addHook(*this); }
  RedirectBuf(const RedirectBuf&) = delete;
  RedirectBuf& operator=(const RedirectBuf&) = delete;
  ~RedirectBuf() override { core_->removeHook(*this); }

 private:
  // The lines one call completed, kept per thread so that their memory is
  // reused from call to call.
  struct Lines {
    std::vector<Text> done;
    std::size_t count = 0;
    auto collect() {
      return [this](std::string_view line) {
        if (count == done.size()) done.emplace_back();
        done[count++].assign(line);
      };
    }
    void hand(DisplayCore& core) {
      const std::size_t n = std::exchange(count, 0);
      for (std::size_t i = 0; i < n; ++i) core.printAbove(done[i]);
    }
  };
  static Lines& scratch() {
    thread_local Lines lines;
    lines.count = 0;
    return lines;
  }

 public:
  void beforeSuspend() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = true;
  }
  void afterResume() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    own_->pubsync();
    suspended_ = false;
  }
  // The buffer below this one, once a redirection below it has ended.
  void setOwn(std::streambuf* own) {
    const std::lock_guard<std::mutex> lock(mutex_);
    own_ = own;
  }

  // Each thread's last line without a line feed, as a line.
  void finish() {
    Lines& lines = scratch();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [thread, split] : pending_) split.finish(lines.collect());
      pending_.clear();
    }
    lines.hand(*core_);
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    Lines& lines = scratch();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (suspended_) return own_->sputn(s, n);
      splitterOf(threadToken()).feed({s, static_cast<std::size_t>(n)}, lines.collect());
    }
    lines.hand(*core_);
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  int sync() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return suspended_ ? own_->pubsync() : 0;
  }

 private:
  LineSplitter& splitterOf(std::uint64_t thread) {
    for (auto& [id, split] : pending_) {
      if (id == thread) return split;
    }
    // A thread with nothing pending gives its place up to the new one.
    for (auto& [id, split] : pending_) {
      if (split.empty()) {
        id = thread;
        return split;
      }
    }
    return pending_.emplace_back(thread, LineSplitter{}).second;
  }

  const Ref<DisplayCore> core_;
  std::streambuf* own_;  // under mutex_
  std::mutex mutex_;
  bool suspended_ = false;
  std::vector<std::pair<std::uint64_t, LineSplitter>> pending_;
};

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

LineSink::LineSink(Display& display)
    : core_(detail::Ref<detail::DisplayCore>::share(&detail::DisplayAccess::core(display))) {}
void LineSink::write(std::string_view line) const { core_->printAbove(line); }

namespace detail {
namespace {

// The redirections in place, oldest first, so that they may end in any order.
struct Redirections {
  std::mutex mutex;
  std::vector<RedirectStream*> active;
};
Redirections& redirections() {
  static Redirections* all = new Redirections;  // never destroyed: used until the very end
  return *all;
}

}  // namespace

}  // namespace detail

// The display's own output keeps going where it went: when it writes to
// this very stream, it is given a stream of its own on the stream's buffer.
RedirectStream::RedirectStream(std::ostream& stream, Display& display, Route route)
    : stream_(stream), old_(stream.rdbuf()) {
  detail::DisplayCore& core = detail::DisplayAccess::core(display);
  if (route == Route::ToSameTerminal) {
    // Bytes that go to a file, a pipe or another terminal stay there.
    if (const std::optional<int> fd = detail::descriptorOf(stream.rdbuf());
        fd && !detail::showsOnDisplay(core, *fd)) {
      return;
    }
  }
  detail::Redirections& all = detail::redirections();
  const std::lock_guard<std::mutex> lock(all.mutex);
  old_ = stream.rdbuf();
  // The buffer under every redirection of this stream: where its bytes go.
  std::streambuf* real = old_;
  for (auto r = all.active.rbegin(); r != all.active.rend(); ++r) {
    if (&(*r)->stream_ == &stream && (*r)->buf_.get() == real) real = (*r)->old_;
  }
  detail::Own<detail::RedirectBuf> buf(new detail::RedirectBuf(core, old_));
  detail::Own<std::ostream> own;
  if (&core.stream() == &stream) {
    own = detail::Own<std::ostream>(new std::ostream(real));
    own->copyfmt(stream);
    own->tie(nullptr);  // the display's writes flush no other stream
    own->exceptions(stream.exceptions());
  }
  all.active.reserve(all.active.size() + 1);
  stream.flush();
  if (own) divert_ = core.divert(*own, core.fd());
  buf->hook();
  core_ = detail::Ref<detail::DisplayCore>::share(&core);
  own_ = std::move(own);
  buf_ = std::move(buf);
  stream.rdbuf(buf_.get());
  all.active.push_back(this);
}

RedirectStream::~RedirectStream() {
  if (!buf_) return;  // nothing was redirected
  {
    detail::Redirections& all = detail::redirections();
    const std::lock_guard<std::mutex> lock(all.mutex);
    // A redirection begun later on the same stream goes on over what was
    // below this one; the newest puts the stream's buffer back.
    const auto later = std::find_if(all.active.begin(), all.active.end(), [&](RedirectStream* r) {
      return &r->stream_ == &stream_ && r->old_ == buf_.get();
    });
    if (later != all.active.end()) {
      (*later)->old_ = old_;
      (*later)->buf_->setOwn(old_);
    } else if (stream_.rdbuf() == buf_.get()) {
      stream_.rdbuf(old_);
    }
    std::erase(all.active, this);
  }
  const detail::DeferCancellation deferred;  // nothing here may stop halfway
  try {
    buf_->finish();
  } catch (...) {  // a destructor has nowhere to report it
  }
  core_->removeHook(*buf_);
  if (divert_) core_->undivert(*divert_);
  // The display's state, its stream and the buffer go with the members.
}

}  // namespace System::ProgressBar
