#pragma once
// The record in time, accumulated as its samples arrive: the overlapping Allan and Hadamard
// deviations of its volts at octave averaging times with their intervals, the drift with an
// interval that holds for correlated noise, and its bursts.
//
// The samples are taken as "frequency" data y_i with tau0 = 1 / fs. A reference (the first
// sample) is subtracted in double before anything else, so a DC level changes nothing. The
// samples are processed in fixed chunks at fixed positions of the record, so the figures are
// the same bit for bit whatever the split into Push calls. Memory stays bounded: the
// deviations keep running sums and a few dozen block moments per octave; the bursts keep one
// float mean per 8 samples (5 MB at 10 M samples).
#include <cstddef>
#include <memory>
#include <vector>

#include "psd/allan.h"
#include "psd/bursts.h"

namespace qvx::psd {

// The longest record taken (2^31 samples; a capture's is at most 10 M).
inline constexpr std::size_t kMaxTimeSamples = std::size_t{1} << 31;

struct DeviationPoint {
  double tau_s = 0.0;
  std::size_t m = 0;         // averaging factor: tau = m / fs
  std::size_t averages = 0;  // non-overlapping averages in the record, N / m
  NoiseType noise = NoiseType::kWhite;
  // Overlapping Allan deviation, its equivalent degrees of freedom and 95 % interval.
  double adev_v = 0.0;
  double adev_edf = 0.0;
  double adev_lo_v = 0.0;
  double adev_hi_v = 0.0;
  // Overlapping Hadamard deviation, likewise (a linear drift does not reach it).
  double hdev_v = 0.0;
  double hdev_edf = 0.0;
  double hdev_lo_v = 0.0;
  double hdev_hi_v = 0.0;
  // From block moments (past m = 16) rather than exact running sums over every phase point.
  bool from_blocks = false;
};

// The least-squares slope of the record, with a 95 % interval from the noise the Hadamard
// deviation finds (white, 1/f and 1/f^2 parts), so that correlated noise widens it as it
// should.
struct Drift {
  bool valid = false;
  double slope_v_per_s = 0.0;
  double sigma_v_per_s = 0.0;  // the slope's standard error
  double dof = 0.0;            // of that error
  double lo_v_per_s = 0.0;
  double hi_v_per_s = 0.0;
  // The noise the interval assumes: one-sided density h0 + h1 / f + h2 / f^2.
  double h0_v2_per_hz = 0.0;
  double h1_v2 = 0.0;
  double h2_v2_hz = 0.0;
};

struct TimeFigures {
  std::size_t samples = 0;
  double fs_hz = 0.0;
  double duration_s = 0.0;
  double mean_v = 0.0;
  double std_v = 0.0;
  std::vector<DeviationPoint> deviation;  // tau from 1 / fs to a tenth of the record, octaves
  Drift drift;
  Bursts bursts;
};

class TimeDomain {
 public:
  // fs_hz: the sample rate; expected_samples: the record's length (memory is reserved for
  // it; more may come). Either out of range: std::invalid_argument naming it.
  TimeDomain(double fs_hz, std::size_t expected_samples);
  ~TimeDomain();
  TimeDomain(const TimeDomain&) = delete;
  TimeDomain& operator=(const TimeDomain&) = delete;

  // Non-finite samples are refused (std::invalid_argument) and none of the call's samples
  // is taken.
  void Push(const float* samples, std::size_t n);
  void Push(const double* samples, std::size_t n);
  void Reset();

  // The figures of the samples so far (tens of milliseconds at 10 M samples, about 0.1 s
  // where bursts are fitted); the accumulator carries on unchanged.
  TimeFigures Read() const;
  std::size_t Samples() const;
  double SampleRate() const { return fs_; }

 private:
  struct State;
  struct Scratch;
  template <typename T>
  void PushSamples(const T* samples, std::size_t n);

  double fs_;
  std::size_t expected_;
  std::unique_ptr<State> state_;
  std::unique_ptr<Scratch> scratch_;
  std::vector<double> pending_;  // samples less the reference, short of a chunk
  std::size_t pending_count_ = 0;
  std::vector<float> means_;  // means of 8 samples, less the reference
};

// Variance of the least-squares slope of a record of duration_s over noise of one-sided
// density h0 + h1 / f + h2 / f^2, (V/s)^2: 6 h0 / T^3 + 9 h1 / T^2 + (12 pi^2 / 5) h2 / T.
double SlopeVariance(double h0, double h1, double h2, double duration_s);

}  // namespace qvx::psd
