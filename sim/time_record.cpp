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

// Independent streams from one seed (SplitMix64's finaliser).
std::uint64_t DeriveSeed(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t z = seed + stream * 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// Channel 1's Gaussian density, in the very operations it has always been computed with, so
// that a record of the same seed keeps its bytes.
double GaussianDensity1(const NoiseModel& model, double freq_hz) {
  const double source = model.gain * model.white_nv * 1e-9;
  const double frontend = model.frontend_nv * 1e-9;
  const double common = model.common_nv * 1e-9;
  return source * source * (1.0 + std::max(model.corner_hz, 0.0) / freq_hz) + frontend * frontend + common * common;
}

// Bits [from, to) of a bit vector set.
void SetBits(std::vector<std::uint64_t>& words, std::size_t from, std::size_t to) {
  while (from < to) {
    const std::size_t word = from / 64;
    const std::size_t bit = from % 64;
    const std::size_t count = std::min<std::size_t>(64 - bit, to - from);
    const std::uint64_t mask = count == 64 ? ~0ull : ((1ull << count) - 1) << bit;
    words[word] |= mask;
    from += count;
  }
}

// The telegraph signal's level at each of n samples (a set bit: the upper level). Sampled
// every dt, it changes level between samples with probability p, so the runs of one level are
// geometric: 1 + floor(ln U / ln(1 - p)) samples. The first level is either with equal odds.
std::vector<std::uint64_t> TelegraphBits(std::size_t n, double p, std::mt19937_64& rng) {
  std::vector<std::uint64_t> words((n + 63) / 64, 0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  bool high = (rng() & 1u) != 0;
  const double log_stay = std::log1p(-std::clamp(p, 0.0, 0.5));
  for (std::size_t at = 0; at < n; high = !high) {
    const double u = 1.0 - unit(rng);  // (0, 1]
    const double run = log_stay < 0.0 ? 1.0 + std::floor(std::log(u) / log_stay) : INFINITY;
    const std::size_t end = run >= static_cast<double>(n - at) ? n : at + static_cast<std::size_t>(run);
    if (high) SetBits(words, at, end);
    at = end;
  }
  return words;
}

// One acquisition of channel 1, and of channel 2 when `second` is given.
RecordPair Generate(const NoiseModel& model, const RecordLayout& layout, const SecondChannel* second,
                    std::uint64_t seed) {
  const std::size_t points = std::clamp<std::size_t>(layout.points, 2, kMaxRecordPoints);
  const bool two = second != nullptr;
  // An odd record is the start of the next even one.
  const std::size_t n = points + points % 2;
  const std::size_t m = n / 2;
  Buffer buffer1(static_cast<float*>(fftwf_malloc(sizeof(fftwf_complex) * m)));
  Buffer buffer2(two ? static_cast<float*>(fftwf_malloc(sizeof(fftwf_complex) * m)) : nullptr);
  if (!buffer1 || (two && !buffer2)) {
    const std::string level(points, static_cast<char>(kYReference));
    return {level, two ? level : std::string()};
  }
  auto* z1 = reinterpret_cast<fftwf_complex*>(buffer1.get());
  auto* z2 = reinterpret_cast<fftwf_complex*>(buffer2.get());

  // The real inverse transform of the half spectrum X_0 ... X_m as a complex one of length m:
  // Z_k = (X_k + conj X_(m-k)) + i (X_k - conj X_(m-k)) e^(2 pi i k / n) gives the even samples
  // in its real part and the odd ones in its imaginary part. X_0 (the DC level is added later)
  // and X_m (the acquisition is band-limited below fs / 2) stay empty.
  GaussPair gauss(seed);
  GaussPair own2(DeriveSeed(seed, 1));  // channel 2's share independent of channel 1
  const double fs = layout.fs_hz;
  const double df = fs / static_cast<double>(n);
  // E|X_k|^2 = S N fs / 2, with the transform's 1/N folded in.
  const double variance = fs / (2.0 * static_cast<double>(n));
  const double gain1 = ChannelGain(model, 1);
  const double gain2 = ChannelGain(model, 2);
  const double frontend2 = FrontendNv(model, 2) * 1e-9;
  const double common2 = model.common_nv * model.common_nv * 1e-18;
  struct Bin {
    Complex x1;
    Complex x2;
  };
  auto bin = [&](std::size_t k) {
    const double f = static_cast<double>(k) * df;
    const Complex a = gauss.Draw();
    const double s1 = GaussianDensity1(model, f);
    Bin x{a * std::sqrt(s1 * variance / 2.0), {}};
    if (!two) return x;
    const double source = SourceDensity(model, f);
    const double s2 = gain2 * gain2 * source + frontend2 * frontend2 + common2;
    const double cross = gain1 * gain2 * source + model.common_sign * common2;
    const double along = s1 > 0.0 ? cross / std::sqrt(s1) : 0.0;
    const double rest = std::max(s2 - along * along, 0.0);
    x.x2 = (a * along + own2.Draw() * std::sqrt(rest)) * std::sqrt(variance / 2.0);
    return x;
  };
  auto put = [&](fftwf_complex* z, std::size_t k, Complex xk, Complex xj, Complex w) {
    const Complex v = (xk + std::conj(xj)) + Complex(0.0, 1.0) * (xk - std::conj(xj)) * w;
    z[k][0] = static_cast<float>(v.real());
    z[k][1] = static_cast<float>(v.imag());
  };
  z1[0][0] = z1[0][1] = 0.0f;
  if (two) z2[0][0] = z2[0][1] = 0.0f;
  const Complex step = std::polar(1.0, 2.0 * pi / static_cast<double>(n));
  Complex w = step;
  for (std::size_t k = 1; 2 * k <= m; ++k, w *= step) {
    if ((k & 1023u) == 0) w = std::polar(1.0, 2.0 * pi * static_cast<double>(k) / static_cast<double>(n));
    const std::size_t j = m - k;
    const Bin xk = bin(k);
    const Bin xj = j == k ? xk : bin(j);
    put(z1, k, xk.x1, xj.x1, w);
    if (j != k) put(z1, j, xj.x1, xk.x1, -std::conj(w));  // e^(2 pi i (m - k) / n) = -conj(w)
    if (!two) continue;
    put(z2, k, xk.x2, xj.x2, w);
    if (j != k) put(z2, j, xj.x2, xk.x2, -std::conj(w));
  }
  const std::size_t a = SplitFactor(m);
  const std::size_t b = m / a;
  InverseFourStep(z1, a, b);
  if (two) InverseFourStep(z2, a, b);

  // Tones and the DC level go in as the samples are coded, in the transform's transposed
  // order: along a row n1 steps the sample index by 2b, so each tone is a rotator per row.
  // The rotators carry channel 1's gain; channel 2 scales their sum.
  struct ToneRow {
    double amplitude;
    double phase;
    double omega;  // radians per sample
  };
  std::vector<ToneRow> tones;
  std::uniform_real_distribution<double> angle(0.0, 2.0 * pi);
  const double tone_gain = gain1 != 0.0 ? gain1 : 1.0;
  for (const Tone& tone : model.tones) {
    const double phase = angle(gauss.rng);
    if (tone.freq_hz > 0.0 && tone.freq_hz < fs / 2.0 && tone.vrms > 0.0) {
      tones.push_back({tone_gain * tone.vrms * std::numbers::sqrt2, phase, 2.0 * pi * tone.freq_hz / fs});
    }
  }
  const bool tones1 = gain1 != 0.0;
  const double tones2 = gain2 / tone_gain;

  // The telegraph signal and the drift, the circuit's own, before either gain.
  const bool telegraph = model.rts_v != 0.0 && model.rts_rate_hz > 0.0;
  std::vector<std::uint64_t> levels;
  if (telegraph) {
    std::mt19937_64 rng(DeriveSeed(seed, 2));
    levels = TelegraphBits(n, -std::expm1(-2.0 * model.rts_rate_hz / fs) / 2.0, rng);
  }
  const double half_step = model.rts_v / 2.0;
  const double drift_per_sample = model.drift_v_per_s / fs;
  const bool in_time = telegraph || drift_per_sample != 0.0;
  auto circuit = [&](std::size_t sample) {
    double v = drift_per_sample * static_cast<double>(sample);
    if (telegraph) v += (levels[sample / 64] >> (sample % 64)) & 1u ? half_step : -half_step;
    return v;
  };

  struct Converter {
    double per_code;
    double shift;
    char operator()(double volts) const {
      const double c = std::nearbyint(shift + volts * per_code);
      return static_cast<char>(static_cast<std::uint8_t>(std::isnan(c) ? 0.0 : std::clamp(c, 0.0, 255.0)));
    }
  };
  const double per_code1 = 1.0 / YIncrement(layout.scale_v);
  const Converter code1{per_code1, kYReference + (model.gain * model.dc_v + layout.offset_v) * per_code1};
  const double per_code2 = two ? 1.0 / YIncrement(second->scale_v) : 0.0;
  const Converter code2{per_code2, two ? kYReference + (gain2 * model.dc_v + second->offset_v) * per_code2 : 0.0};
  RecordPair codes{std::string(n, '\0'), two ? std::string(n, '\0') : std::string()};
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
    const fftwf_complex* row1 = z1 + a * n2;
    const fftwf_complex* row2 = two ? z2 + a * n2 : nullptr;
    for (std::size_t n1 = 0; n1 < a; ++n1) {
      double even = row1[n1][0];
      double odd = row1[n1][1];
      double tone_even = 0.0;
      double tone_odd = 0.0;
      for (std::size_t t = 0; t < tones.size(); ++t) {
        const double at_even = rotor[t].imag();
        const double at_odd = (rotor[t] * next[t]).imag();
        if (tones1) {
          even += at_even;
          odd += at_odd;
        }
        tone_even += at_even;
        tone_odd += at_odd;
        rotor[t] *= advance[t];
      }
      const std::size_t sample = 2 * (b * n1 + n2);
      double circuit_even = 0.0;
      double circuit_odd = 0.0;
      if (in_time) {
        circuit_even = circuit(sample);
        circuit_odd = circuit(sample + 1);
        even += gain1 * circuit_even;
        odd += gain1 * circuit_odd;
      }
      codes.channel1[sample] = code1(even);
      codes.channel1[sample + 1] = code1(odd);
      if (two) {
        codes.channel2[sample] = code2(row2[n1][0] + tones2 * tone_even + gain2 * circuit_even);
        codes.channel2[sample + 1] = code2(row2[n1][1] + tones2 * tone_odd + gain2 * circuit_odd);
      }
    }
  }
  codes.channel1.resize(points);
  if (two) codes.channel2.resize(points);
  return codes;
}

}  // namespace

std::string GenerateRecord(const NoiseModel& model, const RecordLayout& layout, std::uint64_t seed) {
  return Generate(model, layout, nullptr, seed).channel1;
}

RecordPair GenerateRecordPair(const NoiseModel& model, const RecordLayout& layout, const SecondChannel& second,
                              std::uint64_t seed) {
  return Generate(model, layout, &second, seed);
}

}  // namespace qvx::sim
