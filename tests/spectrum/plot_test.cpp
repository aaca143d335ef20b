// The left axis's rules, the Y-axis controls, and drawing the buffer into the chart.
#include "spectrum/plot.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors.h"
#include "spectrum/axis_model.h"
#include "spectrum/chart_model.h"
#include "spectrum/filters.h"
#include "spectrum/y_axis.h"

namespace qvx {
namespace {

const std::string kMaxRefused = "Axis Maximum Value must be >= Minimum";
const std::string kMinRefused = "Axis Minimum Value must be <= Maximum";

// Runs f and returns the chart's refusal text, or "" when nothing was refused.
template <class F>
std::string Refusal(F&& f) {
  try {
    f();
  } catch (const EChartException& e) {
    return e.what();
  }
  return "";
}

AxisModel Fixed(double lo, double hi) {
  AxisModel axis;
  axis.SetAutomatic(false);
  axis.SetMaximum(hi);
  axis.SetMinimum(lo);
  return axis;
}

TEST(AxisModel, LabelStepKeepsTheLabelCountBounded) {
  AxisModel axis = Fixed(0, 100);
  axis.SetDesiredIncrement(10);
  EXPECT_EQ(axis.LabelStep(), 10.0);
  for (double hi : {1e3, 1e5, 3.3e9, 1e300}) {  // whole multiples of the increment
    axis.SetMaximum(hi);
    const double multiple = axis.LabelStep() / 10.0;
    EXPECT_LE(std::floor(hi / axis.LabelStep()) + 1, AxisModel::kMaxLabels) << hi;
    EXPECT_NEAR(multiple, std::round(multiple), 1e-6 * multiple) << hi;
  }
  axis.SetDesiredIncrement(0);
  for (double hi : {1e-6, 7.0, 1234.5, 4e9}) {  // a 1-2-5 step
    axis.SetMaximum(hi);
    const double labels = std::floor(hi / axis.LabelStep()) + 1;
    EXPECT_TRUE(labels >= 3 && labels <= AxisModel::kMaxLabels) << hi << ": " << labels;
  }
  EXPECT_GT(AxisModel().LabelStep(), 0.0);
}

// A refused bound stays as it was. The maximum is applied first, so a range can be
// raised in one go but must be lowered by bringing the minimum down first.
TEST(YAxis, RangeRefusalsDependOnTheOrder) {
  struct Case {
    double lo, hi;
    const char *maxText, *minText;
    std::string refusal;
    double newLo, newHi;
  };
  const Case cases[] = {
      {0, 100, "300", "200", "", 200, 300},
      {200, 300, "100", "200", kMaxRefused, 200, 300},
      {200, 300, "100", "0", kMaxRefused, 200, 300},
      {200, 300, "300", "0", "", 0, 300},
      {0, 300, "100", "0", "", 0, 100},
      {0, 300, "100", "150", kMinRefused, 0, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lo) + ".." + std::to_string(c.hi) + " <- " + c.minText + ".." + c.maxText);
    AxisModel axis = Fixed(c.lo, c.hi);
    EXPECT_EQ(Refusal([&] { ApplyYRange(axis, c.maxText, c.minText); }), c.refusal);
    EXPECT_EQ(axis.Minimum(), c.newLo);
    EXPECT_EQ(axis.Maximum(), c.newHi);
  }
}

class PlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_.Fs = 5e8;
    s_.Rbw = 12.20703125;
    s_.LvInc = 10;
    // Levels -5, -2, 1, 4, 7, 10, 13 repeating.
    for (int i = 0; i < SPEC_POINTS; ++i) s_.SpecData[i] = {i * 1000.0, (i % 7) * 3.0 - 5.0};
    in_ = {1, "A4", "16", "0", "100"};
  }
  std::vector<double> Ys() const {
    std::vector<double> ys;
    for (const auto& p : chart_.Series1) ys.push_back(p.y);
    return ys;
  }

  WorkingState s_;
  PlotInputs in_;
  ChartModel chart_;
};

