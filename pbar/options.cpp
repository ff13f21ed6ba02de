#include "options.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace pbar {

const char* const kHelp = R"(Usage: pbar [OPTION]... [FILE]...
Copy each FILE, or standard input, to standard output, with a progress bar
on standard error: bytes, rate and time left. With no FILE, or when FILE is
-, read standard input. Several files show one bar each.

  -s, --size SIZE        the total of an input whose size is not known (a
                         pipe): 1.5G, 300MiB, 10kB, 4096. K, M, G, T, P, E
                         (alone or with iB) are powers of 1024; kB, MB, GB,
                         TB, PB, EB powers of 1000. With --lines, lines. An
                         input that turns out larger ends showing its count.
  -l, --lines            count lines instead of bytes
  -N, --name NAME        the bar's name (default: the file's; none for
                         standard input)
  -F, --format TEMPLATE  the bar's line, as a template: literal text and keys
                         in braces, such as "{prefix} {bar:60} {bytes} {eta}";
                         the keys are those of styleFromTemplate in the
                         library's README
  -i, --interval SEC     the least time between two redraws on a terminal
                         (default 0.1), and between two lines of a bar in a
                         log (default 10); 0.001 to 86400
  -q, --quiet            show nothing but errors
  -n, --numeric          instead of a bar, write the whole percentage done
                         (the count, when the total is not known) on a line
                         of its own every interval and at the end
  -L, --rate-limit RATE  copy at most RATE bytes (lines) a second; RATE as
                         SIZE
  -S, --stop-at-size     stop after --size bytes (lines), as head -c does
  -D, --delay-start SEC  show nothing until SEC seconds have passed (0 to
                         86400): a copy that ends sooner shows nothing
  -W, --wait             show nothing until the first byte has come, and
                         time the copy from it
  -w, --width COLUMNS    the width of the line (default: the terminal's, or
                         80 in a log); 1 to 10000
  -H, --height ROWS      the rows of the terminal (default: its own): a bar
                         on a row scrolled off its top is not redrawn; 1 to
                         10000
  -c, --cursor           accepted for pv's sake: on a terminal every pbar of
                         a pipeline keeps a row of its own anyway
  -f, --force            accepted for pv's sake: pbar writes its lines to a
                         log too
  -h, --help             show this help and exit
  -V, --version          show the version and exit

On a terminal the bars are redrawn in place, and several pbars of one
pipeline (pbar a.tar | gzip | pbar -N gz > a.tgz) each keep a row of their
own; otherwise each bar writes a plain line when it starts, every interval
while it changes, and when it ends. When the reader of standard output goes
away, pbar ends quietly, as killed by SIGPIPE. Started by a program that
shares its display with its children (PROGRESSBAR_REPORT_FD set), pbar
reports its bars to that display instead of drawing them; PROGRESSBAR_HIDE
set to anything but 0 hides them, as -q does. Exit status: 0 when every
input was copied, 1 when one could not be read or the output could not be
written, 2 for a bad command line.
)";

std::optional<std::int64_t> parseSize(std::string_view text) {
  // A plain count is taken exactly, up to the largest (2^63 - 1).
  if (std::int64_t count = 0; !text.empty()) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error == std::errc{} && end == text.data() + text.size()) {
      return count >= 0 ? std::optional(count) : std::nullopt;
    }
  }
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
  if (!(total < 0x1p63)) return std::nullopt;
  return static_cast<std::int64_t>(total);
}

namespace {

[[noreturn]] void bad(std::string_view what, std::string_view text) {
  throw std::invalid_argument(std::string(what) + ": '" + std::string(text) + "'");
}

// Seconds from `low` to `high`, written as a plain decimal number.
double parseSeconds(std::string_view text, double low, double high, std::string_view what) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
      !(seconds >= low && seconds <= high)) {
    bad(what, text);
  }
  return seconds;
}

std::int64_t parseColumns(std::string_view text, std::string_view what) {
  std::int64_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || n < 1 ||
      n > kMaxColumns) {
    bad(what, text);
  }
  return n;
}

struct LongOption {
  std::string_view name;
  bool takesValue;
};
constexpr LongOption kLongOptions[] = {
    {"--size", true},          {"--lines", false},      {"--line-mode", false},
    {"--name", true},          {"--format", true},      {"--interval", true},
    {"--quiet", false},        {"--numeric", false},    {"--rate-limit", true},
    {"--stop-at-size", false}, {"--delay-start", true}, {"--wait", false},
    {"--width", true},         {"--height", true},      {"--cursor", false},
    {"--force", false},        {"--help", false},       {"--version", false},
};

