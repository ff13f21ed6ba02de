// Internal: the compiled part of a display. Do not include from public
// headers.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "System/ProgressBar/Display.hpp"
#include "bar/owned_mutex.hpp"
#include "bar/sink.hpp"
#include "bar/throttle.hpp"
#include "render/fixed_parts.hpp"

namespace System::ProgressBar::detail {

using RowId = std::uint64_t;
// Where each output keeps what it holds of a row: the core numbers its rows'
// slots from 0 and gives a slot to another row once its row has left, so that
// an output's slots are never more than the rows held at once.
using RowSlot = std::uint32_t;

enum class RowState { kLive, kDone, kGone };

// One bar's row: where it stands, and its last line before its layout,
// which each output lays out as it shows rows.
struct Row {
  RowId id;
  std::optional<RowId> parent;
  RowState state = RowState::kLive;
  BarEngine* bar = nullptr;  // the bar drawing it, while that bar lives
  std::shared_ptr<const BarLook> look;
  bool hasText = false;  // a line was drawn for it
  LineSource source;     // the last line drawn
  // The counts of the last line drawn, for outputs that show the work's
  // share or report it.
  std::int64_t done = 0, todo = 0;
  bool totalKnown = false;
  RowSlot slot = 0;

  // Finished short of a known total, its line kept: work given up.
  bool abandoned() const noexcept { return state == RowState::kDone && totalKnown && done < todo; }
};
using Rows = std::vector<Row>;

// How a display's rows reach its stream: frames on a terminal, or a plain
// log. Everything is called under the display's lock. Each call that shows
// rows returns whether they are shown as they now are, so that the display
// may let the rows whose final line is out leave.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  virtual ~Output() = default;
  virtual bool terminal() const noexcept = 0;
  virtual bool escapes() const noexcept = 0;
  // A bar drew a line for `row`, which holds it now (and had one before when
  // `hadLine`), live or, when the line is complete, done or gone. A failure
  // leaves everything the output keeps as it was.
  virtual bool drawn(const Rows& rows, const Row& row, const DrawnLine& line, bool hadLine) = 0;
  virtual bool above(const Rows& rows, std::string_view text) = 0;
  // A row that had shown a line was taken out.
  virtual bool removed(const Rows& rows) = 0;
  // Every bar of a tick has drawn.
  virtual bool ticked(const Rows& rows) = 0;
  // The display ends: the last of its output.
  virtual bool end(const Rows& rows) = 0;
  // The row in `slot` has left: what the output kept of it goes. `finished`:
  // it left once its final line was shown (else it was taken out).
  virtual void forget(RowSlot slot, bool finished) noexcept = 0;
  virtual void setColumns(std::int64_t columns) noexcept = 0;
  // Writes to `stream` from now on, asking `fd` (-1: none) about the terminal.
  virtual void divert(std::ostream& stream, int fd) noexcept = 0;
  // The block goes while the program has the terminal to itself (rows keep
  // their lines meanwhile, and lines printed above are written as they
  // come), and comes back.
  virtual void suspend(const Rows& rows) = 0;
  virtual bool resume(const Rows& rows) = 0;
};

// An output's own state of each row, in the row's slot.
template <class State>
class RowSlots {
 public:
  State& of(const Row& row) {
    if (row.slot >= states_.size()) states_.resize(row.slot + std::size_t{1});
    return states_[row.slot];
  }
  void forget(RowSlot slot) noexcept {
    if (slot < states_.size()) states_[slot] = State{};
  }
  // What is kept in `slot`, if anything.
  const State* find(RowSlot slot) const noexcept {
    return slot < states_.size() ? &states_[slot] : nullptr;
  }

 private:
  std::vector<State> states_;
};

// Told before a display is suspended and after it is back, outside its lock.
class SuspendHook {
 public:
  virtual ~SuspendHook() = default;
  virtual void beforeSuspend() = 0;
  virtual void afterResume() = 0;
};

// A thread's unfinished line of `Display::lines()`, written when the display
// ends (its thread may outlive the display's stream).
class PendingLines {
 public:
  virtual ~PendingLines() = default;
  virtual void flushPending() = 0;
};

std::unique_ptr<Output> terminalOutput(std::ostream& stream, int fd, std::int64_t columns,
                                       std::int64_t rows, bool colour, bool rewraps, bool indicator,
                                       const DisplayOptions& options);
