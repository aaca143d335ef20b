#pragma once
// What the instrument adds, and what is the circuit's: a preamplifier's gain (constant or
// from a calibration file), the set-up's own floor measured with the input shorted, and a
// limit mask. Readers are pure functions of the text, so they can be fuzzed.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

namespace qvx {

// Frequency against a value, interpolated on log frequency (a gain in dB) or log-log (a
// density); outside its range the end values hold.
struct Curve {
  std::vector<std::pair<double, double>> points;  // rising frequency
  double At(double hz, bool log_value, bool* outside = nullptr) const;
};

// A text of "frequency value" lines: comma-, tab- or space-separated, # comments, blank
// lines. Frequencies rise and are above 0; `positive` values must be above 0.
struct CurveRead {
  Curve curve;
  std::string error;  // "line N: ..."; empty when read
  bool ok() const { return error.empty(); }
};
CurveRead ReadCurve(std::string_view text, const char* value_name, bool positive);

struct Gain {
  double ratio = 1.0;         // a constant gain
  std::optional<Curve> file;  // frequency in Hz, gain in dB
  std::string source;         // the file's name, or empty for a constant
  bool given = false;
  double RatioAt(double hz, bool* outside) const;
  std::string Describe() const;  // "gain 40 dB", "gain from cal.txt"
};

// A floor run: its densities at the converter, and how it was measured.
struct Floor {
  // What the instrument adds beyond its converter, at the converter (log-log); a floor file
  // that does not say its own converter's floor keeps it in, and then the run's converter
  // floor is not taken out a second time.
  Curve density_nv;
  bool converter_floor_included = true;
  double lf_rms_nv = kNotKnown;  // its own 0.1-10 Hz rms at the converter, when it has one
  std::string source;
  std::optional<SpectrumMethod> method;  // not known from a CSV alone
  std::vector<double> rates_hz;  // RBWs (instrument FFT) or sample rates (time record)
  std::vector<double> ch1_scales;
};
struct FloorRead {
  Floor floor;
  std::string error;
  bool ok() const { return error.empty(); }
};
// A JSON or CSV that qvx71-noise wrote; the CSV alone carries no settings.
FloorRead ReadFloorFile(std::string_view text, const std::string& name);

// Why a floor was measured otherwise than the run, or empty when it matches.
std::string FloorMismatch(const Floor& floor, const NoiseSpectrum& run);

// Recomputes every density from its level at the converter: the converter's own floor
// subtracted in power (a point within 3 dB of it, flagged Q, keeps its value as an upper
// bound), the floor run subtracted in power (a point less than 3 dB above it keeps its value
// and is flagged F), then the gain divided out (a point beyond a gain file's range flagged G).
// The 0.1-10 Hz figures follow: the density-weighted one from the corrected density, the rms
// less the floor run's own in power, both divided by the gain. Counts go into the spectrum.
void ApplyCorrections(NoiseSpectrum& s, const Gain& gain, const Floor* floor);

// A limit mask against the log points that are clean and input-referred.
LimitResult CheckLimit(const std::vector<LogPoint>& points, const Curve& mask);

}  // namespace qvx