// The long option `name` names, as getopt_long reads it: itself, or the one
// option it is the start of (`--nam` for `--name`); nullptr for none.
const LongOption* longOption(std::string_view name) {
  const LongOption* found = nullptr;
  for (const LongOption& option : kLongOptions) {
    if (option.name == name) return &option;
    if (option.name.starts_with(name)) {
      if (found != nullptr)
        throw std::invalid_argument("option " + std::string(name) + " is ambiguous");
      found = &option;
    }
  }
  return found;
}

// The arguments with short options apart, as getopt reads them: "-qL1M" is
// "-q", "-L", "1M"; "-s10M" is "-s", "10M"; a long option in full.
std::vector<std::string> splitShortOptions(int argc, const char* const* argv) {
  constexpr std::string_view kTakeValue = "sNFiLDwH";
  std::vector<std::string> args;
  bool onlyFiles = false;
  bool isValue = false;  // the argument is the value of the option before it
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool option = !onlyFiles && !isValue && arg.size() >= 2 && arg[0] == '-';
    isValue = false;
    if (option && arg == "--") {
      onlyFiles = true;
      args.emplace_back(arg);
      continue;
    }
    if (!option) {
      args.emplace_back(arg);
      continue;
    }
    if (arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      const LongOption* const named = longOption(arg.substr(0, eq));
      const std::string_view rest = eq == std::string_view::npos ? "" : arg.substr(eq);
      args.push_back(
          (named != nullptr ? std::string(named->name) : std::string(arg.substr(0, eq))) +
          std::string(rest));
      isValue = named != nullptr && named->takesValue && eq == std::string_view::npos;
      continue;
    }
    for (std::size_t at = 1; at < arg.size(); ++at) {
      args.push_back(std::string{'-', arg[at]});
      if (kTakeValue.find(arg[at]) != std::string_view::npos) {
        if (at + 1 < arg.size()) {
          args.emplace_back(arg.substr(at + 1));
        } else {
          isValue = true;
        }
        break;
      }
    }
  }
  return args;
}

}  // namespace

Options parseOptions(int argc, const char* const* argv) {
  Options options;
  const std::vector<std::string> args = splitShortOptions(argc, argv);
  bool onlyFiles = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
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
      if (i + 1 >= args.size())
        throw std::invalid_argument("option " + std::string(name) + " needs a value");
      return args[++i];
    };
    const auto is = [&](std::string_view shortName, std::string_view longName) {
      return name == shortName || name == longName;
    };
    const auto flag = [&](std::string_view shortName, std::string_view longName) {
      if (!is(shortName, longName)) return false;
      if (inlineValue) {
        throw std::invalid_argument("option " + std::string(longName) + " takes no value");
      }
      return true;
    };
    if (flag("-h", "--help")) {
      options.help = true;
    } else if (flag("-V", "--version")) {
      options.version = true;
    } else if (flag("-l", "--lines") || flag("-l", "--line-mode")) {
      options.lines = true;
    } else if (is("-s", "--size")) {
      const std::string_view text = value();
      options.size = parseSize(text);
      if (!options.size) bad("not a size", text);
    } else if (is("-N", "--name")) {
      options.name = std::string(value());
    } else if (is("-F", "--format")) {
      options.format = std::string(value());
    } else if (is("-i", "--interval")) {
      options.interval =
          parseSeconds(value(), kMinInterval, kMaxSeconds, "not an interval in seconds");
    } else if (flag("-q", "--quiet")) {
      options.quiet = true;
    } else if (flag("-n", "--numeric")) {
      options.numeric = true;
    } else if (is("-L", "--rate-limit")) {
      const std::string_view text = value();
      options.rateLimit = parseSize(text);
      if (!options.rateLimit || *options.rateLimit < 1) bad("not a rate", text);
    } else if (flag("-S", "--stop-at-size")) {
      options.stopAtSize = true;
    } else if (is("-D", "--delay-start")) {
      options.delay = parseSeconds(value(), 0, kMaxSeconds, "not a delay in seconds");
    } else if (flag("-W", "--wait")) {
      options.wait = true;
    } else if (is("-w", "--width")) {
      options.width = parseColumns(value(), "not a width in columns");
    } else if (is("-H", "--height")) {
      options.height = parseColumns(value(), "not a height in rows");
    } else if (flag("-c", "--cursor") || flag("-f", "--force")) {
      // What pbar does anyway.
    } else {
      throw std::invalid_argument("unknown option " + std::string(name));
    }
  }
  if (options.stopAtSize && !options.size) {
    throw std::invalid_argument("--stop-at-size needs --size");
  }
  return options;
}

}  // namespace pbar
