// Reading a style template: literal text, keys in braces with an optional
// alignment and width, and the bar that splits the line in two.
#include "System/ProgressBar/Template.hpp"

#include <utf8proc.h>

#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace System::ProgressBar::detail {
namespace {

struct KeyName {
  std::string_view name;
  TemplateKey key;
  bool padRightByDefault;
};

constexpr KeyName kKeys[] = {
    {"prefix", TemplateKey::kPrefix, true},
    {"msg", TemplateKey::kMessage, true},
    {"percent", TemplateKey::kPercent, false},
    {"percent_floor", TemplateKey::kPercentFloor, false},
    {"pos", TemplateKey::kPos, false},
    {"counts", TemplateKey::kCounts, false},
    {"bytes", TemplateKey::kBytes, false},
    {"bytes_done", TemplateKey::kBytesDone, false},
    {"rate", TemplateKey::kRate, false},
    {"recent_rate", TemplateKey::kRecentRate, false},
    {"byte_rate", TemplateKey::kByteRate, false},
    {"recent_byte_rate", TemplateKey::kRecentByteRate, false},
    {"elapsed", TemplateKey::kElapsed, false},
    {"elapsed_human", TemplateKey::kElapsedHuman, false},
    {"eta", TemplateKey::kEta, false},
    {"eta_human", TemplateKey::kEtaHuman, false},
    {"recent_eta", TemplateKey::kRecentEta, false},
    {"recent_eta_human", TemplateKey::kRecentEtaHuman, false},
    {"total_time", TemplateKey::kTotalTime, false},
    {"spinner", TemplateKey::kSpinner, false},
    {"spinner_ascii", TemplateKey::kSpinnerAscii, false},
};

// The widest a field or the line may be: past any terminal, yet far from
// what a draw could not allocate.
constexpr std::int64_t kMaxWidth = 10'000;

// `text` as it may be shown on a terminal: controls (C0, DEL, C1) and bytes
// that are no UTF-8 written as escapes, the rest as it is.
std::string shown(std::string_view text) {
  std::string out;
  const auto escape = [&](unsigned char byte) {
    switch (byte) {
      case '\n':
        out += "\\n";
        return;
      case '\t':
        out += "\\t";
        return;
      case '\r':
        out += "\\r";
        return;
      case '\x1b':
        out += "\\e";
        return;
      default:
        break;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += hex;
  };
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t point = -1;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at);
    const utf8proc_ssize_t length =
        utf8proc_iterate(bytes, static_cast<utf8proc_ssize_t>(text.size() - at), &point);
    if (length <= 0) {
      escape(bytes[0]);
      ++at;
      continue;
    }
    if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
      for (utf8proc_ssize_t i = 0; i < length; ++i) escape(bytes[i]);
    } else {
      out.append(text.substr(at, static_cast<std::size_t>(length)));
    }
    at += static_cast<std::size_t>(length);
  }
  return out;
}

std::string quoted(std::string_view text) {
  std::string out = shown(text);
  out.insert(out.begin(), '"');
  out.push_back('"');
  return out;
}

[[noreturn]] void fault(const std::string& what, std::size_t at) {
  throw std::invalid_argument("styleFromTemplate: " + what + " at " + std::to_string(at));
}

// The width after a key's colon: an optional '<' or '>', then digits.
void readWidth(std::string_view format, std::string_view name, std::size_t at, TemplateField& field,
               bool isBar) {
  if (!format.empty() && (format[0] == '<' || format[0] == '>')) {
    if (isBar) fault("the bar takes a width, not an alignment, in \"{" + shown(name) + "}\"", at);
    field.padLeft = format[0] == '>';
    format.remove_prefix(1);
  }
  std::int64_t width = 0;
  const auto [end, error] = std::from_chars(format.data(), format.data() + format.size(), width);
  if (format.empty() || error != std::errc{} || end != format.data() + format.size() ||
      width <= 0) {
    fault("bad width " + quoted(format) + " for key " + quoted(name), at);
  }
  if (width > kMaxWidth) {
    fault("width " + std::to_string(width) + " for key " + quoted(name) + " is past " +
              std::to_string(kMaxWidth) + " columns",
          at);
  }
  field.width = width;
}

}  // namespace

ParsedTemplate parseTemplate(std::string_view text) {
  ParsedTemplate parsed;
  std::int64_t padded = 0;  // the keys' widths so far
  std::vector<TemplateField>* fields = &parsed.before;
  const auto literal = [&](std::string_view piece) {
    if (fields->empty() || fields->back().key != TemplateKey::kText || fields->back().width > 0) {
      fields->push_back(TemplateField{});
    }
    fields->back().text.append(piece);
  };
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    if (c == '}') {
      if (at + 1 < text.size() && text[at + 1] == '}') {
        literal("}");
        at += 2;
        continue;
      }
      fault("\"}\" closes no key (write \"}}\" for a brace)", at);
    }
    if (c != '{') {
      const std::size_t next = text.find_first_of("{}", at);
      const std::size_t end = next == std::string_view::npos ? text.size() : next;
      literal(text.substr(at, end - at));
      at = end;
      continue;
    }
    if (at + 1 < text.size() && text[at + 1] == '{') {
      literal("{");
      at += 2;
      continue;
    }
    const std::size_t close = text.find_first_of("{}", at + 1);
    if (close == std::string_view::npos || text[close] == '{') {
      fault("\"{\" is never closed (write \"{{\" for a brace)", at);
    }
    const std::string_view inside = text.substr(at + 1, close - at - 1);
    const std::size_t colon = inside.find(':');
    const std::string_view name = inside.substr(0, colon);
    const std::string_view format =
        colon == std::string_view::npos ? std::string_view() : inside.substr(colon + 1);
    TemplateField field;
    if (name == "bar") {
      if (parsed.hasBar) fault("a second \"{bar}\"", at);
      if (colon != std::string_view::npos) {
        readWidth(format, name, at, field, true);
        parsed.lineWidth = field.width;
      }
      parsed.hasBar = true;
      fields = &parsed.after;
      at = close + 1;
      continue;
    }
    const KeyName* known = nullptr;
    for (const KeyName& k : kKeys) {
      if (k.name == name) known = &k;
    }
    if (known == nullptr) fault("unknown key " + quoted(name), at);
    field.key = known->key;
    field.padLeft = !known->padRightByDefault;
    if (colon != std::string_view::npos) readWidth(format, name, at, field, false);
    // Widths that add up past any terminal would make a line no draw can
    // allocate, as one such width would.
    padded += field.width;
    if (padded > kMaxWidth) {
      fault("widths adding up to " + std::to_string(padded) + " columns, past " +
                std::to_string(kMaxWidth) + ",",
            at);
    }
    fields->push_back(std::move(field));
    at = close + 1;
  }
  // The line puts a space between the bar and each label that is not empty.
  if (parsed.hasBar) {
    const auto trim = [](std::vector<TemplateField>& side, bool front) {
      if (side.empty()) return;
      TemplateField& edge = front ? side.front() : side.back();
      if (edge.key != TemplateKey::kText || edge.text.empty()) return;
      if (front && edge.text.front() == ' ') edge.text.erase(0, 1);
      if (!front && edge.text.back() == ' ') edge.text.pop_back();
      if (edge.text.empty()) front ? void(side.erase(side.begin())) : side.pop_back();
    };
    trim(parsed.before, false);
    trim(parsed.after, true);
  }
  return parsed;
}

}  // namespace System::ProgressBar::detail
