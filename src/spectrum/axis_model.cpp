#include "spectrum/axis_model.h"

#include <algorithm>
#include <cmath>

#include "core/errors.h"

namespace qvx {

void AxisModel::SetAutomatic(bool on) {
  automatic_ = on;
  if (on && hasData_) {
    minimum_ = dataLo_;
    maximum_ = dataHi_;
  }
  ++revision_;
}

void AxisModel::SetMinimum(double v) {
  if (v > maximum_) throw EChartException("Axis Minimum Value must be <= Maximum");
  minimum_ = v;
  ++revision_;
}

void AxisModel::SetMaximum(double v) {
  if (v < minimum_) throw EChartException("Axis Maximum Value must be >= Minimum");
  maximum_ = v;
  ++revision_;
}

void AxisModel::SetDesiredIncrement(double v) {
  if (v < 0.0) throw EChartException("Axis Increment must be >= 0");
  increment_ = v;
  ++revision_;
}

void AxisModel::FollowData(double lo, double hi) {
  hasData_ = true;
  dataLo_ = lo;
  dataHi_ = hi;
  if (automatic_) {
    minimum_ = lo;
    maximum_ = hi;
  }
  ++revision_;
}

double AxisModel::LabelStep() const {
  const double span = maximum_ - minimum_;
  const bool usable = std::isfinite(increment_) && increment_ > 0.0;
  if (!std::isfinite(span) || span <= 0.0) return usable ? increment_ : 1.0;

  if (usable) {
    // floor(span / step) + 1 labels at most fit in the range.
    if (span / increment_ < kMaxLabels) return increment_;
    double m = std::floor(span / (kMaxLabels * increment_)) + 1.0;
    // Rounding may leave the count one too high; at huge m adding 1 changes
    // nothing, so grow by a relative step as well (such m are whole numbers anyway).
    for (int i = 0; i < 8 && span / (m * increment_) >= kMaxLabels; ++i) m = std::max(m + 1.0, m * (1.0 + 1e-12));
    const double step = m * increment_;
    if (std::isfinite(step) && step > 0.0) return step;
  }

  // About ten labels on a 1, 2, 5 x 10^k step.
  const double raw = span / 10.0;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double nice = norm <= 1.0 ? 1.0 : norm <= 2.0 ? 2.0 : norm <= 5.0 ? 5.0 : 10.0;
  const double step = nice * magnitude;
  return (std::isfinite(step) && step > 0.0) ? step : 1.0;
}

}  // namespace qvx
