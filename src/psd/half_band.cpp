#include "psd/half_band.h"

#include "psd/vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace qvx::psd::detail {
namespace {

using std::numbers::pi;

// Inputs taken at a time: the buffers stay small enough for the first-level cache.
constexpr std::size_t kBlock = 4096;

double Bessel0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 60; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// Four doubles at a time.
using V4 = double __attribute__((vector_size(32)));
// The same at any address, for the loads and stores.
using V4Unaligned = double __attribute__((vector_size(32), aligned(8), may_alias));

// out[j] = centre e[j] + sum over t of taps[t] (o[j + T - 1 - t] + o[j + T + t]), the sum in
// the order of t for every output: in the blocks of sixteen and in the rest alike, so how a
// stream is split into calls cannot change a bit.
QVX_ALWAYS_INLINE void OddTapSumsBody(const double* e, const double* o, const double* taps, std::size_t t_count,
                                      double centre, std::size_t outputs, double* out) {
#define QVX_LOAD(p) (*reinterpret_cast<const V4Unaligned*>(p))
  std::size_t j = 0;
  for (; j + 16 <= outputs; j += 16) {
    const V4 c = {centre, centre, centre, centre};
    V4 a0 = c * QVX_LOAD(e + j), a1 = c * QVX_LOAD(e + j + 4), a2 = c * QVX_LOAD(e + j + 8),
       a3 = c * QVX_LOAD(e + j + 12);
    for (std::size_t t = 0; t < t_count; ++t) {
      const V4 tap = {taps[t], taps[t], taps[t], taps[t]};
      const double* lo = o + j + t_count - 1 - t;
      const double* hi = o + j + t_count + t;
      a0 += tap * (QVX_LOAD(lo) + QVX_LOAD(hi));
      a1 += tap * (QVX_LOAD(lo + 4) + QVX_LOAD(hi + 4));
      a2 += tap * (QVX_LOAD(lo + 8) + QVX_LOAD(hi + 8));
      a3 += tap * (QVX_LOAD(lo + 12) + QVX_LOAD(hi + 12));
    }
    *reinterpret_cast<V4Unaligned*>(out + j) = a0;
    *reinterpret_cast<V4Unaligned*>(out + j + 4) = a1;
    *reinterpret_cast<V4Unaligned*>(out + j + 8) = a2;
    *reinterpret_cast<V4Unaligned*>(out + j + 12) = a3;
  }
#undef QVX_LOAD
  for (; j < outputs; ++j) {
    double acc = centre * e[j];
    for (std::size_t t = 0; t < t_count; ++t) acc += taps[t] * (o[j + t_count - 1 - t] + o[j + t_count + t]);
    out[j] = acc;
  }
}
QVX_VECTOR_CLONES(void, OddTapSums,
                  (const double* e, const double* o, const double* taps, std::size_t t_count, double centre,
                   std::size_t outputs, double* out),
                  (e, o, taps, t_count, centre, outputs, out))

}  // namespace

HalfBand::HalfBand(double transition) {
  constexpr double kAttenuation = 110.0;
  const double beta = 0.1102 * (kAttenuation - 8.7);
  auto n = static_cast<std::size_t>(std::ceil((kAttenuation - 7.95) / (2.285 * 2.0 * pi * transition))) + 1;
  while (n % 4 != 3) ++n;  // the outermost taps at odd distances, so none is wasted
  const std::size_t reach = (n - 1) / 2;
  double total = 0.5;  // the centre tap
  for (std::size_t j = 1; j <= reach; j += 2) {
    const double r = static_cast<double>(j) / static_cast<double>(reach);
    const double tap = std::sin(0.5 * pi * static_cast<double>(j)) / (pi * static_cast<double>(j)) *
                       Bessel0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / Bessel0(beta);
    taps_.push_back(tap);
    total += 2.0 * tap;
  }
  centre_ = 0.5 / total;  // unit gain at 0 Hz
  for (double& tap : taps_) tap /= total;
  even_.resize(taps_.size() + kBlock / 2 + 1);
  odd_.resize(2 * taps_.size() + kBlock / 2 + 1);
  Reset();
}

void HalfBand::Reset() {
  // The first output is centred 2 (T - 1) inputs before the first input, as if the history
  // held zeros: so n inputs always give n / 2 outputs.
  const std::size_t t = taps_.size();
  std::fill(even_.begin(), even_.end(), 0.0);
  std::fill(odd_.begin(), odd_.end(), 0.0);
  n_even_ = t - 1;
  n_odd_ = 2 * t - 1;
  next_is_odd_ = false;
}

void HalfBand::Compute(std::size_t outputs, double* out) const {
  OddTapSums(even_.data(), odd_.data(), taps_.data(), taps_.size(), centre_, outputs, out);
}

template <class Src>
std::size_t HalfBand::Run(const Src* x, std::size_t n, double offset, double* out) {
  const std::size_t t_count = taps_.size();
  std::size_t written = 0;
  while (n > 0) {
    const std::size_t take = std::min(n, kBlock);
    std::size_t i = 0;
    if (next_is_odd_) odd_[n_odd_++] = static_cast<double>(x[i++]) - offset;
    const std::size_t pairs = (take - i) / 2;
    double* e = even_.data() + n_even_;
    double* o = odd_.data() + n_odd_;
    const Src* p = x + i;
    for (std::size_t q = 0; q < pairs; ++q) {
      e[q] = static_cast<double>(p[2 * q]) - offset;
      o[q] = static_cast<double>(p[2 * q + 1]) - offset;
    }
    n_even_ += pairs;
    n_odd_ += pairs;
    i += 2 * pairs;
    if (i < take) even_[n_even_++] = static_cast<double>(x[i]) - offset;
    next_is_odd_ = ((next_is_odd_ ? 1 : 0) + take) % 2 == 1;

    // Output j needs its centre and the odd inputs up to j + 2T - 1.
    const std::size_t outputs = std::min(n_even_, n_odd_ + 1 - 2 * t_count);
    Compute(outputs, out + written);
    written += outputs;
    std::memmove(even_.data(), even_.data() + outputs, (n_even_ - outputs) * sizeof(double));
    std::memmove(odd_.data(), odd_.data() + outputs, (n_odd_ - outputs) * sizeof(double));
    n_even_ -= outputs;
    n_odd_ -= outputs;
    x += take;
    n -= take;
  }
  return written;
}

template std::size_t HalfBand::Run<float>(const float*, std::size_t, double, double*);
template std::size_t HalfBand::Run<double>(const double*, std::size_t, double, double*);

}  // namespace qvx::psd::detail
