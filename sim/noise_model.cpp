#include "noise_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <numbers>

#include "fft_window.h"

namespace qvx::sim {
namespace {

using Complex = std::complex<double>;
using std::numbers::pi;

// A tone's share of one rectangular bin in a frame whose tone phase is u = e^(i phi):
// u p + conj(u) q (q comes from the tone's negative-frequency half).
struct ToneShare {
  Complex p;
  Complex q;
};

// u p + conj(u) q, written out: std::complex's product checks for NaN on every call.
Complex Mix(Complex u, const ToneShare& s) {
  const double ur = u.real();
  const double ui = u.imag();
  return {ur * (s.p.real() + s.q.real()) + ui * (s.q.imag() - s.p.imag()),
          ur * (s.p.imag() + s.q.imag()) + ui * (s.p.real() - s.q.real())};
}

// A tone in bin units, f0 / df = n0 + delta with n0 whole and |delta| <= 1/2, so that the
// kernel's sin and phase are computed once and each bin costs a division.
struct BinTone {
  double vrms;
  double n0;
  double delta;
  Complex lead;  // -sin(pi delta) e^(i pi delta) / pi
};

// One tap of a windowed bin on a rectangular bin: c Z_r, or c conj(Z_r) where the tap lies
// beyond 0 Hz or Fs/2 and meets the mirror image of the real signal's spectrum.
struct Tap {
  double r;
  double c;
  bool conj;
};
using Taps = std::array<Tap, 9>;

// Every frame's phase of every tone, tones major.
struct TonePhases {
  std::size_t frames = 0;
  std::vector<Complex> u;
  Complex At(std::size_t tone, std::size_t frame) const { return u[tone * frames + frame]; }
};

// The bin nearest to a frequency, inside 0 ... N/2.
double NearestBin(double freq_hz, double df, double half) {
  const double k = std::round(freq_hz / df);
  return std::isnan(k) ? 0.0 : std::clamp(k, 0.0, half);
}

class BinModel {
 public:
  BinModel(const NoiseModel& model, const SimState& state)
      : white_v_(model.gain * model.white_nv * 1e-9),
        frontend_v2_(model.frontend_nv * model.frontend_nv * 1e-18 + model.common_nv * model.common_nv * 1e-18),
        rts_v_(model.gain * model.rts_v),
        rts_rate_hz_(model.rts_rate_hz),
        corner_hz_(std::max(model.corner_hz, 0.0)),
        fs_(SampleRate(state)),
        n_(FftPoints(state)),
        half_(n_ / 2.0),
        df_(fs_ / n_),
        quantisation_(QuantisationDensity(state)),
        // A DC level of V reads V in the 0 Hz bin, which shows |X| / sqrt 2.
        dc_bin_(model.gain * model.dc_v * std::numbers::sqrt2) {
    const FftWindow& window = WindowByName(state.window);
    taps_ = CalibratedTaps(window);
    reach_ = static_cast<int>(window.reach);
    for (const Tone& tone : model.tones) {
      // Nothing at or above Fs/2 gets through the anti-alias filter.
      if (!(tone.freq_hz > 0.0 && tone.freq_hz < fs_ / 2.0 && tone.vrms > 0.0)) continue;
      const double nu = tone.freq_hz / df_;
      const double n0 = std::round(nu);
      const double delta = nu - n0;
      tones_.push_back({model.gain * tone.vrms, n0, delta, -std::sin(pi * delta) * std::polar(1.0, pi * delta) / pi});
    }
  }

  double Half() const { return half_; }
  int Reach() const { return reach_; }

  double BinOf(double freq_hz) const { return NearestBin(freq_hz, df_, half_); }

  // The 0 Hz and Fs/2 bins of a real signal are real.
  bool RealBin(double r) const { return r == 0.0 || r == half_; }

