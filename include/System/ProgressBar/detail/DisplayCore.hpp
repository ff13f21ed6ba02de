// Internal: the compiled part of a display. Do not include this file
// directly; include System/ProgressBar/Display.hpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "System/ProgressBar/detail/BarCore.hpp"
#include "System/ProgressBar/detail/BarSink.hpp"
#include "System/ProgressBar/detail/OwnedMutex.hpp"

namespace System::ProgressBar {
struct DisplayOptions;
}

namespace System::ProgressBar::detail {

// What a display writes to.
struct DisplayOutput {
  std::ostream* stream;
  int fd;                // -1: none; the kind is stated
  bool terminal;         // cursor movement and frames, or plain log lines
  std::int64_t columns;  // stated width, or the fallback when asking fails
  std::int64_t rows;     // stated height; 0: unknown
};

using RowId = std::uint64_t;

class DisplayCore : public std::enable_shared_from_this<DisplayCore> {
 public:
  DisplayCore(const DisplayOutput& output, const DisplayOptions& options, bool colour);
  DisplayCore(const DisplayCore&) = delete;
  DisplayCore& operator=(const DisplayCore&) = delete;

  // Rows: a new row at the end of the block, or right below `parent` and the
  // rows placed below it before.
  RowId addRow(std::optional<RowId> parent, OnComplete onComplete);
  void attach(RowId row, std::weak_ptr<Redrawable> bar);
  void removeRow(RowId row);
  // The bar behind a row is gone: a row that never showed a line goes too.
  void releaseRow(RowId row) noexcept;

  // A bar's drawn line (see BarSink::draw).
  void submit(RowId row, std::string_view line, bool complete, std::int64_t done, std::int64_t todo,
              TimePoint now, DrawCause cause);
  void printAbove(std::string_view text);
  // Redraws every bar, each under its own lock, then one frame.
  void tick();
  // The final frame; the cursor rests below it. Later draws are dropped.
  void end();

  RenderOptions renderOptions() const noexcept;
  std::ostream& stream() const noexcept { return *output_.stream; }
  bool isTerminal() const noexcept { return output_.terminal; }
  bool colour() const noexcept { return colour_; }
  void setColumns(std::int64_t columns) noexcept;

 private:
  enum class RowState { kLive, kDone, kGone };
  struct Row {
    RowId id;
    std::optional<RowId> parent;
    OnComplete onComplete;
    RowState state = RowState::kLive;
    bool hasText = false;
    Text text;
    std::size_t columns = 0;  // of text
    bool clean = true;        // text holds no control character
    std::weak_ptr<Redrawable> bar;
    // Plain log lines: what was written last, and when.
    bool logged = false;
    bool completeLogged = false;
    std::int64_t loggedDone = 0, loggedTodo = 0;
    std::int64_t changedDone = 0, changedTodo = 0;
    TimePoint loggedAt{};
  };

  Row* find(RowId id) noexcept;
  void frame(bool last);
  std::size_t appendRow(const Row& row, std::int64_t width);
  void appendUp(std::int64_t rows);
  void writeLog(Row& row, std::int64_t done, std::int64_t todo, TimePoint now);
  void flushLog();
  std::int64_t askColumns() const noexcept;

  const DisplayOutput output_;
  const bool colour_;
  const Throttle frameThrottle_;
  const std::int64_t logIntervalNs_;
  std::atomic<std::int64_t> columns_;
  mutable OwnedMutex mutex_;
  // Under mutex_:
  std::vector<Row> rows_;    // the block, top to bottom
  std::vector<Text> above_;  // lines to print above the block at the next frame
  RowId nextId_ = 1;
  std::size_t shownRows_ = 0;  // rows of the block on screen; the cursor rests on its first
  // Rows below its resting place where a frame cut short left the cursor.
  std::int64_t cursorOffset_ = 0;
  bool framed_ = false;
  TimePoint lastFrame_{};
  bool ended_ = false;
  Text frame_;  // reused by every frame
  Text spare_;
};

// The sink of a display's bar: its row.
class RowSink final : public BarSink {
 public:
  RowSink(std::shared_ptr<DisplayCore> display, RowId row) noexcept
      : display_(std::move(display)), row_(row) {}
  ~RowSink() override;
  RenderOptions options() const noexcept override { return display_->renderOptions(); }
  void draw(std::string_view line, bool complete, OnComplete onComplete, TimePoint now,
            DrawCause cause, std::int64_t done, std::int64_t todo) override;
  bool wantsLineAbove() const noexcept override { return false; }
  void printAbove(std::string_view text, const Text* line) override;
  std::ostream& stream() const noexcept override { return display_->stream(); }
  std::optional<std::uint64_t> rowIn(const void* display) const noexcept override;

 private:
  std::shared_ptr<DisplayCore> display_;
  RowId row_;
};

// Reads the environment and the terminal once, at a display's creation.
bool colourWanted(bool terminal, std::optional<bool> forced) noexcept;
bool isTerminal(int fd) noexcept;

}  // namespace System::ProgressBar::detail
