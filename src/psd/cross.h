#pragma once
// Two channels at once: their auto-spectra and their cross-spectrum, on the Welch estimator's
// cascade (the same stages, segments, fine points and log points). The instrument's own noise
// on each channel is independent of the other's, so it averages out of the real part of the
// cross-spectrum while what the channels share (the circuit's noise) stays: sqrt(Re Sxy /
// (g1 g2)) is the circuit's density. |Sxy| is never used: the channels' own noise biases it up.
//
// Records accumulate: each record passes the cascade on its own (its own DC reference on each
// channel, its own segments; no segment straddles two records) and the sums of all records
// add. Memory does not grow with a record's length nor with the number of records.
#include <cstddef>
#include <memory>
#include <vector>

#include "psd/estimator.h"

namespace qvx::psd {

namespace detail {
class ForkJoin;
}  // namespace detail

struct CrossOptions {
  std::size_t segment = 4096;      // samples per Welch segment at each stage, as Options::segment
  std::size_t record_samples = 0;  // each record's length; it decides how deep the cascade goes (0: 10 M)
};

// The confidence of every interval and flag below.
inline constexpr double kCrossConfidence = 0.95;

struct CrossFinePoint {
  double hz = 0.0;
  double width_hz = 0.0;
  int stage = 0;  // as FinePoint::stage
  // One-sided, V^2/Hz, scaled as the Welch estimator's densities; Sxy is the mean of X conj(Y).
  double sxx = 0.0, syy = 0.0, re = 0.0, im = 0.0;
  double averages = 0.0;   // effective m: the auto-spectra's degrees of freedom / 2
  double coherence = 0.0;  // |Sxy|^2 / (Sxx Syy), 0 where either is 0
};

struct CrossLogPoint {
  double hz = 0.0;                                  // geometric centre of [10^(j/P), 10^((j+1)/P))
  int points = 0;                                   // fine points combined
  double sxx = 0.0, syy = 0.0, re = 0.0, im = 0.0;  // means over the fine points, V^2/Hz
  double averages = 0.0;                            // m, counting the bins combined
  double coherence = 0.0;
  double sigma = 0.0;  // standard deviation of re: sqrt((Sxx Syy + Re^2 - Im^2) / (2 m))
  double re_lo = 0.0;  // 95 % interval of the true Re Sxy (see cross_stats.h), V^2/Hz
  double re_hi = 0.0;
  // Input-referred, V/sqrt(Hz): sqrt(x / (g1 g2)), a negative x giving 0.
  double density = 0.0;      // from re
  double density_lo = 0.0;   // from re_lo
  double density_hi = 0.0;   // from re_hi: an upper-limit point's value
  double floor = 0.0;        // sqrt(sqrt(Sxx Syy / (2 m)) / (g1 g2)), what the averages can resolve
  bool upper_limit = false;  // U: the interval reaches zero or below; only density_hi is known
  // Beyond 3 sigma, and (by CrossZeroTail) as unlikely as that under the normal law:
  bool collapse = false;  // Re Sxy below zero: correlated terms of opposite sign cancel
  bool phase = false;     // |Im Sxy| above: what the channels share is not in phase
  // For a U point: how much longer it needs, at the present rate of averages per second,
  // before its interval's lower end is above zero with the spectra as they are (+inf where
  // Re Sxy <= 0). 0 for a point already resolved.
  double seconds_to_resolve = 0.0;
};

class CrossEstimator {
 public:
  // Throws std::invalid_argument, naming the parameter, for fs_hz not finite or outside
  // (0, kMaxSampleRateHz], or a segment that is not a power of two from 16 to kMaxSegment.
  CrossEstimator(double fs_hz, CrossOptions options);
  ~CrossEstimator();
  CrossEstimator(const CrossEstimator&) = delete;
  CrossEstimator& operator=(const CrossEstimator&) = delete;

