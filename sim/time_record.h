#pragma once
// The channel's time record: what the 8-bit converter stores of one single acquisition.
//
// Gaussian noise of one-sided density ConverterDensity (the source times the gain, plus the
// channel's own noise) is drawn in the frequency domain, one complex Gaussian per bin with
// variance S(f) N fs / 2, and brought to time by an inverse real FFT, so its spectrum is right
// down to one over the record time and nothing lies at or above fs / 2. Tones and the DC level
// (times the gain) are added in time, then the converter codes b = 128 + (V + offset) / yinc,
// yinc = scale / 32, rounded and clipped to 0 ... 255.
#include <cstddef>
#include <cstdint>
#include <string>

#include "noise_model.h"

namespace qvx::sim {

inline constexpr double kMinChannelScale = 1e-4;  // V/div
inline constexpr double kMaxChannelScale = 10.0;
inline constexpr std::size_t kMaxRecordPoints = 10000000;
inline constexpr std::size_t kMaxReadPoints = 250000;  // per :WAVeform:DATA?
inline constexpr double kYReference = 128.0;

struct RecordLayout {
  double fs_hz = 1e6;
  std::size_t points = 1000000;
  double scale_v = 1e-3;  // volts per division
  double offset_v = 0.0;  // added to the input before the converter
};

// Volts per code: 8 divisions over 256 codes.
inline double YIncrement(double scale_v) { return scale_v / 32.0; }

// The record's codes, one byte a point. The same seed gives the same record.
std::string GenerateRecord(const NoiseModel& model, const RecordLayout& layout, std::uint64_t seed);

}  // namespace qvx::sim
