#pragma once
// What the instrument can do, in one place: memory depths, sample rates, the largest read,
// the timebase and channel-scale steps, and the transfer rate plans assume.
#include <array>
#include <cstddef>
#include <vector>

namespace qvx {

// Points per record (:ACQuire:MDEPth); with channel 2 on, each channel gets at most half.
inline constexpr std::array<double, 5> kMemoryDepths = {1e3, 1e4, 1e5, 1e6, 1e7};
inline constexpr double kMaxMemoryDepth = 1e7;
inline constexpr double kMaxMemoryDepthTwoChannels = 5e6;

inline constexpr double kMaxSampleRate = 1e9;  // Sa/s
inline constexpr double kMaxSampleRateTwoChannels = 5e8;

// Points one :WAVeform:DATA? may ask for, and the fewest a refused read halves down to.
inline constexpr std::size_t kMaxReadPoints = 250000;
inline constexpr std::size_t kMinReadPoints = 1000;

// Channel scales, V/div.
inline constexpr double kMinChannelScale = 1e-4;
inline constexpr double kMaxChannelScale = 10.0;

// The FFT set-up's ":ACQuire:MDEPth 1M".
inline constexpr double kSweepMemoryDepth = 1e6;

// Bytes a second a plan counts for reading a record.
inline constexpr double kPlanTransferBytesPerSecond = 2e7;

// The timebase steps, 1-2-5 from 1 ns/div to 1000 s/div.
const std::vector<double>& TimebaseSteps();

// The 1-2-5 channel scales from kMinChannelScale to kMaxChannelScale.
const std::vector<double>& ChannelScales();

// The smallest channel scale of at least `volts` per division (the largest when none is).
double ChannelScaleAtLeast(double volts);

}  // namespace qvx
