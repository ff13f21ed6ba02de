// Internal: where a bar's lines go. Do not include this file directly;
// include System/ProgressBar/Bar.hpp.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Style.hpp"

namespace System::ProgressBar::detail {

// Writes each piece in order (one write each), then flushes once. A stream
// that is not good before the draw, or a write or flush that fails, throws
// (the stream's own exception, or std::ios_base::failure). After a failure
// the error bits the draw caused are cleared if the stream was good before;
// bits set before the draw are left as they were.
void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces);
// As writeDraw for one piece, through the stream's buffer, so that a failed
// write still tells in `accepted` how many bytes went out: what the buffer
// took before it refused more, none when it threw or its flush failed.
void writeCounted(std::ostream& stream, std::string_view bytes, std::size_t& accepted);

// Before a line printed above a live bar, and after a bar's final line with
// `Clear`: carriage return, erase the line.
inline constexpr std::string_view kEraseLine = "\r\x1b[K";

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept;

// Why a line is drawn: an update, or a steady tick (a display frames once for
// a whole tick instead of once per bar).
enum class DrawCause { kUpdate, kTick };

class BarSink {
 public:
  virtual ~BarSink();
  // How lines are rendered for this sink.
  virtual RenderOptions options() const noexcept = 0;
  // A drawn line of the progress done of todo; `complete` says whether the
  // work is complete (or the bar finished), so that the style's completion
  // applies.
  virtual void draw(std::string_view line, bool complete, OnComplete onComplete, TimePoint now,
                    DrawCause cause, std::int64_t done, std::int64_t todo) = 0;
  // Whether `printAbove` needs the bar's current line.
  virtual bool wantsLineAbove() const noexcept = 0;
  // `text` above the bar. `line` is the bar's current line, or null when the
  // bar's line is final (complete or finished).
  virtual void printAbove(std::string_view text, const Text* line) = 0;
  // The stream the lines reach.
  virtual std::ostream& stream() const noexcept = 0;
  // The bar's row, when it is a bar of `display`.
  virtual std::optional<std::uint64_t> rowIn(const void* display) const noexcept {
    (void)display;
    return std::nullopt;
  }
};

// A bar of its own on a stream: the exact bytes of the draw step.
class StreamSink final : public BarSink {
 public:
  explicit StreamSink(std::ostream& stream) noexcept : stream_(&stream) {}
  RenderOptions options() const noexcept override { return {}; }
  void draw(std::string_view line, bool complete, OnComplete onComplete, TimePoint now,
            DrawCause cause, std::int64_t done, std::int64_t todo) override;
  bool wantsLineAbove() const noexcept override { return true; }
  void printAbove(std::string_view text, const Text* line) override;
  std::ostream& stream() const noexcept override { return *stream_; }

 private:
  std::ostream* stream_;
};

// What a steady tick redraws.
class Redrawable {
 public:
  virtual ~Redrawable();
  // Redraws with the stored progress at the current time, unless the line is
  // final. Takes the same lock as updates. `cause` is kTick when a display
  // redraws all its bars and then draws one frame for them.
  virtual void redraw(DrawCause cause) = 0;
};

}  // namespace System::ProgressBar::detail
