#pragma once
// Welch's average of half-overlapped Hann periodograms, segment by segment as samples
// arrive (internal to the estimator). T is the precision of the segment and its FFT;
// the sums of the periodograms are double either way.
#include <fftw3.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "psd/estimator.h"

namespace qvx::psd::detail {

// FFTW's planner is not thread-safe: every plan in this library is made under this.
std::mutex& FftwPlannerMutex();

// Degrees of freedom of a Welch average of k half-overlapped Hann segments.
double WelchDof(std::size_t k, Averaging averaging);

// Degrees of freedom of a mean of `segments` Hann periodograms of which `neighbours` half
// overlap the one before them (segments of separate records overlap none).
double MeanWelchDof(std::size_t segments, std::size_t neighbours);

// Segments a Welch of `length` has after n samples.
inline std::size_t WelchSegments(std::size_t n, std::size_t length) {
  return n < length ? 0 : 1 + (n - length) / (length / 2);
}

// The running median of a stream (P-squared, Jain and Chlamtac 1985): five markers, no
// stored values beyond the first five.
class RunningMedian {
 public:
  void Add(double x);
  double Value() const;

 private:
  double q_[5] = {};
  double n_[5] = {};
  double want_[5] = {};
  int count_ = 0;
};

template <class T>
struct Fftw;
template <>
struct Fftw<double> {
  using Plan = fftw_plan;
  using Complex = fftw_complex;
};
template <>
struct Fftw<float> {
  using Plan = fftwf_plan;
  using Complex = fftwf_complex;
};

template <class T>
class Welch {
 public:
  // `length`: a power of two of at least 16. The FFTW plan of a length is made once in the
  // process and shared.
  Welch(std::size_t length, Averaging averaging);
  ~Welch();
  Welch(const Welch&) = delete;
  Welch& operator=(const Welch&) = delete;

  // Takes n more samples, each T(x[i] - offset) with the difference in double.
  template <class Src>
  void Push(const Src* x, std::size_t n, double offset);

  std::size_t Segments() const { return segments_; }
  std::size_t Length() const { return length_; }
  // One-sided density of bin k, V^2/Hz.
  double Psd(std::size_t k, double rate) const;

 private:
  void Segment();

  std::size_t length_;
  Averaging averaging_;
  std::vector<T> window_;
  double sum_w2_ = 0.0;
  std::vector<T> buffer_;
  std::size_t fill_ = 0;
  std::vector<double> sum_;
  std::vector<RunningMedian> median_;
  std::size_t segments_ = 0;
  T* in_ = nullptr;
  typename Fftw<T>::Complex* out_ = nullptr;
  typename Fftw<T>::Plan plan_ = nullptr;
};

// The sums of a cross-spectral Welch average of two channels, bin by bin (double): of
// |X|^2, |Y|^2 and X conj(Y) over the segments. Sums of the same length add, so records
// each with their own segments merge.
struct CrossSums {
  std::size_t length = 0;
  double sum_w2 = 0.0;  // the window's power, for the scale
  std::size_t segments = 0;
  std::size_t neighbours = 0;  // segments that half overlap the one before them
  std::vector<double> xx, yy, re, im;

  // Throws std::invalid_argument for sums of another length or window.
  void Add(const CrossSums& other);
  // What turns a bin's sum into a one-sided density, V^2/Hz.
  double Scale(double rate) const {
    return segments == 0 ? 0.0 : 2.0 / (rate * sum_w2 * static_cast<double>(segments));
  }
};

// Welch's segments of two channels at the same instants: each its own segment mean taken
// out, the same Hann window and FFT length, T the precision of the FFTs.
template <class T>
class CrossWelch {
 public:
  explicit CrossWelch(std::size_t length);
  ~CrossWelch();
  CrossWelch(const CrossWelch&) = delete;
  CrossWelch& operator=(const CrossWelch&) = delete;

  // n more pairs, each T(x[i] - offset_x), T(y[i] - offset_y) with the differences in double.
  template <class Src>
  void Push(const Src* x, const Src* y, std::size_t n, double offset_x, double offset_y);
  // A record boundary: the part of a segment taken so far is dropped, and the next segment
  // overlaps none before it.
  void Restart();

  const CrossSums& Sums() const { return sums_; }

 private:
  void Segment();

  std::size_t length_;
  std::vector<T> window_;
  std::vector<T> bx_, by_;
  std::size_t fill_ = 0;
  bool continued_ = false;
  CrossSums sums_;
  T* in_ = nullptr;
  typename Fftw<T>::Complex* out_x_ = nullptr;
  typename Fftw<T>::Complex* out_y_ = nullptr;
  typename Fftw<T>::Plan plan_ = nullptr;
};

}  // namespace qvx::psd::detail
