#include "time_record.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <vector>

namespace qvx::sim {
namespace {

using std::numbers::pi;

// FFTW's planner is not thread-safe, and simulators in one process generate side by side.
std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct FftwfFree {
  void operator()(void* p) const { fftwf_free(p); }
};

struct PlanDestroy {
  void operator()(fftwf_plan plan) const {
    std::lock_guard lock(PlannerMutex());
    fftwf_destroy_plan(plan);
  }
};

// Single precision halves the transform's memory (40 MB for 10 M points); its error is far
// below one converter step.
using Buffer = std::unique_ptr<float, FftwfFree>;
using Plan = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy>;

// Two standard normals from one 64-bit draw (Box-Muller), the real and imaginary part of a bin.
struct GaussPair {
  std::mt19937_64 rng;
  explicit GaussPair(std::uint64_t seed) : rng(seed) {}
  std::complex<double> Draw() {
    const std::uint64_t bits = rng();
    const double u1 = (static_cast<double>(bits >> 32) + 1.0) * 0x1p-32;  // (0, 1]
    const double u2 = static_cast<double>(bits & 0xffffffffu) * 0x1p-32;
    return std::polar(std::sqrt(-2.0 * std::log(u1)), 2.0 * pi * u2);
  }
};

using Complex = std::complex<double>;

// The largest divisor of m not above its square root.
std::size_t SplitFactor(std::size_t m) {
  std::size_t a = static_cast<std::size_t>(std::sqrt(static_cast<double>(m)));
  while (a > 1 && m % a != 0) --a;
  return std::max<std::size_t>(a, 1);
}

// In-place unnormalised inverse DFT of length m = a b in four steps: b-point transforms down
// the columns, twiddles, a-point transforms along the rows. FFTW's own plan for one 5 M-point
// transform keeps twiddle tables as large as the data; these keep a row's worth. The result
// is transposed: z[b n1 + n2] lands at n1 + a n2.
void InverseFourStep(fftwf_complex* z, std::size_t a, std::size_t b) {
  const auto m = static_cast<double>(a * b);
  auto plan_many = [&](std::size_t length, std::size_t howmany, std::size_t stride, std::size_t dist) {
    const int n = static_cast<int>(length);
    std::lock_guard lock(PlannerMutex());
    return Plan(fftwf_plan_many_dft(1, &n, static_cast<int>(howmany), z, nullptr, static_cast<int>(stride),
                                    static_cast<int>(dist), z, nullptr, static_cast<int>(stride),
                                    static_cast<int>(dist), FFTW_BACKWARD, FFTW_ESTIMATE));
  };
  if (Plan columns = plan_many(b, a, a, 1)) fftwf_execute(columns.get());
  if (a == 1) return;
  for (std::size_t n2 = 1; n2 < b; ++n2) {
    const Complex step = std::polar(1.0, 2.0 * pi * static_cast<double>(n2) / m);
    Complex w = 1.0;
    fftwf_complex* row = z + a * n2;
    for (std::size_t k1 = 0; k1 < a; ++k1, w *= step) {
      const Complex v = Complex(row[k1][0], row[k1][1]) * w;
      row[k1][0] = static_cast<float>(v.real());
      row[k1][1] = static_cast<float>(v.imag());
    }
  }
  if (Plan rows = plan_many(a, b, 1, a)) fftwf_execute(rows.get());
}

}  // namespace

std::string GenerateRecord(const NoiseModel& model, const RecordLayout& layout, std::uint64_t seed) {
  const std::size_t points = std::clamp<std::size_t>(layout.points, 2, kMaxRecordPoints);
  // An odd record is the start of the next even one.
  const std::size_t n = points + points % 2;
  const std::size_t m = n / 2;
  Buffer buffer(static_cast<float*>(fftwf_malloc(sizeof(fftwf_complex) * m)));
  if (!buffer) return std::string(points, static_cast<char>(kYReference));
  auto* z = reinterpret_cast<fftwf_complex*>(buffer.get());

  // The real inverse transform of the half spectrum X_0 ... X_m as a complex one of length m:
  // Z_k = (X_k + conj X_(m-k)) + i (X_k - conj X_(m-k)) e^(2 pi i k / n) gives the even samples
  // in its real part and the odd ones in its imaginary part. X_0 (the DC level is added later)
  // and X_m (the acquisition is band-limited below fs / 2) stay empty.
  GaussPair gauss(seed);
  const double fs = layout.fs_hz;
  const double df = fs / static_cast<double>(n);
  // E|X_k|^2 = S N fs / 2, with the transform's 1/N folded in.
  const double variance = fs / (2.0 * static_cast<double>(n));
  auto bin = [&](std::size_t k) {
    return gauss.Draw() * std::sqrt(ConverterDensity(model, static_cast<double>(k) * df) * variance / 2.0);
  };
  auto put = [&](std::size_t k, Complex xk, Complex xj, Complex w) {
    const Complex v = (xk + std::conj(xj)) + Complex(0.0, 1.0) * (xk - std::conj(xj)) * w;
    z[k][0] = static_cast<float>(v.real());
    z[k][1] = static_cast<float>(v.imag());
  };
  z[0][0] = z[0][1] = 0.0f;
  const Complex step = std::polar(1.0, 2.0 * pi / static_cast<double>(n));
  Complex w = step;
  for (std::size_t k = 1; 2 * k <= m; ++k, w *= step) {
    if ((k & 1023u) == 0) w = std::polar(1.0, 2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
    const std::size_t j = m - k;
    const Complex xk = bin(k);
    const Complex xj = j == k ? xk : bin(j);
    put(k, xk, xj, w);
    if (j != k) put(j, xj, xk, -std::conj(w));  // e^(2 pi i (m - k) / n) = -conj(w)
  }
  const std::size_t a = SplitFactor(m);
  const std::size_t b = m / a;
  InverseFourStep(z, a, b);

  // Tones and the DC level go in as the samples are coded, in the transform's transposed
  // order: along a row n1 steps the sample index by 2b, so each tone is a rotator per row.
  struct ToneRow {
    double amplitude;
    double phase;
    double omega;  // radians per sample
  };
  std::vector<ToneRow> tones;
  std::uniform_real_distribution<double> angle(0.0, 2.0 * pi);
  for (const Tone& tone : model.tones) {
    const double phase = angle(gauss.rng);
    if (tone.freq_hz > 0.0 && tone.freq_hz < fs / 2.0 && tone.vrms > 0.0) {
      tones.push_back({model.gain * tone.vrms * std::numbers::sqrt2, phase, 2.0 * pi * tone.freq_hz / fs});
    }
  }
  const double per_code = 1.0 / YIncrement(layout.scale_v);
  const double shift = kYReference + (model.gain * model.dc_v + layout.offset_v) * per_code;
  auto code = [&](double volts) {
    const double c = std::nearbyint(shift + volts * per_code);
    return static_cast<char>(static_cast<std::uint8_t>(std::isnan(c) ? 0.0 : std::clamp(c, 0.0, 255.0)));
  };
  std::string codes(n, '\0');
  std::vector<Complex> rotor(tones.size());
  std::vector<Complex> advance(tones.size());  // one step along a row: 2b samples
  std::vector<Complex> next(tones.size());     // from an even sample to the odd one after it
  for (std::size_t t = 0; t < tones.size(); ++t) {
    advance[t] = std::polar(1.0, tones[t].omega * 2.0 * static_cast<double>(b));
    next[t] = std::polar(1.0, tones[t].omega);
  }
  for (std::size_t n2 = 0; n2 < b; ++n2) {
    for (std::size_t t = 0; t < tones.size(); ++t) {
      rotor[t] = std::polar(tones[t].amplitude, tones[t].phase + tones[t].omega * 2.0 * static_cast<double>(n2));
    }
    const fftwf_complex* row = z + a * n2;
    for (std::size_t n1 = 0; n1 < a; ++n1) {
      double even = row[n1][0];
      double odd = row[n1][1];
      for (std::size_t t = 0; t < tones.size(); ++t) {
        even += rotor[t].imag();
        odd += (rotor[t] * next[t]).imag();
        rotor[t] *= advance[t];
      }
      const std::size_t sample = 2 * (b * n1 + n2);
      codes[sample] = code(even);
      codes[sample + 1] = code(odd);
    }
  }
  codes.resize(points);
  return codes;
}

}  // namespace qvx::sim
