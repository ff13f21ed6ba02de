// The pipe tool's command line: what it was asked to do, and its help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pbar {

struct Options {
  std::vector<std::string> files;     // "-" is standard input; none: standard input
  std::optional<std::int64_t> size;   // --size
  bool lines = false;                 // --lines
  std::optional<std::string> name;    // --name
  std::optional<std::string> format;  // --format
  std::optional<double> interval;     // --interval, in seconds
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
