#pragma once
// Files of the noise analysis: the CSV, the window's clipboard export, the JSON, and the
// short text summary. Readers are pure functions of the text, so they can be fuzzed.
#include <functional>
#include <optional>
#include <vector>
#include <string>
#include <string_view>
#include <utility>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"
#include "core/text.h"

namespace qvx {

inline constexpr const char* kNoiseCsvHeader = "freq_hz,level_nv,density_nv,flags";
// After the four columns, where the points carry their degrees of freedom.
inline constexpr const char* kNoiseCsvDofColumns = ",ci_lo_nv,ci_hi_nv,dof";
inline constexpr const char* kLfFilterText =
    "2nd-order Butterworth high-pass at 0.1 Hz, 4th-order Butterworth low-pass at 10 Hz, first 10 s dropped, 10 s "
    "windows";
inline constexpr int kNoiseJsonVersion = 1;

// Outcome of reading a file: the spectrum, or an error naming the 1-based line.
struct SpectrumReadResult {
  NoiseSpectrum spectrum;
  std::string error;        // empty when the text was read
  int line = 0;             // the line the error is about
  bool needs_span = false;  // a level-only export read without a span
  bool ok() const { return error.empty(); }
};

// The header line, then one line per point: frequency, level, density (shortest texts that
// read back to the same doubles) and the flags as letters R, C, W ("" for none).
std::string WriteNoiseCsv(const NoiseSpectrum& s);

// Reads what WriteNoiseCsv wrote. Densities are taken as written; the last point's step is
// taken as wide as the one before it.
SpectrumReadResult ReadNoiseCsv(std::string_view text);

// The same from lines handed out one at a time (each without its line end; false at the
// end), so a file of millions of points is read as a stream.
using LineSource = std::function<bool(std::string_view& line)>;
SpectrumReadResult ReadNoiseCsvLines(const LineSource& next);

// True when the first line is the CSV's header.
bool IsNoiseCsv(std::string_view text);

// The window's clipboard export: "freq_kHz,level" lines, or level-only lines, which need
// the span [start, end] in Hz (point i at start + i (end - start) / lines). Densities use
// Hann; the caller may set another window.
SpectrumReadResult ReadClipboardExport(std::string_view text, std::optional<std::pair<double, double>> span_hz);

// The JSON document: the keys scripts rely on (version, instrument, window, window_source,
// enbw_bins, averages, acquisitions, white_nv, corner_hz, fit_points, bands, spots, flags)
// and a few more (ppd, density_factor, range, log_points, ...). Unknown numbers are null.
std::string NoiseJsonText(const NoiseSpectrum& s, const NoiseReport& r);

// A few lines for a terminal: white floor, corner, bands, spots, flags.
std::string NoiseSummaryText(const NoiseSpectrum& s, const NoiseReport& r);

// The Allan deviation as a table: "tau_s,adev_v,ci_lo_v,ci_hi_v,edf,noise" lines.
inline constexpr const char* kAdevCsvHeader = "tau_s,adev_v,ci_lo_v,ci_hi_v,edf,noise";
std::string AdevCsvText(const TimeRecordFigures& t);

// A deviation at `tau_s`, on log-log between the octaves around it; nothing outside them.
std::optional<double> DeviationAt(const std::vector<DeviationFigure>& points, double tau_s);

// The ranges of clipped points: "stayed clipped (left out): 0 Hz - 300 Hz (3 points)", or "".
std::string ClippedRanges(const NoiseSpectrum& s);

}  // namespace qvx
