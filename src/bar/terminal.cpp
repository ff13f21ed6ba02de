// The terminal width query on standard output.
#include <sys/ioctl.h>
#include <unistd.h>

#include "System/ProgressBar/detail/Engine.hpp"

namespace System::ProgressBar::detail {

std::optional<std::int64_t> terminalColumns() noexcept {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return std::nullopt;
  return std::int64_t{size.ws_col};
}

}  // namespace System::ProgressBar::detail
