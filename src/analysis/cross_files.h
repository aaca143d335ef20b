#pragma once
// A cross-spectrum's own part of the analysis and of the files: its points weighed by the
// variance they really have, its CSV columns, the JSON's "cross" object and the summary's
// lines on averages, unresolved points, collapse and phase.
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

namespace qvx {

inline constexpr const char* kCrossCsvHeader =
    "freq_hz,density_nv,ci_lo_nv,ci_hi_nv,dof,flags,ch1_nv,ch2_nv,floor_nv,im_nv,coherence";

// The analysis of a cross-spectrum (s.cross_points one a point): the fit, bands, spots and
// lines of AnalyzeNoise, each point weighed by the degrees of freedom of a power as
// variable as its Re Sxy, and the log points (the points themselves) with the
// cross-spectrum's own interval and 2 m degrees of freedom.
NoiseReport AnalyzeCrossSpectrum(const NoiseSpectrum& s, const AnalysisRequest& request);

// kCrossCsvHeader, then one line a point; a U point's density_nv is its estimate and its
// ci_hi_nv its upper limit.
std::string WriteCrossCsv(const NoiseSpectrum& s);
// True when the first line is kCrossCsvHeader.
bool IsCrossCsv(std::string_view text);
// Reads what WriteCrossCsv wrote: the points and their cross-spectral figures (each weighed by
// the variance its interval implies); the run's figures are the JSON's. The error names the
// 1-based line.
struct SpectrumReadResult;
SpectrumReadResult ReadCrossCsv(std::string_view text);

// The JSON's "cross" object (s.cross set).
void AddCrossJson(nlohmann::ordered_json& j, const NoiseSpectrum& s);

// "method ..." of a cross-spectrum, and its own lines after the common ones.
std::string CrossMethodLine(const NoiseSpectrum& s);
std::string CrossSummaryText(const NoiseSpectrum& s, const NoiseReport& r);

}  // namespace qvx