  // A real signal's spectrum repeats every N bins and mirrors about 0 and Fs/2, so a tap
  // beyond either edge meets the conjugate of a bin inside.
  std::size_t TapsOf(double k, Taps& out) const {
    std::size_t count = 0;
    for (int m = -reach_; m <= reach_; ++m) {
      double r = std::fmod(k + m, n_);
      if (r < 0) r += n_;
      const bool mirrored = r > half_;
      out[count++] = {mirrored ? n_ - r : r, taps_[static_cast<std::size_t>(std::abs(m))], mirrored};
    }
    return count;
  }

  // A windowed bin whose taps all lie strictly between 0 Hz and Fs/2 sees circular noise.
  bool Interior(double k) const { return k - reach_ >= 1.0 && k + reach_ <= half_ - 1.0; }

  // E|Z_r|^2 of the rectangular bin r.
  double RectPower(double r) const {
    const double f = std::max(r * df_, 1.0);
    const double telegraph = rts_v_ != 0.0 ? TelegraphDensity(rts_v_, rts_rate_hz_, r * df_) : 0.0;
    return (white_v_ * white_v_ * (1.0 + corner_hz_ / f) + frontend_v2_ + quantisation_ + telegraph) * df_;
  }

  ToneShare ShareOf(std::size_t tone, double r) const {
    const BinTone& t = tones_[tone];
    const double above = r - t.n0;  // r - f0/df = above - delta
    const double below = r + t.n0;  // r + f0/df = below + delta
    ToneShare share{(above == 0.0 && t.delta == 0.0) ? Complex(1.0) : t.lead / (above - t.delta),
                    (below == 0.0 && t.delta == 0.0) ? Complex(1.0) : -std::conj(t.lead) / (below + t.delta)};
    share.p *= t.vrms;
    share.q *= t.vrms;
    if (RealBin(r)) {  // the 0 Hz and Fs/2 bins of a real signal are real
      share = {(share.p + std::conj(share.q)) / 2.0, (share.q + std::conj(share.p)) / 2.0};
    }
    return share;
  }

  // A tone's share of windowed bin k.
  ToneShare WindowedShare(std::size_t tone, const Taps& taps, std::size_t count) const {
    ToneShare sum;
    for (std::size_t i = 0; i < count; ++i) {
      const ToneShare s = ShareOf(tone, taps[i].r);
      sum.p += taps[i].c * (taps[i].conj ? std::conj(s.q) : s.p);
      sum.q += taps[i].c * (taps[i].conj ? std::conj(s.p) : s.q);
    }
    return sum;
  }

  // Shown power is |X|^2, halved in the 0 Hz and Fs/2 bins.
  double ShownFactor(double k) const { return RealBin(k) ? 0.5 : 1.0; }

  // E of the shown power of windowed bin k over noise and tone phases.
  double ExpectedPower(double k) const {
    Taps taps;
    const std::size_t count = TapsOf(k, taps);
    // Gather each rectangular bin's coefficients on Z_r and on conj(Z_r).
    std::array<double, 9> r{};
    std::array<double, 9> direct{};
    std::array<double, 9> mirrored{};
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t j = 0;
      while (j < used && r[j] != taps[i].r) ++j;
      if (j == used) r[used++] = taps[i].r;
      (taps[i].conj ? mirrored[j] : direct[j]) += taps[i].c;
    }
    double power = 0.0;
    for (std::size_t j = 0; j < used; ++j) {
      if (r[j] == 0.0) power += std::pow((direct[j] + mirrored[j]) * dc_bin_, 2);
      const double weight = RealBin(r[j]) ? (direct[j] + mirrored[j]) * (direct[j] + mirrored[j])
                                          : direct[j] * direct[j] + mirrored[j] * mirrored[j];
      power += weight * RectPower(r[j]);
    }
    for (std::size_t t = 0; t < tones_.size(); ++t) {
      const ToneShare s = WindowedShare(t, taps, count);
      power += std::norm(s.p) + std::norm(s.q);
    }
    return power * ShownFactor(k);
  }

  TonePhases DrawPhases(std::size_t frames, std::mt19937_64& rng) const {
    std::uniform_real_distribution<double> angle(0.0, 2.0 * pi);
    TonePhases phases{frames, std::vector<Complex>(tones_.size() * frames)};
    for (Complex& u : phases.u) u = std::polar(1.0, angle(rng));
    return phases;
  }

