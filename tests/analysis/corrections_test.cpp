// The corrections against closed forms: a gain and a gain file, a floor at several SNRs, a
// mask, the readers' errors, and the fit's bias at few averages over the simulator's traces.
#include "analysis/corrections.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "noise_model.h"

namespace qvx {
namespace {

NoiseSpectrum Flat(double level, std::initializer_list<double> freqs) {
  NoiseSpectrum s;
  s.window = {"RECT", 1.0};
  for (double f : freqs) s.points.push_back({f, level, level, 0});
  s.end_hz = 2 * std::data(freqs)[freqs.size() - 1];
  return s;
}

TEST(Corrections, GainConstantOrFromAFileDividesTheDensity) {
  NoiseSpectrum s = Flat(1000, {1, 10, 100, 1000, 5000});
  Gain constant;
  constant.ratio = 100;
  constant.given = true;
  ApplyCorrections(s, constant, nullptr);
  EXPECT_DOUBLE_EQ(s.points[2].density_nv, 10);
  EXPECT_TRUE(s.input_referred);
  EXPECT_DOUBLE_EQ(s.points[2].level_nv, 1000) << "the level stays as measured";

  const CurveRead read = ReadCurve("# f, dB\nhz,db\n10\t40\n1000 , 60 # the top\n\n", "a gain in dB", false);
  ASSERT_TRUE(read.ok()) << read.error;
  Gain file;
  file.file = read.curve;
  file.given = true;
  ApplyCorrections(s, file, nullptr);
  EXPECT_NEAR(s.points[2].density_nv, 1000 / std::pow(10.0, 50 / 20.0), 1e-9) << "log-frequency interpolation";
  EXPECT_NEAR(s.points[0].density_nv, 10, 1e-9) << "the end value holds below";
  EXPECT_TRUE(s.points[0].flags & kFlagGainOutside);
  EXPECT_TRUE(s.points[4].flags & kFlagGainOutside);
  EXPECT_FALSE(s.points[3].flags & kFlagGainOutside);
}

// True densities T over a floor F read sqrt(T^2 + F^2); less than 3 dB above the floor a
// point stays as measured, an upper bound.
TEST(Corrections, FloorSubtractedInPowerAtItsSignalToNoiseRatios) {
  Floor floor;
  floor.density_nv.points = {{1, 10}, {1e6, 10}};
  for (const auto& [snr_db, flagged, under10] : {std::tuple{10.0, false, 0}, {3.0, false, 1}, {-3.0, true, 1}}) {
    const double t = 10 * std::pow(10.0, snr_db / 20);
    NoiseSpectrum s = Flat(std::hypot(t, 10.0), {100});
    ApplyCorrections(s, Gain{}, &floor);
    EXPECT_EQ((s.points[0].flags & kFlagFloor) != 0, flagged) << snr_db;
    EXPECT_NEAR(s.points[0].density_nv, flagged ? std::hypot(t, 10.0) : t, 1e-9) << snr_db;
    EXPECT_EQ(s.floor_under_10db, under10) << snr_db;
  }
}

TEST(Corrections, MaskInterpolatesLogLogAndJudgesTheCleanLogPoints) {
  const CurveRead mask = ReadCurve("10 100\n1000 10\n", "a density", true);
  ASSERT_TRUE(mask.ok());
  EXPECT_NEAR(mask.curve.At(100, true), std::sqrt(1000.0), 1e-9);
  std::vector<LogPoint> points = {{20, 40, 1}, {100, 40, 1}, {500, 5, 1}};
  points[0].clean = true;
  LimitResult r = CheckLimit(points, mask.curve);
  EXPECT_FALSE(r.pass);
  EXPECT_EQ(r.failing_points, 1);
  EXPECT_NEAR(r.worst_margin_db, 20 * std::log10(std::sqrt(1000.0) / 40), 1e-9);
  EXPECT_DOUBLE_EQ(r.worst_hz, 100);
  points[1].clean = false;  // at a floor: no verdict on it
  EXPECT_TRUE(CheckLimit(points, mask.curve).pass);
}

TEST(Corrections, MalformedFilesNameTheLine) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"10 40\n20 x\n", 2, "not a number"},     {"10 40\n5 50\n", 2, "does not rise"},
      {"10 40 7\n", 1, "expected a frequency"}, {"-1 3\n", 1, "above 0"},
      {"# nothing\n", 2, "no frequency"},
  };
  for (const auto& [text, line, says] : cases) {
    const CurveRead r = ReadCurve(text, "a gain in dB", false);
    EXPECT_EQ(r.error.rfind("line " + std::to_string(line) + ":", 0), 0u) << text << " -> " << r.error;
    EXPECT_NE(r.error.find(says), std::string::npos) << r.error;
  }
  EXPECT_FALSE(ReadCurve("10 0\n", "a density", true).ok()) << "a mask's density is above 0";
  EXPECT_FALSE(ReadFloorFile("{\"version\": 1}", "f.json").ok());
  EXPECT_FALSE(ReadFloorFile("freq_hz,level_nv,density_nv,flags\n1,x,1,\n", "f.csv").ok());
  // A floor point of level 0 is left out rather than interpolated on log-log.
  const FloorRead zero = ReadFloorFile("freq_hz,level_nv,density_nv,flags\n1,0,2,\n2,3,3,Q\n", "f.csv");
  ASSERT_TRUE(zero.ok()) << zero.error;
  for (const auto& [hz, nv] : zero.floor.density_nv.points) EXPECT_GT(nv, 0) << hz;
}

// Power estimates are chi-squared: the fit's floor over 20 of the simulator's traces stays
// within 2 % of the truth at one average as at many, and 85 % or more of the log points'
// intervals (2K degrees of freedom a bin) hold the true density.
TEST(Corrections, TheFitsWhiteFloorIsUnbiasedAtFewAveragesAndTheIntervalsHold) {
  sim::NoiseModel model;
  model.tones.clear();
  const sim::SimState state;  // 0 ... 100 kHz, 1M points over 10 ms
  const double df = sim::BinWidth(state);
  int inside = 0, total = 0;
  for (int k : {1, 4, 64}) {
    double sum = 0;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
      std::mt19937_64 rng(seed);
      const auto levels = sim::TraceLevels(model, state, 1000, k, rng);
      NoiseSpectrum s;
      for (int i = 0; i < 1000; ++i) {
        const double level = levels[static_cast<std::size_t>(i)] * 1e9 / std::sqrt(df);
        s.points.push_back({i * 100.0, level, level / std::sqrt(1.5), 0, 2.0 * k});
      }
      s.end_hz = 1e5;
      sum += FitWhiteAndCorner(s).white_nv;
      for (const LogPoint& p : LogPoints(s, 10)) {
        // The window's reading of the source at the point, as a true density.
        const double truth = sim::TruePointVrms(model, state, static_cast<std::size_t>(p.hz / 100)) * 1e9 /
                             std::sqrt(df) / std::sqrt(1.5);
        inside += p.ci_lo_nv <= truth && truth <= p.ci_hi_nv;
        ++total;
      }
    }
    EXPECT_NEAR(sum / 20, 20.0, 0.02 * 20) << "K = " << k;
  }
  EXPECT_GE(inside, 0.85 * total) << inside << " of " << total;
}

}  // namespace
}  // namespace qvx
