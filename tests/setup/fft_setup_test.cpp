#include "setup/fft_setup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "setup_test_support.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using test::LogLines;
using test::RecordedPauses;
using ::testing::ElementsAre;

// The state after a start without a settings file.
WorkingState Defaults() {
  WorkingState s;
  s.Startf = 0;
  s.Endf = 100000;
  s.FftScale = 1e-8;
  s.FftOffset = -7e-8;
  s.Ch1Scale = "0.0002";
  s.TDiv = "0.01";
  return s;
}

TEST(RunFftSetup, DefaultValuesGoOutInOrderWithFourPauses) {
  FakeChannel ch;
  ch.ReplyTo(":SYSTem:ERRor?", "0,\"No error\"");
  RecordedPauses pauses(ch);
  LogLines log;
  RunFftSetup(ch, Defaults(), "32", log.Sink());
  EXPECT_THAT(ch.sent, ElementsAre(":MATH1:DISPlay ON", ":MATH1:FFT:SOURce CHANnel1", ":MATH1:OPERator FFT",
                                   ":MATH1:FFT:WINDow HANNing", ":MATH1:FFT:AVCNt 32", "<pause 500>",
                                   ":MATH1:FFT:FREQuency:STARt 0", ":MATH1:FFT:FREQuency:END 100000",
                                   "<pause 500>", ":MATH1:FFT:UNIT VRMS", ":MATH1:FFT:SCALe 1E-8",
                                   ":MATH1:FFT:OFFSet -7E-8", ":CHANnel1:SCALe 0.0002", ":CHANnel1:PROBe 1",
                                   "<pause 500>", ":CHANnel1:IMPedance FIFTy", ":TIMebase:MAIN:SCALe 0.01",
                                   "<pause 500>", ":ACQuire:MDEPth 1M", ":SYSTem:ERRor?"));
  EXPECT_THAT(log.lines, ElementsAre("Initalyze FFT Parameter", "0,\"No error\""));
}

TEST(RunFftSetup, TextsGoOutUnchangedAndNumbersInGeneralForm) {
  FakeChannel ch;
  const PauseFunction previous = SetPauseFunction([](int) {});
  WorkingState s = Defaults();
  s.Startf = 2.5e-5;
  s.Endf = 1234567.125;
  s.Ch1Scale = " 2e-4 ";
  s.TDiv = "";
  RunFftSetup(ch, s, "", {});
  SetPauseFunction(previous);
  ASSERT_EQ(ch.sent.size(), 16u);
  EXPECT_EQ(ch.sent[4], ":MATH1:FFT:AVCNt ");
  EXPECT_EQ(ch.sent[5], ":MATH1:FFT:FREQuency:STARt 2.5E-5");
  EXPECT_EQ(ch.sent[6], ":MATH1:FFT:FREQuency:END 1234567.125");
  EXPECT_EQ(ch.sent[10], ":CHANnel1:SCALe  2e-4 ");
  EXPECT_EQ(ch.sent[13], ":TIMebase:MAIN:SCALe ");
}

TEST(RunFftSetup, SilentInstrumentLogsTimeoutAndStillSendsEverything) {
  FakeChannel ch;
  RecordedPauses pauses(ch);
  LogLines log;
  RunFftSetup(ch, Defaults(), "32", log.Sink());
  EXPECT_EQ(ch.sent.size(), 15u + 4u + 1u);
  EXPECT_THAT(log.lines, ElementsAre("Initalyze FFT Parameter", "TIMEOUT"));
}

}  // namespace
}  // namespace qvx
