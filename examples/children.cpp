// A parent shares its display with the processes it starts: each child's
// bars show up as rows below the parent's bar. Here the children are this
// program started again (`children --child NAME STEPS`).
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;
namespace pb = System::ProgressBar;

// A child: an ordinary program with a display of its own.
int child(const char* name, int steps) {
  pb::Display display;  // reports to the parent, which draws it
  const auto bar = display.add(pb::Style<>{.stylePrefix = name}, steps);
  for (int i = 0; i < steps; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    pb::incProgress(bar, 1);
  }
  display.printAbove(std::string(name) + " done");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child") return child(argv[2], std::atoi(argv[3]));

  const std::vector<std::vector<std::string>> jobs = {{"children", "--child", "fetch", "10"},
                                                      {"children", "--child", "unpack", "20"}};
  pb::Display display;
  const auto all = display.add(pb::Style<>{.stylePrefix = "jobs"}, jobs.size());
  const pb::ChildProgress share(display, all);  // children started from now on report here
  std::vector<pid_t> started;
  for (auto job : jobs) {
    std::vector<char*> args;
    for (std::string& arg : job) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, args.data(), environ) == 0) {
      started.push_back(pid);
    }
  }
  for (const pid_t pid : started) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    pb::incProgress(all, 1);
  }
}
