#pragma once
// Spectral estimation from samples as they arrive: Welch (Hann, 50 % overlap) on a cascade
// of decimating stages, so that the fine points keep about the same relative resolution at
// every frequency, with each point's degrees of freedom; and the 0.1-10 Hz noise of data
// sheets. Construct it, push samples, read it at any time; memory does not grow with the
// record (the deepest stage keeps at most kTailSamples of its own rate).
#include <cstddef>
#include <memory>
#include <vector>

namespace qvx::psd {

enum class Averaging { Mean, Median };

struct Options {
  std::size_t segment = 4096;  // samples per Welch segment at each stage
  Averaging averaging = Averaging::Mean;
  std::size_t expected_samples = 0;  // the record's length; it decides how deep the cascade goes
  bool lf_noise = true;              // run the 0.1-10 Hz filter (where the rate allows)
};

inline constexpr std::size_t kTailSamples = 1 << 16;
inline constexpr int kDecimation = 4;        // rate ratio of neighbouring stages
inline constexpr double kTopFraction = 0.4;  // fine points reach 0.4 x the sample rate

struct FinePoint {
  double hz = 0.0;
  double psd = 0.0;       // one-sided, V^2/Hz
  double dof = 0.0;       // equivalent degrees of freedom
  double width_hz = 0.0;  // the bin width
  int stage = 0;          // which resolution it comes from; neighbours of one stage are correlated
};

// The 0.1-10 Hz figures: the record (at a stage of at least 100 Sa/s) through a 2nd-order
// Butterworth high-pass at 0.1 Hz and a 4th-order Butterworth low-pass at 10 Hz; the first
// 10 s dropped, the rest cut into 10 s windows.
struct LfNoise {
  bool covered = false;  // at least 20 s at 100 Sa/s or more
  double rms_v = 0.0;
  double pp_median_v = 0.0;
  double pp_max_v = 0.0;
  int windows = 0;
  double rate_hz = 0.0;                // the rate the filter ran at
  std::vector<double> first_window_v;  // the first 10 s window as filtered, for a plot
};

// The 0.1-10 Hz filter on its own (biquads, bilinear with prewarping, double precision).
class LfFilter {
 public:
  explicit LfFilter(double rate_hz);
  double Next(double x);
  // |H(f)|^2 of the digital filter.
  double PowerGain(double hz) const;

 private:
  struct Biquad {
    double b0, b1, b2, a1, a2;
    double z1 = 0.0, z2 = 0.0;
  };
  double rate_;
  std::vector<Biquad> sections_;
};

// Scipy's bias of the median of n periodograms of noise (median / mean).
double MedianBias(std::size_t n);

class Estimator {
 public:
  Estimator(double fs_hz, Options options);
  ~Estimator();
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  void Push(const double* samples, std::size_t n);
  void Push(const float* samples, std::size_t n);

  // The fine points from the lowest frequency the samples so far resolve up to 0.4 fs,
  // rising. Each frequency comes from one stage.
  std::vector<FinePoint> Read() const;
  LfNoise ReadLf() const;
  std::size_t Samples() const { return samples_; }
  double SampleRate() const { return fs_; }
  const Options& Settings() const { return options_; }

 private:
  struct Stage;
  struct Lf;
  void PushStage(std::size_t s, const double* x, std::size_t n);

  double fs_;
  Options options_;
  std::size_t samples_ = 0;
  std::size_t tail_stage_ = 0;
  std::vector<std::unique_ptr<Stage>> stages_;
  std::unique_ptr<Lf> lf_;
  std::size_t lf_stage_ = 0;
};

// Log points of P per decade over fine points: the mean density of the fine points in each
// bin [10^(j/P), 10^((j+1)/P)), its degrees of freedom (less the correlation of
// neighbouring Hann bins) and the interval of the true density.
struct LogBin {
  double hz = 0.0;  // geometric centre
  double psd = 0.0;
  double dof = 0.0;
  double lo_psd = 0.0;  // interval of the true density, V^2/Hz
  double hi_psd = 0.0;
  int points = 0;
};
std::vector<LogBin> LogBins(const std::vector<FinePoint>& fine, int ppd, double confidence);

// Degrees of freedom of the mean of n neighbouring Hann bins of nu each.
double CombinedDof(double nu_sum, int n);

}  // namespace qvx::psd
