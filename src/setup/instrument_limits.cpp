#include "setup/instrument_limits.h"

#include <cmath>

namespace qvx {

const std::vector<double>& TimebaseSteps() {
  static const std::vector<double> steps = [] {
    std::vector<double> v;
    for (int e = -9; e <= 2; ++e) {
      for (double m : {1.0, 2.0, 5.0}) v.push_back(m * std::pow(10.0, e));
    }
    v.push_back(1000.0);
    return v;
  }();
  return steps;
}

const std::vector<double>& ChannelScales() {
  static const std::vector<double> scales = [] {
    std::vector<double> v;
    for (int e = -4; e <= 1; ++e) {
      for (double m : {1.0, 2.0, 5.0}) {
        const double s = m * std::pow(10.0, e);
        if (s <= kMaxChannelScale * (1 + 1e-9)) v.push_back(s);
      }
    }
    return v;
  }();
  return scales;
}

double ChannelScaleAtLeast(double volts) {
  for (double s : ChannelScales()) {
    if (s >= volts * (1 - 1e-9)) return s;
  }
  return kMaxChannelScale;
}

}  // namespace qvx
