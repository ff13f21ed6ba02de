// A caller's functions that share a name with the library's must not replace
// them: a custom type's namespace full of such functions changes nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"

namespace app {

struct Job {
  int id = 0;
};

// Generic functions that match anything: argument-dependent lookup finds them
// for every call that has a Job in its arguments. Each would abort.
#define APP_POISON(name)   \
  template <class... Args> \
  int name(Args&&...) {    \
    std::abort();          \
  }
APP_POISON(renderProgressBar)
APP_POISON(drawProgressBar)
APP_POISON(renderParts)
APP_POISON(activeEscapes)
APP_POISON(widthOf)
APP_POISON(layoutLine)
APP_POISON(appendLabelText)
APP_POISON(nodeOf)
APP_POISON(collectHalfLives)
APP_POISON(makeNode)
APP_POISON(makeRef)
APP_POISON(isComplete)
APP_POISON(makeBar)
APP_POISON(resolveWidth)
APP_POISON(timingLabel)
APP_POISON(estimateLabel)
APP_POISON(recentLabel)
APP_POISON(paddedLabel)
APP_POISON(padLeft)
APP_POISON(padRight)
APP_POISON(fieldLabel)
APP_POISON(fieldsLabel)
APP_POISON(countLabel)
APP_POISON(concatLabels)
APP_POISON(sconcat)
APP_POISON(appendLabel)
APP_POISON(msg)
APP_POISON(fromString)
APP_POISON(emptyLabel)
APP_POISON(stimes)
APP_POISON(finish)
APP_POISON(setTotal)
APP_POISON(hNewProgressBar)
APP_POISON(newProgressBar)
APP_POISON(incProgress)
APP_POISON(updateProgress)
APP_POISON(printAbove)
APP_POISON(track)
APP_POISON(drawLine)
APP_POISON(streamSink)
APP_POISON(readWallClock)
APP_POISON(readCoarseClock)
#undef APP_POISON

}  // namespace app

namespace pb = System::ProgressBar;

namespace {

TEST(Lookup, ACustomTypesNamespaceNeverReplacesTheLibrarysFunctions) {
  std::ostringstream out;
  pb::Style<app::Job> s{
      .stylePrefix = pb::elapsedTime<app::Job>(pb::humanDuration),
      .stylePostfix = pb::sconcat(pb::exact<app::Job>(),
                                  {pb::concatLabels<app::Job>(
                                      {" ", pb::padLeft(4, pb::percentage<app::Job>()), " "})}) +
                      pb::recentRate<app::Job>("jobs/s", "--") + " " + pb::bytes<app::Job>(),
      .styleWidth = pb::ConstantWidth{60}};
  s.styleEscapeDone = [](const pb::Progress<app::Job>&) { return std::string(); };
  const auto bar = pb::hNewProgressBar(out, s, 10.0, pb::Progress<app::Job>{0, 4, {7}});
  pb::incProgress(bar, 1);
  pb::updateProgress(bar, [](const pb::Progress<app::Job>& p) {
    return pb::Progress<app::Job>{p.progressDone + 1, p.progressTodo, p.progressCustom};
  });
  pb::printAbove(bar, "log");
  const std::vector<int> items = {1, 2};
  for (const int item : pb::track(bar, items)) (void)item;
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 4);
  pb::finish(bar);
  pb::Display display(out, pb::AsLog{});
  const auto row = display.add(s, pb::Progress<app::Job>{0, 2, {1}});
  pb::setTotal(row, 1);
  EXPECT_NE(out.str().find("4/4 100%"), std::string::npos) << out.str();
  EXPECT_EQ(pb::renderProgressBar(s, pb::Progress<app::Job>{2, 4, {1}}, pb::Timing{}).size(), 60u);
  const pb::Style<app::Job> fromTemplate =
      pb::styleFromTemplate<app::Job>("{prefix:8} {bar:30} {percent:>5}", {.prefix = "job"});
  EXPECT_EQ(pb::renderProgressBar(fromTemplate, pb::Progress<app::Job>{1, 4, {1}}, pb::Timing{}),
            "job      [===>.........]   25%");
}

}  // namespace
