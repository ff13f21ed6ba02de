// What a display's output is: a terminal or not, and whether it takes colour.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "System/ProgressBar/Display.hpp"

namespace System::ProgressBar::detail {
namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

bool equals(const char* name, const char* text) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, text) == 0;
}

DisplayOutput outputOn(std::ostream& stream, int fd) {
  // A terminal that cannot move the cursor is written to as a log.
  const bool terminal = isTerminal(fd) && !equals("TERM", "dumb");
  return DisplayOutput{&stream, fd, terminal, 80, 0};
}

}  // namespace

bool isTerminal(int fd) noexcept { return fd >= 0 && ::isatty(fd) == 1; }

bool colourWanted(bool terminal, std::optional<bool> forced) noexcept {
  if (forced) return *forced;
  if (set("CLICOLOR_FORCE") && !equals("CLICOLOR_FORCE", "0")) return true;
  return terminal && !set("NO_COLOR") && !equals("TERM", "dumb");
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

Display::Display() : Display(DisplayOptions{}) {}

Display::Display(const DisplayOptions& options) : Display(std::cerr, STDERR_FILENO, options) {}

Display::Display(std::ostream& stream, int fd, const DisplayOptions& options)
    : refreshRate_(options.refreshRate) {
  const detail::DisplayOutput output = detail::outputOn(stream, fd);
  core_ = std::make_shared<detail::DisplayCore>(
      output, options, detail::colourWanted(output.terminal, options.colour));
}

Display::Display(std::ostream& stream, AsTerminal terminal, const DisplayOptions& options)
    : core_(std::make_shared<detail::DisplayCore>(
          detail::DisplayOutput{&stream, -1, true, terminal.columns, terminal.rows}, options,
          detail::colourWanted(true, options.colour))),
      refreshRate_(options.refreshRate) {}

Display::Display(std::ostream& stream, AsLog, const DisplayOptions& options)
    : core_(std::make_shared<detail::DisplayCore>(detail::DisplayOutput{&stream, -1, false, 80, 0},
                                                  options,
                                                  detail::colourWanted(false, options.colour))),
      refreshRate_(options.refreshRate) {}

Display::~Display() {
  try {
    core_->end();
  } catch (...) {  // the final frame could not be written; end() reports it
  }
}

void Display::printAbove(std::string_view text) { core_->printAbove(text); }
void Display::end() { core_->end(); }
bool Display::isTerminal() const noexcept { return core_->isTerminal(); }
bool Display::colour() const noexcept { return core_->colour(); }
void Display::setColumns(std::int64_t columns) noexcept { core_->setColumns(columns); }
void Display::redraw() { core_->tick(); }

detail::RowId Display::rowOf(const detail::BarSink* sink) const {
  if (const std::optional<std::uint64_t> row = sink->rowIn(core_.get())) return *row;
  throw std::invalid_argument("Display::addBelow: the parent is not a bar of this display");
}

}  // namespace System::ProgressBar
