// How pbar copies an input: through the library's copy where it can, else a
// loop of its own that counts lines, keeps to a rate, stops at a size, or
// raises a given total that the input turns out to pass.
#pragma once

#include <System/ProgressBar.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace pbar {

struct Transfer {
  bool lines = false;                     // count lines, not bytes
  std::optional<std::int64_t> total;      // the bar's total
  bool totalGiven = false;                // the total is a guess: raise it when passed
  bool stopAtSize = false;                // copy no more than the total
  std::optional<std::int64_t> rateLimit;  // units a second
};

// Copies `in` to `out` counting on `bar` each unit that `out` accepted;
// throws System::ProgressBar::CopyError naming the end that failed.
void copy(int in, int out, const System::ProgressBar::ProgressBar<>& bar, const Transfer& how);

// Writes what of `data` the descriptor takes, through interruptions and a
// non-blocking descriptor: how many bytes (all of them, or fewer with errno
// set).
std::size_t writeCounted(int fd, const char* data, std::size_t n);

}  // namespace pbar
