// The simulator's bin model against a direct FFT (FFTW) of synthesised samples of the same
// source: noise, tones and the 8-bit converter's steps, windowed, transformed and calibrated
// for sine waves as an instrument does, at N = 4096.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "fft_window.h"
#include "noise_model.h"

namespace {

using Complex = std::complex<double>;
using std::numbers::pi;
constexpr std::size_t kN = 4096;
constexpr double kFirstBin = 100;  // bins compared: away from 0 Hz and Fs/2
constexpr std::size_t kBins = 1800;

// 4096 samples over 10 ms: Fs = 409.6 kHz, 100 Hz bins.
qvx::sim::SimState SmallState(const qvx::sim::FftWindow& window, double ch1_scale) {
  qvx::sim::SimState state;
  state.mdepth_points = kN;
  state.tdiv = 1e-3;
  state.ch1_scale = ch1_scale;
  state.window = std::string(window.name);
  return state;
}

// Synthesises frames of the model's source and returns the sine-calibrated bins of each.
class DirectFft {
 public:
  DirectFft(const qvx::sim::NoiseModel& model, const qvx::sim::SimState& state, const qvx::sim::FftWindow& window)
      : model_(model),
        fs_(qvx::sim::SampleRate(state)),
        step_(8.0 * state.ch1_scale / 256.0),
        samples_(static_cast<double*>(fftw_malloc(sizeof(double) * kN)), fftw_free),
        bins_(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * (kN / 2 + 1))), fftw_free),
        plan_(fftw_plan_dft_r2c_1d(kN, samples_.get(), bins_.get(), FFTW_ESTIMATE), fftw_destroy_plan),
        gain_(window.a[0]) {
    for (std::size_t n = 0; n < kN; ++n) {
      double w = 0.0;
      for (std::size_t m = 0; m < window.a.size(); ++m) {
        w += (m % 2 == 0 ? 1.0 : -1.0) * window.a[m] * std::cos(2.0 * pi * m * n / kN);
      }
      window_.push_back(w);
    }
  }

  std::vector<Complex> Frame(std::mt19937_64& rng) {
    const double white = model_.white_nv * 1e-9;
    std::normal_distribution<double> gauss(0.0, white * std::sqrt(fs_ / 2.0));
    std::uniform_real_distribution<double> angle(0.0, 2.0 * pi);
    std::vector<double> phases;
    for (std::size_t t = 0; t < model_.tones.size(); ++t) phases.push_back(angle(rng));
    for (std::size_t n = 0; n < kN; ++n) {
      double x = gauss(rng);
      for (std::size_t t = 0; t < model_.tones.size(); ++t) {
        x += std::sqrt(2.0) * model_.tones[t].vrms * std::cos(2.0 * pi * model_.tones[t].freq_hz * n / fs_ + phases[t]);
      }
      samples_.get()[n] = std::round(x / step_) * step_ * window_[n];
    }
    fftw_execute(plan_.get());
    std::vector<Complex> x;
    for (std::size_t k = 0; k < kBins; ++k) {
      const fftw_complex& y = bins_.get()[static_cast<std::size_t>(kFirstBin) + k];
      x.push_back(std::sqrt(2.0) * Complex(y[0], y[1]) / (kN * gain_));
    }
    return x;
  }

 private:
  qvx::sim::NoiseModel model_;
  double fs_;
  double step_;
  std::unique_ptr<double, decltype(&fftw_free)> samples_;
  std::unique_ptr<fftw_complex, decltype(&fftw_free)> bins_;
  std::unique_ptr<std::remove_pointer_t<fftw_plan>, decltype(&fftw_destroy_plan)> plan_;
  double gain_;
  std::vector<double> window_;
};

struct FloorStats {
  double ratio;        // mean |X|^2 over the density's power in one bin
  double correlation;  // E[X_k conj X_(k+1)] / E|X_k|^2, real part
};

