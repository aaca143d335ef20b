#pragma once
// The physics behind the simulated FFT trace: a noise source with a white floor, a 1/f
// corner and a few spurs, seen through the instrument's FFT bins and averaging.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim_state.h"

namespace qvx::sim {

inline constexpr int kTracePoints = 1000;  // displayed points across the span
inline constexpr double kMaxSampleRate = 1e9;

struct Spur {
  double freq_hz = 0.0;
  double vrms = 0.0;
};

struct NoiseModel {
  double white_nv = 20.0;    // white density, nV/sqrt(Hz)
  double corner_hz = 200.0;  // 1/f corner frequency
  // Inside the default 0..100 kHz span, at levels the default scale and offset can show.
  std::vector<Spur> spurs = {{10000.0, 3e-8}, {25000.0, 6e-8}, {60000.0, 4e-8}};
  std::uint64_t seed = 1;
};

// Samples per second: memory depth over ten divisions of the timebase, at most 1 GSa/s.
double SampleRate(const SimState& state);

// The FFT length: the smallest power of two not below the samples on screen, at least 2.
double FftPoints(const SimState& state);

// Width of one FFT bin, Hz.
double BinWidth(const SimState& state);

// Noise density in nV/sqrt(Hz) at frequency f (f below 1 Hz counts as 1 Hz).
double NoiseDensity(const NoiseModel& model, double freq_hz);

// The true rms value of trace point i (noise in its bin, plus spurs inside the point's step).
double TruePointVrms(const NoiseModel& model, const SimState& state, std::size_t index);

// Byte encoding of the trace: b = 128 + 32 (V + offset) / scale, rounded, clamped to 0..255.
std::uint8_t EncodeByte(double vrms, double scale, double offset);
double DecodeByte(std::uint8_t byte, double scale, double offset);

// One trace of `points` bytes with fresh random draws: each point is the rms of
// state.avcnt complex Gaussian magnitudes whose rms is the point's true value.
std::string GenerateTrace(const NoiseModel& model, const SimState& state, std::size_t points,
                          std::mt19937_64& rng);

}  // namespace qvx::sim
