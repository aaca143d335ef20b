// The simulator keeps its memory bounded against clients that flood it or hang up, and keeps
// answering. (The full-size check is tests/stress/run-sim-stress.)
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "simulator.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::sim::kIdentification;

class SimBounds : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = qvx::test::StartSimulatorOnLoopback();
    ASSERT_NE(sim_, nullptr);
  }

  bool WaitForKeptConnections(std::size_t n) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (sim_->KeptConnections() != n) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::unique_ptr<qvx::sim::Simulator> sim_;
};

TEST_F(SimBounds, DroppedConnectionsLeaveNothingBehind) {
  const std::string mebibyte(1 << 20, 'x');
  constexpr std::size_t kClients = 50;
  std::vector<qvx::test::RawClient> clients(kClients);
  for (auto& client : clients) ASSERT_TRUE(client.Connect(sim_->Address()));  // a burst, all at once
  for (auto& client : clients) {
    ASSERT_TRUE(client.Send(mebibyte));
    client.Close();
  }
  ASSERT_TRUE(sim_->WaitForAcceptedConnections(kClients, 20s));
  EXPECT_TRUE(WaitForKeptConnections(0)) << sim_->KeptConnections() << " connection records kept";
  EXPECT_TRUE(sim_->Lines().empty()) << "a line without its end is never taken";

  qvx::test::RawClient client;
  ASSERT_TRUE(client.Connect(sim_->Address()));
  EXPECT_EQ(client.Query("*IDN?"), kIdentification);
  EXPECT_EQ(sim_->KeptConnections(), 1u);
}

TEST_F(SimBounds, ALineOverSixtyFourKibibytesIsDroppedUnansweredAndTheNextIsAnswered) {
  qvx::test::RawClient client;
  ASSERT_TRUE(client.Connect(sim_->Address()));
  // {bytes before the LF, answered}
  const std::pair<std::size_t, bool> cases[] = {{65536, true}, {65537, false}, {200000, false}};
  for (const auto& [size, answered] : cases) {
    std::string line = "*IDN?";
    line.resize(size, ' ');
    ASSERT_TRUE(client.SendLine(line));
    ASSERT_TRUE(client.SendLine(":ACQ:MDEP?"));
    if (answered) {
      EXPECT_EQ(client.ReadLine(), kIdentification) << size;
    }
    EXPECT_EQ(client.ReadLine(), "1000000") << size;
  }
}

TEST_F(SimBounds, TheCommandRecordIsARingBoundedInBytes) {
  qvx::test::RawClient client;
  ASSERT_TRUE(client.Connect(sim_->Address()));
  const std::string long_line = ":NOSuch " + std::string(60000, 'y');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(client.SendLine(long_line));
  EXPECT_EQ(client.Query("*IDN?"), kIdentification);
  const auto lines = sim_->Lines();
  const std::size_t bytes = std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                                            [](std::size_t sum, const std::string& l) { return sum + l.size(); });
  EXPECT_LE(bytes, 4u << 20);
  EXPECT_LT(lines.size(), 100u);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "*IDN?") << "the newest lines are kept";
}

}  // namespace
