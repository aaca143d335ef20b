// The command channel over real TCP against the simulated instrument on loopback.
#include "link/socket_channel.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qvx::SocketChannel;
using qvx::sim::Fault;
using qvx::sim::kIdentification;

template <typename F>
std::chrono::milliseconds TimeOf(F&& action) {
  const auto start = Clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::string Receive(SocketChannel& channel, int timeout_ms = 1000) {
  std::array<char, 2048> buffer{};
  const int n = channel.ReceiveWithTimeout(buffer.data(), static_cast<unsigned>(buffer.size()), timeout_ms);
  return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}

// --- Without a connection -------------------------------------------------------------

TEST(SocketChannelUnconnected, StartsWithoutSocketAndFailsAtOnce) {
  SocketChannel channel;
  EXPECT_EQ(channel.Handle(), -1);
  EXPECT_EQ(channel.Address(), "192.168.1.21");
  channel.SendCommand(":MATH1:DISPlay ON");  // goes nowhere, silently
  std::array<char, 16> buffer{};
  std::string reply;
  const auto elapsed = TimeOf([&] {
    EXPECT_EQ(channel.ReceiveWithTimeout(buffer.data(), 16, 5000), -1);
    reply = channel.QueryInstrument("*IDN?");
  });
  EXPECT_EQ(reply, "TIMEOUT");
  EXPECT_LT(elapsed, 500ms) << "no socket must not wait for the reply time-out";
}

TEST(SocketChannelUnconnected, AddressOfAnyLengthIsKept) {
  SocketChannel channel;
  const std::string long_address(300, '1');
  channel.SetAddress(long_address);
  EXPECT_EQ(channel.Address(), long_address);
  EXPECT_EQ(channel.ConnectInstrument(), 0);
  EXPECT_EQ(channel.Handle(), -1);
}

// --- Connecting -------------------------------------------------------------------------

class SocketChannelConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = qvx::test::StartSimulatorOnLoopback();
    ASSERT_NE(sim_, nullptr);
    channel_.SetAddress(sim_->Address());
  }
  std::unique_ptr<qvx::sim::Simulator> sim_;
  SocketChannel channel_;
};

TEST_F(SocketChannelConnect, NonDottedAddressesFailWithoutTraffic) {
  const std::string good = sim_->Address();
  for (const std::string& bad : {std::string("localhost"), good + " ", " " + good, std::string("127.1"),
                                std::string(""), good + std::string(1, '\0') + "x", good + ":5555"}) {
    channel_.SetAddress(bad);
    EXPECT_EQ(channel_.ConnectInstrument(), 0) << "address \"" << bad << "\"";
    EXPECT_EQ(channel_.Handle(), -1);
  }
  // Connections are accepted in order: had any bad address reached the simulator,
  // this good one would not be the first.
  channel_.SetAddress(good);
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  ASSERT_TRUE(sim_->WaitForAcceptedConnections(1, 5s));
  EXPECT_EQ(sim_->AcceptedConnections(), 1u);
}

TEST_F(SocketChannelConnect, RefusedConnectionFailsQuicklyAndLeavesNoSocket) {
  sim_->SetFault(Fault::RefuseConnections);
  int result = -1;
  const auto elapsed = TimeOf([&] { result = channel_.ConnectInstrument(); });
  EXPECT_EQ(result, 0);
  EXPECT_LT(elapsed, 2000ms) << "a refusal must not wait for the connect time-out";
  EXPECT_EQ(channel_.Handle(), -1);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "TIMEOUT");

  sim_->SetFault(Fault::None);
  EXPECT_EQ(channel_.ConnectInstrument(), 1);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
}

TEST(SocketChannelConnectBound, UnansweredConnectGivesUpAfterItsTimeout) {
  auto listener = qvx::test::UnansweredListener::Start();
  ASSERT_NE(listener, nullptr);
  SocketChannel channel;
  channel.SetAddress(listener->Address());
  channel.SetConnectTimeoutMs(300);
  int result = -1;
  const auto elapsed = TimeOf([&] { result = channel.ConnectInstrument(); });
  EXPECT_EQ(result, 0);
  EXPECT_GE(elapsed, 250ms);
  EXPECT_LT(elapsed, 3000ms);
  EXPECT_EQ(channel.Handle(), -1);
}

TEST_F(SocketChannelConnect, SecondConnectReplacesAndClosesTheFirst) {
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  const int first = channel_.Handle();
  EXPECT_GE(first, 0);
  ASSERT_TRUE(sim_->WaitForAcceptedConnections(1, 5s));
  ASSERT_EQ(channel_.ConnectInstrument(), 1);
  ASSERT_TRUE(sim_->WaitForAcceptedConnections(2, 5s));
  EXPECT_TRUE(sim_->WaitForOpenConnections(1, 5s)) << "the superseded connection stays open";
  EXPECT_FALSE(sim_->ConnectionOpen(1));

  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
  const auto commands = sim_->Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].connection, 2);
}

