// Counts heap allocations made through operator new in this binary, and
// tells how many bytes the heap holds.
#pragma once

#include <cstdint>

namespace bench {
std::uint64_t allocations();
// The bytes the program holds on the heap now, as malloc counts them (its
// own overhead included): compare two readings.
std::int64_t heapBytes();
}  // namespace bench