TEST_F(PlotTest, WritesSubtitleAxisAndPoints) {
  PlotSpectrum(s_, in_, chart_);
  EXPECT_EQ(chart_.SubTitle, (std::vector<std::string>{"VF A4", "Ave 16", "fs(MHz) 500", "RBW 12.207"}));
  EXPECT_EQ(chart_.LeftAxis.Minimum(), -5.0);  // automatic: follows the filtered data,
  EXPECT_EQ(chart_.LeftAxis.Maximum(), 8.5);   // whose peak is the mean of 4, 7, 10, 13
  EXPECT_EQ(chart_.LeftAxis.DesiredIncrement(), 10.0);
  ASSERT_EQ(chart_.Series1.size(), 1000u);
  EXPECT_EQ(chart_.Series1[0].x, 0.0);
  EXPECT_EQ(chart_.Series1[999].x, 999.0);
  EXPECT_EQ(chart_.Series1[0].y, -5.0);

  // Fixed, the boxes' range holds against the data; back on automatic, the data's is adopted.
  chart_.LeftAxis.SetAutomatic(false);
  PlotSpectrum(s_, in_, chart_);
  EXPECT_EQ(chart_.LeftAxis.Minimum(), 0.0);
  EXPECT_EQ(chart_.LeftAxis.Maximum(), 100.0);
  chart_.LeftAxis.SetAutomatic(true);
  EXPECT_EQ(chart_.LeftAxis.Maximum(), 8.5);
}

// Each plot starts its filter afresh; an index outside the list draws no points.
TEST_F(PlotTest, SameBufferTwiceGivesIdenticalPoints) {
  for (int index : {0, 1, 2, 3, 4, -1, 5}) {
    in_.filterIndex = index;
    PlotSpectrum(s_, in_, chart_);
    const auto first = Ys();
    EXPECT_EQ(first.size(), index >= 0 && index <= 4 ? 1000u : 0u) << index;
    PlotSpectrum(s_, in_, chart_);
    EXPECT_EQ(Ys(), first) << index;
  }
}

// The axis is widened to -1000..1000 before the boxes' minimum, then maximum, then
// the increment are applied.
TEST_F(PlotTest, RangeSteps) {
  in_.yMinText = "1500";
  in_.yMaxText = "2000";
  EXPECT_EQ(Refusal([&] { PlotSpectrum(s_, in_, chart_); }), kMinRefused);  // max still 1000
  EXPECT_EQ(chart_.LeftAxis.Minimum(), -1000.0);

  in_.yMinText = in_.yMaxText = "50";
  EXPECT_EQ(Refusal([&] { PlotSpectrum(s_, in_, chart_); }), "");

  ChartModel low;
  low.LeftAxis.SetMinimum(-3000);
  low.LeftAxis.SetMaximum(-2000);
  EXPECT_EQ(Refusal([&] { PlotSpectrum(s_, in_, low); }), kMinRefused);
  EXPECT_EQ(low.LeftAxis.Minimum(), -3000.0);  // the very first step failed

  s_.LvInc = -1;
  EXPECT_EQ(Refusal([&] { PlotSpectrum(s_, in_, chart_); }), "Axis Increment must be >= 0");
  EXPECT_EQ(chart_.LeftAxis.DesiredIncrement(), 10.0);
}

TEST_F(PlotTest, FailedRangeKeepsSeriesAndFiltersButShowsNewSubtitle) {
  PlotSpectrum(s_, in_, chart_);
  const auto before = Ys();
  in_.filterIndex = 4;
  in_.filterText = "M8";
  in_.yMaxText = "";
  EXPECT_THROW(PlotSpectrum(s_, in_, chart_), EConvertError);
  EXPECT_EQ(chart_.SubTitle[0], "VF M8");
  EXPECT_EQ(Ys(), before);
  EXPECT_FALSE(FilterA4.First);  // not reset by the failed plot
}

TEST(ChartModel, AddXYKeepsAscendingXWithEqualXInInsertionOrder) {
  ChartModel chart;
  for (auto [x, y] : {std::pair{3, 0}, {1, 1}, {2, 2}, {1, 3}, {3, 4}}) chart.AddXY(x, y);
  std::vector<std::pair<double, double>> got;
  for (const auto& p : chart.Series1) got.emplace_back(p.x, p.y);
  EXPECT_EQ(got, (std::vector<std::pair<double, double>>{{1, 1}, {1, 3}, {2, 2}, {3, 0}, {3, 4}}));
}

}  // namespace
}  // namespace qvx
