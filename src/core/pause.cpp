#include "core/pause.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace qvx {
namespace {
PauseFunction& CurrentPause() {
  static PauseFunction pause;
  return pause;
}
thread_local const std::atomic<bool>* t_cancel = nullptr;
}  // namespace

void Pause(int milliseconds) {
  if (auto& pause = CurrentPause()) {
    pause(milliseconds);
    return;
  }
  if (milliseconds <= 0) return;
  if (!t_cancel) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!t_cancel->load()) {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
  }
}

CancellablePauses::CancellablePauses(const std::atomic<bool>* cancel) : previous_(std::exchange(t_cancel, cancel)) {}
CancellablePauses::~CancellablePauses() { t_cancel = previous_; }

PauseFunction SetPauseFunction(PauseFunction replacement) {
  return std::exchange(CurrentPause(), std::move(replacement));
}

}  // namespace qvx
