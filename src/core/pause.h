#pragma once
// Blocking pauses on the window's thread. Unit tests may replace the sleeper;
// end-to-end tests keep the real one and measure the pauses at the simulator.
#include <atomic>
#include <functional>

namespace qvx {

using PauseFunction = std::function<void(int milliseconds)>;

void Pause(int milliseconds);

// Installs a replacement sleeper; an empty function restores the real one.
// Returns the previous one.
PauseFunction SetPauseFunction(PauseFunction replacement);

// While one lives, the real pauses of its thread end early once `cancel` is set, so a
// measurement on a worker thread stops within a tenth of a second of a set-up's pauses.
class CancellablePauses {
 public:
  explicit CancellablePauses(const std::atomic<bool>* cancel);
  ~CancellablePauses();
  CancellablePauses(const CancellablePauses&) = delete;
  CancellablePauses& operator=(const CancellablePauses&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

}  // namespace qvx
