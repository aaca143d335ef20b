// The simulator's fault modes, checked at the byte level.
#include <gtest/gtest.h>

#include "sim_test_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::sim::Fault;
using qvx::sim::kIdentification;

using SimFault = qvx::test::SimClientTest;

TEST_F(SimFault, SilentAnswersNothingButStillTakesCommands) {
  sim_->SetFault(Fault::Silent);
  client_.SendLine("*IDN?");
  client_.SendLine(":MATH1:FFT:AVCNt 8");
  EXPECT_EQ(client_.ReadFor(300ms), "");
  ASSERT_TRUE(sim_->WaitForCommandCount(2, 5s));
  EXPECT_EQ(sim_->State().avcnt, 8);
  sim_->SetFault(Fault::None);
  EXPECT_EQ(Ask("*IDN?"), kIdentification);
}

TEST_F(SimFault, SilentQueryLeavesOnlyThatQueryUnansweredInAnySpelling) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::SilentQuery;
    f.silent_query = ":MATH1:FFT:FREQuency:END?";
  });
  EXPECT_DOUBLE_EQ(AskNumber(":MATH1:FFT:FREQuency:STARt?"), 0.0);
  client_.SendLine(":math1:fft:freq:end?");
  EXPECT_EQ(client_.ReadFor(300ms), "");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "0,\"No error\"");
}

TEST_F(SimFault, LateReplyKeepsRecordingLinesOnTime) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::LateReply;
    f.late_ms = 300;
  });
  client_.SendLine("*IDN?");
  client_.SendLine(":WAV:SOUR MATH1");
  ASSERT_EQ(client_.ReadLine(), kIdentification);
  const auto arrival = client_.LastArrival();
  const auto commands = sim_->Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_GE(arrival - commands[0].at, 280ms);
  EXPECT_LT(commands[1].at, arrival) << "a line sent during the delay is recorded when it comes";
}

TEST_F(SimFault, SplitReplyArrivesInTwoPieces) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::SplitReply;
    f.split_ms = 100;
  });
  const std::string whole = std::string(kIdentification) + "\n";
  client_.SendLine("*IDN?");
  EXPECT_EQ(client_.ReadSome(), whole.substr(0, whole.size() / 2));
  EXPECT_EQ(client_.ReadSome(), whole.substr(whole.size() / 2));
}

TEST_F(SimFault, LongAndNulIdentifications) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::LongReply;
    f.long_reply_chars = 1500;
  });
  const std::string longer = Ask("*IDN?");
  EXPECT_EQ(longer.size(), 1500u);
  EXPECT_EQ(longer.rfind(kIdentification, 0), 0u);
  sim_->SetFault(Fault::NulReply);
  const std::string with_nul = Ask("*IDN?");
  EXPECT_EQ(with_nul, std::string("QVX71-SIM,QVX71\0,SIM00001,1.0.0", 31));
}

TEST_F(SimFault, ZeroBlockAndHeaderSplit) {
  sim_->SetFault(Fault::ZeroBlock);
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(12), "#9000000000\n");

  ChangeFaults([](auto& f) {
    f.fault = Fault::HeaderSplit;
    f.split_ms = 100;
  });
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadSome(), "#");
  EXPECT_EQ(client_.ReadBytes(10), "9000001000");
  EXPECT_TRUE(client_.ReadBytes(1001).has_value());
  EXPECT_EQ(client_.ReadFor(100ms), "");
}

TEST_F(SimFault, TruncatedBlockClosesAfterPartOfTheData) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::TruncatedBlock;
    f.partial_bytes = 300;
  });
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(11), "#9000001000");
  EXPECT_EQ(client_.ReadFor(300ms).size(), 300u);
  EXPECT_TRUE(client_.WaitForClose());
  EXPECT_TRUE(sim_->WaitForOpenConnections(0, 5s));
}

TEST_F(SimFault, StalledBlockStaysOpenAndSilentUntilStop) {
  ChangeFaults([](auto& f) {
    f.fault = Fault::StalledBlock;
    f.partial_bytes = 300;
  });
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(11), "#9000001000");
  EXPECT_EQ(client_.ReadFor(300ms).size(), 300u);
  sim_->SetFault(Fault::None);
  client_.SendLine("*IDN?");
  EXPECT_EQ(client_.ReadFor(300ms), "") << "a stalled connection answers nothing more";
  EXPECT_TRUE(sim_->ConnectionOpen(1));
  sim_->Stop();
  EXPECT_TRUE(client_.WaitForClose());
}

TEST_F(SimFault, HugeAnnouncementSendsLittleThenStallsOrCloses) {
  sim_->SetFault(Fault::HugeAnnounce);
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(11), "#9999999999");
  EXPECT_EQ(client_.ReadFor(300ms).size(), 2000u);
  EXPECT_TRUE(sim_->ConnectionOpen(1));

  ChangeFaults([](auto& f) { f.huge_then_close = true; });
  qvx::test::RawClient second;
  ASSERT_TRUE(second.Connect(sim_->Address()));
  second.SendLine(":WAV:DATA?");
  EXPECT_EQ(second.ReadBytes(11), "#9999999999");
  EXPECT_TRUE(second.ReadBytes(2000).has_value());
  EXPECT_TRUE(second.WaitForClose());
}

TEST_F(SimFault, MemoryDepthInAbbreviatedForm) {
  sim_->SetFault(Fault::MdepthAbbrev);
  EXPECT_EQ(Ask(":ACQuire:MDEPth?"), "1M");
  client_.SendLine(":ACQuire:MDEPth 100k");
  EXPECT_EQ(Ask(":ACQuire:MDEPth?"), "100k");
}

TEST_F(SimFault, CloseOnQueryIgnoresPlainCommands) {
  sim_->SetFault(Fault::CloseOnQuery);
  client_.SendLine(":MATH1:DISPlay ON");
  ASSERT_TRUE(sim_->WaitForCommandCount(1, 5s));
  EXPECT_TRUE(sim_->ConnectionOpen(1));
  client_.SendLine("*IDN?");
  EXPECT_TRUE(client_.WaitForClose());
  EXPECT_TRUE(sim_->State().math_display);
}

TEST_F(SimFault, RefusedConnectionsUntilCleared) {
  sim_->SetFault(Fault::RefuseConnections);
  EXPECT_FALSE(sim_->Listening());
  qvx::test::RawClient other;
  EXPECT_FALSE(other.Connect(sim_->Address()));
  EXPECT_EQ(Ask("*IDN?"), kIdentification) << "an existing connection is still served";
  sim_->SetFault(Fault::None);
  EXPECT_TRUE(sim_->Listening());
  ASSERT_TRUE(other.Connect(sim_->Address()));
  EXPECT_EQ(other.Query("*IDN?"), kIdentification);
}

TEST(SimFaultNames, EveryFaultHasAName) {
  for (Fault fault : qvx::sim::AllFaults()) {
    EXPECT_EQ(qvx::sim::FaultFromName(qvx::sim::FaultName(fault)), fault);
  }
  EXPECT_FALSE(qvx::sim::FaultFromName("bogus").has_value());
}

}  // namespace