TEST_F(SocketChannelConnect, DestructorClosesTheConnection) {
  {
    SocketChannel channel;
    channel.SetAddress(sim_->Address());
    ASSERT_EQ(channel.ConnectInstrument(), 1);
    ASSERT_TRUE(sim_->WaitForOpenConnections(1, 5s));
  }
  EXPECT_TRUE(sim_->WaitForOpenConnections(0, 5s));
}

// --- Commands and queries on a connection ------------------------------------------------

class SocketChannelQuery : public SocketChannelConnect {
 protected:
  void SetUp() override {
    SocketChannelConnect::SetUp();
    ASSERT_EQ(channel_.ConnectInstrument(), 1);
    ASSERT_TRUE(sim_->WaitForAcceptedConnections(1, 5s));
  }
  void SetFaults(const std::function<void(qvx::sim::FaultSettings&)>& change) {
    auto faults = sim_->Faults();
    change(faults);
    sim_->SetFaults(faults);
  }
};

TEST_F(SocketChannelQuery, CommandsLeaveWithOneLineFeedEach) {
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\n");
  channel_.SendCommand(":WAV:SOUR MATH1");
  channel_.SendCommand(":MATH1:FFT:FREQuency:STARt ");
  ASSERT_TRUE(sim_->WaitForCommandCount(3, 5s));
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\n:WAV:SOUR MATH1\n:MATH1:FFT:FREQuency:STARt \n");
  EXPECT_EQ(sim_->State().wav_source, "MATH1");
}

TEST_F(SocketChannelQuery, ReplyIsTrimmedOfCrLfAndLeadingBlanks) {
  SetFaults([](auto& f) {
    f.reply_prefix = " \t  ";
    f.reply_terminator = "\r\n";
  });
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), kIdentification);
  EXPECT_EQ(channel_.QueryInstrument(":ACQuire:MDEPth?"), "1000000");
}

TEST_F(SocketChannelQuery, NulByteEndsTheReply) {
  sim_->SetFault(Fault::NulReply);
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "QVX71-SIM,QVX71");
}

TEST_F(SocketChannelQuery, OverlongReplyGivesFirst1023BytesAndTheRestStaysQueued) {
  SetFaults([](auto& f) {
    f.fault = Fault::LongReply;
    f.long_reply_chars = 1500;
  });
  const std::string first = channel_.QueryInstrument("*IDN?");
  ASSERT_EQ(first.size(), 1023u);
  EXPECT_EQ(first.rfind(kIdentification, 0), 0u);
  const std::string rest = Receive(channel_);
  EXPECT_EQ(rest.size(), 1500u - 1023u + 1u);
  EXPECT_EQ(rest.back(), '\n');
  EXPECT_EQ(rest.find('\n'), rest.size() - 1);
}

TEST_F(SocketChannelQuery, ReplyInTwoPiecesYieldsOnlyThePieceThatArrived) {
  SetFaults([](auto& f) {
    f.fault = Fault::SplitReply;
    f.split_ms = 300;
  });
  const std::string whole = std::string(kIdentification) + "\n";
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), whole.substr(0, whole.size() / 2));
  EXPECT_EQ(Receive(channel_), whole.substr(whole.size() / 2));
}

TEST_F(SocketChannelQuery, SilentInstrumentTimesOutAfterAboutOneSecond) {
  sim_->SetFault(Fault::Silent);
  std::string reply;
  const auto elapsed = TimeOf([&] { reply = channel_.QueryInstrument("*IDN?"); });
  EXPECT_EQ(reply, "TIMEOUT");
  EXPECT_GE(elapsed, 950ms);
  EXPECT_LT(elapsed, 3000ms);
}

TEST_F(SocketChannelQuery, LateAnswerIsReturnedByTheNextQuery) {
  SetFaults([](auto& f) {
    f.fault = Fault::LateReply;
    f.late_ms = 1300;
  });
  EXPECT_EQ(channel_.QueryInstrument("*IDN?"), "TIMEOUT");
  EXPECT_EQ(channel_.QueryInstrument(":ACQuire:MDEPth?"), kIdentification);
  EXPECT_EQ(Receive(channel_, 2000), "1000000\n") << "the second query's own answer follows";
}

TEST_F(SocketChannelQuery, InstrumentClosingGivesTimeoutAndSendsNeverRaiseSigpipe) {
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
