#pragma once
// The channel's time record: what the 8-bit converter stores of one single acquisition.
//
// Gaussian noise (the source times the gain, plus the channel's own noise and the ground
// loop's) is drawn in the frequency domain, one complex Gaussian per bin with variance
// S(f) N fs / 2, and brought to time by an inverse real FFT, so its spectrum is right down to
// one over the record time and nothing lies at or above fs / 2. Tones, the DC level, the
// telegraph signal and the drift (times the gain) are added in time, then the converter codes
// b = 128 + (V + offset) / yinc, yinc = scale / 32, rounded and clipped to 0 ... 255.
//
// With two channels, channel 2's bin is drawn as its regression on channel 1's plus a fresh
// Gaussian of the rest: the same joint distribution as drawing the circuit, each front end and
// the ground loop apart, with half the draws, and channel 1 keeps its bytes whether channel 2
// records or not. The telegraph signal is exact on the sample grid: a symmetric two-state
// process sampled every dt changes level between samples with probability
// (1 - e^(-2 rate dt)) / 2, so its runs are geometric. Being sampled as it is, its steps are
// not band-limited: the Lorentzian's tail above fs / 2 folds back, negligibly for rates far
// below the sample rate.
#include <cstddef>
#include <cstdint>
#include <string>

#include "noise_model.h"

namespace qvx::sim {

inline constexpr double kMinChannelScale = 1e-4;  // V/div
inline constexpr double kMaxChannelScale = 10.0;
inline constexpr std::size_t kMaxRecordPoints = 10000000;
inline constexpr std::size_t kMaxTwoChannelPoints = 5000000;  // per channel, with channel 2 on
inline constexpr std::size_t kMaxReadPoints = 250000;         // per :WAVeform:DATA?
inline constexpr double kYReference = 128.0;

struct RecordLayout {
  double fs_hz = 1e6;
  std::size_t points = 1000000;
  double scale_v = 1e-3;  // volts per division
  double offset_v = 0.0;  // added to the input before the converter
};

// Volts per code: 8 divisions over 256 codes.
inline double YIncrement(double scale_v) { return scale_v / 32.0; }

// Channel 2's converter: the sample rate and the points are channel 1's.
struct SecondChannel {
  double scale_v = 1e-3;
  double offset_v = 0.0;
};

struct RecordPair {
  std::string channel1;
  std::string channel2;
};

// The record's codes, one byte a point. The same seed gives the same record.
std::string GenerateRecord(const NoiseModel& model, const RecordLayout& layout, std::uint64_t seed);

// Both channels' codes at the same instants; channel 1's are GenerateRecord's for the seed.
RecordPair GenerateRecordPair(const NoiseModel& model, const RecordLayout& layout, const SecondChannel& second,
                              std::uint64_t seed);

}  // namespace qvx::sim
