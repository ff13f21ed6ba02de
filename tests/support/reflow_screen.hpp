// A terminal that re-wraps its lines when it is resized, as tmux, VTE,
// kitty, iTerm2 and most terminals in use do: xterm.js, headless, in a node
// process of its own (tests/tools/xterm_screen.js). libvterm re-wraps only
// from 0.3, newer than the one Debian 12 ships.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/screen.hpp"

extern char** environ;

namespace testsupport {

class ReflowScreen final : public Terminal {
 public:
  // Whether xterm.js can be run here (node, and the module where the build
  // put it); CI insists that it can.
  static bool available() {
    const char* modules = std::getenv("XTERM_MODULES");
    if (modules == nullptr) return false;
    const std::string probe =
        std::string("node -e \"require('") + modules + "/@xterm/headless')\" >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
  }

  ReflowScreen(int rows, int columns) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (const int fd : {in[0], in[1], out[0], out[1]})
      posix_spawn_file_actions_addclose(&actions, fd);
    std::string script = XTERM_SCREEN_SCRIPT;
    char node[] = "node";
    char* argv[] = {node, script.data(), nullptr};
    if (posix_spawnp(&pid_, "node", &actions, nullptr, argv, environ) != 0) {
      throw std::runtime_error("node cannot be started");
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_ = ::fdopen(in[1], "w");
    from_ = ::fdopen(out[0], "r");
    resize(rows, columns);
  }
  ReflowScreen(const ReflowScreen&) = delete;
  ReflowScreen& operator=(const ReflowScreen&) = delete;
  ~ReflowScreen() override {
    std::fclose(to_);
    std::fclose(from_);
    ::waitpid(pid_, nullptr, 0);
  }

  void feed(std::string_view bytes) override { ask("feed " + base64(bytes)); }
  void resize(int rows, int columns) override {
    rows_ = rows;
    ask("size " + std::to_string(rows) + " " + std::to_string(columns));
  }
  std::vector<std::string> lines() const override {
    std::vector<std::string> all = look().lines;
    while (!all.empty() && all.back().empty()) all.pop_back();
    return all;
  }
  std::vector<std::string> visible() const override {
    const Look now = look();
    return {now.lines.begin() + now.top, now.lines.end()};
  }
  int cursorRow() const override { return look().cursorRow; }

 private:
  struct Look {
    std::vector<std::string> lines;
    int cursorRow = 0, top = 0;
  };

  std::string ask(const std::string& command) const {
    std::fputs((command + "\n").c_str(), to_);
    std::fflush(to_);
    return readLine();
  }
  std::string readLine() const {
    std::string line;
    for (int c; (c = std::fgetc(from_)) != EOF && c != '\n';) line.push_back(static_cast<char>(c));
    return line;
  }
  // "look" answers with a header "count cursorRow top", then the lines.
  Look look() const {
    Look now;
    int count = 0;
    if (std::sscanf(ask("look").c_str(), "%d %d %d", &count, &now.cursorRow, &now.top) != 3) {
      throw std::runtime_error("xterm_screen.js gave no look");
    }
    for (int i = 0; i < count; ++i) now.lines.push_back(trimmed(readLine()));
    return now;
  }
  static std::string trimmed(std::string s) {
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  static std::string base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
      if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
      if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
      out += kDigits[(v >> 18) & 63];
      out += kDigits[(v >> 12) & 63];
      out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
      out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
  }

  pid_t pid_ = -1;
  std::FILE* to_ = nullptr;
  std::FILE* from_ = nullptr;
  int rows_ = 0;
};

}  // namespace testsupport
