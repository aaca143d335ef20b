// Sweep plans and the ranging of the FFT scale.
#include <gtest/gtest.h>

#include <cmath>

#include "setup/rbw.h"
#include "spectrum/trace.h"
#include "sweep/measurement.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

TEST(PlanSweep, OneDecadePerAcquisitionWithBinsAThirdOfTheNarrowestLogBin) {
  struct Case {
    double from, to;
    int ppd;
    std::vector<double> starts, tdivs;
  } cases[] = {
      {10, 100000, 10, {10, 100, 1000, 10000}, {0.2, 0.02, 0.002, 0.0002}},
      {3, 50000, 10, {3, 10, 100, 1000, 10000}, {0.5, 0.2, 0.02, 0.002, 0.0002}},
      {10, 1000, 20, {10, 100}, {0.5, 0.05}},
      {0.1, 1, 10, {0.1}, {20}},
      {100, 100, 10, {}, {}},
      {0, 100, 10, {}, {}},
  };
  for (const Case& c : cases) {
    const SweepPlan plan = PlanSweep(c.from, c.to, c.ppd, 32, 1.0);
    ASSERT_EQ(plan.acquisitions.size(), c.starts.size()) << c.from << ".." << c.to;
    double total = 0;
    for (std::size_t i = 0; i < c.starts.size(); ++i) {
      const PlannedAcquisition& a = plan.acquisitions[i];
      EXPECT_DOUBLE_EQ(a.start_hz, c.starts[i]);
      EXPECT_DOUBLE_EQ(a.end_hz, i + 1 < c.starts.size() ? c.starts[i + 1] : c.to);
      EXPECT_NEAR(a.tdiv_s, c.tdivs[i], 1e-12 * c.tdivs[i]) << a.start_hz;
      EXPECT_LE(a.rbw_hz, a.log_bin_hz / 3) << a.start_hz;
      // The next faster step would be too coarse: the plan takes no longer than it must.
      EXPECT_DOUBLE_EQ(a.rbw_hz, ComputeRbw(a.tdiv_s, a.fs_hz));
      EXPECT_LE(a.fs_hz, kMaxSampleRate);
      EXPECT_DOUBLE_EQ(a.average_s, 32 * 10 * a.tdiv_s);
      total += a.seconds;
    }
    EXPECT_NEAR(plan.total_s, total + plan.ranging_s, 1e-9);
  }
}

TEST(PlanSweep, TimeIsSetUpPausesAveragingAndOneRead) {
  const SweepPlan slow = PlanSweep(10, 100, 10, 32, 1.0);
  ASSERT_EQ(slow.acquisitions.size(), 1u);
  EXPECT_DOUBLE_EQ(SetupPauseSeconds(), 2.0);
  EXPECT_DOUBLE_EQ(TracePauseSeconds(), 1.5);
  // 32 frames of 2 s, less the read's first pause (the data query follows it), plus margin.
  EXPECT_NEAR(slow.acquisitions[0].seconds, 2.0 + (64 * 1.02 + 0.05 - 0.5) + 1.5, 1e-9);
  const SweepPlan fast = PlanSweep(10, 100, 10, 32, 0.001);
  EXPECT_NEAR(fast.acquisitions[0].seconds, 3.5, 1e-9) << "a short average hides inside the read's pause";
}

std::array<unsigned char, SPEC_POINTS> Bytes(int low, int high, unsigned char rest) {
  std::array<unsigned char, SPEC_POINTS> b;
  b.fill(rest);
  for (int i = 0; i < low; ++i) b[static_cast<std::size_t>(i)] = 0;
  for (int i = 0; i < high; ++i) b[static_cast<std::size_t>(SPEC_POINTS - 1 - i)] = 255;
  return b;
}

double Top(const FftRange& r) { return ByteToVolts(255, r.scale, r.offset); }
double Bottom(const FftRange& r) { return ByteToVolts(0, r.scale, r.offset); }

TEST(NextFftRange, WidensNarrowsOrKeepsTheRange) {
  const FftRange window{1e-8, -7e-8};  // the window's default: 30 nV .. 110 nV
  const FftRange zeroBased = RangeWithTop(1e-6);
  struct Case {
    const char* what;
    FftRange current;
    std::array<unsigned char, SPEC_POINTS> bytes;
    bool keeps;
    double topAtLeast, topAtMost;
  } cases[] = {
      {"9 clipped points are fewer than 1 %", window, Bytes(5, 4, 200), true, 0, 0},
      {"10 clipped points are not", window, Bytes(0, 10, 200), false, 8 * Top(window), 8.1 * Top(window)},
      {"low clipping brings byte 0 to 0 V", window, Bytes(100, 0, 250), false, Top(window), 1.7 * Top(window)},
      {"all zero with 0 V at byte 0: a finer scale", zeroBased, Bytes(1000, 0, 0), false, Top(zeroBased) / 16.1,
       Top(zeroBased) / 15.9},
      {"a trace in the lowest quarter gets the range", zeroBased, Bytes(0, 0, 40), false,
       1.5 * ByteToVolts(40, zeroBased.scale, zeroBased.offset),
       1.7 * ByteToVolts(40, zeroBased.scale, zeroBased.offset)},
      {"a tone at the top keeps noise below a step", zeroBased, Bytes(500, 0, 250), true, 0, 0},
  };
  for (const Case& c : cases) {
    const auto next = NextFftRange(c.bytes, c.current);
    ASSERT_EQ(!next.has_value(), c.keeps) << c.what;
    if (!next) continue;
    EXPECT_NEAR(Bottom(*next), 0.0, 1e-20) << c.what;
    EXPECT_GE(Top(*next), c.topAtLeast) << c.what;
    EXPECT_LE(Top(*next), c.topAtMost) << c.what;
  }
}

}  // namespace
}  // namespace qvx
