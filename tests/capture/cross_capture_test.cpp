// Two channels over the channel, against the simulated instrument in-process.
#include "capture/cross_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "support/sim_channel.h"

namespace qvx {
namespace {

using test::SimChannel;

// A circuit behind two preamplifiers, each channel with its own front end.
sim::NoiseModel TwoPaths(double white_nv, double frontend_nv, double gain2 = 1.0) {
  sim::NoiseModel m;
  m.white_nv = white_nv;
  m.corner_hz = 0.0;
  m.tones.clear();
  m.frontend_nv = frontend_nv;
  m.gain2 = gain2;
  return m;
}

CrossPlan Plan(std::size_t records) {
  CrossLength length;
  length.records = records;
  return PlanCrossCapture(1000, 40000, length, 10);
}

CrossCaptureSettings Gains(double g1, double g2) {
  CrossCaptureSettings s;
  s.gain1 = g1;
  s.gain2 = g2;
  s.gains_given = true;
  return s;
}

TEST(CrossCapture, ReadsBothChannelsAtTheirOwnScalesAndTurnsChannelTwoOffAgain) {
  SimChannel ch(TwoPaths(50.0, 20.0, 10.0));
  const CrossPlan plan = Plan(4);
  ASSERT_TRUE(plan.error.empty()) << plan.error;
  const CrossCaptureOutcome out = RunCrossCapture(ch, plan, Gains(1.0, 10.0));
  ASSERT_FALSE(out.error) << out.error->what();
  ASSERT_TRUE(out.records);
  EXPECT_EQ(out.records->Records(), 4u);
  const NoiseSpectrum s = out.records->Spectrum(10, 1.0, 10.0, true, 1000, 40000);
  ASSERT_TRUE(s.cross);
  ASSERT_EQ(s.cross->channel2.size(), 4u);
  EXPECT_GT(s.cross->channel2[0].scale, 3 * s.records[0].ch1_scale) << "channel 2 sees ten times the circuit";
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    EXPECT_NEAR(s.cross_points[i].ch1_nv, std::hypot(50.0, 20.0), 0.1 * 54) << s.points[i].freq_hz;
    EXPECT_NEAR(s.cross_points[i].ch2_nv, std::hypot(50.0, 2.0), 0.1 * 50) << s.points[i].freq_hz;
  }
  EXPECT_EQ(ch.Count(":CHANnel2:DISPlay 1"), 1u);
  ASSERT_GE(ch.sent.size(), 3u);
  EXPECT_EQ(ch.sent[ch.sent.size() - 3], ":CHANnel2:DISPlay 0");
  EXPECT_EQ(ch.sent.back(), ":RUN");
  EXPECT_FALSE(ch.instrument.State().ch2_display);
}

// What was averaged before a failure is kept; the record cut short is not averaged, and
// channel 2 is off again.
TEST(CrossCapture, AFailureAfterARecordKeepsWhatWasAveraged) {
  SimChannel ch(TwoPaths(50.0, 20.0));
  int singles = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    singles += command == ":SINGle";
    // Ranging takes two records; the second record's second chunk never comes.
    if (singles == 4 && command == ":WAVeform:STARt 31251") ch.Close();
  };
  sim::FaultSettings small;
  small.max_read_points = 60000;  // reads of 31250 points, once halved
  ch.instrument.SetFaults(small);
  const CrossCaptureOutcome out = RunCrossCapture(ch, Plan(3), {});
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->kind(), ErrorKind::kInstrument);
  ASSERT_TRUE(out.records);
  EXPECT_EQ(out.records->Records(), 1u);
  EXPECT_EQ(ch.Count(":CHANnel2:DISPlay 0"), 1u);
  EXPECT_EQ(ch.sent.back(), ":RUN");
}

// A source that grows after ranging clips a record: it is taken again coarser, never averaged.
TEST(CrossCapture, AClippedRecordIsTakenAgainNotAveraged) {
  SimChannel ch(TwoPaths(2000.0, 200.0));
  int singles = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    if (command == ":SINGle" && ++singles == 3) ch.instrument.SetNoise(TwoPaths(6000.0, 600.0));
  };
  const CrossCaptureOutcome out = RunCrossCapture(ch, Plan(1), {});
  ASSERT_FALSE(out.error) << out.error->what();
  EXPECT_GT(singles, 3);
  ASSERT_TRUE(out.records);
  ASSERT_EQ(out.records->Records(), 1u);
  const NoiseSpectrum s = out.records->Spectrum(10, 1.0, 1.0, false, 1000, 40000);
  for (std::size_t i = 0; i < s.points.size(); ++i)
    EXPECT_NEAR(s.cross_points[i].ch1_nv, std::hypot(6000.0, 600.0), 0.15 * 6000) << s.points[i].freq_hz;
}

// Until resolved: a circuit far above the channels' own noise is resolved at once; one that
// is not there never is, and the time allowed ends it.
TEST(CrossCapture, UntilResolvedStopsWhenEveryPointIsResolvedOrTheTimeIsUp) {
  CrossLength length;
  length.until_resolved = true;
  length.max_seconds = 4.0;
  const CrossPlan plan = PlanCrossCapture(1000, 40000, length, 10);
  ASSERT_TRUE(plan.error.empty()) << plan.error;
  SimChannel loud(TwoPaths(200.0, 20.0));
  CrossCaptureOutcome out = RunCrossCapture(loud, plan, {});
  ASSERT_FALSE(out.error) << out.error->what();
  EXPECT_EQ(out.records->Records(), 1u);
  SimChannel none(TwoPaths(0.0, 20.0));
  const auto started = std::chrono::steady_clock::now();
  out = RunCrossCapture(none, plan, {});
  ASSERT_FALSE(out.error) << out.error->what();
  EXPECT_GT(out.records->Records(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_GT(out.records->Spectrum(10, 1, 1, false, 1000, 40000).cross->unresolved_points, 0);
}

// The record: the lowest rate that reaches F2 with both channels on, and at it the longest
// record that resolves F1 within a tenth of the recording.
TEST(CrossCapture, PlansTheLowestRateAndARecordThatResolvesF1) {
  struct Case {
    double f1, f2, seconds;
    std::size_t points;
    double fs, records;
  } cases[] = {
      {100, 100000, 60, 1000000, 500000, 30},
      {0.1, 1000, 100, 100000, 5000, 5},
      {1000, 40000, 5, 10000, 100000, 50},
  };
  for (const Case& c : cases) {
    CrossLength length;
    length.seconds = c.seconds;
    const CrossPlan plan = PlanCrossCapture(c.f1, c.f2, length, 10);
    ASSERT_TRUE(plan.error.empty()) << plan.error;
    EXPECT_EQ(plan.record.points, c.points) << c.f1;
    EXPECT_DOUBLE_EQ(plan.record.fs_hz, c.fs) << c.f1;
    EXPECT_EQ(plan.records, c.records) << c.f1;
    EXPECT_LT(plan.floor_at_f1_db, 0.0);
  }
  EXPECT_NE(PlanCrossCapture(10, 300e6, {}, 10).error.find("500 MHz"), std::string::npos)
      << PlanCrossCapture(10, 300e6, {}, 10).error;
}

}  // namespace
}  // namespace qvx
