// Internal: reading and writing descriptors whole, through interrupted calls
// and non-blocking descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace System::ProgressBar::detail {

// Each waits in a cancellation point, so none is noexcept: a cancellation of
// the calling thread goes on from there.
//
// Waits until `fd` can be read (or written); false with errno set on failure.
bool waitFor(int fd, bool write);
// Reads at most `n` bytes: how many (0 at the end), or -1 with errno set.
ssize_t readSome(int fd, char* data, std::size_t n);
// Writes all `n` bytes: true, or false with errno set. Either way `written`
// is how many the descriptor took, so that a failure partway counts them.
bool writeAll(int fd, const char* data, std::size_t n, std::size_t& written);
bool writeAll(int fd, const char* data, std::size_t n);

}  // namespace System::ProgressBar::detail
