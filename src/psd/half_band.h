#pragma once
// The estimator's decimation by two (internal): a half-band low-pass, run in double.
#include <cstddef>
#include <vector>

namespace qvx::psd::detail {

// The cascade's decimation by four, for every estimator on it: a first half-band that only
// keeps aliases off the quarter band the next stage uses (pass 0.1, stop 0.4 of its input
// rate), then one that sharpens to it (pass 0.2, stop 0.3).
inline constexpr double kFirstHalfBand = 0.3;
inline constexpr double kSecondHalfBand = 0.1;

// A Kaiser-windowed sinc at a quarter of the rate. Every tap at an even distance from the
// centre is zero and the rest are symmetric, so the inputs are split into the centre's
// phase and the other one, and an output costs one multiply per pair of odd taps.
// `transition` is the band from pass to stop in cycles per input sample, centred on 0.25;
// at least 110 dB down beyond it. The history starts at zero.
class HalfBand {
 public:
  explicit HalfBand(double transition);

  // Filters n more inputs, each x[i] - offset in double, and writes an output for every
  // second input to `out` (room for n / 2 + 1); returns how many. After n inputs in all
  // there are n / 2 outputs, and how the inputs are split into calls changes no bit.
  template <class Src>
  std::size_t Run(const Src* x, std::size_t n, double offset, double* out);

  void Reset();
  std::size_t Taps() const { return taps_.size(); }  // odd taps, at distance 1, 3, 5, ...

 private:
  void Compute(std::size_t outputs, double* out) const;

  std::vector<double> taps_;
  double centre_ = 0.5;
  // even_[j] is the centre of output j; odd_[j + i] holds its neighbours, i < 2 x taps.
  std::vector<double> even_;
  std::vector<double> odd_;
  std::size_t n_even_ = 0;
  std::size_t n_odd_ = 0;
  bool next_is_odd_ = false;
};

}  // namespace qvx::psd::detail
