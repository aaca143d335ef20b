#include "psd/welch.h"

#include "psd/vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <numbers>
#include <stdexcept>

namespace qvx::psd::detail {
namespace {

// Power correlation of the periodograms of two Hann segments half overlapped.
constexpr double kOverlapRho2 = 1.0 / 36.0;
// Median of exponential variables: its variance is 1 / (K f(median)^2 / 4), so 2 K ln^2 2
// equivalent degrees of freedom.
constexpr double kMedianEfficiency = 0.4804530139182014;  // ln^2 2

// FFTW's two precisions behind one set of names.
void* AllocReal(std::size_t n, double*) { return fftw_alloc_real(n); }
void* AllocReal(std::size_t n, float*) { return fftwf_alloc_real(n); }
void* AllocComplex(std::size_t n, double*) { return fftw_alloc_complex(n); }
void* AllocComplex(std::size_t n, float*) { return fftwf_alloc_complex(n); }
void Free(double* p) { fftw_free(p); }
void Free(float* p) { fftwf_free(p); }
void Free(fftw_complex* p) { fftw_free(p); }
void Free(fftwf_complex* p) { fftwf_free(p); }
fftw_plan MakePlan(std::size_t n, double* in, fftw_complex* out) {
  return fftw_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_ESTIMATE);
}
fftwf_plan MakePlan(std::size_t n, float* in, fftwf_complex* out) {
  return fftwf_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_ESTIMATE);
}
void Destroy(fftw_plan p) { fftw_destroy_plan(p); }
void Destroy(fftwf_plan p) { fftwf_destroy_plan(p); }
void Execute(fftw_plan p, double* in, fftw_complex* out) { fftw_execute_dft_r2c(p, in, out); }
void Execute(fftwf_plan p, float* in, fftwf_complex* out) { fftwf_execute_dft_r2c(p, in, out); }

template <class T>
T* NewReal(std::size_t n) {
  auto* p = static_cast<T*>(AllocReal(n, static_cast<T*>(nullptr)));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
template <class T>
typename Fftw<T>::Complex* NewComplex(std::size_t n) {
  auto* p = static_cast<typename Fftw<T>::Complex*>(AllocComplex(n, static_cast<T*>(nullptr)));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// One plan per length and precision for the whole process. FFTW_ESTIMATE: the plan (and so
// every bit of the result) does not depend on timing, and measuring would cost more than a
// record's FFTs save. Arrays from fftw_alloc share the plan's alignment.
template <class T>
typename Fftw<T>::Plan SharedPlan(std::size_t length) {
  using Plan = typename Fftw<T>::Plan;
  struct Plans {
    std::map<std::size_t, Plan> by_length;
    ~Plans() {
      for (auto& [length, plan] : by_length) Destroy(plan);
    }
  };
  static Plans plans;
  std::lock_guard lock(FftwPlannerMutex());
  if (auto it = plans.by_length.find(length); it != plans.by_length.end()) return it->second;
  T* in = NewReal<T>(length);
  typename Fftw<T>::Complex* out = nullptr;
  try {
    out = NewComplex<T>(length / 2 + 1);
  } catch (...) {
    Free(in);
    throw;
  }
  const Plan plan = MakePlan(length, in, out);
  Free(in);
  Free(out);
  if (plan == nullptr) throw std::bad_alloc();
  plans.by_length.emplace(length, plan);
  return plan;
}

// A segment's three passes. The mean is summed in double in eight fixed lanes (the length
// is a power of two of at least 16).
template <class T>
QVX_ALWAYS_INLINE double MeanOfBody(const T* b, std::size_t n) {
  double lane[8] = {};
  for (std::size_t i = 0; i < n; i += 8) {
    for (int k = 0; k < 8; ++k) lane[k] += static_cast<double>(b[i + k]);
  }
  return (((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]))) /
         static_cast<double>(n);
}
template <class T>
QVX_ALWAYS_INLINE void WindowedBody(const T* b, T mean, const T* w, T* in, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) in[i] = (b[i] - mean) * w[i];
}
template <class T>
QVX_ALWAYS_INLINE void AddPowerBody(const T* z, std::size_t bins, double* sum) {
  for (std::size_t k = 0; k < bins; ++k) {
    const auto re = static_cast<double>(z[2 * k]), im = static_cast<double>(z[2 * k + 1]);
    sum[k] += re * re + im * im;
  }
}
QVX_VECTOR_CLONES(double, MeanOf, (const float* b, std::size_t n), (b, n))
QVX_VECTOR_CLONES(double, MeanOf, (const double* b, std::size_t n), (b, n))
QVX_VECTOR_CLONES(void, Windowed, (const float* b, float mean, const float* w, float* in, std::size_t n),
                  (b, mean, w, in, n))
