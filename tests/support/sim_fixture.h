#pragma once
// Servers for tests on a loopback address of their own, so test processes running side by
// side can all use port 5555.
#include <memory>
#include <string>

#include "simulator.h"
#include "support/raw_client.h"

namespace qvx::test {

// Starts a simulator on a free 127.0.0.N:5555 (N in 2..250); the listen address in opts is
// replaced, Address() tells the one chosen. Null when no address was free.
std::unique_ptr<qvx::sim::Simulator> StartSimulatorOnLoopback(qvx::sim::SimOptions opts = {});

// A listener on a free 127.0.0.N:5555 that never accepts. Its one-place backlog is held by
// `filler`, so further connects are neither accepted nor refused until the caller gives up.
struct UnansweredListener {
  static std::unique_ptr<UnansweredListener> Start();
  ~UnansweredListener();
  int fd = -1;
  RawClient filler;
  std::string address;
};

}  // namespace qvx::test
