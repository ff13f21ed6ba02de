// spdlog records through the display's sink: each formatted record a whole
// line above the block, from many threads, and after the display has gone.
#include "System/ProgressBar/Spdlog.hpp"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> splitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find('\n', at);
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

TEST(Spdlog, RecordsFromManyThreadsAreWholeLinesOnce) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{});
  spdlog::logger log("test", std::make_shared<pb::SpdlogSinkMt>(display));
  log.set_pattern("[%l] %v");
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < 4; ++t) {
      workers.emplace_back([&, t] {
        for (int i = 0; i < 100; ++i) log.info("worker {} record {}", t, i);
      });
    }
  }
  log.warn("two\nlines");
  const std::vector<std::string> lines = splitLines(buf.take());
  ASSERT_EQ(lines.size(), 402u);
  const std::set<std::string> unique(lines.begin(), lines.end() - 2);
  EXPECT_EQ(unique.size(), 400u);
  EXPECT_TRUE(unique.contains("[info] worker 3 record 99"));
  EXPECT_EQ(lines[400], "[warning] two");
  EXPECT_EQ(lines[401], "lines");
}

TEST(Spdlog, TheSinkMayOutliveItsDisplay) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  std::optional<pb::Display> display(std::in_place, out, pb::AsLog{});
  spdlog::logger log("test", std::make_shared<pb::SpdlogSinkSt>(*display));
  log.set_pattern("%v");
  log.info("before");
  display.reset();
  log.info("after");
  EXPECT_EQ(buf.bytes, "before\nafter\n");
}

}  // namespace
