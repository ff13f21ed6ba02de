// Internal: the reports a child process sends its parent's display, one
// JSON object a line (see the README's "Child processes"). Do not include
// from public headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// The variable that names, to a child process, the descriptor it reports on.
inline constexpr const char* kReportVariable = "PROGRESSBAR_REPORT_FD";
// The longest report line: each is one write of a datagram, whole.
inline constexpr std::size_t kReportMax = 4096;

enum class ReportState { kRunning, kDone, kAbandoned, kCleared, kRemoved };

// A bar as its process shows it. A text left out keeps what the bar's last
// report said (none: empty).
struct BarReport {
  std::uint64_t id = 0;
  std::optional<Text> name, prefix, message;
  std::int64_t done = 0;
  std::optional<std::int64_t> total;  // none: not known
  ReportState state = ReportState::kRunning;
};
// A line printed above the bars.
struct PrintReport {
  Text text;
};
using Report = std::variant<BarReport, PrintReport>;

// One line, with its line feed, at most kReportMax bytes: texts too long are
// cut, text that is not UTF-8 has U+FFFD for each bad sequence.
Text encodeReport(const Report& report);
// A line without its line feed; nothing when it is not a valid report.
std::optional<Report> parseReport(std::string_view line) noexcept;

}  // namespace System::ProgressBar::detail
