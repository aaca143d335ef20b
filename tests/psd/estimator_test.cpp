// The streaming estimator against closed forms and the simulator's records of known density.
#include "psd/estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <tuple>

#include "psd/chi_squared.h"
#include "time_record.h"

namespace qvx::psd {
namespace {

using std::numbers::pi;

std::vector<double> White(std::size_t n, double sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, sigma);
  std::vector<double> x(n);
  for (double& v : x) v = gauss(rng);
  return x;
}

TEST(ChiSquared, QuantilesMatchTables) {
  EXPECT_NEAR(ChiSquaredQuantile(0.975, 2), 7.377759, 1e-5);
  EXPECT_NEAR(ChiSquaredQuantile(0.025, 2), 0.050636, 1e-5);
  EXPECT_NEAR(ChiSquaredQuantile(0.975, 20), 34.16961, 1e-4);
  EXPECT_NEAR(ChiSquaredQuantile(0.025, 21), 10.28290, 1e-4);
  EXPECT_NEAR(ChiSquaredCdf(ChiSquaredQuantile(0.3, 7.3), 7.3), 0.3, 1e-9) << "degrees of freedom need not be whole";
  EXPECT_NEAR(MedianBias(1), 1.0, 1e-12);
  EXPECT_NEAR(MedianBias(5), 1.0 - 1.0 / 2 + 1.0 / 3 - 1.0 / 4 + 1.0 / 5, 1e-12);
  EXPECT_NEAR(MedianBias(100001), std::log(2.0), 1e-5);
}

// White noise of variance s^2 has the one-sided density 2 s^2 / fs at every stage, by mean
// and by median alike, and its log points' intervals hold that about 95 % of the time.
TEST(Estimator, WhiteNoiseReadsItsDensityAtEveryStageWithHonestIntervals) {
  const double fs = 1e5;
  const std::size_t n = 1 << 21;
  const auto x = White(n, 1e-3, 7);
  const double truth = 2.0 * 1e-6 / fs;
  for (Averaging averaging : {Averaging::Mean, Averaging::Median}) {
    Options options;
    options.averaging = averaging;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    for (std::size_t at = 0; at < n; at += 250000) estimator.Push(x.data() + at, std::min<std::size_t>(250000, n - at));
    const auto fine = estimator.Read();
    ASSERT_FALSE(fine.empty());
    EXPECT_LE(fine.back().hz, 0.4 * fs);
    EXPECT_LT(fine.front().hz, 0.2) << "the record resolves down to a few over its length";
    const auto bins = LogBins(fine, 10, 0.95);
    int inside = 0;
    for (const LogBin& b : bins) {
      inside += b.lo_psd <= truth && truth <= b.hi_psd;
      if (b.dof > 1000) {
        EXPECT_NEAR(b.psd / truth, 1.0, 4 * std::sqrt(2 / b.dof)) << b.hz << " Hz";
      }
    }
    EXPECT_GE(inside, 0.85 * static_cast<double>(bins.size())) << static_cast<int>(averaging);
  }
}

TEST(Estimator, ATonesPowerAndABandEdge) {
  const double fs = 1e4;
  const std::size_t n = 1 << 20;
  auto x = White(n, 1e-6, 3);
  for (std::size_t i = 0; i < n; ++i) x[i] += 1e-3 * std::numbers::sqrt2 * std::sin(2 * pi * 1234.5 * i / fs);
  Options options;
  options.expected_samples = n;
  Estimator estimator(fs, options);
  estimator.Push(x.data(), n);
  double power = 0;
  for (const FinePoint& p : estimator.Read()) {
    if (std::fabs(p.hz - 1234.5) < 20) power += p.psd * p.width_hz;
  }
  EXPECT_NEAR(std::sqrt(power), 1e-3, 1e-3 * 0.01) << "the tone's Vrms";
}

// The decimating stages: a tone at the top of a lower stage's band keeps its power (under
// 0.05 dB off), and one just beyond the band's alias edge lands at least 100 dB down.
TEST(Estimator, DecimationKeepsItsBandAndRefusesAliases) {
  const double fs = 1e6;
  const double quarter = fs / kDecimation;
  const std::size_t n = 1 << 21;
  const double inBand = 0.38 * quarter;   // stage 1 shows 0.1 ... 0.4 of its rate
  const double aliased = 0.62 * quarter;  // folds to 0.38 of it
  for (const auto& [tone, most, least] : {std::tuple{inBand, 1.0116, 0.9886}, {aliased, 1e-10, 0.0}}) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(2 * pi * tone * i / fs);  // 0.5 V^2
    Options options;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    estimator.Push(x.data(), n);
    double power = 0;
    for (const FinePoint& p : estimator.Read()) {
      if (p.stage == 1 && std::fabs(p.hz - inBand) < 5 * p.width_hz) power += p.psd * p.width_hz;
    }
    EXPECT_LE(power / 0.5, most) << tone;
    EXPECT_GE(power / 0.5, least) << tone;
  }
}

