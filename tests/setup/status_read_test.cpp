// The resolution bandwidth and the status read-back.
#include "setup/status_read.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <utility>

#include "core/errors.h"
#include "setup/rbw.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using test::LogLines;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(FftPointCount, SmallestPowerOfTwoNotBelowTheCountAndAtLeastTwo) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> cases[] = {{1'000'000, 1'048'576},
                                             {1'048'576, 1'048'576},
                                             {1'048'577, 2'097'152},
                                             {2.0000001, 4},
                                             {2, 2},
                                             {1.5, 2},
                                             {0, 2},
                                             {-1e9, 2},
                                             {std::numeric_limits<double>::quiet_NaN(), 2},
                                             {kInf, kInf},
                                             {1e300, 0x1p997}};  // huge counts must end too
  for (const auto& [in, out] : cases) EXPECT_EQ(FftPointCount(in), out) << in;
}

TEST(CalcRbw, WorkedExamplesAndAZeroSampleRate) {
  struct Case {
    const char *tdiv, *depth, *srate, *tdivStored;
    double rbw;
    const char *points, *line;
  };
  const Case cases[] = {
      {"1.000000E-02", "1000000", "1.000000E+07", "0.01", 9.5367431640625, "FFT Pts: 1048576", "Calc RBW: 9.537Hz"},
      {"0.001", "1.0E7", "1000000000", "0.001", 59.604644775390625, "FFT Pts: 16777216", "Calc RBW: 59.605Hz"},
      {"0.01", "0", "0", "0.01", 0, "FFT Pts: 2", "Calc RBW: 0.000Hz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tdiv);
    FakeChannel ch;
    ch.ReplyTo(kTimebaseScaleQuery, c.tdiv).ReplyTo(kMemoryDepthQuery, c.depth).ReplyTo(kSampleRateQuery, c.srate);
    WorkingState s;
    s.Rbw = 3;
    LogLines log;
    EXPECT_EQ(CalcRbw(ch, s, log.Sink()), c.rbw);
    EXPECT_EQ(s.Rbw, c.rbw);
    EXPECT_EQ(s.TDiv, c.tdivStored);
    EXPECT_THAT(log.lines, ElementsAre(c.points, c.line));
  }
}

TEST(CalcRbw, TimeoutOnAnyQueryLeavesRbwAndLogUntouched) {
  for (int silent = 0; silent < 3; ++silent) {
    SCOPED_TRACE(silent);
    FakeChannel ch;
    if (silent != 0) ch.ReplyTo(kTimebaseScaleQuery, "0.01");
    if (silent != 1) ch.ReplyTo(kMemoryDepthQuery, "1000000");
    if (silent != 2) ch.ReplyTo(kSampleRateQuery, "1E7");
    WorkingState s;
    s.TDiv = "0.5";
    s.Fs = 123;
    s.Rbw = 7;
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

// A reply that is no number stops the read at its step; the fields before it keep
// their new values. The replies of the error and source queries are read but dropped.
TEST(ReadStatus, FieldsUpToTheFirstBadReplyAreStored) {
  const char* steps[] = {kStartFrequencyQuery, kEndFrequencyQuery,  kFftScaleQuery,
                         kFftOffsetQuery,      kTimebaseScaleQuery, nullptr};
  for (int bad = 0; bad < 6; ++bad) {
    SCOPED_TRACE(bad);
    FakeChannel ch;
    ch.ReplyTo(":SYSTem:ERRor?", "TIMEOUT")
        .ReplyTo(kWaveSourceQuery, "garbage \x01\xFF")
        .ReplyTo(kStartFrequencyQuery, "1.000000E+03")
        .ReplyTo(kEndFrequencyQuery, "5.000000E+04")
        .ReplyTo(kFftScaleQuery, "1.000000E-08")
        .ReplyTo(kFftOffsetQuery, "-7.000000E-08")
        .ReplyTo(kTimebaseScaleQuery, "1.000000E-02")
        .ReplyTo(kMemoryDepthQuery, "1000000")
        .ReplyTo(kSampleRateQuery, "1.000000E+07");
    WorkingState s;
    s.Startf = 11;
    s.Endf = 22;
    s.FftScale = 33;
    s.FftOffset = 44;
    s.Fs = 55;
    s.Rbw = 66;
    LogLines log;
    if (steps[bad]) {
      ch.ReplyTo(steps[bad], "1.0E");
      EXPECT_THROW(ReadStatus(ch, s, log.Sink()), EConvertError);
      EXPECT_EQ(ch.sent.back(), steps[bad]);
      EXPECT_THAT(log.lines, IsEmpty());
    } else {
      ReadStatus(ch, s, log.Sink());
      EXPECT_THAT(ch.sent, ElementsAre(":WAV:SOUR MATH1", ":WAV:MODE NORMal", ":SYSTem:ERRor?", ":WAV:SOUR?",
                                       ":SYSTem:ERRor?", kStartFrequencyQuery, kEndFrequencyQuery, kFftScaleQuery,
                                       kFftOffsetQuery, kTimebaseScaleQuery, kMemoryDepthQuery, kSampleRateQuery));
      EXPECT_EQ(ch.Pending(), "");  // every reply was read by its own query
    }
    EXPECT_EQ(s.Startf, bad > 0 ? 1000 : 11);
    EXPECT_EQ(s.Endf, bad > 1 ? 50000 : 22);
    EXPECT_EQ(s.FftScale, bad > 2 ? 1e-8 : 33);
    EXPECT_EQ(s.FftOffset, bad > 3 ? -7e-8 : 44);
    EXPECT_EQ(s.Fs, bad > 4 ? 1e7 : 55);
    EXPECT_EQ(s.Rbw, bad > 4 ? 9.5367431640625 : 66);
  }
}

}  // namespace
}  // namespace qvx
