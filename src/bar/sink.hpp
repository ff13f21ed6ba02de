// Internal: where a bar's lines go. Do not include from public headers.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/detail/Line.hpp"
#include "base/stream_write.hpp"  // how every sink writes

namespace System::ProgressBar::detail {

class BarEngine;

// Before a line printed above a live bar, and after a bar's final line with
// `Clear`: carriage return, erase the line.
inline constexpr std::string_view kEraseLine = "\r\x1b[K";

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept;

// Why a line is drawn: an update, a display's steady tick (which frames
// once for all its bars), or `finish` (whose line replaces even a final one).
enum class DrawCause { kUpdate, kTick, kFinish };

// A drawn line of the progress done of todo; `complete` says whether the
// work is complete (or the bar finished), so that the style's completion
// applies.
struct DrawnLine {
  LineSource* source;  // the line, which the sink lays out, or takes for its own
  bool complete;
  OnComplete onComplete;
  TimePoint now;
  DrawCause cause;
  std::int64_t done, todo;
  std::uint64_t message;  // how many times the bar's message was set
  bool totalKnown;        // false while the bar's total is not known
};

class BarSink {
 public:
  BarSink() = default;
  BarSink(const BarSink&) = delete;
  BarSink& operator=(const BarSink&) = delete;
  virtual ~BarSink();
  // The bar's fixed texts, told once, before its first line: each sink
  // measures them as it lays its lines out.
  virtual void prepare(const FixedTexts& texts) = 0;
  // Whether the style's escapes are shown (asked once).
  virtual bool escapes() const noexcept { return true; }
  virtual void draw(const DrawnLine& line) = 0;
  // Whether `printAbove` needs the bar's current line.
  virtual bool wantsLineAbove() const noexcept = 0;
  // `text` above the bar. `line` is the bar's current line, or null when the
  // bar's line is final (complete or finished).
  virtual void printAbove(std::string_view text, LineSource* line) = 0;
  // The stream the lines reach.
  virtual std::ostream& stream() const noexcept = 0;
  // The engine that owns the sink, once it has drawn its first line, and
  // when it goes (before anything of it is destroyed).
  virtual void bind(BarEngine& engine) noexcept { (void)engine; }
  virtual void unbind() noexcept {}
  // Whether the bar's stored progress is drawn once more, without writing,
  // when its last handle goes before a line shows it: a display's row keeps
  // it for the display's final frame. A stream's bar writes nothing then.
  virtual bool keepsUnseen() const noexcept { return false; }
};

}  // namespace System::ProgressBar::detail