  // The next n pairs of the record in progress (x on channel 1, y on channel 2, at the same
  // instants), in pieces of any size; the first push after EndRecord() starts a new record.
  // The first push's type sets the top stage's precision, as the Welch estimator's. Throws
  // std::invalid_argument for a null array with n > 0. Not to be called while another
  // thread reads.
  void Push(const double* x, const double* y, std::size_t n);
  void Push(const float* x, const float* y, std::size_t n);
  // Closes the record in progress: its partial segments are dropped, its deepest stage's
  // Welch added to the sums. Nothing open: nothing happens.
  void EndRecord();

  // The fine points of all records so far, rising, as the Welch estimator's Read(). The
  // record in progress counts from its DC reference on (its first kReferenceSamples pairs,
  // or all of a shorter record, once it is closed).
  std::vector<CrossFinePoint> Read() const;
  // P log points per decade with the two channels' gains (each finite and above 0). Throws
  // std::invalid_argument, naming the parameter.
  std::vector<CrossLogPoint> ReadLog(int points_per_decade, double gain1, double gain2) const;

  std::size_t Records() const { return records_ + (record_samples_ > 0 ? 1 : 0); }
  std::size_t Samples() const { return samples_; }  // pairs, over all records
  double Seconds() const { return static_cast<double>(samples_) / fs_; }
  double SampleRate() const { return fs_; }
  const CrossOptions& Settings() const { return options_; }

 private:
  struct Stage;
  struct Closed;
  enum class Precision { Unset, Float, Double };
  template <class T>
  void PushAny(const T* x, const T* y, std::size_t n, Precision precision);
  void Reference();
  template <class T>
  void Process(const T* x, const T* y, std::size_t n);
  template <class T>
  void Feed(std::size_t s, const T* x, const T* y, std::size_t n, double offset_x, double offset_y, bool welch);
  template <class T>
  void FeedTopWelch(const T* x, const T* y, std::size_t n);

  double fs_;
  CrossOptions options_;
  Options cascade_;  // the Welch estimator's options with the same cascade
  std::size_t tail_stage_ = 0;
  std::size_t reference_count_ = 0;
  Precision precision_ = Precision::Unset;
  std::vector<std::unique_ptr<Stage>> stages_;
  // The record in progress.
  std::size_t record_samples_ = 0;
  bool referenced_ = false;
  double reference_x_ = 0.0, reference_y_ = 0.0;
  std::vector<double> head_x_, head_y_;  // held back until the references are known
  // The records closed.
  std::size_t records_ = 0;
  std::size_t samples_ = 0;
  std::unique_ptr<Closed> closed_;  // their deepest stage's sums
  // The top stage's Welch runs on the caller's thread while this one decimates.
  std::unique_ptr<detail::ForkJoin> helper_;
  const float* pending_float_[2] = {nullptr, nullptr};
  const double* pending_double_[2] = {nullptr, nullptr};
  std::size_t pending_n_ = 0;
};

// Log points of fine points (as LogBins) with their statistics and flags, the gains g1 and
// g2, and the seconds of samples the fine points came from (for seconds_to_resolve). Throws
// std::invalid_argument, naming the parameter, for points_per_decade < 1, a gain not finite
// or not above 0, or seconds negative or not finite.
std::vector<CrossLogPoint> CrossLogPoints(const std::vector<CrossFinePoint>& fine, int points_per_decade, double gain1,
                                          double gain2, double seconds);

// The averages each log point from f1_hz up will have after `records` records of
// options.record_samples pairs at fs_hz, in closed form: a plan's confidence at F1, and with
// seconds_to_resolve how long a capture must run. Throws as the constructor does, and for
// options.record_samples 0 or points_per_decade < 1.
struct PlannedCrossPoint {
  double hz = 0.0;
  double averages = 0.0;
};
std::vector<PlannedCrossPoint> PlannedCrossAverages(double fs_hz, const CrossOptions& options, std::size_t records,
                                                    int points_per_decade, double f1_hz);

}  // namespace qvx::psd
