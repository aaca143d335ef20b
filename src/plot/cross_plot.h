#pragma once
// The chart of a cross-spectrum: each channel's own density, the circuit's density with its
// 95 % band, the unresolved points as upper limits, and the statistical floor shaded.
#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

class QChart;

namespace qvx {

// A new chart (the caller owns it) of `s`, whose cross_points stand beside its points.
QChart* BuildCrossChart(const NoiseSpectrum& s, const NoiseReport& r);

}  // namespace qvx
