// System::ProgressBar: a one-line terminal progress bar, thread-safe and
// throttled, with composable labels.
//
//   #include <System/ProgressBar.hpp>
//   namespace pb = System::ProgressBar;
//
//   pb::Style<> style = pb::defStyle();
//   style.stylePrefix = pb::elapsedTime(pb::renderDuration);
//   auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 1000});
//   for (int i = 0; i < 1000; ++i) {
//     work(i);
//     pb::incProgress(bar, 1);   // redrawn at most 10 times a second
//   }                            // the completing update is always drawn
//
// Records and the live bar: ProgressBar/Progress.hpp, ProgressBar/Bar.hpp.
// Styles and the renderer: ProgressBar/Style.hpp. Labels: ProgressBar/Label.hpp.
// Loops that advance a bar: ProgressBar/Track.hpp.
#pragma once

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/Track.hpp"
