// A spdlog sink that writes each formatted record above a display's block.
// Needs spdlog; include it only where spdlog is used (this library itself
// does not depend on spdlog).
//
//   auto sink = std::make_shared<pb::SpdlogSinkMt>(display);
//   auto logger = std::make_shared<spdlog::logger>("app", sink);
//   logger->info("fetched {}", name);   // a line above the bars
#pragma once

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <string_view>

#include "System/ProgressBar/Redirect.hpp"

namespace System::ProgressBar {

/// Writes each record, formatted by the sink's formatter (a trailing line
/// feed dropped), as lines above the display's block, as `LineSink::write`
/// does; a record with line feeds in it is several lines. It keeps the
/// display's state alive, so it may outlive the display. `Mutex` is
/// spdlog's choice: `std::mutex` for loggers used from several threads,
/// `spdlog::details::null_mutex` for one.
template <class Mutex>
class SpdlogSink final : public spdlog::sinks::base_sink<Mutex> {
 public:
  explicit SpdlogSink(Display& display) : lines_(display) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(msg, formatted);
    std::string_view text(formatted.data(), formatted.size());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    lines_.write(text);
  }
  void flush_() override {}

 private:
  LineSink lines_;
};

using SpdlogSinkMt = SpdlogSink<std::mutex>;
using SpdlogSinkSt = SpdlogSink<spdlog::details::null_mutex>;

}  // namespace System::ProgressBar
