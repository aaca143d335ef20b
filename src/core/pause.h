#pragma once
// Blocking pauses on the window's thread. Unit tests may replace the sleeper;
// end-to-end tests keep the real one and measure the pauses at the simulator.
#include <functional>

namespace qvx {

using PauseFunction = std::function<void(int milliseconds)>;

void Pause(int milliseconds);

// Installs a replacement sleeper; an empty function restores the real one.
// Returns the previous one.
PauseFunction SetPauseFunction(PauseFunction replacement);

}  // namespace qvx
