// Reports as JSON lines: written by a child's display, read by its parent's.
#include "display/report.hpp"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

namespace System::ProgressBar::detail {
namespace {

using Json = nlohmann::json;

constexpr std::array<std::pair<ReportState, std::string_view>, 5> kStates{{
    {ReportState::kRunning, "running"},
    {ReportState::kDone, "done"},
    {ReportState::kAbandoned, "abandoned"},
    {ReportState::kCleared, "cleared"},
    {ReportState::kRemoved, "removed"},
}};

// A text of at most `bytes` bytes, not cut inside a UTF-8 sequence.
std::string_view head(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

Text dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

Text encodeReport(const Report& report) {
  if (const auto* print = std::get_if<PrintReport>(&report)) {
    // Each escaped byte may take six: a print that long is cut to fit.
    return dump(Json{{"print", head(print->text, (kReportMax - 16) / 6)}});
  }
  const auto& bar = std::get<BarReport>(report);
  Json json{{"id", bar.id}, {"done", bar.done}};
  json["total"] = bar.total ? Json(*bar.total) : Json(nullptr);
  for (const auto& [state, name] : kStates) {
    if (state == bar.state) json["state"] = name;
  }
  // The three texts share what is left of a line, each escaped byte six.
  constexpr std::size_t kTextBytes = (kReportMax - 160) / 3 / 6;
  if (bar.name) json["name"] = head(*bar.name, kTextBytes);
  if (bar.prefix) json["prefix"] = head(*bar.prefix, kTextBytes);
  if (bar.message) json["message"] = head(*bar.message, kTextBytes);
  return dump(json);
}

std::optional<Report> parseReport(std::string_view line) noexcept {
  try {
    const Json json = Json::parse(line, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    if (const auto print = json.find("print"); print != json.end()) {
      if (!print->is_string() || json.size() != 1) return std::nullopt;
      return PrintReport{print->get<Text>()};
    }
    BarReport bar;
    const auto id = json.find("id"), done = json.find("done");
    if (id == json.end() || !id->is_number_unsigned() || done == json.end() ||
        !done->is_number_integer()) {
      return std::nullopt;
    }
    bar.id = id->get<std::uint64_t>();
    // Counts are signed 64-bit: a larger one is no count.
    if (done->is_number_unsigned() &&
        done->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
      return std::nullopt;
    }
    bar.done = done->get<std::int64_t>();
    for (const auto& [key, value] : json.items()) {
      if (key == "id" || key == "done") continue;
      if (key == "total") {
        if (value.is_null()) continue;
        if (!value.is_number_integer() ||
            (value.is_number_unsigned() &&
             value.get<std::uint64_t>() >
                 std::uint64_t{std::numeric_limits<std::int64_t>::max()})) {
          return std::nullopt;
        }
        bar.total = value.get<std::int64_t>();
      } else if (key == "state") {
        if (!value.is_string()) return std::nullopt;
        const auto& text = value.get_ref<const Text&>();
        bool known = false;
        for (const auto& [state, name] : kStates) {
          if (name == text) {
            bar.state = state;
            known = true;
          }
        }
        if (!known) return std::nullopt;
      } else if (key == "name" || key == "prefix" || key == "message") {
        if (!value.is_string()) return std::nullopt;
        (key == "name" ? bar.name : key == "prefix" ? bar.prefix : bar.message) = value.get<Text>();
      }
      // Other keys are for later versions: left alone.
    }
    return bar;
  } catch (...) {  // out of memory, say: not a report this process can take
    return std::nullopt;
  }
}

}  // namespace System::ProgressBar::detail
