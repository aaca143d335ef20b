// Bursts: telegraph signals of known amplitude and rate found in white and 1/f noise, and
// nothing found in Gaussian noise of the same densities, at the rates a capture records at.
#include "psd/bursts.h"

#include <gtest/gtest.h>

#include <vector>

#include "noise_record.h"
#include "psd/time_domain.h"

namespace qvx::psd {
namespace {

using testing::AddTelegraph;
using testing::WhiteFlicker;

Bursts BurstsOf(const std::vector<double>& x, double fs) {
  TimeDomain td(fs, x.size());
  const std::vector<float> y(x.begin(), x.end());
  for (std::size_t at = 0; at < y.size(); at += 250000)
    td.Push(y.data() + at, std::min<std::size_t>(250000, y.size() - at));
  return td.Read().bursts;
}

// 50 uV with a mean dwell of 0.5 s in each level (2 switches a second) on white 2000
// nV/sqrt(Hz) with a 1 Hz corner, 200 s at 2.5 kSa/s.
TEST(Bursts, TelegraphOnWhiteAndFlickerNoise) {
  const double fs = 2500, seconds = 200;
  auto x = WhiteFlicker(static_cast<std::size_t>(fs * seconds), fs, 2e-6, 1.0, 31, 2);
  const std::size_t switches = AddTelegraph(x, fs, 50e-6, 0.5, 32);
  const Bursts b = BurstsOf(x, fs);
  ASSERT_TRUE(b.detected);
  EXPECT_NEAR(b.amplitude_v, 50e-6, 5e-6);
  EXPECT_NEAR(b.rate_hz, 2.0, 0.5);
  EXPECT_NEAR(b.rate_hz, static_cast<double>(switches) / seconds, 0.15 * 2.0);
  ASSERT_EQ(b.levels_v.size(), 2u);
  EXPECT_NEAR(b.levels_v[0], 0.0, 5e-6);
  for (int level = 0; level < 2; ++level) {
    EXPECT_NEAR(b.dwell_s[level], 0.5, 0.125) << level;
    EXPECT_NEAR(b.fraction[level], 0.5, 0.1) << level;
  }
  EXPECT_GT(b.steps, switches / 2);
  EXPECT_LE(b.steps, switches);
}

// Fast switching the detector's windows cannot all resolve: it finds few of the switches,
// the two-state fit still reads the rate.
TEST(Bursts, RateFromTheFitWhereStepsAreMissed) {
  const double fs = 2500, seconds = 100;
  auto x = WhiteFlicker(static_cast<std::size_t>(fs * seconds), fs, 2e-6, 0.0, 100, 2);
  const std::size_t switches = AddTelegraph(x, fs, 40e-6, 0.2, 900);
  const Bursts b = BurstsOf(x, fs);
  ASSERT_TRUE(b.detected);
  const double rate = static_cast<double>(switches) / seconds;
  EXPECT_LT(static_cast<double>(b.steps), 0.8 * static_cast<double>(switches));
  EXPECT_NEAR(b.rate_hz / rate, 1.0, 0.15);
  EXPECT_NEAR(b.amplitude_v, 40e-6, 4e-6);
}

TEST(Bursts, OneStepIsTwoLevels) {
  const double fs = 2500;
  auto x = WhiteFlicker(50000, fs, 2e-6, 0.0, 5, 2);
  for (std::size_t i = x.size() / 2; i < x.size(); ++i) x[i] += 100e-6;
  const Bursts b = BurstsOf(x, fs);
  ASSERT_TRUE(b.detected);
  EXPECT_EQ(b.steps, 1u);
  EXPECT_NEAR(b.amplitude_v, 100e-6, 5e-6);
  EXPECT_NEAR(b.fraction[0], 0.5, 0.01);
  EXPECT_LT(b.rate_hz, 0.2);
}

// Gaussian noise with its 1/f wander gives nothing: 10 records of 20 s at 2.5 kSa/s with a
// 20 Hz corner, one of 10 s at 100 kSa/s, one whose 1/f part reaches 500 Hz. (The threshold
// allows one false step in 10 000 s; these are 220 s.)
TEST(Bursts, NothingInGaussianNoise) {
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    EXPECT_FALSE(BurstsOf(WhiteFlicker(50000, 2500, 2e-6, 20.0, 40 + seed, 2), 2500).detected) << seed;
  }
  EXPECT_FALSE(BurstsOf(WhiteFlicker(1000000, 1e5, 2e-6, 20.0, 60, 2), 1e5).detected);
  EXPECT_FALSE(BurstsOf(WhiteFlicker(50000, 2500, 2e-6, 500.0, 61, 2), 2500).detected);
  EXPECT_FALSE(FindBursts({}, 100.0, 0.0).detected);
  EXPECT_FALSE(FindBursts(std::vector<double>(1000, 1.0), 100.0, 0.0).detected) << "no spread, no steps";
  EXPECT_FALSE(FindBursts(std::vector<double>(1000, 1.0), 0.0, 0.0).detected);
}

}  // namespace
}  // namespace qvx::psd
