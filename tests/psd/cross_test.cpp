// The cross-spectral estimator and the statistics of its real part against closed forms.
#include "psd/cross.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>

#include "psd/cross_stats.h"

namespace qvx::psd {
namespace {

// Channel i sees gain_i x a shared noise plus its own, all white.
struct Pair {
  std::vector<double> x, y;
};
Pair Channels(std::size_t n, double shared, double gain1, double own1, double gain2, double own2, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss;
  Pair p{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const double c = shared * gauss(rng);
    p.x[i] = gain1 * c + own1 * gauss(rng);
    p.y[i] = gain2 * c + own2 * gauss(rng);
  }
  return p;
}

constexpr double kFs = 1e4;
constexpr std::size_t kRecord = 1 << 18;

std::vector<CrossLogPoint> OneRecord(const Pair& p, double gain1, double gain2) {
  CrossEstimator estimator(kFs, {.segment = 4096, .record_samples = p.x.size()});
  estimator.Push(p.x.data(), p.y.data(), p.x.size());
  estimator.EndRecord();
  return estimator.ReadLog(10, gain1, gain2);
}

TEST(CrossStats, ClosedForms) {
  EXPECT_NEAR(StudentCdf(0.7, 1.0), 0.5 + std::atan(0.7) / std::numbers::pi, 1e-12) << "Cauchy";
  EXPECT_NEAR(StudentCdf(2.446912, 6.0), 0.975, 1e-6);
  EXPECT_NEAR(StudentCdf(-2.0, 2.0), 0.5 - 1.0 / std::sqrt(6.0), 1e-12);
  // Identical channels: nothing unshared, the auto-spectrum's chi-squared interval.
  for (double m : {1.5, 4.0, 12.5}) {
    const Interval power = PowerInterval(2 * m, 0.95);
    const Interval cross = CrossReInterval(3, 3, 3, 0, m, 0.95);
    EXPECT_NEAR(cross.lo, 3 * power.lo, 1e-6) << m;
    EXPECT_NEAR(cross.hi, 3 * power.hi, 1e-6) << m;
  }
  // Densities are tiny numbers: the interval scales with them.
  const Interval unit = CrossReInterval(1, 2, 0.3, 0.1, 5, 0.95);
  const Interval tiny = CrossReInterval(1e-18, 2e-18, 3e-19, 1e-19, 5, 0.95);
  EXPECT_NEAR(tiny.lo, 1e-18 * unit.lo, 1e-24);
  EXPECT_NEAR(tiny.hi, 1e-18 * unit.hi, 1e-24);
  // From 30 averages on, the normal interval; one average, none.
  const double sigma = CrossReSigma(2, 1, 0.3, 0.2, 40);
  EXPECT_DOUBLE_EQ(sigma, std::sqrt((2 + 0.09 - 0.04) / 80));
  EXPECT_NEAR(CrossReInterval(2, 1, 0.3, 0.2, 40, 0.95).lo, 0.3 - 1.959964 * sigma, 1e-6);
  EXPECT_TRUE(std::isinf(CrossReInterval(2, 1, 0.3, 0.2, 1, 0.95).hi));
  // Re = 0 is rejected exactly where Student's t on 2 m - 2 degrees of freedom rejects it.
  const double det = 2 * 1 - 0.5 * 0.5 - 0.1 * 0.1;
  EXPECT_NEAR(CrossZeroTail(0.5, 2, 1, 0.5, 0.1, 6), 1 - StudentCdf(0.5 * std::sqrt(10 / det), 10), 1e-12);
  const Interval at_six = CrossReInterval(2, 1, 0.5, 0.1, 6, 0.95);
  const double edge = CrossAveragesToResolve(2, 1, 0.5, 0.1, 6, 0.95);
  EXPECT_LT(at_six.lo, 0);
  EXPECT_NEAR(CrossZeroTail(0.5, 2, 1, 0.5, 0.1, edge), 0.025, 1e-5);
  EXPECT_GT(CrossReInterval(2, 1, 0.5, 0.1, edge * 1.001, 0.95).lo, 0);
  EXPECT_TRUE(std::isinf(CrossAveragesToResolve(2, 1, -0.5, 0.1, 6, 0.95)));
}

// Draws of m independent averages of pairs with a = 1, b = 2 and the given coherence: the
// interval holds the true Re Sxy about 95 % of the time below 30 averages and above.
TEST(CrossStats, IntervalCoversTheTruth) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> gauss;
  auto complex_gauss = [&] { return std::complex<double>(gauss(rng), gauss(rng)) * std::sqrt(0.5); };
  struct Case {
    double m;
    double coherence;
  };
  int covered[2] = {}, trials[2] = {};
  for (double m : {4.0, 7.0, 10.0, 60.0}) {
    for (double coherence : {0.0, 0.6, 0.95}) {
      const std::complex<double> rho = std::polar(std::sqrt(coherence), 0.3);
      const double truth = std::sqrt(2.0) * std::sqrt(coherence) * std::cos(0.3);  // Re E[X conj Y]
      const int n = m < 30 ? 150 : 60;
      int in = 0;
      for (int t = 0; t < n; ++t) {
        double sxx = 0, syy = 0;
        std::complex<double> sxy;
        for (int k = 0; k < m; ++k) {
          const std::complex<double> x = complex_gauss();
          const std::complex<double> y =
              std::sqrt(2.0) * (std::conj(rho) * x + std::sqrt(1 - coherence) * complex_gauss());
          sxx += std::norm(x) / m;
          syy += std::norm(y) / m;
          sxy += x * std::conj(y) / m;
        }
        const Interval ci = CrossReInterval(sxx, syy, sxy.real(), sxy.imag(), m, 0.95);
        in += ci.lo <= truth && truth <= ci.hi;
      }
      EXPECT_GE(in, 0.86 * n) << "m " << m << ", coherence " << coherence;
      covered[m >= 30] += in;
      trials[m >= 30] += n;
    }
  }
  EXPECT_NEAR(static_cast<double>(covered[0]) / trials[0], 0.95, 0.017) << "few averages";
  EXPECT_NEAR(static_cast<double>(covered[1]) / trials[1], 0.95, 0.03) << "many averages";
}

// Independent channels: Re Sxy's interval holds zero at about 95 % of the points, which are
// upper limits, and the floor is the closed form of the true densities.
TEST(CrossEstimator, IndependentChannelsAverageTowardsZero) {
  const double own1 = 1e-3, own2 = 2e-3;
  int holds = 0, points = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    for (const CrossLogPoint& p : OneRecord(Channels(kRecord, 0, 0, own1, 0, own2, seed), 1, 1)) {
      holds += p.re_lo <= 0 && 0 <= p.re_hi;
      ++points;
      EXPECT_EQ(p.upper_limit, p.re_lo <= 0);
      EXPECT_FALSE(p.collapse) << p.hz;
      if (p.averages > 100) {
        const double sx = 2 * own1 * own1 / kFs, sy = 2 * own2 * own2 / kFs;
        EXPECT_NEAR(p.floor / std::sqrt(std::sqrt(sx * sy / (2 * p.averages))), 1, 1.5 / std::sqrt(p.averages)) << p.hz;
      }
    }
  }
  EXPECT_NEAR(static_cast<double>(holds) / points, 0.95, 0.04) << points << " points";
}