std::unique_ptr<Output> logOutput(std::ostream& stream, bool colour, const DisplayOptions& options);
// Shows no row; lines printed above are written as they would be without
// the block (as they are on a terminal, plain in a log).
std::unique_ptr<Output> hiddenOutput(std::ostream& stream, bool terminal, bool colour);
// A child's display that reports to its parent on `fd` (the parent's
// socket) and draws with `fallback` once the parent is gone; `name` is the
// process's, in front of its rows in the parent's display.
std::unique_ptr<Output> reportOutput(int fd, std::string name, std::unique_ptr<Output> fallback);
// The descriptor the report variable's `value` names, when it is one a
// parent made for reports.
std::optional<int> reportDescriptor(std::string_view value) noexcept;
// A variable of the environment, as it is now (for a parent that sets the
// report variable and puts it back).
std::optional<std::string> environmentValue(const char* name);
// `text` and a line feed as a program would write it with no block: as it
// is on a terminal, plain lines in a log (escapes only with colour).
void writeAbove(std::ostream& stream, std::string_view text, bool terminal, bool colour);

// A display's rows and its lock; counted, since the display and each row's
// sink hold it.
class DisplayCore {
 public:
  // `fd` is the descriptor of `stream` (-1: none).
  DisplayCore(std::ostream& stream, int fd, bool colour, std::unique_ptr<Output> output);
  // On a stream of its own, which it keeps.
  DisplayCore(std::unique_ptr<std::ostream> stream, int fd, bool colour,
              std::unique_ptr<Output> output)
      : DisplayCore(*stream, fd, colour, std::move(output)) {
    owned_ = std::move(stream);
  }
  DisplayCore(const DisplayCore&) = delete;
  DisplayCore& operator=(const DisplayCore&) = delete;

  // The count behind Ref<DisplayCore>.
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // A new row at the end of the block, or right below `parent`'s row and the
  // rows placed below it before.
  RowId addRow(std::optional<RowId> parent);
  void setLook(RowId row, std::shared_ptr<const BarLook> look);
  void bind(RowId row, BarEngine& bar);
  // The bar behind a row is gone: a row that never showed a line goes too.
  void unbind(RowId row) noexcept;
  // Takes a running bar's row out for good: `removed` (the sink's) is set,
  // under the display's lock, and no later line of the bar is shown.
  void removeRow(RowId row, bool& removed);

  // A line of a row's bar. A row that has left the block comes back below
  // it (with `look` and `bar`) for a line that revives it or that finishing
  // keeps.
  void submit(RowId row, const DrawnLine& line, const std::shared_ptr<const BarLook>& look,
              BarEngine* bar, const bool& removed);
  void printAbove(std::string_view text);
  // Runs `f` with the block erased, then draws it again (also when f throws).
  void suspend(FunctionRef<void()> f);
  void beginSuspend();
  void endSuspend();
  void addHook(SuspendHook& hook);
  void removeHook(SuspendHook& hook) noexcept;
  void addPending(PendingLines& lines);
  void removePending(PendingLines& lines) noexcept;
  // Where the display writes, and the descriptor it asks about the terminal.
  struct Target {
    std::ostream* stream;
    int fd;
  };
  using DivertId = std::uint64_t;
  // Writes to `stream` (and asks `fd`) instead, until undivert() is given
  // what this returns. Diversions may end in any order: the display writes
  // where the latest one still in place says, else to its own stream.
  DivertId divert(std::ostream& stream, int fd);
  void undivert(DivertId id) noexcept;
  Target target() const;
  // Whether the program's output on descriptor `fd` reaches the terminal
  // this display draws on through `own` (its descriptor, or what that
  // descriptor was before a capture took it); false for a log.
  bool drawsOnTerminalOf(int fd, int own) const noexcept;
  // Redraws every bar, each under its own lock, then one frame.
  void tick();
  // The bars of the live rows (none once the display has ended).
  std::vector<Ref<BarEngine>> liveBars();
  // Draws each bar whose stored progress no line shows, then the final
  // output; later draws are dropped.
  void end();
  // The display object is gone (after end()): what threads left unfinished
  // on `lines()` since is written now, while its stream is sure to live.
  void close() noexcept;

  bool escapes() const noexcept { return output_->escapes(); }
  std::ostream& stream() const noexcept { return original_; }
  int fd() const noexcept { return fd_; }
  bool ended() const;
  bool isTerminal() const noexcept { return output_->terminal(); }
  bool colour() const noexcept { return colour_; }
  void setColumns(std::int64_t columns) noexcept { output_->setColumns(columns); }
  // How many rows the display holds now (for tests and benchmarks).
  std::size_t rowsHeld() const;

