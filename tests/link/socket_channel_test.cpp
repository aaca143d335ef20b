// The command channel over real TCP against the simulated instrument on loopback.
#include "link/socket_channel.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <string>

#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::SocketChannel;
using qvx::sim::Fault;
using qvx::sim::kIdentification;

template <typename F>
std::chrono::milliseconds TimeOf(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

std::string Receive(SocketChannel& channel) {
  std::array<char, 2048> buffer{};
  const int n = channel.ReceiveWithTimeout(buffer.data(), static_cast<unsigned>(buffer.size()), 2000);
  return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}

TEST(SocketChannelUnconnected, QueriesFailAtOnceAndSendsGoNowhere) {
  SocketChannel channel;
  channel.SendCommand(":MATH1:DISPlay ON");
  std::string reply;
  const auto elapsed = TimeOf([&] { reply = channel.QueryInstrument("*IDN?"); });
  EXPECT_EQ(reply, "TIMEOUT");
  EXPECT_LT(elapsed, 500ms) << "no socket must not wait for the reply time-out";
}

TEST(SocketChannelUnconnected, UnansweredConnectGivesUpAfterItsTimeout) {
  auto listener = qvx::test::UnansweredListener::Start();
  ASSERT_NE(listener, nullptr);
  SocketChannel channel;
  channel.SetAddress(listener->address);
  channel.SetConnectTimeoutMs(300);
  int result = -1;
  const auto elapsed = TimeOf([&] { result = channel.ConnectInstrument(); });
  EXPECT_EQ(result, 0);
  EXPECT_GE(elapsed, 250ms);
  EXPECT_LT(elapsed, 3000ms);
  EXPECT_EQ(channel.Handle(), -1);
}

class SocketChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = qvx::test::StartSimulatorOnLoopback();
    ASSERT_NE(sim_, nullptr);
    channel_.SetAddress(sim_->Address());
  }
  std::unique_ptr<qvx::sim::Simulator> sim_;
  SocketChannel channel_;
};

TEST_F(SocketChannelTest, BadAddressesFailWithoutTrafficRefusalsAtOnceThenIdnLeavesAsSixBytes) {
  const std::string good = sim_->Address();
  const std::string bad_addresses[] = {"localhost", good + " ",        " " + good,     "127.1",
                                       "",          good + '\0' + "x", good + ":5555", std::string(300, '1')};
  for (const std::string& bad : bad_addresses) {
    channel_.SetAddress(bad);
    EXPECT_EQ(channel_.Address(), bad) << "kept as given, whatever its length";
    EXPECT_EQ(channel_.ConnectInstrument(), 0) << "address \"" << bad << "\"";
    EXPECT_EQ(channel_.Handle(), -1);
  }
  channel_.SetAddress(good);
  sim_->SetFault(Fault::RefuseConnections);
  int result = -1;
  const auto elapsed = TimeOf([&] { result = channel_.ConnectInstrument(); });
  EXPECT_EQ(result, 0);
  EXPECT_LT(elapsed, 2000ms) << "a refusal must not wait for the connect time-out";
  EXPECT_EQ(channel_.Handle(), -1);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "TIMEOUT");
  // Had any failed attempt reached the simulator, this one would not be connection 1.
  sim_->SetFault(Fault::None);
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
  EXPECT_EQ(sim_->AcceptedConnections(), 1u);
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\n");
}

TEST_F(SocketChannelTest, SecondConnectReplacesTheFirstAndTheDestructorClosesIt) {
  {
    SocketChannel channel;
    channel.SetAddress(sim_->Address());
    ASSERT_EQ(channel.ConnectInstrument(), 1);
    ASSERT_EQ(channel.ConnectInstrument(), 1);
    ASSERT_TRUE(sim_->WaitForAcceptedConnections(2, 5s));
    EXPECT_TRUE(sim_->WaitForOpenConnections(1, 5s)) << "the superseded connection stays open";
    EXPECT_FALSE(sim_->ConnectionOpen(1));
    EXPECT_EQ(channel.QueryInstrument("*IDN?"), kIdentification);
    EXPECT_EQ(sim_->RawBytes(1), "");
    EXPECT_EQ(sim_->RawBytes(2), "*IDN?\n");
  }
  EXPECT_TRUE(sim_->WaitForOpenConnections(0, 5s));
}

TEST_F(SocketChannelTest, RepliesAreTrimmedAndEndAtANulOrAfter1023Bytes) {
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  qvx::sim::FaultSettings faults;
  faults.reply_prefix = " \t  ";
  faults.reply_terminator = "\r\n";
  sim_->SetFaults(faults);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
  sim_->SetFault(Fault::NulReply);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "QVX71-SIM,QVX71");

  faults = {};
  faults.fault = Fault::LongReply;
  faults.long_reply_chars = 1500;
  sim_->SetFaults(faults);
  const std::string first = channel_.QueryInstrument("*IDN?");
  ASSERT_EQ(first.size(), 1023u);
  EXPECT_EQ(first.rfind(kIdentification, 0), 0u);
  const std::string rest = Receive(channel_);
  EXPECT_EQ(rest.size(), 1500u - 1023u + 1u);
  EXPECT_EQ(rest.find('\n'), rest.size() - 1);
}

TEST_F(SocketChannelTest, SilenceTimesOutAfterAboutOneSecondAndALateAnswerComesNext) {
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  sim_->SetFault(Fault::LateReply);  // each answer 1500 ms after its query
  std::string reply;
  const auto elapsed = TimeOf([&] { reply = channel_.QueryInstrument("*IDN?"); });
  EXPECT_EQ(reply, "TIMEOUT");
  EXPECT_GE(elapsed, 950ms);
  EXPECT_LT(elapsed, 3000ms);
  EXPECT_EQ(channel_.QueryInstrument(":ACQuire:MDEPth?"), kIdentification);
  EXPECT_EQ(Receive(channel_), "1000000\n") << "the second query's own answer follows";
}

TEST_F(SocketChannelTest, InstrumentClosingGivesTimeoutAndSendsNeverRaiseSigpipe) {
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  std::signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE would end this test process
  sim_->SetFault(Fault::CloseOnQuery);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "TIMEOUT");
  ASSERT_TRUE(sim_->WaitForOpenConnections(0, 5s));
  std::array<char, 16> buffer{};
  EXPECT_EQ(channel_.ReceiveWithTimeout(buffer.data(), 16, 1000), 0) << "0 tells that the peer closed";
  for (int i = 0; i < 20; ++i) channel_.SendCommand(":MATH1:DISPlay ON");
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "TIMEOUT");
}

}  // namespace
