#pragma once
// Records of known statistics for the time-domain tests: Gaussian noise of a given one-sided
// density drawn in the frequency domain (a complex Gaussian per bin, then an inverse real
// FFT), cut from a record `over` times longer so that its lowest frequencies are not missing
// and it does not wrap around; and a random telegraph signal.
#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace qvx::psd::testing {

inline std::vector<double> Noise(std::size_t n, double fs, const std::function<double(double)>& density,
                                 std::uint64_t seed, std::size_t over = 4) {
  const std::size_t size = 2 * ((n * over + 1) / 2);
  std::vector<std::complex<double>> bins(size / 2 + 1);
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss;
  const double df = fs / static_cast<double>(size);
  // E|X_k|^2 = S(f) N fs / 2 for the unnormalised transform, split over two parts.
  for (std::size_t k = 1; k < size / 2; ++k) {
    const double sd = std::sqrt(density(static_cast<double>(k) * df) * static_cast<double>(size) * fs / 4.0);
    bins[k] = {gauss(rng) * sd, gauss(rng) * sd};
  }
  std::vector<double> x(size);
  fftw_plan plan = fftw_plan_dft_c2r_1d(static_cast<int>(size), reinterpret_cast<fftw_complex*>(bins.data()), x.data(),
                                        FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  x.resize(n);
  for (double& v : x) v /= static_cast<double>(size);
  return x;
}

// White density w^2 with a 1/f corner: w^2 (1 + corner / f).
inline std::vector<double> WhiteFlicker(std::size_t n, double fs, double white, double corner, std::uint64_t seed,
                                        std::size_t over = 4) {
  return Noise(
      n, fs, [&](double f) { return white * white * (1.0 + corner / f); }, seed, over);
}

// Adds a telegraph signal switching between 0 and `amplitude`, exponential dwells of mean
// `dwell_s` in each level; returns the number of switches.
inline std::size_t AddTelegraph(std::vector<double>& x, double fs, double amplitude, double dwell_s,
                                std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> dwell(1.0 / dwell_s);
  double next = dwell(rng);
  int level = 0;
  std::size_t switches = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    while (static_cast<double>(i) / fs >= next) {
      level ^= 1;
      next += dwell(rng);
      ++switches;
    }
    x[i] += level * amplitude;
  }
  return switches;
}

}  // namespace qvx::psd::testing
