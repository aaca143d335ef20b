#pragma once
// Starting the simulated instrument for tests on a loopback address of its own, so test
// processes running side by side can all use port 5555.
#include <memory>
#include <string>

#include "simulator.h"

namespace qvx::test {

// Starts a simulator on a free 127.0.0.N:5555 (N in 2..250, first tried from the process id
// and a per-process counter; the next N when the bind fails). The listen address in opts
// is replaced; Address() tells the one chosen. Null when no address was free.
std::unique_ptr<qvx::sim::Simulator> StartSimulatorOnLoopback(qvx::sim::SimOptions opts = {});

// A listener on a free 127.0.0.N:5555 that never accepts. Its backlog is filled by one
// connection of its own, so further connection attempts are neither accepted nor refused:
// they hang until the connecting side gives up.
class UnansweredListener {
 public:
  static std::unique_ptr<UnansweredListener> Start();
  ~UnansweredListener();
  UnansweredListener(const UnansweredListener&) = delete;
  UnansweredListener& operator=(const UnansweredListener&) = delete;
  const std::string& Address() const { return address_; }

 private:
  UnansweredListener() = default;
  int listen_fd_ = -1;
  int filler_fd_ = -1;
  std::string address_;
};

}  // namespace qvx::test
