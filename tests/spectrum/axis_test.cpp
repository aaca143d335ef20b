#include "spectrum/axis_model.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/errors.h"
#include "spectrum/y_axis.h"

namespace qvx {
namespace {

const char* const kMaxRefused = "Axis Maximum Value must be >= Minimum";
const char* const kMinRefused = "Axis Minimum Value must be <= Maximum";

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

TEST(AxisModel, RefusalsLeaveTheBoundUnchanged) {
  AxisModel axis = Fixed(10, 20);
  EXPECT_EQ(Refusal([&] { axis.SetMinimum(21); }), kMinRefused);
  EXPECT_EQ(Refusal([&] { axis.SetMaximum(9); }), kMaxRefused);
  EXPECT_EQ(Refusal([&] { axis.SetDesiredIncrement(-1); }), "Axis Increment must be >= 0");
  EXPECT_EQ(axis.Minimum(), 10.0);
  EXPECT_EQ(axis.Maximum(), 20.0);
  EXPECT_EQ(axis.DesiredIncrement(), 0.0);
  EXPECT_EQ(Refusal([&] { axis.SetMinimum(20); axis.SetMaximum(20); }), "");
}

TEST(AxisModel, AutomaticFollowsDataAndIsAdoptedWhenSwitchedBackOn) {
  AxisModel axis;
  EXPECT_TRUE(axis.Automatic());
  EXPECT_EQ(axis.Maximum(), 0.0);
  axis.FollowData(-5, 50);
  EXPECT_EQ(axis.Minimum(), -5.0);
  EXPECT_EQ(axis.Maximum(), 50.0);
  axis.SetAutomatic(false);
  axis.SetMinimum(0);
  axis.SetMaximum(10);
  axis.FollowData(100, 200);
  EXPECT_EQ(axis.Maximum(), 10.0);  // fixed: the data does not move it
  axis.SetAutomatic(true);
  EXPECT_EQ(axis.Minimum(), 100.0);
  EXPECT_EQ(axis.Maximum(), 200.0);
}

TEST(AxisModel, LabelStepKeepsTheCountBounded) {
  AxisModel axis = Fixed(0, 100);
  axis.SetDesiredIncrement(10);
  EXPECT_EQ(axis.LabelStep(), 10.0);
  for (double hi : {1e3, 1e5, 3.3e9, 1e300}) {
    axis.SetMaximum(hi);
    const double step = axis.LabelStep();
    EXPECT_LE(std::floor(hi / step) + 1, AxisModel::kMaxLabels) << hi;
    const double multiple = step / 10.0;
    EXPECT_NEAR(multiple, std::round(multiple), 1e-6 * multiple) << hi;
  }
  axis.SetDesiredIncrement(0);
  for (double hi : {1e-6, 7.0, 1234.5, 4e9}) {
    axis.SetMaximum(hi);
    const double step = axis.LabelStep();
    EXPECT_GT(step, 0.0);
    EXPECT_LE(std::floor(hi / step) + 1, AxisModel::kMaxLabels) << hi;
    EXPECT_GE(std::floor(hi / step) + 1, 3) << hi;
  }
  AxisModel flat;
  EXPECT_GT(flat.LabelStep(), 0.0);
}

TEST(YAxis, RaisingTheRangeWorksMaximumFirst) {
  AxisModel axis = Fixed(0, 100);
  ApplyYRange(axis, "300", "0");
  EXPECT_EQ(axis.Maximum(), 300.0);
  EXPECT_EQ(axis.Minimum(), 0.0);
  ApplyYRange(axis, "300", "200");
  EXPECT_EQ(axis.Minimum(), 200.0);
}

TEST(YAxis, LoweringTheRangeIsRefusedUntilTheMinimumComesDownFirst) {
  AxisModel axis = Fixed(200, 300);
  EXPECT_EQ(Refusal([&] { ApplyYRange(axis, "100", "200"); }), kMaxRefused);
  EXPECT_EQ(Refusal([&] { ApplyYRange(axis, "100", "0"); }), kMaxRefused);
  EXPECT_EQ(axis.Minimum(), 200.0);
  EXPECT_EQ(axis.Maximum(), 300.0);
  ApplyYRange(axis, "300", "0");
  ApplyYRange(axis, "100", "0");
  EXPECT_EQ(axis.Minimum(), 0.0);
  EXPECT_EQ(axis.Maximum(), 100.0);
}

TEST(YAxis, MinimumAboveMaximumIsRefusedAfterTheMaximumIsSet) {
  AxisModel axis = Fixed(0, 300);
  EXPECT_EQ(Refusal([&] { ApplyYRange(axis, "100", "150"); }), kMinRefused);
  EXPECT_EQ(axis.Maximum(), 100.0);
  EXPECT_EQ(axis.Minimum(), 0.0);
}

TEST(YAxis, CheckingDisablesBothBoxesInOrder) {
  AxisModel axis = Fixed(0, 10);
  axis.FollowData(3, 4);
  std::vector<std::string> calls;
  ApplyYAxisMode(
      true, axis, [&](bool on) { calls.push_back(std::string("min ") + (on ? "on" : "off")); },
      [&](bool on) { calls.push_back(std::string("max ") + (on ? "on" : "off")); }, "x", "x");
  EXPECT_EQ(calls, (std::vector<std::string>{"min off", "max off"}));
  EXPECT_TRUE(axis.Automatic());
  EXPECT_EQ(axis.Minimum(), 3.0);
}

TEST(YAxis, UncheckingBelowTheAutomaticRangeIsRefusedAndStaysFixed) {
  AxisModel axis;
  axis.FollowData(150, 300);
  std::vector<std::string> calls;
  auto minBox = [&](bool on) { calls.push_back(on ? "min on" : "min off"); };
  auto maxBox = [&](bool on) { calls.push_back(on ? "max on" : "max off"); };
  EXPECT_EQ(Refusal([&] { ApplyYAxisMode(false, axis, minBox, maxBox, "100", "0"); }), kMaxRefused);
  EXPECT_EQ(calls, (std::vector<std::string>{"min on", "max on"}));
  EXPECT_FALSE(axis.Automatic());
  EXPECT_EQ(axis.Minimum(), 150.0);
  EXPECT_EQ(axis.Maximum(), 300.0);

  // A box that is not a number: conversion error, the axis already fixed.
  AxisModel other;
  EXPECT_THROW(ApplyYAxisMode(false, other, minBox, maxBox, "", "0"), EConvertError);
  EXPECT_FALSE(other.Automatic());
}

}  // namespace
}  // namespace qvx