FloorStats Measure(const std::function<std::vector<Complex>()>& frame, double bin_power, int frames) {
  double power = 0.0;
  double cross = 0.0;
  for (int j = 0; j < frames; ++j) {
    const auto x = frame();
    for (std::size_t k = 0; k + 1 < x.size(); ++k) {
      power += std::norm(x[k]);
      cross += (x[k] * std::conj(x[k + 1])).real();
    }
  }
  const double count = frames * static_cast<double>(kBins - 1);
  return {power / count / bin_power, cross / power};
}

struct WindowCase {
  const char* name;
  double enbw;
  double correlation;  // of neighbouring bins: sum c_m c_(m+1) / sum c_m^2
};

TEST(FftValidation, FloorAndNeighbourCorrelationMatchADirectFft) {
  const WindowCase cases[] = {{"RECT", 1.0, 0.0},
                              {"HANN", 1.5, -2.0 / 3.0},
                              {"HAMM", 1.363, -0.625},
                              {"BLAC", 1.727, -0.755},
                              {"FLAT", 3.77, -0.910}};
  // {channel scale, what it tests}: a fine scale leaves only the source; a coarse one adds a
  // quantisation floor about a tenth of the source's.
  const std::pair<double, const char*> scales[] = {{2e-5, "source"}, {3.2e-4, "with quantisation"}};
  for (const auto& c : cases) {
    for (const auto& [scale, what] : scales) {
      SCOPED_TRACE(std::string(c.name) + " " + what);
      const auto& window = qvx::sim::WindowByName(c.name);
      qvx::sim::NoiseModel model;
      model.corner_hz = 0;
      model.tones.clear();
      const auto state = SmallState(window, scale);
      const double df = qvx::sim::BinWidth(state);
      ASSERT_DOUBLE_EQ(df, 100.0);
      const double white = model.white_nv * 1e-9;
      const double bin_power = (white * white + qvx::sim::QuantisationDensity(state)) * df;

      std::mt19937_64 rng(7);
      DirectFft direct(model, state, window);
      const FloorStats fft = Measure([&] { return direct.Frame(rng); }, bin_power, 150);
      const FloorStats sim =
          Measure([&] { return qvx::sim::FrameBins(model, state, kFirstBin, kBins, rng); }, bin_power, 150);
      EXPECT_NEAR(fft.ratio, c.enbw, 0.03 * c.enbw);
      EXPECT_NEAR(sim.ratio, c.enbw, 0.03 * c.enbw);
      EXPECT_NEAR(fft.correlation, c.correlation, 0.05);
      EXPECT_NEAR(sim.correlation, c.correlation, 0.05);
    }
  }
}

TEST(FftValidation, ToneReadingsMatchADirectFft) {
  for (const auto& window : qvx::sim::kFftWindows) {
    SCOPED_TRACE(std::string(window.name));
    qvx::sim::NoiseModel model;
    model.white_nv = 0;
    model.corner_hz = 0;
    model.tones = {{1000 * 100.0, 1e-6}, {1500.5 * 100.0, 2e-6}};  // on bin 1000; half a bin off 1500
    const auto state = SmallState(window, 1e-12);
    std::mt19937_64 rng(3);
    DirectFft direct(model, state, window);
    const auto fft = direct.Frame(rng);
    const auto sim = qvx::sim::FrameBins(model, state, kFirstBin, kBins, rng);
    const std::size_t on = 1000 - kFirstBin;
    const std::size_t half = 1500 - kFirstBin;
    EXPECT_NEAR(std::abs(fft[on]), 1e-6, 1e-8);
    EXPECT_NEAR(std::abs(sim[on]), 1e-6, 1e-8);
    for (std::size_t k : {half, half + 1}) {
      const double fft_db = 20 * std::log10(std::abs(fft[k]) / 2e-6);
      const double sim_db = 20 * std::log10(std::abs(sim[k]) / 2e-6);
      EXPECT_NEAR(sim_db, fft_db, 0.1);
      if (window.name == "HANN") {
        EXPECT_NEAR(sim_db, -1.42, 0.1);
      }
    }
  }
}

}  // namespace
