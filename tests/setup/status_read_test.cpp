#include "setup/status_read.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/errors.h"
#include "setup/rbw.h"
#include "setup_test_support.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using test::LogLines;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kError = ":SYSTem:ERRor?";

// An instrument that answers every status query, with odd texts for the dropped ones.
void AnswerAll(FakeChannel& ch) {
  ch.ReplyTo(kError, "-113,\"Undefined header\"")
      .ReplyTo(kWaveSourceQuery, "CHAN1")
      .ReplyTo(kStartFrequencyQuery, "1.000000E+03")
      .ReplyTo(kEndFrequencyQuery, "5.000000E+04")
      .ReplyTo(kFftScaleQuery, "1.000000E-08")
      .ReplyTo(kFftOffsetQuery, "-7.000000E-08")
      .ReplyTo(kTimebaseScaleQuery, "1.000000E-02")
      .ReplyTo(kMemoryDepthQuery, "1000000")
      .ReplyTo(kSampleRateQuery, "1.000000E+07");
}

WorkingState Previous() {
  WorkingState s;
  s.Startf = 11;
  s.Endf = 22;
  s.FftScale = 33;
  s.FftOffset = 44;
  s.Fs = 55;
  s.Rbw = 66;
  s.TDiv = "0.5";
  return s;
}

TEST(ReadStatus, SendsAndQueriesInOrderAndFillsAllFields) {
  FakeChannel ch;
  AnswerAll(ch);
  WorkingState s = Previous();
  LogLines log;
  ReadStatus(ch, s, log.Sink());
  EXPECT_THAT(ch.sent, ElementsAre(":WAV:SOUR MATH1", ":WAV:MODE NORMal", kError, ":WAV:SOUR?", kError,
                                   ":MATH1:FFT:FREQuency:STARt?", ":MATH1:FFT:FREQuency:END?",
                                   ":MATH1:FFT:SCALe?", ":MATH1:FFT:OFFSet?", ":TIMebase:MAIN:SCALe?",
                                   ":ACQuire:MDEPth?", ":ACQuire:SRATe?"));
  EXPECT_EQ(s.Startf, 1000);
  EXPECT_EQ(s.Endf, 50000);
  EXPECT_EQ(s.FftScale, 1e-8);
  EXPECT_EQ(s.FftOffset, -7e-8);
  EXPECT_EQ(s.Fs, 1e7);
  EXPECT_EQ(s.Rbw, 9.5367431640625);
  EXPECT_THAT(log.lines, ElementsAre("FFT Pts: 1048576", "Calc RBW: 9.537Hz"));
  EXPECT_EQ(ch.PendingPieces(), 0u);  // every reply was read by its own query
}

TEST(ReadStatus, DroppedRepliesNeverMatter) {
  FakeChannel ch;
  AnswerAll(ch);
  ch.ReplyTo(kError, "TIMEOUT").ReplyTo(kWaveSourceQuery, "garbage \x01\xFF");
  WorkingState s;
  EXPECT_NO_THROW(ReadStatus(ch, s, {}));
  EXPECT_EQ(s.Endf, 50000);
}

TEST(ReadStatusFailure, NoConnectionChangesNothing) {
  FakeChannel ch;  // every query times out
  WorkingState s = Previous();
  LogLines log;
  EXPECT_THROW(ReadStatus(ch, s, log.Sink()), EConvertError);
  EXPECT_EQ(s.Startf, 11);
  EXPECT_EQ(s.Endf, 22);
  EXPECT_EQ(s.Rbw, 66);
  EXPECT_THAT(log.lines, IsEmpty());
  EXPECT_EQ(ch.sent.back(), ":MATH1:FFT:FREQuency:STARt?");
}

TEST(ReadStatusFailure, FieldsBeforeTheFailingStepKeepTheirNewValues) {
  const char* queries[] = {kStartFrequencyQuery, kEndFrequencyQuery, kFftScaleQuery, kFftOffsetQuery,
                           kTimebaseScaleQuery};
  for (int failing = 0; failing < 5; ++failing) {
    SCOPED_TRACE(queries[failing]);
    FakeChannel ch;
    AnswerAll(ch);
    ch.ReplyTo(queries[failing], "1.0E");
    WorkingState s = Previous();
    LogLines log;
    EXPECT_THROW(ReadStatus(ch, s, log.Sink()), EConvertError);
    EXPECT_EQ(s.Startf, failing > 0 ? 1000 : 11);
    EXPECT_EQ(s.Endf, failing > 1 ? 50000 : 22);
    EXPECT_EQ(s.FftScale, failing > 2 ? 1e-8 : 33);
    EXPECT_EQ(s.FftOffset, failing > 3 ? -7e-8 : 44);
    EXPECT_EQ(s.Fs, 55);
    EXPECT_EQ(s.Rbw, 66);
    EXPECT_THAT(log.lines, IsEmpty());
    EXPECT_EQ(ch.sent.back(), queries[failing]);
  }
}

TEST(ReadStatusFailure, StartAnsweredButEndSilent) {
  FakeChannel ch;
  ch.ReplyTo(kStartFrequencyQuery, "250");
  WorkingState s = Previous();
  EXPECT_THROW(ReadStatus(ch, s, {}), EConvertError);
  EXPECT_EQ(s.Startf, 250);
  EXPECT_EQ(s.Endf, 22);
  EXPECT_EQ(s.FftScale, 33);
  EXPECT_EQ(s.FftOffset, 44);
}

TEST(LogStatusLines, GeneralNumberForm) {
  WorkingState s;
  s.Startf = 0;
  s.Endf = 100000;
  s.FftScale = 1e-8;
  s.FftOffset = -7e-8;
  LogLines log;
  LogStatusLines(s, log.Sink());
  EXPECT_THAT(log.lines, ElementsAre("startf 0", "endf 100000", "Y Scale 1E-8", "Y offset -7E-8"));
}

}  // namespace
}  // namespace qvx
