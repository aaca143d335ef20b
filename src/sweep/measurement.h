#pragma once
// Running a noise measurement over the command channel with the window's own set-up,
// trace read, status read and conversion: one acquisition per planned span, each ranged
// until its trace sits inside the byte range.
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "core/log_sink.h"
#include "core/working_state.h"
#include "link/instrument_channel.h"
#include "sweep/sweep_plan.h"

namespace qvx {

inline constexpr const char* kWindowQuery = ":MATH1:FFT:WINDow?";
inline constexpr const char* kWindowCommand = ":MATH1:FFT:WINDow ";
inline constexpr const char* kAverageCountQuery = ":MATH1:FFT:AVCNt?";
inline constexpr const char* kChannelScaleQuery = ":CHANnel1:SCALe?";

// The FFT's vertical setting: V/div and offset in V.
struct FftRange {
  double scale = 0.0;
  double offset = 0.0;
};

// The next range to try for a trace read with `current`, or nothing when the trace is fine:
// fewer than 1 % of its bytes at 0 or 255 (strict: none, the 0 Hz point aside when
// skip_first) and not squeezed into the lowest quarter. New ranges put 0 V at byte 0.
std::optional<FftRange> NextFftRange(const std::array<unsigned char, SPEC_POINTS>& bytes, const FftRange& current,
                                     bool strict = false, bool skip_first = false);

// The range whose top is `top_volts` with 0 V at byte 0.
FftRange RangeWithTop(double top_volts);

// Bytes at 0 or 255.
int ClippedBytes(const std::array<unsigned char, SPEC_POINTS>& bytes);

struct MeasureSettings {
  // A sweep's acquisitions; a single span has one (with set_up false its values are unused).
  std::vector<PlannedAcquisition> acquisitions;
  std::string tdiv_text;  // a single span's timebase as stored; empty: from tdiv_s
  bool set_up = true;     // sends the set-up (and ranges) before each acquisition
  std::string ch1_scale = "0.0002";
  int averages = 32;
  FftRange first_range{1e-8, -7e-8};
  std::string window;       // a window name sent after each set-up as given; "" for none
  double time_scale = 1.0;  // of the averaging waits
  int ppd = 10;
  int max_reads = 8;  // trace reads per acquisition while ranging
  // A single span ranges until no point but the 0 Hz one clips: its few low points hold
  // the whole 1/f region. A sweep's decades stop at fewer than 1 %.
  bool strict_ranging = false;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // Set from elsewhere to stop: between acquisitions and reads, and within a tenth of a
  // second of an averaging wait (the set-up's own pauses run to their end).
  const std::atomic<bool>* cancel = nullptr;
  // The spectrum so far, after each acquisition; on the measurement's thread.
  std::function<void(const NoiseSpectrum&)> live;
};

enum class MeasureStatus { kOk, kNotAnswering, kAllClipped, kTimeLimit, kCancelled };

struct MeasureOutcome {
  MeasureStatus status = MeasureStatus::kOk;
  std::string message;     // what went wrong and what to do
  NoiseSpectrum spectrum;  // what was measured, also when a later step failed
};

// Progress lines go to `progress` (may be empty).
MeasureOutcome RunMeasurement(InstrumentChannel& ch, const MeasureSettings& settings, const LogSink& progress);

}  // namespace qvx
