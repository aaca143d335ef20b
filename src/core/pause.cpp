#include "core/pause.h"

#include <chrono>
#include <thread>
#include <utility>

namespace qvx {
namespace {
PauseFunction& CurrentPause() {
  static PauseFunction pause;
  return pause;
}
}  // namespace

void Pause(int milliseconds) {
  if (auto& pause = CurrentPause()) {
    pause(milliseconds);
    return;
  }
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

PauseFunction SetPauseFunction(PauseFunction replacement) {
  return std::exchange(CurrentPause(), std::move(replacement));
}

}  // namespace qvx
