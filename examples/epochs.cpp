// Recipe: a training loop. One bar for the epochs, one for the batches of
// the current epoch, started over each epoch, with the loss as its message.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace pb = System::ProgressBar;

// Stands for one training step; returns the loss.
double trainOn(int epoch, int batch) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return 2.0 / (1 + epoch * 100 + batch) + 0.05;
}

int main() {
  constexpr int kEpochs = 3, kBatches = 200;
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  const auto epochs =
      display.add(pb::Style<>{.stylePrefix = "epoch", .stylePostfix = pb::exact()}, kEpochs);
  const auto batches = display.add(
      pb::Style<>{.stylePrefix = "batch", .stylePostfix = pb::exact() + " " + pb::message()},
      kBatches);
  for (int epoch = 0; epoch < kEpochs; ++epoch) {
    if (epoch > 0) pb::reset(batches);
    for (int batch = 0; batch < kBatches; ++batch) {
      const double loss = trainOn(epoch, batch);
      char text[32];
      std::snprintf(text, sizeof text, "loss %.3f", loss);
      pb::setMessage(batches, text);
      pb::incProgress(batches, 1);
    }
    pb::incProgress(epochs, 1);
  }
}