  // The sum over frames of the shown power of an interior bin that shares no rectangular bin
  // with another shown bin, drawn at once: rotating the frame vector, the sum of |T_j + N_j|^2
  // is |sqrt(sum |T_j|^2) + N'|^2 plus K - 1 further |N'_j|^2, a Gamma(K - 1) of the noise power.
  // `scratch` holds the tones that reach the bin, kept between calls to spare allocations.
  double DrawAveragedPower(double k, const TonePhases& phases, std::mt19937_64& rng,
                           std::vector<std::pair<std::size_t, ToneShare>>& scratch) const {
    Taps taps;
    const std::size_t count = TapsOf(k, taps);
    double noise = 0.0;
    for (std::size_t i = 0; i < count; ++i) noise += taps[i].c * taps[i].c * RectPower(taps[i].r);
    // Tones far down the window's skirt (below 1e-12 of the noise) are left out.
    scratch.clear();
    for (std::size_t t = 0; t < tones_.size(); ++t) {
      const ToneShare share = WindowedShare(t, taps, count);
      if (std::norm(share.p) + std::norm(share.q) >= 1e-12 * noise) scratch.emplace_back(t, share);
    }
    double tone_power = 0.0;
    for (std::size_t j = 0; !scratch.empty() && j < phases.frames; ++j) {
      Complex sum;
      for (const auto& [t, share] : scratch) sum += Mix(phases.At(t, j), share);
      tone_power += std::norm(sum);
    }
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double sigma = std::sqrt(noise / 2.0);
    const Complex first(std::sqrt(tone_power) + sigma * gauss(rng), sigma * gauss(rng));
    double rest = 0.0;
    if (phases.frames > 1) {
      std::gamma_distribution<double> gamma(static_cast<double>(phases.frames - 1), 1.0);
      rest = noise * gamma(rng);
    }
    return std::norm(first) + rest;
  }

  // Draws the rectangular bins behind the shown bins `ks` (ascending) frame by frame, and
  // hands each frame's windowed X_k to visit(frame, index into ks, X).
  void DrawFrames(const std::vector<double>& ks, const TonePhases& phases, std::mt19937_64& rng,
                  const std::function<void(std::size_t, std::size_t, Complex)>& visit) const {
    if (ks.empty()) return;
    double lo = std::max(0.0, ks.front() - reach_);
    double hi = std::min(half_, ks.back() + reach_);
    if (n_ <= 4.0 * (reach_ + 1)) {  // short transforms fold taps over both ends
      lo = 0.0;
      hi = half_;
    }
    const auto size = static_cast<std::size_t>(hi - lo) + 1;
    std::vector<double> sigma(size);
    std::vector<ToneShare> shares(size * tones_.size());
    for (std::size_t i = 0; i < size; ++i) {
      const double r = lo + static_cast<double>(i);
      sigma[i] = std::sqrt(RectPower(r) / (RealBin(r) ? 1.0 : 2.0));
      for (std::size_t t = 0; t < tones_.size(); ++t) shares[t * size + i] = ShareOf(t, r);
    }
    std::vector<Taps> taps(ks.size());
    std::vector<std::size_t> counts(ks.size());
    for (std::size_t b = 0; b < ks.size(); ++b) counts[b] = TapsOf(ks[b], taps[b]);

    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<Complex> z(size);
    for (std::size_t j = 0; j < phases.frames; ++j) {
      for (std::size_t i = 0; i < size; ++i) {
        const bool real = RealBin(lo + static_cast<double>(i));
        const double re = gauss(rng);
        z[i] = Complex(sigma[i] * re, real ? 0.0 : sigma[i] * gauss(rng));
      }
      if (lo == 0.0) z[0] += dc_bin_;
      for (std::size_t t = 0; t < tones_.size(); ++t) {
        const Complex u = phases.At(t, j);
        for (std::size_t i = 0; i < size; ++i) z[i] += Mix(u, shares[t * size + i]);
      }
      for (std::size_t b = 0; b < ks.size(); ++b) {
        Complex x;
        for (std::size_t i = 0; i < counts[b]; ++i) {
          const Tap& tap = taps[b][i];
          const Complex zr = z[std::min(size - 1, static_cast<std::size_t>(tap.r - lo))];
          x += tap.c * (tap.conj ? std::conj(zr) : zr);
        }
        visit(j, b, x);
      }
    }
  }

