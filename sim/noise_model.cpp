#include "noise_model.h"

#include <algorithm>
#include <cmath>

namespace qvx::sim {

double SampleRate(const SimState& state) {
  const double screen_time = 10.0 * state.tdiv;
  if (!(screen_time > 0.0)) return kMaxSampleRate;
  return std::min(kMaxSampleRate, state.mdepth_points / screen_time);
}

double FftPoints(const SimState& state) {
  const double samples = 10.0 * state.tdiv * SampleRate(state);
  double points = 2.0;
  while (points < samples && points < 1e18) points *= 2.0;
  return points;
}

double BinWidth(const SimState& state) { return SampleRate(state) / FftPoints(state); }

double NoiseDensity(const NoiseModel& model, double freq_hz) {
  const double f = std::max(std::fabs(freq_hz), 1.0);
  return model.white_nv * std::sqrt(1.0 + std::max(model.corner_hz, 0.0) / f);
}

double TruePointVrms(const NoiseModel& model, const SimState& state, std::size_t index) {
  const double step = (state.end_hz - state.start_hz) / kTracePoints;
  const double f = state.start_hz + static_cast<double>(index) * step;
  const double noise = NoiseDensity(model, f) * 1e-9 * std::sqrt(BinWidth(state));
  double power = noise * noise;
  const double low = std::min(f, f + step);
  const double high = std::max(f, f + step);
  for (const Spur& spur : model.spurs) {
    if (spur.freq_hz >= low && spur.freq_hz < high) power += spur.vrms * spur.vrms;
  }
  return std::sqrt(power);
}

std::uint8_t EncodeByte(double vrms, double scale, double offset) {
  const double b = std::round(128.0 + 32.0 * (vrms + offset) / scale);
  if (std::isnan(b) || b <= 0.0) return 0;
  if (b >= 255.0) return 255;
  return static_cast<std::uint8_t>(b);
}

double DecodeByte(std::uint8_t byte, double scale, double offset) {
  return (static_cast<double>(byte) - 128.0) / 32.0 * scale - offset;
}

std::string GenerateTrace(const NoiseModel& model, const SimState& state, std::size_t points,
                          std::mt19937_64& rng) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  const int averages = std::clamp(state.avcnt, 1, 64);
  std::string bytes(points, '\0');
  for (std::size_t i = 0; i < points; ++i) {
    // Real and imaginary parts each carry half the power.
    const double sigma = TruePointVrms(model, state, i) / std::sqrt(2.0);
    double sum = 0.0;
    for (int k = 0; k < averages; ++k) {
      const double re = sigma * gauss(rng);
      const double im = sigma * gauss(rng);
      sum += re * re + im * im;
    }
    const double v = std::sqrt(sum / averages);
    bytes[i] = static_cast<char>(EncodeByte(v, state.fft_scale, state.fft_offset));
  }
  return bytes;
}

}  // namespace qvx::sim
