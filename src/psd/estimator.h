#pragma once
// Spectral estimation from samples as they arrive: Welch (Hann, 50 % overlap) on a cascade
// of decimating stages, so that the fine points keep about the same relative resolution at
// every frequency, with each point's degrees of freedom; and the 0.1-10 Hz noise of data
// sheets. Construct it, push samples, read it at any time; memory does not grow with the
// record (the deepest stage keeps at most kTailSamples of its own rate).
//
// A DC level never reaches a figure: the record's first kReferenceSamples samples (or all
// of them, for a shorter record) are held back until their mean is known, and that mean is
// taken from every sample, in double, before any filter or segment sees it.
#include <cstddef>
#include <memory>
#include <vector>

namespace qvx::psd {

enum class Averaging { Mean, Median };

struct Options {
  std::size_t segment = 4096;  // samples per Welch segment at each stage: a power of two, 16 to kMaxSegment
  Averaging averaging = Averaging::Mean;
  std::size_t expected_samples = 0;  // the record's length; it decides how deep the cascade goes (0: 10 M)
  bool lf_noise = true;              // run the 0.1-10 Hz filter (where the rate allows)
};

inline constexpr std::size_t kTailSamples = 1 << 16;
inline constexpr std::size_t kMaxSegment = 1 << 20;
inline constexpr double kMaxSampleRateHz = 1e12;
inline constexpr int kDecimation = 4;        // rate ratio of neighbouring stages
inline constexpr double kTopFraction = 0.4;  // fine points reach 0.4 x the sample rate
// Samples whose mean is the DC reference (fewer when the record is expected shorter).
inline constexpr std::size_t kReferenceSamples = 1 << 16;
// FinePoint::stage of the deepest stage's octaves: kTailOctaveStage for its top octave,
// + 1 for the one below, and so on. The streaming stages are 0, 1, ... from the top rate.
inline constexpr int kTailOctaveStage = 1000;

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

namespace detail {
class ForkJoin;
}

class Estimator {
 public:
  // Throws std::invalid_argument, naming the parameter, for fs_hz not finite or outside
  // (0, kMaxSampleRateHz], or a segment that is not a power of two from 16 to kMaxSegment.
  Estimator(double fs_hz, Options options);
  ~Estimator();
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  // The samples in order, in pieces of any size: the split changes no bit of what Read()
  // and ReadLf() give. The first call's type sets the top stage's precision (float: FFTs in
  // float; double: in double); the deeper stages run in double either way. A large piece
  // is shared with a second thread; Push returns when all of it is done. Not to be called
  // while another thread reads.
  void Push(const double* samples, std::size_t n);
  void Push(const float* samples, std::size_t n);
  // Back to no samples, with the same parameters.
  void Reset();

  // The fine points from the lowest frequency the samples so far resolve up to 0.4 fs,
  // rising. Each frequency comes from one stage. Before the DC reference is complete, the
  // samples held back are read as a whole record of their own (their mean its reference).
  std::vector<FinePoint> Read() const;
  LfNoise ReadLf() const;
  std::size_t Samples() const { return samples_; }
  double SampleRate() const { return fs_; }
  const Options& Settings() const { return options_; }

 private:
  struct Stage;
  struct Lf;
  enum class Precision { Unset, Float, Double };
  void Build();
  template <class T>
  void PushAny(const T* x, std::size_t n, Precision precision);
  template <class T>
  void Process(const T* x, std::size_t n);
  template <class T>
  void Feed(std::size_t s, const T* x, std::size_t n, double offset, bool welch);
  template <class T>
  void FeedTopWelch(const T* x, std::size_t n);
  template <class T>
  void FeedLf(const T* x, std::size_t n, double offset);
  // Read() and ReadLf() before the reference is known: a copy fed what is held back.
  std::unique_ptr<Estimator> Provisional() const;

  double fs_;
  Options options_;
  std::size_t samples_ = 0;
  std::size_t tail_stage_ = 0;
  std::size_t lf_stage_ = 0;
  std::size_t reference_count_ = 0;
  double reference_ = 0.0;
  bool referenced_ = false;
  std::vector<double> head_;  // the samples held back until the reference is known
  Precision precision_ = Precision::Unset;
  std::vector<std::unique_ptr<Stage>> stages_;
  std::unique_ptr<Lf> lf_;
  // The top stage's Welch runs on the caller's thread while this one decimates.
  std::unique_ptr<detail::ForkJoin> helper_;
  const float* pending_float_ = nullptr;
  const double* pending_double_ = nullptr;
  std::size_t pending_n_ = 0;
};

// What Read() gives after `samples` samples (frequencies, widths, stages and degrees of
// freedom; psd 0), in closed form, without an estimator. Throws as the constructor does.
std::vector<FinePoint> PlannedFinePoints(double fs_hz, const Options& options, std::size_t samples);

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