 private:
  double white_v_;
  double frontend_v2_;  // the front end's and the ground loop's white noise
  double rts_v_;        // the telegraph signal at the converter
  double rts_rate_hz_;
  double corner_hz_;
  double fs_;
  double n_;
  double half_;
  double df_;
  double quantisation_;
  double dc_bin_;
  std::array<double, 5> taps_{};
  int reach_ = 0;
  std::vector<BinTone> tones_;
};

}  // namespace

double SampleRate(const SimState& state) {
  const double most = state.ch2_display ? kMaxSampleRateTwoChannels : kMaxSampleRate;
  const double screen_time = 10.0 * state.tdiv;
  if (!(screen_time > 0.0)) return most;
  return std::min(most, state.mdepth_points / screen_time);
}

double FftPoints(const SimState& state) {
  const double samples = 10.0 * state.tdiv * SampleRate(state);
  double points = 2.0;
  while (points < samples && points < 1e15) points *= 2.0;
  return points;
}

double BinWidth(const SimState& state) { return SampleRate(state) / FftPoints(state); }

double RecordTime(const SimState& state) { return 10.0 * state.tdiv; }

double DisplayedEnd(const SimState& state) { return std::min(state.end_hz, SampleRate(state) / 2.0); }

double NoiseDensity(const NoiseModel& model, double freq_hz) {
  const double f = std::max(std::fabs(freq_hz), 1.0);
  return model.white_nv * std::sqrt(1.0 + std::max(model.corner_hz, 0.0) / f);
}

double ChannelGain(const NoiseModel& model, int channel) {
  return channel == 2 ? model.gain2.value_or(model.gain) : model.gain;
}

double FrontendNv(const NoiseModel& model, int channel) {
  return channel == 2 ? model.frontend2_nv.value_or(model.frontend_nv) : model.frontend_nv;
}

double TelegraphDensity(double v, double rate_hz, double freq_hz) {
  if (!(rate_hz > 0.0)) return 0.0;
  const double omega = 2.0 * pi * freq_hz;
  return 2.0 * v * v * rate_hz / (4.0 * rate_hz * rate_hz + omega * omega);
}

double SourceDensity(const NoiseModel& model, double freq_hz) {
  const double white = model.white_nv * 1e-9;
  return white * white * (1.0 + std::max(model.corner_hz, 0.0) / freq_hz);
}

double ConverterDensity(const NoiseModel& model, double freq_hz, int channel) {
  const double gain = ChannelGain(model, channel);
  const double frontend = FrontendNv(model, channel) * 1e-9;
  const double common = model.common_nv * 1e-9;
  return gain * gain * (SourceDensity(model, freq_hz) + TelegraphDensity(model.rts_v, model.rts_rate_hz, freq_hz)) +
         frontend * frontend + common * common;
}

double CrossDensity(const NoiseModel& model, double freq_hz) {
  const double common = model.common_nv * 1e-9;
  return ChannelGain(model, 1) * ChannelGain(model, 2) *
             (SourceDensity(model, freq_hz) + TelegraphDensity(model.rts_v, model.rts_rate_hz, freq_hz)) +
         model.common_sign * common * common;
}

double QuantisationDensity(const SimState& state) {
  const double step = 8.0 * state.ch1_scale / 256.0;
  return step * step / 12.0 / (SampleRate(state) / 2.0);
}

double PointBin(const SimState& state, std::size_t index) {
  const double step = (DisplayedEnd(state) - state.start_hz) / kTracePoints;
  return NearestBin(state.start_hz + static_cast<double>(index) * step, BinWidth(state), FftPoints(state) / 2.0);
}

