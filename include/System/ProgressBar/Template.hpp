// Style presets: a style from a short template, the quick way (composing
// labels with `+` is the typed one), and the style for work whose total is
// not known.
//
//   auto style = pb::styleFromTemplate("{prefix} {bar} {bytes} {byte_rate} {eta:>5}",
//                                      {.prefix = "model.bin"});
//   auto bar = pb::newProgressBar(pb::spinnerStyle("lines"), 10.0, pb::Progress<>{0, 0},
//                                 pb::unknownTotal);
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "System/ProgressBar/Bytes.hpp"
#include "System/ProgressBar/Counts.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Padding.hpp"
#include "System/ProgressBar/Rates.hpp"
#include "System/ProgressBar/Spinner.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/Time.hpp"

namespace System::ProgressBar {

/// What a template's keys refer to that the template does not say.
struct TemplateOptions {
  Text prefix = "";     ///< the text of `{prefix}`, such as a file's name
  Text unit = "items";  ///< what `{rate}` and `{recent_rate}` count per second
  /// The count is of bytes: `{rate}` and `{recent_rate}` are then written as
  /// `{byte_rate}` and `{recent_byte_rate}` are ("115 MiB/s").
  bool bytes = false;
};

namespace detail {
enum class TemplateKey {
  kText,
  kPrefix,
  kMessage,
  kPercent,
  kPercentFloor,
  kPos,
  kCounts,
  kBytes,
  kBytesDone,
  kRate,
  kRecentRate,
  kByteRate,
  kRecentByteRate,
  kElapsed,
  kElapsedHuman,
  kEta,
  kEtaHuman,
  kRecentEta,
  kRecentEtaHuman,
  kTotalTime,
  kSpinner,
  kSpinnerAscii,
};
struct TemplateField {
  TemplateKey key = TemplateKey::kText;
  Text text;               // kText: the literal text
  std::int64_t width = 0;  // 0: as it comes
  bool padLeft = false;    // right-aligned
};
struct ParsedTemplate {
  std::vector<TemplateField> before, after;  // around the bar (all before without one)
  bool hasBar = false;
  std::int64_t lineWidth = 0;  // {bar:N}; 0: the terminal's
};
// Throws std::invalid_argument naming the fault and where it is.
ParsedTemplate parseTemplate(std::string_view text);

template <class Custom>
Label<Custom> fieldLabel(const TemplateField& field, const TemplateOptions& options) {
  using K = TemplateKey;
  switch (field.key) {
    case K::kText:
      return fromString<Custom>(std::string_view(field.text));
    case K::kPrefix:
      return fromString<Custom>(std::string_view(options.prefix));
    case K::kMessage:
      return message<Custom>();
    case K::kPercent:
      return percentage<Custom>();
    case K::kPercentFloor:
      return percentageFloor<Custom>();
    case K::kPos:
      return count<Custom>();
    case K::kCounts:
      return exact<Custom>();
    case K::kBytes:
      return bytes<Custom>();
    case K::kBytesDone:
      return bytesDone<Custom>();
    case K::kRate:
      return options.bytes ? byteRate<Custom>() : throughput<Custom>(options.unit + "/s", "--");
    case K::kRecentRate:
      return options.bytes ? recentByteRate<Custom>()
                           : recentRate<Custom>(options.unit + "/s", "--");
    case K::kByteRate:
      return byteRate<Custom>();
    case K::kRecentByteRate:
      return recentByteRate<Custom>();
    case K::kElapsed:
      return elapsedTime<Custom>(renderDuration);
    case K::kElapsedHuman:
      return elapsedTime<Custom>(humanDuration);
    case K::kEta:
      return remainingTime<Custom>(renderDuration, "--");
    case K::kEtaHuman:
      return remainingTime<Custom>(humanDuration, "--");
    case K::kRecentEta:
      return recentRemainingTime<Custom>(renderDuration, "--");
    case K::kRecentEtaHuman:
      return recentRemainingTime<Custom>(humanDuration, "--");
    case K::kTotalTime:
      return totalTime<Custom>(renderDuration, "--");
    case K::kSpinner:
      return spinner<Custom>(SpinnerFrames::Braille);
    case K::kSpinnerAscii:
      return spinner<Custom>(SpinnerFrames::Ascii);
  }
  return emptyLabel<Custom>();
}

template <class Custom>
Label<Custom> fieldsLabel(const std::vector<TemplateField>& fields,
                          const TemplateOptions& options) {
  Label<Custom> label = emptyLabel<Custom>();
  for (const TemplateField& field : fields) {
    Label<Custom> one = detail::fieldLabel<Custom>(field, options);
    if (field.width > 0) {
      one = field.padLeft ? ::System::ProgressBar::padLeft(field.width, one, PadUnit::Columns)
                          : ::System::ProgressBar::padRight(field.width, one, PadUnit::Columns);
    }
    label = label + one;
  }
  return label;
}
}  // namespace detail

/// A style from `text`: literal text, and keys in braces, each with an
/// optional alignment and width (`{eta:>5}`, `{prefix:<12}`, `{percent:4}`).
/// The text before `{bar}` is the style's prefix and the text after it its
/// postfix, each without the one space next to the bar, since the line puts
/// a space between the bar and a label that is not empty. `{bar:N}` makes
/// the whole line N columns wide (the bar fills what the labels leave, as a
/// style's width says); `{bar}` takes the terminal's width, as the default
/// style does. Without `{bar}`
/// the line is its labels alone. `{{` and `}}` are braces.
///
/// Keys: `bar`, `prefix` (`options.prefix`), `msg` (the bar's message),
/// `percent`, `percent_floor`, `pos` (done), `counts` (done/todo), `bytes`
/// (done / todo in bytes), `bytes_done`, `rate` and `recent_rate`
/// (`options.unit` per second, or bytes with `options.bytes`), `byte_rate`, `recent_byte_rate`,
/// `elapsed`, `eta`, `recent_eta`, `total_time` (clock form, "01:05"), `elapsed_human`,
/// `eta_human`, `recent_eta_human` ("1m05s"), `spinner`, `spinner_ascii`.
/// A width pads to that many columns, never cuts: on the left with `>`, on
/// the right with `<`; without either, `prefix` and `msg` are padded on the
/// right and every other key on the left.
///
/// Throws `std::invalid_argument` naming the fault, the key and its position
/// (in bytes from the start) for an unknown key, an unclosed or unopened
/// brace, a bad width (a width is 1 to 10,000 columns, and the keys' widths
/// add up to 10,000 at most), or a second `{bar}`.
/// The message shows the template's control characters escaped (`\e`, `\n`,
/// `\x07`), so that it can go to a terminal as it is.
template <class Custom = std::monostate>
Style<Custom> styleFromTemplate(std::string_view text, const TemplateOptions& options = {}) {
  const detail::ParsedTemplate parsed = detail::parseTemplate(text);
  Style<Custom> style;
  style.stylePrefix = detail::fieldsLabel<Custom>(parsed.before, options);
  style.stylePostfix = detail::fieldsLabel<Custom>(parsed.after, options);
  if (!parsed.hasBar) {
    style.styleOpen = "";
    style.styleClose = "";
    style.styleWidth = ConstantWidth{0};
  } else if (parsed.lineWidth > 0) {
    style.styleWidth = ConstantWidth{parsed.lineWidth};
  }
  return style;
}

/// A style for a bar whose total is not known: the spinner, the count of
/// `unit`, the elapsed time and the rate, and no bar proper:
/// "⠹ 1234 lines 2s 617 lines/s".
template <class Custom = std::monostate>
Style<Custom> spinnerStyle(const Text& unit = "items",
                           SpinnerFrames frames = SpinnerFrames::Braille) {
  Style<Custom> style;
  style.styleOpen = "";
  style.styleClose = "";
  style.styleWidth = ConstantWidth{0};
  style.stylePrefix = spinner<Custom>(frames) + " " + count<Custom>() + " " + unit + " " +
                      elapsedTime<Custom>(humanDuration) + " " +
                      throughput<Custom>(unit + "/s", "--");
  style.stylePostfix = emptyLabel<Custom>();
  return style;
}

PROGRESSBAR_EXTERN_TEMPLATE Style<std::monostate> styleFromTemplate<std::monostate>(
    std::string_view, const TemplateOptions&);
PROGRESSBAR_EXTERN_TEMPLATE Style<std::monostate> spinnerStyle<std::monostate>(const Text&,
                                                                               SpinnerFrames);

}  // namespace System::ProgressBar
