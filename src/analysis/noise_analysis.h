#pragma once
// The numbers an engineer reports about noise: log points, band and spot noise, and the
// white floor with its 1/f corner. Clipped points never enter any of them.
#include <limits>
#include <string>
#include <optional>
#include <vector>

#include "analysis/noise_spectrum.h"

namespace qvx {

inline constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

struct LogPoint {
  double hz = 0.0;  // geometric centre of the log bin
  double nv = 0.0;  // sqrt(mean D^2) of the fine points inside it
  int points = 0;
  double dof = 0.0;                // 0 when the points carry none
  double ci_lo_nv = kNotMeasured;  // the interval of the true density at the confidence
  double ci_hi_nv = kNotMeasured;
  double converter_nv = 0.0;  // the same points at the converter, before floor and gain
  double quant_nv = 0.0;      // the converter's own density there; 0 when not known
  bool clean = true;          // none of its points at a floor or beyond a gain file (Q, F, G)
};

struct Band {
  double lo_hz = 0.0;
  double hi_hz = 0.0;
};

struct BandResult {
  double lo_hz = 0.0;
  double hi_hz = 0.0;
  double rms_uv = kNotMeasured;  // not measured when the band leaves the measured range
  int points = 0;                // points whose step overlaps the band
  int clipped_points = 0;        // ... of which were left out
  int quantised_points = 0;      // ... of which lie at the converter's floor (kept, but flagged)
  double dof = 0.0;              // Satterthwaite's degrees of freedom of the sum; 0 when not known
  double ci_lo_uv = kNotMeasured;
  double ci_hi_uv = kNotMeasured;
  double noise_uv = kNotMeasured;  // the same without the lines in it (the noise under them kept)
  int tones = 0;                   // lines inside the band
};

// A spectral line: mains, switching ripple, a spur.
struct ToneResult {
  double hz = 0.0;  // interpolated between bins
  double uv = 0.0;  // rms: its main lobe's power above the local noise
  double ci_lo_uv = kNotMeasured;
  double ci_hi_uv = kNotMeasured;
  double noise_nv = 0.0;  // the local noise density under it
  std::size_t first = 0;  // its points (flagged T)
  std::size_t last = 0;
};

struct SpotResult {
  double hz = 0.0;
  double nv = kNotMeasured;
  int points = 0;            // usable points within +/-5 points
  int bins = 0;              // distinct FFT bins among them (a repeated bin counts once)
  int quantised_points = 0;  // points among them at the converter's floor
  double dof = 0.0;
  double ci_lo_nv = kNotMeasured;
  double ci_hi_nv = kNotMeasured;
};

// D(f)^2 = w^2 (1 + fc / f).
struct FloorFit {
  double white_nv = kNotMeasured;
  double corner_hz = kNotMeasured;  // the fit's value, also when the points cannot show it
  // The one rule for every report: a corner is resolved when it lies within the frequencies
  // of the points the fit used (below them the rise is not seen, above them it is all rise).
  bool corner_resolved = false;
  // 95 % intervals from the fit's covariance (the weights, or the residuals' scatter where
  // the points carry no degrees of freedom).
  double white_lo_nv = kNotMeasured, white_hi_nv = kNotMeasured;
  double corner_lo_hz = kNotMeasured, corner_hi_hz = kNotMeasured;
  double lo_hz = 0.0;  // the lowest and highest frequency the fit used
  double hi_hz = 0.0;
  int points = 0;    // points the final fit used
  int rejected = 0;  // points dropped as spurs
  // The white floor lies below the converter's own: most points where it would show are Q.
  // Then it is no number, only a bound.
  bool at_converter_floor = false;
  double white_upper_nv = kNotMeasured;
  int quantised = 0;  // Q points where the white floor would show
};

// "211.8 Hz", or "not resolved (the fit puts it below 100 Hz)", or "not found".
std::string CornerText(const FloorFit& fit);

struct FlagCounts {
  int repeated_bin = 0;
  int clipped = 0;
  int coarse_rbw = 0;
  int quantisation = 0;
  int floor = 0;         // F
  int gain_outside = 0;  // G
  int tone = 0;          // T
  int upper_limit = 0;   // U
};

// A limit mask's verdict on the clean, input-referred log points.
struct LimitResult {
  std::string file;
  bool pass = true;
  double worst_margin_db = 0.0;  // mask over point, in dB; negative where it fails
  double worst_hz = 0.0;
  int failing_points = 0;
  int checked = 0;
  std::vector<std::pair<double, double>> failing_ranges;  // of log points, Hz
  std::vector<std::pair<double, double>> mask;            // for the plot
};

struct NoiseReport {
  FloorFit fit;
  std::vector<ToneResult> tones;
  std::vector<BandResult> bands;
  std::vector<SpotResult> spots;
  std::vector<LogPoint> log_points;
  FlagCounts flags;
  double first_hz = 0.0;  // the measured range
  double end_hz = 0.0;
  std::optional<LimitResult> limit;
  std::vector<std::pair<double, double>> floor;  // the subtracted floor's log points, for the plot
};

// Empty bands and spots mean the defaults: the whole range and each whole decade in it
// with a point; spots at 10 Hz, 100 Hz, 1 kHz and 10 kHz where resolved.
struct AnalysisRequest {
  std::vector<Band> bands;
  std::vector<double> spots_hz;
};

// P log points per decade; a log bin without a fine point is left out.
std::vector<LogPoint> LogPoints(const NoiseSpectrum& s, int ppd);

// sqrt of the sum of D^2 x the part of each point's step inside [lo, hi], in uV.
// Each point over its own cell on log-log (exact for a power law); the noise without the
// lines beside the total.
BandResult IntegratedNoise(const NoiseSpectrum& s, const Band& band, const std::vector<ToneResult>& tones = {});

// Power average of D over the distinct bins of the points within +/-5 points of f. Not measured outside the
// range, and where those points spread beyond f/2 .. 2f (the trace cannot resolve f).
SpotResult SpotNoise(const NoiseSpectrum& s, double hz);

// Weighted least squares of D^2 against (1, 1/f) with relative weights, repeated after
// dropping points more than 3 robust deviations above the fit. Clipped points, points at
// the converter's floor and upper bounds (F, U) are left out.
FloorFit FitWhiteAndCorner(const NoiseSpectrum& s);

FlagCounts CountFlags(const NoiseSpectrum& s);

// The lines of the spectrum: a point whose power exceeds the local noise (the median of its
// neighbours over a third of a decade) beyond the chi-squared 1 - 1e-4 quantile of its
// degrees of freedom (a smaller tail where thousands of points are tested, so noise alone
// makes a false line in about one spectrum of a hundred), with its main lobe. Points without degrees of freedom are not tested.
std::vector<ToneResult> FindTones(const NoiseSpectrum& s);
// Flags T the points of `tones` (and no others).
void MarkTones(NoiseSpectrum& s, const std::vector<ToneResult>& tones);

NoiseReport AnalyzeNoise(const NoiseSpectrum& s, const AnalysisRequest& request);

}  // namespace qvx
