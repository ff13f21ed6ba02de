// pbar: copies files or standard input to standard output with a progress
// bar on standard error, one bar per input on one display.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <System/ProgressBar.hpp>
#include <System/ProgressBar/Version.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "options.hpp"
#include "stream/fd_io.hpp"

namespace pb = System::ProgressBar;

namespace {

struct Input {
  std::string path;  // "-": standard input
  std::optional<std::int64_t> total;
};

std::string defaultFormat(bool named, bool known, bool lines) {
  std::string format = named ? "{prefix} " : "";
  if (lines) {
    format +=
        known ? "{bar} {counts} lines {rate} {eta:>5}" : "{spinner} {pos} lines {rate} {elapsed}";
  } else {
    format += known ? "{bar} {bytes} {byte_rate:>12} {eta:>5}"
                    : "{spinner} {bytes_done} {byte_rate} {elapsed}";
  }
  return format;
}

// Copies `in` to standard output counting lines; the same failures as copy.
void copyLines(int in, const pb::ProgressBar<>& bar) {
  const std::unique_ptr<char[]> buffer(new char[128 * 1024]);
  for (;;) {
    const ssize_t got = pb::detail::readSome(in, buffer.get(), 128 * 1024);
    if (got < 0) {
      throw pb::CopyError(pb::CopyError::End::Read, std::error_code(errno, std::generic_category()),
                          "reading failed");
    }
    if (got == 0) return;
    if (!pb::detail::writeAll(STDOUT_FILENO, buffer.get(), static_cast<std::size_t>(got))) {
      throw pb::CopyError(pb::CopyError::End::Write,
                          std::error_code(errno, std::generic_category()), "writing failed");
    }
    pb::incProgress(bar, std::count(buffer.get(), buffer.get() + got, '\n'));
  }
}

int run(const pbar::Options& options) {
  std::vector<Input> inputs;
  for (const std::string& path : options.files) inputs.push_back({path, std::nullopt});
  if (inputs.empty()) inputs.push_back({"-", std::nullopt});
  for (Input& input : inputs) {
    // A regular file's size is its total, standard input's too when it is one.
    struct stat st {};
    const int found =
        input.path == "-" ? ::fstat(STDIN_FILENO, &st) : ::stat(input.path.c_str(), &st);
    const bool regular = !options.lines && found == 0 && S_ISREG(st.st_mode);
    input.total = regular ? std::optional<std::int64_t>(st.st_size) : options.size;
  }

  // Every style first: a bad template ends the run before anything is drawn.
  std::vector<pb::Style<>> styles;
  for (const Input& input : inputs) {
    const std::string name = options.name ? *options.name : input.path == "-" ? "" : input.path;
    const std::string format =
        options.format ? *options.format
                       : defaultFormat(!name.empty(), input.total.has_value(), options.lines);
    pb::Style<> style =
        pb::styleFromTemplate(format, {.prefix = name, .unit = "lines", .bytes = !options.lines});
    // Lines of 80 columns where no terminal gives its width (a log gives
    // the bar its own).
    if (std::holds_alternative<pb::TerminalWidth>(style.styleWidth)) {
      style.styleWidth = pb::TerminalWidth{80};
    }
    styles.push_back(std::move(style));
  }

  pb::DisplayOptions displayOptions{.alignColumns = inputs.size() > 1};
  if (options.interval) {
    displayOptions.refreshRate = 1.0 / *options.interval;
    displayOptions.logInterval = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(*options.interval));
  }
  pb::Display display(displayOptions);
  std::vector<pb::ProgressBar<>> bars;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Input& input = inputs[i];
    const pb::Style<>& style = styles[i];
    bars.push_back(input.total ? display.add(style, *input.total)
                               : display.add(style, pb::Progress<>{0, 0}, pb::unknownTotal));
  }

  int status = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Input& input = inputs[i];
    const pb::ProgressBar<>& bar = bars[i];
    const bool standardInput = input.path == "-";
    const int in = standardInput ? STDIN_FILENO : ::open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string shown = standardInput ? "standard input" : input.path;
    // A pipe of 1 MiB rather than 64 KiB, so that a fast writer upstream is
    // not stopped while the copy lets its bytes gather.
    if (struct stat st{}; in >= 0 && ::fstat(in, &st) == 0 && S_ISFIFO(st.st_mode)) {
      ::fcntl(in, F_SETPIPE_SZ, 1 << 20);
    }
    if (in < 0) {
      display.printAbove("pbar: " + shown + ": " + std::strerror(errno));
      pb::abandon(bar);
      status = 1;
      continue;
    }
    try {
      if (options.lines) {
        copyLines(in, bar);
      } else {
        pb::copy(in, STDOUT_FILENO, bar);
      }
      pb::finish(bar);
    } catch (const pb::CopyError& e) {
      if (!standardInput) ::close(in);
      if (e.end() == pb::CopyError::End::Write && e.code().value() == EPIPE) {
        // The reader went away: end as a shell expects of a pipe's writer.
        display.end();
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
        return 141;
      }
      const std::string what = e.end() == pb::CopyError::End::Read ? shown : "standard output";
      display.printAbove("pbar: " + what + ": " + e.code().message());
      pb::abandon(bar);
      if (e.end() == pb::CopyError::End::Write) return 1;
      status = 1;
      continue;
    }
    if (!standardInput) ::close(in);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  pbar::Options options;
  try {
    options = pbar::parseOptions(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "pbar: %s\nTry 'pbar --help' for more information.\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(pbar::kHelp, stdout);
    return 0;
  }
  if (options.version) {
    std::fputs("pbar (System::ProgressBar) " PROGRESSBAR_VERSION "\n", stdout);
    return 0;
  }
  // A closed pipe is seen as EPIPE, so that the bars can end first.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(options);
  } catch (const std::invalid_argument& e) {  // a bad template
    std::fprintf(stderr, "pbar: --format: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\npbar: %s\n", e.what());
    return 1;
  }
}
