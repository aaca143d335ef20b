#include "spectrum/plot.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/conversions.h"
#include "spectrum/filters.h"

namespace qvx {

void PlotSpectrum(const WorkingState& s, const PlotInputs& in, ChartModel& chart) {
  chart.SetSubTitle({
      "VF " + in.filterText,
      "Ave " + in.aveText,
      "fs(MHz) " + FloatToStr(s.Fs * 0.000001),
      "RBW " + FormatFloat("0.000", s.Rbw),
  });

  // Widening first lets any sensible pair of limits pass in either direction.
  AxisModel& axis = chart.LeftAxis;
  axis.SetMinimum(-1000);
  axis.SetMaximum(1000);
  axis.SetMinimum(StrToFloat(in.yMinText));
  axis.SetMaximum(StrToFloat(in.yMaxText));
  axis.SetDesiredIncrement(s.LvInc);

  chart.ClearSeries();
  ResetAllFilters();
  chart.Series1.reserve(SPEC_POINTS);

  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (const SpecPoint& p : s.SpecData) {
    double y;
    if (!FilterLevel(in.filterIndex, p.Level, y)) continue;
    chart.AddXY(p.Freq * 0.001, y);
    // A level that is not finite cannot size the axis.
    if (std::isfinite(y)) {
      lo = std::min(lo, y);
      hi = std::max(hi, y);
    }
  }
  if (lo <= hi) axis.FollowData(lo, hi);
}

}  // namespace qvx
