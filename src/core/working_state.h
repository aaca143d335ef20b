#pragma once
// The window's working state and the spectrum buffer it holds.
#include <array>
#include <string>

namespace qvx {

inline constexpr int SPEC_POINTS = 1000;

struct SpecPoint {
  double Freq = 0.0;   // Hz
  double Level = 0.0;  // nV/sqrt(Hz), unfiltered
};

using SpectrumBuffer = std::array<SpecPoint, SPEC_POINTS>;

// Members keep the names the operators' documentation uses; all start zero/empty.
struct WorkingState {
  std::string Addr;        // instrument address as stored in the settings
  double Startf = 0.0;     // FFT start frequency, Hz
  double Endf = 0.0;       // FFT end frequency, Hz
  double FftScale = 0.0;   // FFT vertical scale, V/div
  double FftOffset = 0.0;  // FFT vertical offset, V
  double Fs = 0.0;         // sample rate, Sa/s
  double Rbw = 0.0;        // resolution bandwidth, Hz; 0 until first computed
  std::string TDiv;        // timebase, s/div, as text
  std::string Ch1Scale;    // channel-1 vertical scale, as text
  SpectrumBuffer SpecData{};
  double LvInc = 0.0;  // desired tick increment of the left axis
};

}  // namespace qvx