// A 0.1-10 Hz filter: -3 dB at both corners, flat between, 24 dB down an octave above.
TEST(LfFilter, ResponseAtItsCornersAndBeyond) {
  const LfFilter filter(400.0);
  EXPECT_NEAR(filter.PowerGain(0.1), 0.5, 0.005);
  EXPECT_NEAR(filter.PowerGain(1.0), 1.0, 0.005);
  EXPECT_NEAR(filter.PowerGain(10.0), 0.5, 0.005);
  EXPECT_NEAR(10 * std::log10(filter.PowerGain(20.0)), -24.1, 0.3);
  // And the samples through it: a 1 Hz sine passes whole.
  LfFilter run(400.0);
  double peak = 0;
  for (int i = 0; i < 400 * 60; ++i) {
    const double y = run.Next(std::sin(2 * pi * i / 400.0));
    if (i > 400 * 50) peak = std::max(peak, std::fabs(y));
  }
  EXPECT_NEAR(peak, 1.0, 0.01);
}

}  // namespace
}  // namespace qvx::psd

namespace qvx::psd {
namespace {

// Over five seeds of the simulator's records (white with a 1/f corner, 8-bit codes at a fine
// scale), at least 85 % of the log points' 95 % intervals hold the true density.
TEST(Estimator, IntervalsHoldTheTruthOnSimulatedRecords) {
  sim::NoiseModel model;
  model.white_nv = 2000;
  model.corner_hz = 20;
  model.tones.clear();
  const sim::RecordLayout layout{1e4, 1000000, 2e-3, 0.0};  // 100 s at 10 kSa/s
  int inside = 0, total = 0;
  const double yinc = sim::YIncrement(layout.scale_v);
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    const std::string codes = sim::GenerateRecord(model, layout, seed);
    std::vector<double> volts(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) volts[i] = (static_cast<unsigned char>(codes[i]) - 128.0) * yinc;
    Options options;
    options.expected_samples = volts.size();
    Estimator estimator(layout.fs_hz, options);
    estimator.Push(volts.data(), volts.size());
    for (const LogBin& b : LogBins(estimator.Read(), 10, 0.95)) {
      // The source and the converter's own steps, yinc^2 / 12 over fs / 2.
      const double truth = sim::ConverterDensity(model, b.hz) + yinc * yinc / (6.0 * layout.fs_hz);
      inside += b.lo_psd <= truth && truth <= b.hi_psd;
      ++total;
    }
  }
  EXPECT_GE(inside, 0.85 * total) << inside << " of " << total;
}

}  // namespace
}  // namespace qvx::psd

namespace qvx::psd {
namespace {

// 10 s settle, then whole 10 s windows; the cascade's delay must not cost a record of
// exactly settle + 10 s its one window.
TEST(Estimator, TheLowFrequencyWindowsOfARecordAreCountedWhole) {
  const double fs = 500e3;
  for (auto [seconds, windows] : {std::pair{19.0, 0}, std::pair{20.0, 1}, std::pair{35.0, 2}}) {
    const auto n = static_cast<std::size_t>(seconds * fs);
    const auto x = White(n, 1e-3, 3);
    Options options;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    for (std::size_t at = 0; at < n; at += 250000) estimator.Push(x.data() + at, std::min<std::size_t>(250000, n - at));
    EXPECT_EQ(estimator.ReadLf().windows, windows) << seconds << " s";
  }
}

}  // namespace
}  // namespace qvx::psd
