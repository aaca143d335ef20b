// The "Set Param" sequence and the single-parameter edits.
#include "setup/fft_setup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/errors.h"
#include "setup/parameter_edits.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Texts go out exactly as stored, numbers in the general form.
TEST(RunFftSetup, SendsTheStepsInOrderWithFourPauses) {
  FakeChannel ch;
  ch.ReplyTo(":SYSTem:ERRor?", "0,\"No error\"");
  test::RecordedPauses pauses(ch);
  test::LogLines log;
  WorkingState s;
  s.Startf = 2.5e-5;
  s.Endf = 1234567.125;
  s.FftScale = 1e-8;
  s.FftOffset = -7e-8;
  s.Ch1Scale = " 2e-4 ";
  RunFftSetup(ch, s, "007", log.Sink());
  EXPECT_THAT(ch.sent,
              ElementsAre(":MATH1:DISPlay ON", ":MATH1:FFT:SOURce CHANnel1", ":MATH1:OPERator FFT",
                          ":MATH1:FFT:WINDow HANNing", ":MATH1:FFT:AVCNt 007", "<pause 500>",
                          ":MATH1:FFT:FREQuency:STARt 2.5E-5", ":MATH1:FFT:FREQuency:END 1234567.125", "<pause 500>",
                          ":MATH1:FFT:UNIT VRMS", ":MATH1:FFT:SCALe 1E-8", ":MATH1:FFT:OFFSet -7E-8",
                          ":CHANnel1:SCALe  2e-4 ", ":CHANnel1:PROBe 1", "<pause 500>", ":CHANnel1:IMPedance FIFTy",
                          ":TIMebase:MAIN:SCALe ", "<pause 500>", ":ACQuire:MDEPth 1M", ":SYSTem:ERRor?"));
  EXPECT_THAT(log.lines, ElementsAre("Initalyze FFT Parameter", "0,\"No error\""));
}

TEST(NumericKeyFilter, OnlyDigitsPointAndBackspacePass) {
  const std::string allowed = "0123456789.\b";
  for (int code = 0; code < 256; ++code) {
    char key = static_cast<char>(code);
    NumericKeyFilter(key);
    const bool passes = code != 0 && allowed.find(static_cast<char>(code)) != std::string::npos;
    EXPECT_EQ(key, passes ? static_cast<char>(code) : '\0') << "code " << code;
  }
}

TEST(FrequencyEnter, SendsTheTextAsTypedAndStoresItsValue) {
  FakeChannel ch;
  double target = 5;
  int selected = 0;
  FrequencyEnter(ch, kStartFrequencyCommand, "01500.50", target, [&] { ++selected; });
  EXPECT_THAT(ch.sent, ElementsAre(":MATH1:FFT:FREQuency:STARt 01500.50"));
  EXPECT_EQ(target, 1500.5);
  EXPECT_EQ(selected, 1);
}

TEST(AverageEnter, TextThatIsNoIntegerIsRefusedBeforeAnythingIsSent) {
  for (const char* text : {"1.5", "", "99999999999"}) {
    FakeChannel ch;
    int selected = 0;
    EXPECT_THROW(AverageEnter(ch, text, [&] { ++selected; }), EConvertError) << text;
    EXPECT_THAT(ch.sent, IsEmpty()) << text;
    EXPECT_EQ(selected, 0) << text;
  }
}

}  // namespace
}  // namespace qvx
