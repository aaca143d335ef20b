#pragma once
// The chart's left axis without a screen: automatic mode, the refusal rules for
// its bounds and increment, and the label spacing the view draws with.
namespace qvx {

class AxisModel {
 public:
  bool Automatic() const { return automatic_; }
  // Turning automatic mode on adopts the last data range, if there was one.
  void SetAutomatic(bool on);

  double Minimum() const { return minimum_; }
  double Maximum() const { return maximum_; }
  // Throws EChartException("Axis Minimum Value must be <= Maximum") when
  // v > Maximum(); the bound is then unchanged.
  void SetMinimum(double v);
  // Throws EChartException("Axis Maximum Value must be >= Minimum") when
  // v < Minimum(); the bound is then unchanged.
  void SetMaximum(double v);

  double DesiredIncrement() const { return increment_; }
  // Throws EChartException("Axis Increment must be >= 0") for a negative value.
  void SetDesiredIncrement(double v);

  // Records the plotted data's range; while automatic the bounds follow it.
  void FollowData(double lo, double hi);

  // The spacing of the labels over [Minimum, Maximum], always positive and finite:
  // the desired increment, or the smallest whole multiple of it that gives at most
  // kMaxLabels labels; a 1-2-5 step when the increment is 0 or not finite.
  double LabelStep() const;
  static constexpr int kMaxLabels = 25;

  // Counts every change, so a view can tell when to redraw.
  unsigned long Revision() const { return revision_; }

 private:
  bool automatic_ = true;
  double minimum_ = 0.0;
  double maximum_ = 0.0;
  double increment_ = 0.0;
  bool hasData_ = false;
  double dataLo_ = 0.0;
  double dataHi_ = 0.0;
  unsigned long revision_ = 0;
};

}  // namespace qvx
