#include "spectrum/filters.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace qvx {
namespace {

std::vector<double> Pass(int index, const std::vector<double>& in) {
  ResetAllFilters();
  std::vector<double> out;
  for (double x : in) {
    double y = 0.0;
    EXPECT_TRUE(FilterLevel(index, x, y));
    out.push_back(y);
  }
  return out;
}

std::vector<double> Constant(double c, int n = 20) { return std::vector<double>(n, c); }

constexpr int kNone = 0, kA4 = 1, kA8 = 2, kM4 = 3, kM8 = 4;

TEST(VideoFilters, ConstantLevelPassesEveryFilterFromTheFirstPoint) {
  for (int index : {kNone, kA4, kA8, kM4, kM8}) {
    for (double y : Pass(index, Constant(7.25))) EXPECT_DOUBLE_EQ(y, 7.25) << "index " << index;
  }
}

TEST(VideoFilters, FirstOutputIsFirstInputNotAMeanOverTheWindow) {
  for (int index : {kA4, kA8, kM4, kM8}) {
    const auto out = Pass(index, {-3.5, 100.0, 100.0});
    EXPECT_DOUBLE_EQ(out[0], -3.5) << "index " << index;
  }
}

TEST(VideoFilters, SpikeSpreadsOverTheMeanWindowAndVanishesInTheMedian) {
  const double c = 2.0, h = 8.0;
  const int p = 5;
  auto in = Constant(c);
  in[p] += h;
  const auto a4 = Pass(kA4, in), a8 = Pass(kA8, in), m4 = Pass(kM4, in), m8 = Pass(kM8, in);
  for (int j = 0; j < static_cast<int>(in.size()); ++j) {
    EXPECT_NEAR(a4[j], (j >= p && j <= p + 3) ? c + h / 4 : c, 1e-12) << j;
    EXPECT_NEAR(a8[j], (j >= p && j <= p + 7) ? c + h / 8 : c, 1e-12) << j;
    EXPECT_DOUBLE_EQ(m4[j], c) << j;
    EXPECT_DOUBLE_EQ(m8[j], c) << j;
  }
}

TEST(VideoFilters, AdjacentPairIsHalvedByM4AndIgnoredByM8) {
  const double c = 1.0, v = 9.0;
  const int p = 3;
  auto in = Constant(c);
  in[p] = in[p + 1] = v;
  const auto m4 = Pass(kM4, in), m8 = Pass(kM8, in);
  for (int j = 0; j < static_cast<int>(in.size()); ++j) {
    EXPECT_DOUBLE_EQ(m4[j], (j >= p + 1 && j <= p + 3) ? (c + v) / 2 : c) << j;
    EXPECT_DOUBLE_EQ(m8[j], c) << j;
  }
}

TEST(VideoFilters, StepResponseOfA4AndM4) {
  const double a = 1.0, b = 5.0;
  const int p = 4;
  std::vector<double> in(16, a);
  for (std::size_t j = p; j < in.size(); ++j) in[j] = b;
  const auto a4 = Pass(kA4, in), m4 = Pass(kM4, in);
  for (int j = 0; j < static_cast<int>(in.size()); ++j) {
    const int inside = std::min(std::max(j - p + 1, 0), 4);  // new values in the window
    EXPECT_NEAR(a4[j], a + inside * (b - a) / 4, 1e-12) << j;
    const double m = j < p + 1 ? a : j == p + 1 ? (a + b) / 2 : b;
    EXPECT_DOUBLE_EQ(m4[j], m) << j;
  }
}

TEST(VideoFilters, IndexOutsideTheListYieldsNoValue) {
  double y = 42.0;
  EXPECT_FALSE(FilterLevel(-1, 1.0, y));
  EXPECT_FALSE(FilterLevel(5, 1.0, y));
  EXPECT_EQ(y, 42.0);
}

TEST(SortAscending, SortsAndLeavesUncomparablePairsAlone) {
  double a[] = {5.0, -1.0, 3.0, 3.0, 0.0};
  SortAscending(a, 5);
  EXPECT_EQ(std::vector<double>(a, a + 5), (std::vector<double>{-1.0, 0.0, 3.0, 3.0, 5.0}));

  double b[] = {3.0, NAN, 1.0};
  SortAscending(b, 3);
  EXPECT_EQ(b[0], 3.0);
  EXPECT_TRUE(std::isnan(b[1]));
  EXPECT_EQ(b[2], 1.0);

  double c[] = {2.0, 1.0};
  SortAscending(c, 0);
  SortAscending(c, -3);
  EXPECT_EQ(c[0], 2.0);
}

}  // namespace
}  // namespace qvx
