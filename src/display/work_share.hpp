// Internal: the share of a display's work that is done, for the terminal's
// own progress indicator (OSC 9;4, which a terminal shows in its tab, title
// bar or taskbar). Do not include from public headers.
#pragma once

#include <cstdint>
#include <optional>

#include "System/ProgressBar/Progress.hpp"
#include "base/text.hpp"
#include "display/display_core.hpp"

namespace System::ProgressBar::detail {

// What the indicator shows: 0 none, 1 a share, 2 an error (with the share),
// 3 busy with no share known.
struct Indicator {
  int state = 0;
  int percent = 0;
  friend bool operator==(const Indicator&, const Indicator&) = default;
};

// `ESC ] 9 ; 4 ; state ; percent ST`.
void appendIndicator(Text& out, Indicator indicator);

// A row's part of the work: its done and its total, when its total is known.
struct WorkPart {
  std::int64_t done = 0, todo = 0;
  bool known = false;
  bool abandoned = false;
};
WorkPart partOf(const Row& row) noexcept;
// ⌊done × 100 ÷ todo⌋ for done ≤ todo, exact for any size; 100 for no
// work at all.
int percentOf(UInt128 done, UInt128 todo) noexcept;

// The sums over every row whose total is known, rows that have left
// included: the work's share is their quotient, exact. A row's done counts
// from 0 to its total, so a sum never exceeds the sum of the totals, and
// 2^64 rows of the largest total still fit 128 bits.
class WorkShare {
 public:
  // A row that finished has left: its part stays in the work, and an
  // abandoned one makes the indicator show an error from then on.
  void retire(const WorkPart& part) noexcept;
  // The indicator for the rows held now and those retired; none when no
  // row ever had a line.
  std::optional<Indicator> indicator(const Rows& rows) const noexcept;

 private:
  UInt128 done_ = 0, todo_ = 0;
  bool known_ = false, any_ = false, error_ = false;
};

}  // namespace System::ProgressBar::detail