// A shared noise behind gains 10 and 5 with each channel's own: the shared density comes
// back input-referred within its interval, with the coherence of the closed form. Inverted
// on channel 2, it collapses.
TEST(CrossEstimator, SharedNoiseReadsItsDensityAndCollapsesWhenInverted) {
  const double shared = 1e-2, g1 = 10, g2 = 5, own1 = 0.1, own2 = std::sqrt(0.0075);
  const double truth = std::sqrt(2 * shared * shared / kFs);
  const double coherence = (g1 * g1 * shared * shared) * (g2 * g2 * shared * shared) /
                           ((g1 * g1 * shared * shared + own1 * own1) * (g2 * g2 * shared * shared + own2 * own2));
  int holds = 0, points = 0;
  for (const CrossLogPoint& p : OneRecord(Channels(kRecord, shared, g1, own1, g2, own2, 5), g1, g2)) {
    holds += p.density_lo <= truth && truth <= p.density_hi;
    ++points;
    if (p.averages > 1000) {
      EXPECT_FALSE(p.upper_limit) << p.hz;
      EXPECT_NEAR(p.coherence, coherence, 2 / std::sqrt(p.averages)) << p.hz;
      EXPECT_LT(p.floor, p.density) << p.hz;
    }
  }
  EXPECT_GE(holds, 0.85 * points);
  for (const CrossLogPoint& p : OneRecord(Channels(kRecord, shared, g1, own1, -g2, own2, 5), g1, g2)) {
    if (p.averages > 300) {
      EXPECT_TRUE(p.collapse && p.upper_limit) << p.hz;
      EXPECT_EQ(p.density, 0.0);
    }
  }
}

// Flags and the time to resolve on points made by hand: m = 40, Sxx = Syy = 1.
TEST(CrossEstimator, FlagsAndTimeToResolve) {
  auto point = [](double re, double im) {
    return CrossLogPoints(
               {{.hz = 3, .width_hz = 1, .stage = 0, .sxx = 1, .syy = 1, .re = re, .im = im, .averages = 40}}, 1, 4,
               0.25, 100)
        .at(0);
  };
  const CrossLogPoint weak = point(0.2, 0);
  EXPECT_TRUE(weak.upper_limit);
  EXPECT_FALSE(weak.collapse || weak.phase);
  const double needed = 1.959964 * 1.959964 * 1.04 / (2 * 0.04);
  EXPECT_NEAR(weak.seconds_to_resolve, (needed - 40) * 100 / 40, 1e-3);
  EXPECT_DOUBLE_EQ(weak.floor, std::sqrt(std::sqrt(1 / 80.0)));
  EXPECT_DOUBLE_EQ(weak.density_hi, std::sqrt(weak.re_hi));
  EXPECT_TRUE(point(-0.5, 0).collapse);
  EXPECT_TRUE(std::isinf(point(-0.5, 0).seconds_to_resolve));
  EXPECT_TRUE(point(0, 0.5).phase);
  EXPECT_FALSE(point(0.9, 0).upper_limit);
  EXPECT_EQ(point(0.9, 0).seconds_to_resolve, 0);
}

