// A measurement's worker must stop within a second even in the middle of a set-up pause.
#include "core/pause.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace qvx {
namespace {

TEST(CancellablePauses, ASetFlagEndsThePausesOfItsThreadOnly) {
  std::atomic<bool> cancel{false};
  auto worker = std::async(std::launch::async, [&] {
    const CancellablePauses pauses(&cancel);
    Pause(600000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  cancel.store(true);
  EXPECT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "a ten-minute pause outlived its cancel";

  // Another thread's pause is not cut short by it.
  const auto started = std::chrono::steady_clock::now();
  Pause(200);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
}

}  // namespace
}  // namespace qvx
