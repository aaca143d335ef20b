// The analysis against closed forms: constant density, pure 1/f, a tone, band edges
// between points, and the floor fit with spurs and scatter.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "analysis/noise_analysis.h"

namespace qvx {
namespace {

// Points from `from` at `step` up to `to`, each with the mean of `power(f)` (nV^2/Hz) over its
// step given by `mean_power(lo, hi)`, so band sums of whole steps are exact.
NoiseSpectrum Grid(double from, double to, double step, const std::function<double(double, double)>& mean_power) {
  NoiseSpectrum s;
  for (double f = from; f < to - step / 2; f += step) {
    NoisePoint p;
    p.freq_hz = f;
    p.density_nv = std::sqrt(mean_power(f, f + step));
    p.level_nv = p.density_nv * std::sqrt(1.5);
    s.points.push_back(p);
  }
  s.end_hz = to;
  return s;
}

double Constant(double, double) { return 400.0; }                                      // 20 nV/sqrt(Hz)
double OneOverF(double lo, double hi) { return 1e4 * std::log(hi / lo) / (hi - lo); }  // D^2 = 1e4 / f

TEST(IntegratedNoise, MatchesClosedFormsIncludingBandEdgesBetweenPoints) {
  const NoiseSpectrum flat = Grid(0, 100000, 100, Constant);
  const NoiseSpectrum pink = Grid(10, 10010, 1, OneOverF);
  struct Case {
    const NoiseSpectrum* s;
    Band band;
    double exact_uv;
  } cases[] = {
      {&flat, {0, 100000}, 20e-3 * std::sqrt(100000.0)},
      {&flat, {1000, 50000}, 20e-3 * std::sqrt(49000.0)},
      {&flat, {1050, 2025}, 20e-3 * std::sqrt(975.0)},  // both edges inside a point's step
      {&flat, {1050, 1075}, 20e-3 * std::sqrt(25.0)},   // inside one step
      {&pink, {10, 10010}, 1e-3 * std::sqrt(1e4 * std::log(1001.0))},
      {&pink, {100, 1000}, 1e-3 * std::sqrt(1e4 * std::log(10.0))},
  };
  for (const Case& c : cases) {
    const BandResult r = IntegratedNoise(*c.s, c.band);
    EXPECT_NEAR(r.rms_uv, c.exact_uv, 1e-9 * c.exact_uv) << c.band.lo_hz << ".." << c.band.hi_hz;
  }
  // A band reaching beyond the measured range has no honest value.
  EXPECT_TRUE(std::isnan(IntegratedNoise(flat, {0, 200000}).rms_uv));
  EXPECT_TRUE(std::isnan(IntegratedNoise(pink, {1, 100}).rms_uv));
}

TEST(NoiseAnalysis, ATonePointAddsItsPowerToBandsAndSpots) {
  NoiseSpectrum s = Grid(0, 100000, 100, [](double, double) { return 0.0; });
  const double tone_nv = 1000.0;  // nV/sqrt(Hz) over its 100 Hz step: 10 uV rms
  s.points[250].density_nv = tone_nv;
  EXPECT_NEAR(IntegratedNoise(s, {0, 100000}).rms_uv, 10.0, 1e-9);
  EXPECT_NEAR(IntegratedNoise(s, {25050, 26000}).rms_uv, 10.0 / std::sqrt(2.0), 1e-9);
  EXPECT_NEAR(IntegratedNoise(s, {26000, 30000}).rms_uv, 0.0, 1e-12);
  const SpotResult spot = SpotNoise(s, 25000);
  EXPECT_EQ(spot.points, 11);
  EXPECT_NEAR(spot.nv, tone_nv / std::sqrt(11.0), 1e-9);
}

TEST(NoiseAnalysis, ClippedPointsEnterNothing) {
  NoiseSpectrum s = Grid(10, 10010, 1, Constant);
  const NoiseReport before = AnalyzeNoise(s, {{{10, 10010}}, {500}});
  s.points[490].density_nv = 1e6;
  s.points[490].flags = kFlagClipped;
  const NoiseReport after = AnalyzeNoise(s, {{{10, 10010}}, {500}});
  EXPECT_NEAR(after.bands[0].rms_uv, 20e-3 * std::sqrt(9999.0), 1e-9);
  EXPECT_EQ(after.bands[0].clipped_points, 1);
  EXPECT_NEAR(after.spots[0].nv, 20.0, 1e-9);
  EXPECT_EQ(after.spots[0].points, before.spots[0].points - 1);
  EXPECT_NEAR(after.fit.white_nv, 20.0, 1e-9);
  EXPECT_EQ(after.fit.points, before.fit.points - 1);
  EXPECT_EQ(after.flags.clipped, 1);
}

TEST(NoiseAnalysis, LogPointsAndDefaultsFollowTheMeasuredRange) {
  NoiseSpectrum s = Grid(0, 100000, 100, Constant);
  s.ppd = 10;
  const NoiseReport r = AnalyzeNoise(s, {});
  // 100 Hz steps: no point below 100 Hz but 0, so log points start at the 100 Hz decade.
  ASSERT_FALSE(r.log_points.empty());
  EXPECT_NEAR(r.log_points.front().hz, std::pow(10.0, 2.05), 1e-9);
  EXPECT_EQ(r.log_points.front().points, 1);  // 100 Hz alone in [100, 125.9)
  for (const LogPoint& p : r.log_points) EXPECT_NEAR(p.nv, 20.0, 1e-9);
  // A log bin without a point is left out: [125.9, 158.5) holds no multiple of 100.
  EXPECT_GT(r.log_points[1].hz, 158.0);
  // The whole range and the decades holding points; spots only where resolved.
  ASSERT_EQ(r.bands.size(), 4u);
  EXPECT_EQ(r.bands[0].lo_hz, 100.0) << "the 0 Hz point is no part of the default band";
  EXPECT_EQ(r.bands[1].lo_hz, 100.0);
  EXPECT_EQ(r.bands[3].hi_hz, 100000.0);
  // A spot takes the points whose steps lie within half to twice its frequency: at 100 Hz the
  // one point of 100 Hz - 200 Hz; 10 Hz lies in the 0 Hz point's step, which is wider.
  ASSERT_EQ(r.spots.size(), 3u);
  EXPECT_EQ(r.spots[0].hz, 100.0);
  EXPECT_EQ(r.spots[0].points, 1);
  EXPECT_TRUE(std::isnan(SpotNoise(s, 10).nv));
  // Points that repeat the bin before them count once: 11 points around 10 kHz show the
  // bins of points 94 (through 95), 96, ..., 104.
  NoiseSpectrum repeated = s;
  for (std::size_t i = 0; i < repeated.points.size(); ++i) {
    if (i % 2 == 0) repeated.points[i].density_nv = 10.0 + static_cast<double>(i % 7);
    if (i % 2 == 1) {
      repeated.points[i].flags |= kFlagRepeatedBin;
      repeated.points[i].density_nv = repeated.points[i - 1].density_nv;
    }
  }
  const SpotResult spot = SpotNoise(repeated, 10000);
  EXPECT_EQ(spot.points, 11);
  EXPECT_EQ(spot.bins, 6);
  double power = 0;
  for (int i : {94, 96, 98, 100, 102, 104}) power += std::pow(10.0 + i % 7, 2) / 6;
  EXPECT_NEAR(spot.nv, std::sqrt(power), 1e-9);

  // A range that ends beyond any double has no whole decades to list (this looped for ever).
  s.end_hz = std::numeric_limits<double>::infinity();
  EXPECT_EQ(AnalyzeNoise(s, {}).bands.size(), 1u);
}

// A sweep-like spectrum: four decades of 1000 points with K-average scatter and spurs.
NoiseSpectrum Sweep(double w, double fc, int averages, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::gamma_distribution<double> scatter(averages, 1.0 / averages);
  NoiseSpectrum s;
  for (int k = 1; k <= 4; ++k) {
    const double start = std::pow(10.0, k);
    for (int i = 0; i < 1000; ++i) {
      NoisePoint p;
      p.freq_hz = start + i * 9 * start / 1000;
      p.density_nv = w * std::sqrt((1 + fc / p.freq_hz) * scatter(rng));
      if (i % 250 == 17) p.density_nv *= 10;  // spurs
      s.points.push_back(p);
    }
  }
  s.end_hz = 1e5;
  return s;
}

TEST(FitWhiteAndCorner, RecoversFloorAndCornerWithSpursPresent) {
  struct Case {
    double w, fc;
    int averages;
  } cases[] = {{20, 200, 32}, {5, 2000, 16}, {20, 0, 32}, {100, 50, 64}};
  for (const Case& c : cases) {
    const FloorFit fit = FitWhiteAndCorner(Sweep(c.w, c.fc, c.averages, 7));
    EXPECT_NEAR(fit.white_nv, c.w, 0.02 * c.w) << c.w << "/" << c.fc;
    EXPECT_NEAR(fit.corner_hz, c.fc, 0.05 * c.fc + 2.0) << c.w << "/" << c.fc;
    EXPECT_GE(fit.rejected, 16) << "every spur is dropped";
    EXPECT_LT(fit.rejected, 100) << "and not much noise with it";
  }
}

TEST(FitWhiteAndCorner, TooFewPointsGiveNoFit) {
  NoiseSpectrum s = Grid(100, 300, 100, Constant);
  EXPECT_TRUE(std::isnan(FitWhiteAndCorner(s).white_nv));
  s.points.clear();
  EXPECT_TRUE(std::isnan(AnalyzeNoise(s, {}).fit.white_nv));
}

}  // namespace
}  // namespace qvx
