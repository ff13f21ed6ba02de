#include "options.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace pbar {

const char* const kHelp = R"(Usage: pbar [OPTION]... [FILE]...
Copy each FILE, or standard input, to standard output, with a progress bar
on standard error: bytes, rate and time left. With no FILE, or when FILE is
-, read standard input. Several files show one bar each.

  -s, --size SIZE        the total of an input whose size is not known (a
                         pipe): 1.5G, 300MiB, 10kB, 4096. K, M, G, T, P, E
                         (alone or with iB) are powers of 1024; kB, MB, GB,
                         TB, PB, EB powers of 1000. With --lines, lines.
  -l, --lines            count lines instead of bytes
  -N, --name NAME        the bar's name (default: the file's; none for
                         standard input)
  -F, --format TEMPLATE  the bar's line, as a template: literal text and keys
                         in braces, such as "{prefix} {bar:60} {bytes} {eta}";
                         the keys are those of styleFromTemplate in the
                         library's README
  -i, --interval SEC     the least time between two redraws on a terminal
                         (default 0.1), and between two lines of a bar in a
                         log (default 10)
  -h, --help             show this help and exit
  -V, --version          show the version and exit

On a terminal the bars are redrawn in place; otherwise each bar writes a
plain line when it starts, every interval while it changes, and when it
ends. When the reader of standard output goes away, pbar ends quietly, as
killed by SIGPIPE. Exit status: 0 when every input was copied, 1 when one
could not be read or the output could not be written, 2 for a bad command
line.
)";

std::optional<std::int64_t> parseSize(std::string_view text) {
  double value = 0;
  const char* const first = text.data();
  const char* const last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc{} || end == first || !(value >= 0)) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(last - end));
  constexpr std::string_view kPrefixes = "KMGTPE";
  double scale = 1;
  if (!unit.empty() && unit != "B") {
    const char p = unit[0] == 'k' ? 'K' : unit[0];
    const std::size_t power = kPrefixes.find(p);
    const std::string_view rest = unit.substr(1);
    if (power == std::string_view::npos) return std::nullopt;
    double base = 0;
    if (rest.empty() || rest == "iB" || rest == "i") base = 1024;
    if (rest == "B") base = 1000;
    if (base == 0) return std::nullopt;
    scale = std::pow(base, static_cast<double>(power + 1));
  }
  const double total = std::round(value * scale);
  if (!(total < 9.2e18)) return std::nullopt;
  return static_cast<std::int64_t>(total);
}

Options parseOptions(int argc, const char* const* argv) {
  Options options;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (onlyFiles || arg == "-" || !arg.starts_with('-')) {
      options.files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    // "--name=x" and "--name x" alike.
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (const std::size_t eq = arg.find('=');
        arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    const auto value = [&]() -> std::string_view {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= argc)
        throw std::invalid_argument("option " + std::string(name) + " needs a value");
      return argv[++i];
    };
    if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "-V" || name == "--version") {
      options.version = true;
    } else if (name == "-l" || name == "--lines") {
      options.lines = true;
    } else if (name == "-s" || name == "--size") {
      const std::string_view text = value();
      options.size = parseSize(text);
      if (!options.size) throw std::invalid_argument("not a size: '" + std::string(text) + "'");
    } else if (name == "-N" || name == "--name") {
      options.name = std::string(value());
    } else if (name == "-F" || name == "--format") {
      options.format = std::string(value());
    } else if (name == "-i" || name == "--interval") {
      const std::string text(value());
      char* end = nullptr;
      const double seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
        throw std::invalid_argument("not an interval in seconds: '" + text + "'");
      }
      options.interval = seconds;
    } else {
      throw std::invalid_argument("unknown option " + std::string(name));
    }
  }
  return options;
}

}  // namespace pbar