QVX_VECTOR_CLONES(void, Windowed, (const double* b, double mean, const double* w, double* in, std::size_t n),
                  (b, mean, w, in, n))
QVX_VECTOR_CLONES(void, AddPower, (const float* z, std::size_t bins, double* sum), (z, bins, sum))
QVX_VECTOR_CLONES(void, AddPower, (const double* z, std::size_t bins, double* sum), (z, bins, sum))
template <class T>
QVX_ALWAYS_INLINE void AddCrossBody(const T* zx, const T* zy, std::size_t bins, double* xx, double* yy, double* re,
                                    double* im) {
  for (std::size_t k = 0; k < bins; ++k) {
    const auto xr = static_cast<double>(zx[2 * k]), xi = static_cast<double>(zx[2 * k + 1]);
    const auto yr = static_cast<double>(zy[2 * k]), yi = static_cast<double>(zy[2 * k + 1]);
    xx[k] += xr * xr + xi * xi;
    yy[k] += yr * yr + yi * yi;
    re[k] += xr * yr + xi * yi;  // X conj(Y)
    im[k] += xi * yr - xr * yi;
  }
}
QVX_VECTOR_CLONES(void, AddCross,
                  (const float* zx, const float* zy, std::size_t bins, double* xx, double* yy, double* re, double* im),
                  (zx, zy, bins, xx, yy, re, im))
QVX_VECTOR_CLONES(void, AddCross,
                  (const double* zx, const double* zy, std::size_t bins, double* xx, double* yy, double* re,
                   double* im),
                  (zx, zy, bins, xx, yy, re, im))

// The periodic Hann window of a length in T, and its power summed in double.
template <class T>
double HannWindow(std::size_t length, std::vector<T>& window) {
  window.resize(length);
  double sum_w2 = 0.0;
  for (std::size_t n = 0; n < length; ++n) {
    const double w =
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / static_cast<double>(length));
    window[n] = static_cast<T>(w);
    sum_w2 += static_cast<double>(window[n]) * static_cast<double>(window[n]);
  }
  return sum_w2;
}

}  // namespace

std::mutex& FftwPlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

double WelchDof(std::size_t k, Averaging averaging) {
  if (k == 0) return 0.0;
  const double K = static_cast<double>(k);
  const double mean = 2.0 * K / (1.0 + 2.0 * kOverlapRho2 * (K - 1.0) / K);
  if (averaging == Averaging::Mean || k <= 2) return mean;
  return std::max(2.0, mean * kMedianEfficiency);
}

double MeanWelchDof(std::size_t segments, std::size_t neighbours) {
  if (segments == 0) return 0.0;
  const double k = static_cast<double>(segments);
  return 2.0 * k / (1.0 + 2.0 * kOverlapRho2 * static_cast<double>(neighbours) / k);
}

