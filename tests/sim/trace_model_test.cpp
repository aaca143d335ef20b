// The simulated trace's statistics: drawing a point's average at once must give what drawing
// it frame by frame gives, narrow spans keep neighbouring bins correlated, and the span ends
// at Fs/2.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "noise_model.h"

namespace {

using qvx::sim::TracePath;

struct Moments {
  double mean = 0.0;  // of shown power over its expectation
  double cv = 0.0;    // of shown power
};

// For each set of points, pooled over 100 traces: each point's power over its expectation.
std::vector<Moments> PowerMoments(const qvx::sim::NoiseModel& model, const qvx::sim::SimState& state, int frames,
                                  TracePath path, const std::vector<std::vector<std::size_t>>& sets) {
  std::vector<double> expected(1000);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = std::pow(qvx::sim::TruePointVrms(model, state, i), 2);
  std::vector<std::array<double, 3>> sums(sets.size());  // count, sum, sum of squares
  std::mt19937_64 rng(11);
  for (int trace = 0; trace < 100; ++trace) {
    const auto levels = qvx::sim::TraceLevels(model, state, 1000, frames, rng, path);
    for (std::size_t s = 0; s < sets.size(); ++s) {
      for (std::size_t i : sets[s]) {
        const double p = levels[i] * levels[i] / expected[i];
        sums[s][0] += 1.0;
        sums[s][1] += p;
        sums[s][2] += p * p;
      }
    }
  }
  std::vector<Moments> moments;
  for (const auto& [n, sum, sum2] : sums) {
    const double mean = sum / n;
    moments.push_back({mean, std::sqrt(sum2 / n - mean * mean) / mean});
  }
  return moments;
}

TEST(SimTraceModel, DrawingAnAverageAtOnceMatchesDrawingItFrameByFrame) {
  // Tones as strong as the noise in their bins, half a bin off, at every 50th point.
  const qvx::sim::SimState base;
  qvx::sim::NoiseModel model;
  model.corner_hz = 0;
  model.tones.clear();
  std::vector<std::size_t> tone_points;
  std::vector<std::size_t> floor_points;
  for (std::size_t i = 50; i < 1000; i += 50) {
    const double bin = qvx::sim::PointBin(base, i);
    model.tones.push_back({(bin + 0.5) * qvx::sim::BinWidth(base), 8e-8});
    tone_points.push_back(i);
    floor_points.push_back(i + 25);
  }
  // {window, frames}
  const std::pair<const char*, int> cases[] = {{"HANN", 1}, {"HANN", 8}, {"FLAT", 3}, {"RECT", 2}};
  for (const auto& [window, frames] : cases) {
    SCOPED_TRACE(std::string(window) + " K=" + std::to_string(frames));
    auto state = base;
    state.window = window;
    const auto fast = PowerMoments(model, state, frames, TracePath::Auto, {tone_points, floor_points});
    const auto slow = PowerMoments(model, state, frames, TracePath::Frames, {tone_points, floor_points});
    for (std::size_t set = 0; set < fast.size(); ++set) {
      EXPECT_NEAR(fast[set].mean, 1.0, 0.06) << set;
      EXPECT_NEAR(slow[set].mean, 1.0, 0.06) << set;
      EXPECT_NEAR(fast[set].cv, slow[set].cv, 0.15 * slow[set].cv) << set;
    }
    // Pure noise scatters as an average of K exponentials.
    EXPECT_NEAR(fast[1].cv, 1 / std::sqrt(frames), 0.1 / std::sqrt(frames));
  }
}

TEST(SimTraceModel, ANarrowSpanRepeatsBinsAndKeepsNeighboursCorrelated) {
  qvx::sim::NoiseModel model;
  model.tones.clear();
  qvx::sim::SimState state;
  const double df = qvx::sim::BinWidth(state);
  state.start_hz = 1000 * df;
  state.end_hz = 1200 * df;  // 200 bins over 1000 points
  std::mt19937_64 rng(5);
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, n = 0;
  for (int trace = 0; trace < 300; ++trace) {
    const auto levels = qvx::sim::TraceLevels(model, state, 1000, 1, rng);
    for (std::size_t i = 0; i + 5 < 1000; i += 5) {
      ASSERT_EQ(qvx::sim::PointBin(state, i), qvx::sim::PointBin(state, i + 1));
      ASSERT_EQ(levels[i], levels[i + 1]) << "points showing the same bin show the same value";
      ASSERT_EQ(qvx::sim::PointBin(state, i + 5), qvx::sim::PointBin(state, i) + 1);
      const double x = levels[i] * levels[i];
      const double y = levels[i + 5] * levels[i + 5];
      sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y, n += 1;
    }
  }
  // Hann's neighbours correlate -2/3 in complex value, so 4/9 in power.
  const double correlation =
      (sxy / n - sx / n * sy / n) / std::sqrt((sxx / n - sx / n * sx / n) * (syy / n - sy / n * sy / n));
  EXPECT_NEAR(correlation, 4.0 / 9.0, 0.06);
}

TEST(SimTraceModel, TheSpanEndsAtHalfTheSampleRate) {
  qvx::sim::SimState state;
  state.tdiv = 1;  // 1M points over 10 s: Fs/2 = 50 kHz, below the 100 kHz end
  const double half = qvx::sim::FftPoints(state) / 2;
  EXPECT_DOUBLE_EQ(qvx::sim::DisplayedEnd(state), 50000);
  EXPECT_NEAR(qvx::sim::PointBin(state, 999), 0.999 * half, 1);
  EXPECT_EQ(qvx::sim::PointBin(state, 1500), half) << "a longer block stops at Fs/2";
  state.tdiv = 0.01;
  EXPECT_DOUBLE_EQ(qvx::sim::DisplayedEnd(state), 100000);
}

}  // namespace
