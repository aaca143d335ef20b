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

}  // namespace qvx::psd::detail