void RunningMedian::Add(double x) {
  if (count_ < 5) {
    q_[count_++] = x;
    if (count_ == 5) {
      std::sort(q_, q_ + 5);
      for (int i = 0; i < 5; ++i) n_[i] = i;
      want_[0] = 0, want_[1] = 1, want_[2] = 2, want_[3] = 3, want_[4] = 4;
    }
    return;
  }
  int k = 0;
  if (x < q_[0]) {
    q_[0] = x;
    k = 0;
  } else if (x >= q_[4]) {
    q_[4] = x;
    k = 3;
  } else {
    while (k < 3 && x >= q_[k + 1]) ++k;
  }
  for (int i = k + 1; i < 5; ++i) n_[i] += 1;
  static constexpr double kStep[5] = {0.0, 0.25, 0.5, 0.75, 1.0};
  for (int i = 0; i < 5; ++i) want_[i] += kStep[i];
  ++count_;
  for (int i = 1; i < 4; ++i) {
    const double d = want_[i] - n_[i];
    if ((d >= 1 && n_[i + 1] - n_[i] > 1) || (d <= -1 && n_[i - 1] - n_[i] < -1)) {
      const double s = d >= 0 ? 1.0 : -1.0;
      const double parabolic = q_[i] + s / (n_[i + 1] - n_[i - 1]) *
                                           ((n_[i] - n_[i - 1] + s) * (q_[i + 1] - q_[i]) / (n_[i + 1] - n_[i]) +
                                            (n_[i + 1] - n_[i] - s) * (q_[i] - q_[i - 1]) / (n_[i] - n_[i - 1]));
      if (q_[i - 1] < parabolic && parabolic < q_[i + 1]) {
        q_[i] = parabolic;
      } else {
        const int j = i + static_cast<int>(s);
        q_[i] += s * (q_[j] - q_[i]) / (n_[j] - n_[i]);
      }
      n_[i] += s;
    }
  }
}

double RunningMedian::Value() const {
  if (count_ >= 5) return q_[2];
  if (count_ == 0) return 0.0;
  double sorted[5];
  std::copy(q_, q_ + count_, sorted);
  std::sort(sorted, sorted + count_);
  return count_ % 2 ? sorted[count_ / 2] : 0.5 * (sorted[count_ / 2 - 1] + sorted[count_ / 2]);
}

template <class T>
Welch<T>::Welch(std::size_t length, Averaging averaging)
    : length_(length), averaging_(averaging), buffer_(length), sum_(length / 2 + 1, 0.0) {
  sum_w2_ = HannWindow(length, window_);
  if (averaging == Averaging::Median) median_.resize(length / 2 + 1);
  plan_ = SharedPlan<T>(length);
  in_ = NewReal<T>(length);
  try {
    out_ = NewComplex<T>(length / 2 + 1);
  } catch (...) {
    Free(in_);
    throw;
  }
}

template <class T>
Welch<T>::~Welch() {
  Free(in_);
  Free(out_);
}

template <class T>
template <class Src>
void Welch<T>::Push(const Src* x, std::size_t n, double offset) {
  while (n > 0) {
    const std::size_t take = std::min(n, length_ - fill_);
    T* to = buffer_.data() + fill_;
    for (std::size_t i = 0; i < take; ++i) to[i] = static_cast<T>(static_cast<double>(x[i]) - offset);
    fill_ += take;
    x += take;
    n -= take;
    if (fill_ == length_) {
      Segment();
      // Half overlap: the second half starts the next segment.
      std::memmove(buffer_.data(), buffer_.data() + length_ / 2, (length_ - length_ / 2) * sizeof(T));
      fill_ = length_ - length_ / 2;
    }
  }
}

template <class T>
void Welch<T>::Segment() {
  // The segment's mean is taken out first, as scipy's detrend='constant' does.
  Windowed(buffer_.data(), static_cast<T>(MeanOf(buffer_.data(), length_)), window_.data(), in_, length_);
  Execute(plan_, in_, out_);
  const std::size_t bins = length_ / 2 + 1;
  if (averaging_ == Averaging::Median) {
    for (std::size_t k = 0; k < bins; ++k) {
      const auto re = static_cast<double>(out_[k][0]), im = static_cast<double>(out_[k][1]);
      median_[k].Add(re * re + im * im);
    }
  } else {
    AddPower(&out_[0][0], bins, sum_.data());
  }
  ++segments_;
}

template <class T>
double Welch<T>::Psd(std::size_t k, double rate) const {
  if (segments_ == 0) return 0.0;
  const double scale = 2.0 / (rate * sum_w2_);
  if (averaging_ == Averaging::Median) return scale * median_[k].Value() / MedianBias(segments_);
  return scale * sum_[k] / static_cast<double>(segments_);
}

