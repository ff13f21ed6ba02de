// The rows of a terminal that the pbars of one pipeline share: each takes
// rows below those taken before it and draws only on its own, so that
// `pbar a.tar | gzip | pbar -N gz > a.tgz` shows two bars, one a row.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "gate.hpp"

namespace pbar {

// This process's rows on the terminal of descriptor `fd`. The pbars of one
// process group on one terminal find each other through a small file in the
// user's runtime directory (else /tmp), locked while one of them draws; the
// cursor rests at the start of the last row taken. A row is taken below the
// others at its first draw, so a pbar that never draws takes none and the
// inputs of one pbar, copied one after the other, leave their final lines
// one under the other. The file names each row's process by its id and its
// start time, so that rows of processes long gone (or a file of someone
// else's making) are no one's; the last pbar of the group to end removes it
// and leaves the cursor below every row. Where no such file can be kept, the
// rows are drawn all the same, as if no other pbar were there.
class TerminalRows {
 public:
  // Draws nothing while `gate` is closed. `height` is the terminal's rows
  // (nullopt: asked of the terminal at each draw): a row scrolled off the
  // top is not drawn, since the cursor cannot reach it.
  TerminalRows(int fd, int rows, const Gate& gate, std::optional<std::int64_t> height);
  TerminalRows(const TerminalRows&) = delete;
  TerminalRows& operator=(const TerminalRows&) = delete;
  ~TerminalRows();

  // Draws `line` (no line feed in it) on row `row` (0 to rows - 1) of this
  // process's rows. Failures to write are dropped: a bar is never worth the
  // copy.
  void draw(int row, std::string_view line);
  // Leaves the group now, as the destructor would; draws nothing after.
  void leave();
  // For a process about to be ended by a signal: draws each row's last line
  // again (over the "^C" the terminal echoed, say), then leaves.
  void interrupted();

 private:
  bool lockRegistry();  // opens the shared file the first time; false without one
  void take(int row);
  void drawTaken(int row, std::string_view line);  // under mutex_
  std::int64_t rowsInGroup();  // from the shared file, locked; this process's own without one

  const int fd_;
  const Gate& gate_;
  const std::optional<std::int64_t> height_;
  std::mutex mutex_;
  int registry_ = -1;    // the shared file, -1 without one
  std::string path_;     // its name
  bool looked_ = false;  // for the shared file
  bool left_ = false;
  std::vector<std::int64_t> groupRow_;  // of each of this process's rows; -1 before its first draw
  std::vector<std::string> lines_;      // the last drawn on each row
  std::int64_t taken_ = 0;              // rows this process took, without a shared file
};

// A stream buffer for a bar's stream that draws each line the bar writes on
// one row of `rows`. A line is what the bar
// flushes: its text and then "\r", "\n" or "\r\e[K" (an erased line).
class RowBuf final : public std::streambuf {
 public:
  RowBuf(TerminalRows& rows, int row) : rows_(rows), row_(row) {}

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  TerminalRows& rows_;
  const int row_;
  std::string pending_;
};

}  // namespace pbar