 private:
  ~DisplayCore() = default;
  Row* find(RowId id) noexcept;
  RowSlot takeSlot();
  // Takes the row at `at` out of the block, its slot free for another.
  void erase(Rows::iterator at) noexcept;
  void release(RowSlot slot, bool finished) noexcept;
  // After an output has shown the rows as they are, those whose final line
  // is out leave (`drawn`: the row whose line it showed, if any).
  void leaveShown(Row* drawn) noexcept;
  std::vector<Ref<BarEngine>> retainLive(const char* call);
  // Runs `draw` on each live bar, each held by a reference and under its own
  // lock, not the display's; the first failure is thrown once all have run.
  template <class Draw>
  void forEachBar(const char* call, Draw draw);

  std::unique_ptr<std::ostream> owned_;  // the stream, when the display made its own
  std::ostream& original_;
  const int fd_;
  const bool colour_;
  const std::unique_ptr<Output> output_;
  mutable OwnedMutex mutex_;
  // Under mutex_:
  Rows rows_;                       // the block, top to bottom
  RowSlot slots_ = 0;               // slots given so far
  std::vector<RowSlot> freeSlots_;  // of rows that left; room for every slot
  std::size_t emptied_ = 0;         // places of rows that left, not yet taken out
  std::ostream* stream_;            // the original, or where it is diverted
  int streamFd_;                    // the descriptor that goes with it
  struct Diversion {
    DivertId id;
    Target target;
  };
  std::vector<Diversion> diversions_;  // in the order they began
  DivertId nextDivert_ = 1;
  int suspends_ = 0;
  // Held while the hooks are told; a hook never takes it, nor does anyone
  // who holds the display's lock.
  std::mutex hooksMutex_;
  std::vector<SuspendHook*> hooks_;
  // Taken before a line stream's own lock and the display's: never while
  // holding either.
  std::mutex pendingMutex_;
  std::vector<PendingLines*> pending_;
  RowId nextId_ = 1;
  bool ended_ = false;
  std::atomic<long> refs_{1};
};

// The sink of a display's bar: its row.
class RowSink final : public BarSink {
 public:
  RowSink(DisplayCore& display, RowId row) noexcept
      : display_(Ref<DisplayCore>::share(&display)), row_(row) {}
  void prepare(const FixedTexts& texts) override {
    look_ = std::make_shared<const BarLook>(texts, Measure::kColumns);
    display_->setLook(row_, look_);
  }
  ~RowSink() override;
  bool escapes() const noexcept override { return display_->escapes(); }
  void draw(const DrawnLine& line) override {
    display_->submit(row_, line, look_, engine_, removed_);
  }
  bool keepsUnseen() const noexcept override { return true; }
  bool wantsLineAbove() const noexcept override { return false; }
  void printAbove(std::string_view text, LineSource*) override { display_->printAbove(text); }
  std::ostream& stream() const noexcept override { return display_->stream(); }
  void bind(BarEngine& engine) noexcept override {
    engine_ = &engine;
    display_->bind(row_, engine);
  }
  void unbind() noexcept override {
    display_->unbind(row_);
    engine_ = nullptr;
    bound_ = false;
  }
  // The row, when this is a row of `display`.
  std::optional<RowId> rowIn(const DisplayCore& display) const noexcept {
    if (&display != display_.get()) return std::nullopt;
    return row_;
  }
  void remove() { display_->removeRow(row_, removed_); }

 private:
  const Ref<DisplayCore> display_;
  const RowId row_;
  std::shared_ptr<const BarLook> look_;
  BarEngine* engine_ = nullptr;  // once bound
  bool bound_ = true;     // until the engine unbinds (a sink whose bar never started never was)
  bool removed_ = false;  // under the display's lock: taken out by Display::remove
};

// Whether what the program writes to `fd` (as it was before any capture
// took it) shows on the terminal `core` draws on.
bool showsOnDisplay(const DisplayCore& core, int fd);

// The calling thread's stream of lines above `core`'s block.
std::ostream& linesOf(DisplayCore& core);

// Reads the environment and the terminal once, at a display's creation.
bool colourWanted(bool terminal, std::optional<bool> forced) noexcept;
bool isTerminal(int fd) noexcept;
// Where a stream's bytes go: a descriptor (-1 for a file stream that has
// none), or nothing when the buffer is the caller's own and cannot tell.
std::optional<int> descriptorOf(std::streambuf* buf) noexcept;
// Whether the terminal the environment names re-wraps its lines on a resize.
bool rewrapsOnResize(std::optional<bool> forced) noexcept;
// Whether the terminal the environment names shows its own progress
// indicator (OSC 9;4).
bool terminalProgressWanted(std::optional<bool> forced) noexcept;
// Whether bars are hidden: by the option, or by PROGRESSBAR_HIDE.
bool hiddenWanted(bool forced) noexcept;

}  // namespace System::ProgressBar::detail
