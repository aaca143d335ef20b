#pragma once
// Bursts (popcorn, random telegraph noise) in a record: steps found at a false-alarm rate set
// by the Gaussian statistics of the record's own noise, their levels, and a two-state
// hidden-Markov fit for the switching rate and the dwell times (a count of the steps found
// misses the dwells shorter than the detector's windows).
#include <cstddef>
#include <vector>

namespace qvx::psd {

// At most this many seconds of Gaussian noise per false step, whatever its density.
inline constexpr double kFalseStepSeconds = 1e4;

struct Bursts {
  bool detected = false;
  std::size_t steps = 0;         // steps the detector found
  std::vector<double> levels_v;  // the two-state fit's levels, rising
  double amplitude_v = 0.0;      // their spacing
  double rate_hz = 0.0;          // transitions per second
  std::vector<double> dwell_s;   // mean dwell in each level
  std::vector<double> fraction;  // share of the time in each level
  double analysis_hz = 0.0;      // rate of the means the detector and the fit ran on
};

// The bursts in equally spaced means of a record (volts less offset_v) at rate_hz; the levels
// come back with offset_v added.
Bursts FindBursts(const std::vector<double>& means_v, double rate_hz, double offset_v);

// The step detector's threshold in units of its statistic's standard deviation: the
// difference of the means of n points either side of each point, at rate_hz, so that
// Gaussian noise crosses it (either sign) at most `crossings` times in kFalseStepSeconds.
// rho is the statistic's lag-1 correlation (1 - 3 / (2n) for white noise).
double StepThreshold(double rho, double rate_hz, double crossings);

}  // namespace qvx::psd
