// System::ProgressBar: terminal progress bars, thread-safe and throttled, with
// composable labels; one bar on a stream, or several on one display.
//
//   #include <System/ProgressBar.hpp>
//   namespace pb = System::ProgressBar;
//
//   pb::Style<> style{.stylePrefix = pb::elapsedTime(pb::humanDuration)};
//   auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 1000});
//   for (int i = 0; i < 1000; ++i) {
//     work(i);
//     pb::incProgress(bar, 1);   // redrawn at most 10 times a second
//   }                            // the completing update is always drawn
//
// Records: ProgressBar/Progress.hpp, and a bar's recent speed: SpeedHistory.hpp.
// Styles and the renderer: Style.hpp; style presets: Template.hpp. Labels:
// Label.hpp, with the stock labels in Counts.hpp, Time.hpp, Rates.hpp,
// Bytes.hpp, Padding.hpp and Spinner.hpp. The live bar: Bar.hpp; loops that
// advance it: Track.hpp; its end: Finish.hpp; a steady tick: Tick.hpp.
// Several bars on one output, and output that is not a terminal: Display.hpp.
// The version, as macros: Version.hpp.
#pragma once

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Bytes.hpp"
#include "System/ProgressBar/Children.hpp"
#include "System/ProgressBar/Counts.hpp"
#include "System/ProgressBar/Display.hpp"
#include "System/ProgressBar/Finish.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Padding.hpp"
#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Rates.hpp"
#include "System/ProgressBar/Redirect.hpp"
#include "System/ProgressBar/SpeedHistory.hpp"
#include "System/ProgressBar/Spinner.hpp"
#include "System/ProgressBar/Stream.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/Template.hpp"
#include "System/ProgressBar/Tick.hpp"
#include "System/ProgressBar/Time.hpp"
#include "System/ProgressBar/Track.hpp"
#include "System/ProgressBar/Units.hpp"
#include "System/ProgressBar/Version.hpp"
