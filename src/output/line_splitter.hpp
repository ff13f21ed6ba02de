// Internal: bytes written by the rest of a program, cut into the lines a
// display prints above its block.
#pragma once

#include <cstddef>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// A line ends at a line feed (a carriage return right before it is dropped)
// and keeps what follows its last carriage return, which is what a terminal
// would show of a line that redraws itself. A line longer than kMaxLine bytes
// is cut at the start of the character that holds byte kMaxLine, so that
// output without line feeds holds no memory without bound.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;

  // Emits each line `bytes` completes. A line whose emit throws stays
  // pending; what followed it in `bytes` is not taken.
  template <class Emit>
  void feed(std::string_view bytes, Emit&& emit) {
    while (!bytes.empty()) {
      const std::size_t end = bytes.find('\n');
      const std::size_t take = end == std::string_view::npos ? bytes.size() : end;
      pending_.append(bytes.data(), take);
      bytes.remove_prefix(take);
      // Past kMaxLine, so that the byte at the cut is there to say whether a
      // character starts at it.
      while (pending_.size() > kMaxLine) {
        const std::size_t cut = cutAt(pending_);
        emit(shown(std::string_view(pending_).substr(0, cut)));
        pending_.erase(0, cut);
      }
      if (!bytes.empty()) {  // the line feed
        emit(shown(pending_));
        pending_.clear();
        bytes.remove_prefix(1);
      }
    }
  }
  // What is left without a line feed, as a line of its own.
  template <class Emit>
  void finish(Emit&& emit) {
    if (pending_.empty()) return;
    emit(shown(pending_));
    pending_.clear();
  }
  bool empty() const noexcept { return pending_.empty(); }
  void clear() noexcept { pending_.clear(); }

 private:
  static std::string_view shown(std::string_view line) noexcept;
  static std::size_t cutAt(std::string_view line) noexcept;

  Text pending_;
};

}  // namespace System::ProgressBar::detail