void CrossSums::Add(const CrossSums& other) {
  if (other.segments == 0) return;
  if (segments == 0 && xx.empty()) {
    *this = other;
    return;
  }
  if (other.length != length || other.sum_w2 != sum_w2)
    throw std::invalid_argument("psd::CrossSums::Add: sums of another length or window");
  segments += other.segments;
  neighbours += other.neighbours;
  for (std::size_t k = 0; k < xx.size(); ++k) {
    xx[k] += other.xx[k];
    yy[k] += other.yy[k];
    re[k] += other.re[k];
    im[k] += other.im[k];
  }
}

template <class T>
CrossWelch<T>::CrossWelch(std::size_t length) : length_(length), bx_(length), by_(length) {
  sums_.length = length;
  sums_.sum_w2 = HannWindow(length, window_);
  const std::size_t bins = length / 2 + 1;
  sums_.xx.assign(bins, 0.0);
  sums_.yy.assign(bins, 0.0);
  sums_.re.assign(bins, 0.0);
  sums_.im.assign(bins, 0.0);
  plan_ = SharedPlan<T>(length);
  in_ = NewReal<T>(length);
  try {
    out_x_ = NewComplex<T>(bins);
    out_y_ = NewComplex<T>(bins);
  } catch (...) {
    Free(in_);
    if (out_x_ != nullptr) Free(out_x_);
    throw;
  }
}

template <class T>
CrossWelch<T>::~CrossWelch() {
  Free(in_);
  Free(out_x_);
  Free(out_y_);
}

template <class T>
template <class Src>
void CrossWelch<T>::Push(const Src* x, const Src* y, std::size_t n, double offset_x, double offset_y) {
  while (n > 0) {
    const std::size_t take = std::min(n, length_ - fill_);
    T* to_x = bx_.data() + fill_;
    T* to_y = by_.data() + fill_;
    for (std::size_t i = 0; i < take; ++i) {
      to_x[i] = static_cast<T>(static_cast<double>(x[i]) - offset_x);
      to_y[i] = static_cast<T>(static_cast<double>(y[i]) - offset_y);
    }
    fill_ += take;
    x += take;
    y += take;
    n -= take;
    if (fill_ == length_) {
      Segment();
      const std::size_t keep = length_ - length_ / 2;
      std::memmove(bx_.data(), bx_.data() + length_ / 2, keep * sizeof(T));
      std::memmove(by_.data(), by_.data() + length_ / 2, keep * sizeof(T));
      fill_ = keep;
    }
  }
}

template <class T>
void CrossWelch<T>::Restart() {
  fill_ = 0;
  continued_ = false;
}

template <class T>
void CrossWelch<T>::Segment() {
  Windowed(bx_.data(), static_cast<T>(MeanOf(bx_.data(), length_)), window_.data(), in_, length_);
  Execute(plan_, in_, out_x_);
  Windowed(by_.data(), static_cast<T>(MeanOf(by_.data(), length_)), window_.data(), in_, length_);
  Execute(plan_, in_, out_y_);
  AddCross(&out_x_[0][0], &out_y_[0][0], length_ / 2 + 1, sums_.xx.data(), sums_.yy.data(), sums_.re.data(),
           sums_.im.data());
  ++sums_.segments;
  if (continued_) ++sums_.neighbours;
  continued_ = true;
}

template class CrossWelch<double>;
template class CrossWelch<float>;
template void CrossWelch<double>::Push<double>(const double*, const double*, std::size_t, double, double);
template void CrossWelch<float>::Push<float>(const float*, const float*, std::size_t, double, double);
template void CrossWelch<float>::Push<double>(const double*, const double*, std::size_t, double, double);
template void CrossWelch<double>::Push<float>(const float*, const float*, std::size_t, double, double);

template class Welch<double>;
template class Welch<float>;
template void Welch<double>::Push<double>(const double*, std::size_t, double);
template void Welch<float>::Push<float>(const float*, std::size_t, double);
template void Welch<float>::Push<double>(const double*, std::size_t, double);
template void Welch<double>::Push<float>(const float*, std::size_t, double);

}  // namespace qvx::psd::detail
