#include "spectrum/plot.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors.h"
#include "spectrum/chart_model.h"
#include "spectrum/filters.h"

namespace qvx {
namespace {

class PlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_.Fs = 5e8;
    s_.Rbw = 12.20703125;
    s_.LvInc = 10;
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
  EXPECT_EQ(chart_.SubTitle,
            (std::vector<std::string>{"VF A4", "Ave 16", "fs(MHz) 500", "RBW 12.207"}));
  EXPECT_EQ(chart_.LeftAxis.Minimum(), -5.0);  // automatic: follows the filtered data
  EXPECT_DOUBLE_EQ(chart_.LeftAxis.Maximum(), (4.0 + 7 + 10 + 13) / 4);
  EXPECT_EQ(chart_.LeftAxis.DesiredIncrement(), 10.0);
  ASSERT_EQ(chart_.Series1.size(), 1000u);
  EXPECT_EQ(chart_.Series1[0].x, 0.0);
  EXPECT_EQ(chart_.Series1[999].x, 999.0);
  EXPECT_EQ(chart_.Series1[0].y, -5.0);  // first filtered level is the raw one
  EXPECT_DOUBLE_EQ(chart_.Series1[1].y, (3 * -5.0 + -2.0) / 4);

  chart_.LeftAxis.SetAutomatic(false);
  PlotSpectrum(s_, in_, chart_);
  EXPECT_EQ(chart_.LeftAxis.Minimum(), 0.0);
  EXPECT_EQ(chart_.LeftAxis.Maximum(), 100.0);
}

TEST_F(PlotTest, SameBufferTwiceGivesIdenticalPoints) {
  for (int index : {0, 1, 2, 3, 4}) {
    in_.filterIndex = index;
    PlotSpectrum(s_, in_, chart_);
    const auto first = Ys();
    PlotSpectrum(s_, in_, chart_);
    EXPECT_EQ(Ys(), first) << index;
  }
}

TEST_F(PlotTest, ZeroBufferGivesThousandPointsAtTheOrigin) {
  PlotSpectrum(WorkingState{}, in_, chart_);
  ASSERT_EQ(chart_.Series1.size(), 1000u);
  for (const auto& p : chart_.Series1) {
    EXPECT_EQ(p.x, 0.0);
    EXPECT_EQ(p.y, 0.0);
  }
}

TEST_F(PlotTest, IndexOutsideTheListDrawsNothing) {
  PlotSpectrum(s_, in_, chart_);
  in_.filterIndex = -1;
  PlotSpectrum(s_, in_, chart_);
  EXPECT_TRUE(chart_.Series1.empty());
}

TEST_F(PlotTest, RangeSteps) {
  in_.yMinText = "1500";
  in_.yMaxText = "2000";
  EXPECT_THROW(PlotSpectrum(s_, in_, chart_), EChartException);  // max still 1000
  EXPECT_EQ(chart_.LeftAxis.Minimum(), -1000.0);

  in_.yMinText = in_.yMaxText = "50";
  EXPECT_NO_THROW(PlotSpectrum(s_, in_, chart_));

  ChartModel low;
  low.LeftAxis.SetMinimum(-3000);
  low.LeftAxis.SetMaximum(-2000);
  EXPECT_THROW(PlotSpectrum(s_, in_, low), EChartException);
  EXPECT_EQ(low.LeftAxis.Minimum(), -3000.0);  // the very first step failed

  s_.LvInc = -1;
  EXPECT_THROW(PlotSpectrum(s_, in_, chart_), EChartException);
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
  const unsigned long start = chart.Revision;
  chart.AddXY(3, 0);
  chart.AddXY(1, 1);
  chart.AddXY(2, 2);
  chart.AddXY(1, 3);
  chart.AddXY(3, 4);
  std::vector<std::pair<double, double>> got;
  for (const auto& p : chart.Series1) got.emplace_back(p.x, p.y);
  EXPECT_EQ(got, (std::vector<std::pair<double, double>>{{1, 1}, {1, 3}, {2, 2}, {3, 0}, {3, 4}}));
  EXPECT_GT(chart.Revision, start);
}

}  // namespace
}  // namespace qvx
