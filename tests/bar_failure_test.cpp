#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ios>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Bar.hpp"
#include "support/fake_clock.hpp"
#include "support/fd_buf.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;
using testsupport::FailingBuf;
using testsupport::drain;
using testsupport::FdBuf;

namespace {

struct Boom : std::runtime_error {
  Boom() : std::runtime_error("boom") {}
};

TEST(BarFailure, ThrowingCallableLeavesTheStateAndWritesNothing) {
  FailingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{3, 10});
  buf.take();
  for (const auto after : {0ms, 500ms}) {  // too soon, then not too soon
    testclock::advance(after);
    const auto before = bar.pbStateMv().read();
    EXPECT_THROW(pb::updateProgress(bar, [](const Progress<>&) -> Progress<> { throw Boom(); }),
                 Boom);
    EXPECT_EQ(buf.take(), "");
    const auto now = bar.pbStateMv().read();
    EXPECT_EQ(now.stProgress.progressDone, before.stProgress.progressDone);
    EXPECT_EQ(now.stRenderTime, before.stRenderTime);
  }
  pb::incProgress(bar, 1);  // the bar still works
  EXPECT_EQ(buf.take(), "[=====>.......]  40%\r");
}

TEST(BarFailure, FailingStreamsThrowAndKeepTheOldState) {
  using Mode = FailingBuf::Mode;
  for (const Mode mode : {Mode::kShortWrite, Mode::kFailFlush, Mode::kThrowOnWrite}) {
    FailingBuf buf;
    buf.mode = mode;
    std::ostream out(&buf);
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
    const auto before = bar.pbStateMv().read();
    buf.armed = true;
    testclock::advance(1s);
    EXPECT_THROW(pb::incProgress(bar, 5), std::ios_base::failure);
    EXPECT_TRUE(out.good()) << "a failed draw must not poison the stream";
    const auto after = bar.pbStateMv().read();
    EXPECT_EQ(after.stProgress.progressDone, 0);
    EXPECT_EQ(after.stRenderTime, before.stRenderTime);
    buf.armed = false;
    buf.take();
    pb::incProgress(bar, 5);
    EXPECT_EQ(buf.take(), "[======>......]  50%\r");
  }
}

TEST(BarFailure, AStreamThatThrowsByItselfPropagatesItsOwnException) {
  FailingBuf buf;
  buf.mode = FailingBuf::Mode::kThrowOnWrite;
  std::ostream out(&buf);
  out.exceptions(std::ios_base::badbit);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
  buf.armed = true;
  EXPECT_THROW(pb::incProgress(bar, 10), std::runtime_error);
  EXPECT_TRUE(out.good());
  buf.armed = false;
  pb::incProgress(bar, 10);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
}

TEST(BarFailure, AFailingFirstDrawCreatesNoBar) {
  FailingBuf buf;
  buf.armed = true;
  std::ostream out(&buf);
  EXPECT_THROW(pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10}),
               std::ios_base::failure);
  buf.armed = false;
  pb::Style<> s = styleOfWidth(20);
  s.stylePrefix = pb::Label<>([](const Progress<>&, const pb::Timing&) -> std::string {
    throw Boom();
  });
  EXPECT_THROW(pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 10}), Boom);
  EXPECT_EQ(buf.take(), "");
}

struct CancelCase {
  pb::ProgressBar<>* bar;
  std::atomic<bool> started{false};
};

void* updateInThread(void* arg) {
  auto* c = static_cast<CancelCase*>(arg);
  c->started = true;
  pb::incProgress(*c->bar, 7);  // blocks writing to the full pipe
  return nullptr;
}

TEST(BarFailure, CancelledWhileWritingLeavesAUsableBar) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FdBuf buf(fds[1]);
  std::ostream out(&buf);
  auto bar = pb::hNewProgressBar(out, styleOfWidth(20), std::nan(""), Progress<>{0, 10});
  // Fill the pipe so that the next draw blocks.
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(fds[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);

  CancelCase c{&bar};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, updateInThread, &c), 0);
  while (!c.started) {
  }
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);

  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 0);
  EXPECT_TRUE(out.good());
  drain(fds[0]);
  pb::incProgress(bar, 3);
  EXPECT_EQ(drain(fds[0]), "[===>.........]  30%\r");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
