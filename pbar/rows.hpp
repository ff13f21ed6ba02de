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

#include "gate.hpp"

namespace pbar {

// This process's rows on the terminal of descriptor `fd`. The pbars of one
// process group on one terminal find each other through a small file beside
// the user's other runtime files, locked while one of them draws; the cursor
// rests at the start of the last row taken. Rows are taken at the first draw,
// so a pbar that never draws takes none; the last pbar of the group to end
// leaves the cursor below every row. Where no such file can be kept, the
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

  // Draws `line` (no line feed in it) on row `row` of this process's rows.
  // Failures to write are dropped: a bar is never worth the copy.
  void draw(int row, std::string_view line);

 private:
  void join();
  std::int64_t lastRow();  // of the group, from the shared file; -1 without one
  void leave();

  const int fd_;
  const int rows_;
  std::mutex mutex_;
  const Gate& gate_;
  const std::optional<std::int64_t> height_;
  int registry_ = -1;        // the shared file, -1 without one
  std::string path_;         // its name
  std::int64_t first_ = -1;  // the group's row of this process's first; -1 before joining
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
