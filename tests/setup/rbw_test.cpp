#include "setup/rbw.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "core/errors.h"
#include "setup_test_support.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using test::LogLines;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(FftPointCount, NextPowerOfTwoNotBelowTheSampleCount) {
  EXPECT_EQ(FftPointCount(1'000'000), 1'048'576);
  EXPECT_EQ(FftPointCount(1'048'576), 1'048'576);
  EXPECT_EQ(FftPointCount(1'048'577), 2'097'152);
  EXPECT_EQ(FftPointCount(2.0000001), 4);
  EXPECT_EQ(FftPointCount(10'000'000), 16'777'216);
}

TEST(FftPointCount, NeverBelowTwo) {
  EXPECT_EQ(FftPointCount(2), 2);
  EXPECT_EQ(FftPointCount(1.5), 2);
  EXPECT_EQ(FftPointCount(0), 2);
  EXPECT_EQ(FftPointCount(-1e9), 2);
  EXPECT_EQ(FftPointCount(std::numeric_limits<double>::quiet_NaN()), 2);
}

TEST(FftPointCount, EndsForHugeCounts) {
  EXPECT_EQ(FftPointCount(std::numeric_limits<double>::infinity()), std::numeric_limits<double>::infinity());
  EXPECT_EQ(FftPointCount(1e300), 0x1p997);
}

FakeChannel& Answer(FakeChannel& ch, const std::string& tdiv, const std::string& depth, const std::string& srate) {
  return ch.ReplyTo(kTimebaseScaleQuery, tdiv).ReplyTo(kMemoryDepthQuery, depth).ReplyTo(kSampleRateQuery, srate);
}

TEST(CalcRbw, TenMillisecondsPerDivisionAtTenMegasamples) {
  FakeChannel ch;
  Answer(ch, "1.000000E-02", "1000000", "1.000000E+07");
  WorkingState s;
  LogLines log;
  EXPECT_EQ(CalcRbw(ch, s, log.Sink()), 9.5367431640625);
  EXPECT_EQ(s.Rbw, 9.5367431640625);
  EXPECT_EQ(s.Fs, 1e7);
  EXPECT_EQ(s.TDiv, "0.01");  // the general form, not the reply
  EXPECT_THAT(log.lines, ElementsAre("FFT Pts: 1048576", "Calc RBW: 9.537Hz"));
  EXPECT_THAT(ch.sent, ElementsAre(kTimebaseScaleQuery, kMemoryDepthQuery, kSampleRateQuery));
}

TEST(CalcRbw, OneMillisecondPerDivisionAtOneGigasample) {
  FakeChannel ch;
  Answer(ch, "0.001", "1.0E7", "1000000000");
  WorkingState s;
  LogLines log;
  CalcRbw(ch, s, log.Sink());
  EXPECT_THAT(log.lines, ElementsAre("FFT Pts: 16777216", "Calc RBW: 59.605Hz"));
}

TEST(CalcRbw, ZeroSampleRateGivesZeroBandwidth) {
  FakeChannel ch;
  Answer(ch, "0.01", "0", "0");
  WorkingState s;
  s.Rbw = 3;
  LogLines log;
  EXPECT_EQ(CalcRbw(ch, s, log.Sink()), 0);
  EXPECT_EQ(ComputeRbw(0.01, 0), 0);
  EXPECT_EQ(ComputeRbw(-0.01, 1000), 500);
  EXPECT_THAT(log.lines, ElementsAre("FFT Pts: 2", "Calc RBW: 0.000Hz"));
}

WorkingState Previous() {
  WorkingState s;
  s.TDiv = "0.5";
  s.Fs = 123;
  s.Rbw = 7;
  return s;
}

TEST(CalcRbwFailure, AbbreviatedMemoryDepthStopsBeforeSampleRate) {
  FakeChannel ch;
  Answer(ch, "2.000000E-03", "1M", "1.0E7");
  WorkingState s = Previous();
  LogLines log;
  EXPECT_THROW(CalcRbw(ch, s, log.Sink()), EConvertError);
  EXPECT_EQ(s.TDiv, "0.002");
  EXPECT_EQ(s.Fs, 123);
  EXPECT_EQ(s.Rbw, 7);
  EXPECT_THAT(log.lines, IsEmpty());
  EXPECT_THAT(ch.sent, ElementsAre(kTimebaseScaleQuery, kMemoryDepthQuery));
}

TEST(CalcRbwFailure, TimeoutOnAnyQueryLeavesRbwAndLogUntouched) {
  for (int silent = 0; silent < 3; ++silent) {
    SCOPED_TRACE(silent);
    FakeChannel ch;
    if (silent != 0) ch.ReplyTo(kTimebaseScaleQuery, "0.01");
    if (silent != 1) ch.ReplyTo(kMemoryDepthQuery, "1000000");
    if (silent != 2) ch.ReplyTo(kSampleRateQuery, "1E7");
    WorkingState s = Previous();
    LogLines log;
    try {
      CalcRbw(ch, s, log.Sink());
      ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("TIMEOUT"));
    }
    EXPECT_EQ(s.Rbw, 7);
    EXPECT_EQ(s.Fs, 123);
    EXPECT_EQ(s.TDiv, silent == 0 ? "0.5" : "0.01");
    EXPECT_THAT(log.lines, IsEmpty());
  }
}

}  // namespace
}  // namespace qvx
