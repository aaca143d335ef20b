// Allan and Hadamard deviations against NIST SP 1065's published test data and closed forms,
// their intervals' coverage over seeds, and the accumulator's invariances and drift.
#include "psd/allan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "noise_record.h"
#include "psd/time_domain.h"

namespace qvx::psd {
namespace {

using testing::WhiteFlicker;

// SP 1065's 1000-point set: n_(i+1) = 16807 n_i mod (2^31 - 1) from 1234567890, over 2^31 - 1.
std::vector<double> NistThousand() {
  std::vector<double> y(1000);
  std::uint64_t n = 1234567890;
  for (double& v : y) {
    v = static_cast<double>(n) / 2147483647.0;
    n = 16807 * n % 2147483647;
  }
  return y;
}

TimeFigures Figures(const std::vector<double>& x, double fs) {
  TimeDomain td(fs, x.size());
  for (std::size_t at = 0; at < x.size(); at += 250000)
    td.Push(x.data() + at, std::min<std::size_t>(250000, x.size() - at));
  return td.Read();
}

TEST(Allan, PublishedTestData) {
  const double small[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};
  for (const auto& [m, adev, hdev] : {std::tuple{1, 91.22945, 70.80607}, {2, 85.95287, 85.61487}}) {
    EXPECT_NEAR(std::sqrt(OverlappingAllanVariance(small, 9, m)), adev, 1e-5) << m;
    EXPECT_NEAR(std::sqrt(OverlappingHadamardVariance(small, 9, m)), hdev, 1e-5) << m;
  }
  const auto y = NistThousand();
  for (const auto& [m, adev, hdev] : {std::tuple{1, 2.922319e-01, 2.943883e-01},
                                      {10, 9.159953e-02, 9.581083e-02},
                                      {100, 3.241343e-02, 3.237638e-02}}) {
    EXPECT_NEAR(std::sqrt(OverlappingAllanVariance(y.data(), y.size(), m)) / adev, 1.0, 1e-6) << m;
    EXPECT_NEAR(std::sqrt(OverlappingHadamardVariance(y.data(), y.size(), m)) / hdev, 1.0, 1e-6) << m;
  }
  // The accumulator at tau0 = 1 s reads the published value at its first point.
  const auto figures = Figures(y, 1.0);
  ASSERT_FALSE(figures.deviation.empty());
  EXPECT_NEAR(figures.deviation[0].adev_v / 2.922319e-01, 1.0, 1e-6);
  EXPECT_NEAR(figures.deviation[0].hdev_v / 2.943883e-01, 1.0, 1e-6);
}

// Up to m = 16 every phase point enters; past it the block moments leave out only the
// products of residuals of different blocks, a small part of each point's own scatter.
TEST(TimeDomain, RunningSumsAndBlockMomentsAgreeWithTheDefinitions) {
  const std::size_t n = 1 << 16;
  auto x = WhiteFlicker(n, 1e3, 2e-6, 50.0, 11);
  double walk = 0.0;  // and some random walk, whose blocks curve
  std::mt19937_64 rng(5);
  std::normal_distribution<double> step(0.0, 2e-7);
  for (double& v : x) v += (walk += step(rng));
  const auto figures = Figures(x, 1e3);
  ASSERT_EQ(figures.deviation.size(), 13u);  // m = 1 ... 4096 <= n / 10
  for (const DeviationPoint& p : figures.deviation) {
    const double adev = std::sqrt(OverlappingAllanVariance(x.data(), n, p.m));
    const double hdev = std::sqrt(OverlappingHadamardVariance(x.data(), n, p.m));
    const double tolerance = p.from_blocks ? 0.25 / std::sqrt(p.adev_edf) : 1e-11;
    EXPECT_EQ(p.from_blocks, p.m > 16);
    EXPECT_NEAR(p.adev_v / adev, 1.0, tolerance) << p.m;
    EXPECT_NEAR(p.hdev_v / hdev, 1.0, tolerance) << p.m;
    EXPECT_NEAR(p.tau_s, static_cast<double>(p.m) / 1e3, 1e-15);
  }
}

TEST(TimeDomain, SameFiguresWhateverTheSplitAndAfterReads) {
  const double fs = 2500;
  auto x = WhiteFlicker(300000, fs, 2e-6, 1.0, 3, 2);
  testing::AddTelegraph(x, fs, 50e-6, 0.5, 4);
  const std::vector<float> y(x.begin(), x.end());
  TimeDomain whole(fs, y.size());
  for (std::size_t at = 0; at < y.size(); at += 250000)
    whole.Push(y.data() + at, std::min<std::size_t>(250000, y.size() - at));
  TimeDomain pieces(fs, y.size());
  std::size_t at = 0;
  for (std::size_t size : {1, 7, 4095, 4097, 100003, 1, 8192}) {
    pieces.Push(y.data() + at, size);
    at += size;
    (void)pieces.Read();  // reading takes nothing away
  }
  pieces.Push(y.data() + at, y.size() - at);
  const TimeFigures a = whole.Read(), b = pieces.Read();
  ASSERT_TRUE(a.bursts.detected);
  ASSERT_EQ(a.deviation.size(), b.deviation.size());
  for (std::size_t i = 0; i < a.deviation.size(); ++i) {
    const DeviationPoint &p = a.deviation[i], &q = b.deviation[i];
    EXPECT_EQ(p.adev_v, q.adev_v);
    EXPECT_EQ(p.hdev_v, q.hdev_v);
    EXPECT_EQ(p.adev_edf, q.adev_edf);
    EXPECT_EQ(p.hdev_edf, q.hdev_edf);
    EXPECT_EQ(p.noise, q.noise);
  }
  EXPECT_EQ(a.mean_v, b.mean_v);
  EXPECT_EQ(a.std_v, b.std_v);
  EXPECT_EQ(a.drift.slope_v_per_s, b.drift.slope_v_per_s);
  EXPECT_EQ(a.drift.hi_v_per_s, b.drift.hi_v_per_s);
  EXPECT_EQ(a.bursts.steps, b.bursts.steps);
  EXPECT_EQ(a.bursts.levels_v, b.bursts.levels_v);
  EXPECT_EQ(a.bursts.rate_hz, b.bursts.rate_hz);
}

// A reference at 3.3 V with noise on it, as the float samples a capture delivers: the same
// deviations as the noise at 0 V within float precision, the bursts' levels 3.3 V up.
TEST(TimeDomain, DcLevelChangesNothing) {
  const double fs = 2500;
  auto x = WhiteFlicker(100000, fs, 2e-6, 1.0, 8, 2);
  testing::AddTelegraph(x, fs, 50e-6, 0.5, 9);
  std::vector<float> low(x.begin(), x.end()), high(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) high[i] = static_cast<float>(3.3 + x[i]);
  TimeDomain a(fs, x.size()), b(fs, x.size());
  a.Push(low.data(), low.size());
  b.Push(high.data(), high.size());
  const TimeFigures fa = a.Read(), fb = b.Read();
  ASSERT_EQ(fa.deviation.size(), fb.deviation.size());
  for (std::size_t i = 0; i < fa.deviation.size(); ++i) {
    EXPECT_NEAR(fb.deviation[i].adev_v / fa.deviation[i].adev_v, 1.0, 1e-4) << fa.deviation[i].m;
    EXPECT_NEAR(fb.deviation[i].hdev_v / fa.deviation[i].hdev_v, 1.0, 1e-4) << fa.deviation[i].m;
  }
  EXPECT_NEAR(fb.mean_v - fa.mean_v, 3.3, 1e-6);
  EXPECT_NEAR(fb.drift.slope_v_per_s, fa.drift.slope_v_per_s, 1e-3 * fa.drift.sigma_v_per_s);
  ASSERT_TRUE(fa.bursts.detected && fb.bursts.detected);
  EXPECT_NEAR(fb.bursts.levels_v[0] - fa.bursts.levels_v[0], 3.3, 1e-6);
  EXPECT_NEAR(fb.bursts.amplitude_v / fa.bursts.amplitude_v, 1.0, 1e-3);
}

// White 2000 nV/sqrt(Hz) with a 1/f corner: every point's interval (from tau = 8 / fs, where
// the closed form for continuous averaging holds) holds the closed form about 95 % of the
// time, and its degrees of freedom are at least half of SP 1065's for the noise there.
TEST(TimeDomain, IntervalsHoldTheClosedFormOverSeeds) {
  const double fs = 1e3, white = 2e-6;
  for (double corner : {0.0, 20.0}) {
    int points = 0, allan = 0, hadamard = 0;
    for (std::uint64_t seed = 1; seed <= 16; ++seed) {
      const auto figures = Figures(WhiteFlicker(1 << 15, fs, white, corner, 100 * seed), fs);
      for (const DeviationPoint& p : figures.deviation) {
        if (p.m < 8) continue;
        const double w2 = white * white;
        const double avar = AllanVarianceWhiteFlicker(white, corner, p.tau_s);
        const double hvar = w2 / (2.0 * p.tau_s) + kHadamardFlicker * w2 * corner;
        ++points;
        allan += p.adev_lo_v * p.adev_lo_v <= avar && avar <= p.adev_hi_v * p.adev_hi_v;
        hadamard += p.hdev_lo_v * p.hdev_lo_v <= hvar && hvar <= p.hdev_hi_v * p.hdev_hi_v;
        const NoiseType truth =
            w2 / (2.0 * p.tau_s) > kAllanFlicker * w2 * corner ? NoiseType::kWhite : NoiseType::kInvF;
        EXPECT_GE(p.adev_edf, 0.5 * AllanEdf(truth, figures.samples + 1, p.m)) << p.m;
      }
    }
    EXPECT_GE(allan, 0.88 * points) << corner;
    EXPECT_GE(hadamard, 0.88 * points) << corner;
    EXPECT_LE(allan, 0.995 * points) << corner << ": intervals wider than the data warrant";
  }
}

TEST(AllanEdf, GreenhallsAgreesWithSp1065sApproximations) {
  for (NoiseType type : {NoiseType::kF2, NoiseType::kWhite, NoiseType::kInvF, NoiseType::kInvF2}) {
    for (std::size_t n : {1001, 100001}) {
      for (std::size_t m : {2, 8, 64}) {
        EXPECT_NEAR(OverlappedEdf(type, 2, n, m) / AllanEdf(type, n, m), 1.0, 0.15)
            << NoiseTypeName(type) << " N " << n << " m " << m;
      }
    }
  }
  // An identification that allows two types reports the lesser.
  const NoiseId both{NoiseType::kWhite, -1, 0};
  EXPECT_DOUBLE_EQ(
      AllanEdfFor(both, 10001, 64),
      std::min({AllanEdf(NoiseType::kWhite, 10001, 64), AllanEdf(NoiseType::kInvF, 10001, 64),
                OverlappedEdf(NoiseType::kWhite, 2, 10001, 64), OverlappedEdf(NoiseType::kInvF, 2, 10001, 64)}));
}

// Differenced white noise is f^2, white is white, its running sum 1/f^2, and 1/f comes from
// the frequency domain; the lag-1 autocorrelation names each at short taus.
TEST(TimeDomain, IdentifiesPowerLawNoise) {
  const std::size_t n = 1 << 16;
  std::mt19937_64 rng(21);
  std::normal_distribution<double> gauss;
  std::vector<double> e(n + 1);
  for (double& v : e) v = gauss(rng);
  std::vector<double> blue(n), white(e.begin(), e.end() - 1), walk(n);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    blue[i] = e[i + 1] - e[i];
    walk[i] = (sum += e[i]);
  }
  auto flicker = testing::Noise(
      n, 1.0, [](double f) { return 1.0 / f; }, 22);
  for (const auto& [record, type] : {std::tuple{&blue, NoiseType::kF2},
                                     {&white, NoiseType::kWhite},
                                     {&flicker, NoiseType::kInvF},
                                     {&walk, NoiseType::kInvF2}}) {
    const auto figures = Figures(*record, 1.0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(figures.deviation[i].noise, type) << NoiseTypeName(type) << i;
  }
  EXPECT_EQ(NoiseTypeName(NoiseType::kInvF2), "1/f^2");
}

TEST(TimeDomain, RefusesBadArgumentsAndBadSamples) {
  for (double fs : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    try {
      TimeDomain td(fs, 100);
      ADD_FAILURE() << fs;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("fs_hz"), std::string::npos);
    }
  }
  EXPECT_THROW(TimeDomain(1e3, 0), std::invalid_argument);
  TimeDomain td(1e3, 100);
  const std::vector<double> good(50, 1.0);
  td.Push(good.data(), good.size());
  std::vector<float> bad(50, 1.0f);
  bad[30] = std::numeric_limits<float>::infinity();
  EXPECT_THROW(td.Push(bad.data(), bad.size()), std::invalid_argument);
  std::vector<double> nan(10, std::numeric_limits<double>::quiet_NaN());
  EXPECT_THROW(td.Push(nan.data(), nan.size()), std::invalid_argument);
  EXPECT_EQ(td.Samples(), 50u) << "nothing of a refused call is taken";
  EXPECT_THROW(td.Push(static_cast<const double*>(nullptr), 3), std::invalid_argument);
  EXPECT_EQ(td.Read().mean_v, 1.0);
}

// 1e-6 V/s on white 2000 nV/sqrt(Hz) with a 20 Hz corner over 100 s: the interval holds the
// drift and leaves out zero; without drift it holds zero about 95 % of the time, where the
// white-noise formula's would be several times too narrow.
TEST(TimeDomain, DriftIntervalHoldsForFlickerNoise) {
  const double fs = 200.0, white = 2e-6, corner = 20.0;
  const std::size_t n = 20000;
  auto x = WhiteFlicker(n, fs, white, corner, 2024, 8);
  for (std::size_t i = 0; i < n; ++i) x[i] += 1e-6 * static_cast<double>(i) / fs;
  const Drift drifting = Figures(x, fs).drift;
  ASSERT_TRUE(drifting.valid);
  EXPECT_LT(drifting.lo_v_per_s, 1e-6);
  EXPECT_GT(drifting.hi_v_per_s, 1e-6);
  EXPECT_GT(drifting.lo_v_per_s, 0.0);

  // A mains-like line far above 1 / T, 50 times the noise's rms, leaves the interval as it was.
  const Drift plain = Figures(WhiteFlicker(n, fs, white, corner, 2024, 8), fs).drift;
  auto toned = WhiteFlicker(n, fs, white, corner, 2024, 8);
  for (std::size_t i = 0; i < n; ++i) toned[i] += 1e-3 * std::sin(2.0 * std::numbers::pi * 20.3 * i / fs);
  EXPECT_NEAR(Figures(toned, fs).drift.sigma_v_per_s / plain.sigma_v_per_s, 1.0, 0.3);

  int held = 0, seeds = 40;
  double spread = 0.0, predicted = 0.0;
  for (int seed = 0; seed < seeds; ++seed) {
    const Drift d = Figures(WhiteFlicker(n, fs, white, corner, 7000 + seed, 8), fs).drift;
    held += d.lo_v_per_s <= 0.0 && 0.0 <= d.hi_v_per_s;
    spread += d.slope_v_per_s * d.slope_v_per_s / seeds;
    predicted += d.sigma_v_per_s * d.sigma_v_per_s / seeds;
  }
  EXPECT_GE(held, 0.85 * seeds);
  const double truth = SlopeVariance(white * white, white * white * corner, 0.0, static_cast<double>(n) / fs);
  EXPECT_NEAR(std::sqrt(predicted / truth), 1.0, 0.2) << "the slope's error as the noise the deviations see";
  EXPECT_NEAR(std::sqrt(spread / truth), 1.0, 0.35) << "the slopes' own scatter";
}

}  // namespace
}  // namespace qvx::psd