// Records add: two records of equal length read as the mean of each on its own, with their
// averages summed (records are independent; no segment straddles them), however the pushes
// are split; and the plan says so before any sample.
TEST(CrossEstimator, RecordsAccumulate) {
  const Pair first = Channels(kRecord, 1, 1, 1, 1, 1, 21), second = Channels(kRecord, 1, 1, 1, 1, 1, 22);
  const CrossOptions options{.segment = 1024, .record_samples = kRecord};
  CrossEstimator both(kFs, options), one(kFs, options), other(kFs, options);
  for (const Pair* p : {&first, &second}) {
    both.Push(p->x.data(), p->y.data(), kRecord);
    both.EndRecord();
  }
  for (std::size_t at = 0; at < kRecord; at += 777) {
    one.Push(first.x.data() + at, first.y.data() + at, std::min<std::size_t>(777, kRecord - at));
  }
  other.Push(second.x.data(), second.y.data(), kRecord);
  const auto sum = both.Read(), a = one.Read(), b = other.Read();
  ASSERT_EQ(sum.size(), a.size());
  ASSERT_EQ(sum.size(), b.size());
  for (std::size_t i = 0; i < sum.size(); ++i) {
    EXPECT_NEAR(sum[i].re, (a[i].re + b[i].re) / 2, 1e-12 * sum[i].sxx) << sum[i].hz;
    EXPECT_NEAR(sum[i].sxx, (a[i].sxx + b[i].sxx) / 2, 1e-12 * sum[i].sxx) << sum[i].hz;
    EXPECT_DOUBLE_EQ(sum[i].averages, a[i].averages + b[i].averages) << sum[i].hz;
  }
  EXPECT_EQ(both.Records(), 2u);
  const auto planned = PlannedCrossAverages(kFs, options, 2, 10, 1.0);
  const auto read = both.ReadLog(10, 1, 1);
  ASSERT_FALSE(planned.empty());
  ASSERT_LE(planned.size(), read.size());
  const std::size_t skip = read.size() - planned.size();
  EXPECT_LT(read[skip].hz / 1.0, std::pow(10.0, 0.05) * 1.0001);
  for (std::size_t i = 0; i < planned.size(); ++i) {
    EXPECT_DOUBLE_EQ(planned[i].hz, read[skip + i].hz);
    EXPECT_NEAR(planned[i].averages, read[skip + i].averages, 1e-9 * planned[i].averages);
  }
}

// The auto-spectra are the Welch estimator's; float and double input agree.
TEST(CrossEstimator, AutoSpectraAreTheWelchEstimatorsInEitherPrecision) {
  const Pair p = Channels(kRecord, 1e-3, 1, 1e-3, 1, 1e-3, 31);
  const std::vector<float> xf(p.x.begin(), p.x.end()), yf(p.y.begin(), p.y.end());
  CrossEstimator cross_float(kFs, {.record_samples = kRecord}), cross_double(kFs, {.record_samples = kRecord});
  cross_float.Push(xf.data(), yf.data(), kRecord);
  cross_double.Push(p.x.data(), p.y.data(), kRecord);
  Estimator welch(kFs, {.expected_samples = kRecord, .lf_noise = false});
  welch.Push(xf.data(), kRecord);
  const auto f = cross_float.Read(), d = cross_double.Read();
  const auto w = welch.Read();
  ASSERT_EQ(f.size(), w.size());
  ASSERT_EQ(d.size(), w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    EXPECT_EQ(f[i].hz, w[i].hz);
    EXPECT_NEAR(f[i].sxx, w[i].psd, 1e-12 * w[i].psd);
    EXPECT_DOUBLE_EQ(2 * f[i].averages, w[i].dof);
    EXPECT_NEAR(f[i].re, d[i].re, 1e-4 * d[i].sxx) << f[i].hz;
    EXPECT_NEAR(f[i].syy, d[i].syy, 1e-4 * d[i].syy) << f[i].hz;
  }
}

TEST(CrossEstimator, RefusesBadParametersByName) {
  auto refuses = [](auto make, const std::string& name) {
    try {
      make();
      ADD_FAILURE() << name << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  };
  refuses([] { CrossEstimator(std::nan(""), {}); }, "fs_hz");
  refuses([] { CrossEstimator(1e3, {.segment = 1000}); }, "segment");
  refuses([] { CrossEstimator(1e3, {}).Push(static_cast<const float*>(nullptr), nullptr, 4); }, "null");
  refuses([] { CrossEstimator(1e3, {}).ReadLog(0, 1, 1); }, "points_per_decade");
  refuses([] { CrossEstimator(1e3, {}).ReadLog(10, -1, 1); }, "gain1");
  refuses([] { CrossEstimator(1e3, {}).ReadLog(10, 1, std::numeric_limits<double>::infinity()); }, "gain2");
  refuses([] { PlannedCrossAverages(1e3, {}, 1, 10, 1); }, "record_samples");
}

}  // namespace
}  // namespace qvx::psd
