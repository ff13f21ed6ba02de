// Counts heap allocations made through operator new in this binary.
#pragma once

#include <cstdint>

namespace bench {
std::uint64_t allocations();
}