double TruePointVrms(const NoiseModel& model, const SimState& state, std::size_t index) {
  return std::sqrt(BinModel(model, state).ExpectedPower(PointBin(state, index)));
}

std::vector<std::complex<double>> FrameBins(const NoiseModel& model, const SimState& state, double first,
                                            std::size_t count, std::mt19937_64& rng) {
  const BinModel bins(model, state);
  std::vector<double> ks;
  for (std::size_t i = 0; i < count; ++i) ks.push_back(std::clamp(first + static_cast<double>(i), 0.0, bins.Half()));
  ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
  std::vector<Complex> x(ks.size());
  bins.DrawFrames(ks, bins.DrawPhases(1, rng), rng, [&](std::size_t, std::size_t b, Complex value) { x[b] = value; });
  return x;
}

std::vector<double> TraceLevels(const NoiseModel& model, const SimState& state, std::size_t points, int frames,
                                std::mt19937_64& rng, TracePath path) {
  const BinModel bins(model, state);
  const auto frame_count = static_cast<std::size_t>(std::clamp(frames, 1, kMaxAverages));
  const double step = (DisplayedEnd(state) - state.start_hz) / kTracePoints;
  std::vector<double> shown(points);
  for (std::size_t i = 0; i < points; ++i) shown[i] = bins.BinOf(state.start_hz + static_cast<double>(i) * step);
  std::vector<double> distinct = shown;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

  // Shown bins whose taps overlap form a group drawn frame by frame, so neighbouring points
  // keep their correlation; a lone interior bin is drawn at once.
  const TonePhases phases = bins.DrawPhases(frame_count, rng);
  std::vector<double> power(distinct.size(), 0.0);
  std::vector<std::pair<std::size_t, ToneShare>> scratch;
  for (std::size_t g = 0; g < distinct.size();) {
    std::size_t end = g + 1;
    while (end < distinct.size() && distinct[end] - distinct[end - 1] <= 2.0 * bins.Reach()) ++end;
    if (path == TracePath::Auto && end == g + 1 && bins.Interior(distinct[g])) {
      power[g] = bins.DrawAveragedPower(distinct[g], phases, rng, scratch);
    } else {
      const std::vector<double> group(distinct.begin() + static_cast<std::ptrdiff_t>(g),
                                      distinct.begin() + static_cast<std::ptrdiff_t>(end));
      bins.DrawFrames(group, phases, rng, [&](std::size_t, std::size_t b, Complex x) {
        power[g + b] += std::norm(x) * bins.ShownFactor(group[b]);
      });
    }
    g = end;
  }

  std::vector<double> levels(points);
  for (std::size_t i = 0; i < points; ++i) {
    const auto at = std::lower_bound(distinct.begin(), distinct.end(), shown[i]) - distinct.begin();
    levels[i] = std::sqrt(power[static_cast<std::size_t>(at)] / static_cast<double>(frame_count));
  }
  return levels;
}

std::uint8_t EncodeByte(double vrms, double scale, double offset) {
  const double b = std::round(128.0 + 32.0 * (vrms + offset) / scale);
  if (std::isnan(b) || b <= 0.0) return 0;
  if (b >= 255.0) return 255;
  return static_cast<std::uint8_t>(b);
}

double DecodeByte(std::uint8_t byte, double scale, double offset) {
  return (static_cast<double>(byte) - 128.0) / 32.0 * scale - offset;
}

std::string GenerateTrace(const NoiseModel& model, const SimState& state, std::size_t points, std::mt19937_64& rng,
                          int frames) {
  const std::vector<double> levels = TraceLevels(model, state, points, frames > 0 ? frames : state.avcnt, rng);
  std::string bytes(points, '\0');
  for (std::size_t i = 0; i < points; ++i) {
    bytes[i] = static_cast<char>(EncodeByte(levels[i], state.fft_scale, state.fft_offset));
  }
  return bytes;
}

}  // namespace qvx::sim
