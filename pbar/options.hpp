// The pipe tool's command line: what it was asked to do, and its help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pbar {

// The widest and the tallest terminal `--width` and `--height` may state.
inline constexpr std::int64_t kMaxColumns = 10'000;
// The longest `--interval` and `--delay-start`, in seconds: a day.
inline constexpr double kMaxSeconds = 86'400;
// The shortest `--interval`, in seconds.
inline constexpr double kMinInterval = 0.001;

struct Options {
  std::vector<std::string> files;         // "-" is standard input; none: standard input
  std::optional<std::int64_t> size;       // --size
  bool lines = false;                     // --lines
  std::optional<std::string> name;        // --name
  std::optional<std::string> format;      // --format
  std::optional<double> interval;         // --interval, in seconds
  bool quiet = false;                     // --quiet: no bar, no numbers
  bool numeric = false;                   // --numeric: percentages, one a line
  std::optional<std::int64_t> rateLimit;  // --rate-limit, bytes (lines) a second
  bool stopAtSize = false;                // --stop-at-size
  double delay = 0;                       // --delay-start, in seconds
  bool wait = false;                      // --wait: nothing shown before the first byte
  std::optional<std::int64_t> width;      // --width, columns
  std::optional<std::int64_t> height;     // --height, rows
  bool help = false;
  bool version = false;  // --version
};

// Throws std::invalid_argument with a message for the user.
Options parseOptions(int argc, const char* const* argv);
// "1.5G", "300MiB", "10kB", "4096": a count, with powers of 1024 (K, M, G, T,
// P, E, alone or with "iB") or of 1000 (kB, MB, GB, TB, PB, EB); nullopt if
// it is none or does not fit.
std::optional<std::int64_t> parseSize(std::string_view text);

extern const char* const kHelp;

}  // namespace pbar
