#include "psd/estimator.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <mutex>
#include <numbers>

#include "psd/chi_squared.h"

namespace qvx::psd {
namespace {

using std::numbers::pi;

// Power correlation of the periodograms of two Hann segments half overlapped, and of
// neighbouring and next-but-one Hann bins (|-2/3|^2 and |1/6|^2).
constexpr double kOverlapRho2 = 1.0 / 36.0;
constexpr double kNeighbourRho2 = 4.0 / 9.0;
constexpr double kNextRho2 = 1.0 / 36.0;
// Median of exponential variables: its variance is 1 / (K f(median)^2 / 4), so 2 K ln^2 2
// equivalent degrees of freedom.
constexpr double kMedianEfficiency = 0.4804530139182014;  // ln^2 2

std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

// Degrees of freedom of a Welch average of k half-overlapped Hann segments.
double WelchDof(std::size_t k, Averaging averaging) {
  if (k == 0) return 0.0;
  const double K = static_cast<double>(k);
  const double mean = 2.0 * K / (1.0 + 2.0 * kOverlapRho2 * (K - 1.0) / K);
  if (averaging == Averaging::Mean || k <= 2) return mean;
  return std::max(2.0, mean * kMedianEfficiency);
}

// The running median of a stream (P-squared, Jain and Chlamtac 1985): five markers, no
// stored values beyond the first five.
class RunningMedian {
 public:
  void Add(double x) {
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
  double Value() const {
    if (count_ >= 5) return q_[2];
    if (count_ == 0) return 0.0;
    double sorted[5];
    std::copy(q_, q_ + count_, sorted);
    std::sort(sorted, sorted + count_);
    return count_ % 2 ? sorted[count_ / 2] : 0.5 * (sorted[count_ / 2 - 1] + sorted[count_ / 2]);
  }

 private:
  double q_[5] = {};
  double n_[5] = {};
  double want_[5] = {};
  int count_ = 0;
};

// Welch's average of half-overlapped Hann periodograms, segment by segment as samples
// arrive. The FFTW plan is made once.
class Welch {
 public:
  Welch(std::size_t length, Averaging averaging)
      : length_(length), averaging_(averaging), window_(length), buffer_(length), sum_(length / 2 + 1, 0.0) {
    for (std::size_t n = 0; n < length; ++n) {
      window_[n] = 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(n) / static_cast<double>(length));
      sum_w2_ += window_[n] * window_[n];
    }
    if (averaging == Averaging::Median) median_.resize(length / 2 + 1);
    in_ = fftw_alloc_real(length);
    out_ = fftw_alloc_complex(length / 2 + 1);
    std::lock_guard lock(PlannerMutex());
    plan_ = fftw_plan_dft_r2c_1d(static_cast<int>(length), in_, out_, FFTW_ESTIMATE);
  }
  ~Welch() {
    {
      std::lock_guard lock(PlannerMutex());
      fftw_destroy_plan(plan_);
    }
    fftw_free(in_);
    fftw_free(out_);
  }
  Welch(const Welch&) = delete;
  Welch& operator=(const Welch&) = delete;

  void Push(const double* x, std::size_t n) {
    while (n > 0) {
      const std::size_t take = std::min(n, length_ - fill_);
      std::memcpy(buffer_.data() + fill_, x, take * sizeof(double));
      fill_ += take;
      x += take;
      n -= take;
      if (fill_ == length_) {
        Segment();
        // Half overlap: the second half starts the next segment.
        std::memmove(buffer_.data(), buffer_.data() + length_ / 2, (length_ - length_ / 2) * sizeof(double));
        fill_ = length_ - length_ / 2;
      }
    }
  }

  std::size_t Segments() const { return segments_; }
  std::size_t Length() const { return length_; }

  // One-sided density of bin k, V^2/Hz.
  double Psd(std::size_t k, double rate) const {
    if (segments_ == 0) return 0.0;
    const double scale = 2.0 / (rate * sum_w2_);
    if (averaging_ == Averaging::Median) return scale * median_[k].Value() / MedianBias(segments_);
    return scale * sum_[k] / static_cast<double>(segments_);
  }

 private:
  void Segment() {
    // The segment's mean is taken out first, as scipy's detrend='constant' does.
    double mean = 0.0;
    for (std::size_t i = 0; i < length_; ++i) mean += buffer_[i];
    mean /= static_cast<double>(length_);
    for (std::size_t i = 0; i < length_; ++i) in_[i] = (buffer_[i] - mean) * window_[i];
    fftw_execute(plan_);
    for (std::size_t k = 0; k < sum_.size(); ++k) {
      const double power = out_[k][0] * out_[k][0] + out_[k][1] * out_[k][1];
      if (averaging_ == Averaging::Median) {
        median_[k].Add(power);
      } else {
        sum_[k] += power;
      }
    }
    ++segments_;
  }

  std::size_t length_;
  Averaging averaging_;
  std::vector<double> window_;
  double sum_w2_ = 0.0;
  std::vector<double> buffer_;
  std::size_t fill_ = 0;
  std::vector<double> sum_;
  std::vector<RunningMedian> median_;
  std::size_t segments_ = 0;
  double* in_ = nullptr;
  fftw_complex* out_ = nullptr;
  fftw_plan plan_ = nullptr;
};

double Bessel0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 60; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// A half-band low-pass (Kaiser-windowed sinc at a quarter of the rate) for decimating by
// two: every tap at an even distance from the centre is zero, and the taps are symmetric,
// so an output costs a quarter of its length in multiplies. `transition` is the band from
// pass to stop in cycles per input sample, centred on 0.25; at least 110 dB down beyond it.
class HalfBand {
 public:
  explicit HalfBand(double transition) {
    constexpr double kAttenuation = 110.0;
    const double beta = 0.1102 * (kAttenuation - 8.7);
    auto n = static_cast<std::size_t>(std::ceil((kAttenuation - 7.95) / (2.285 * 2.0 * pi * transition))) + 1;
    while (n % 4 != 3) ++n;  // the outermost taps at odd distances, so none is wasted
    reach_ = (n - 1) / 2;
    double total = 0.5;  // the centre tap
    for (std::size_t j = 1; j <= reach_; j += 2) {
      const double r = static_cast<double>(j) / static_cast<double>(reach_);
      const double tap = std::sin(0.5 * pi * static_cast<double>(j)) / (pi * static_cast<double>(j)) *
                         Bessel0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / Bessel0(beta);
      odd_.push_back(tap);
      total += 2.0 * tap;
    }
    centre_ = 0.5 / total;  // unit gain at 0 Hz
    for (double& tap : odd_) tap /= total;
    history_.assign(2 * reach_, 0.0);
  }

  // Appends the outputs of `n` more inputs to `out`.
  void Run(const double* x, std::size_t n, std::vector<double>& out) {
    std::vector<double>& buf = history_;
    const std::size_t keep = 2 * reach_;
    buf.insert(buf.end(), x, x + n);
    for (std::size_t i = keep; i < buf.size(); ++i) {
      if ((phase_ ^= 1) != 0) continue;           // every second input makes an output
      const double* c = buf.data() + i - reach_;  // the centre of the window
      double a = centre_ * c[0];
      double b = 0.0;
      std::size_t t = 0;
      for (; t + 1 < odd_.size(); t += 2) {
        a += odd_[t] * (c[-static_cast<std::ptrdiff_t>(2 * t + 1)] + c[2 * t + 1]);
        b += odd_[t + 1] * (c[-static_cast<std::ptrdiff_t>(2 * t + 3)] + c[2 * t + 3]);
      }
      for (; t < odd_.size(); ++t) a += odd_[t] * (c[-static_cast<std::ptrdiff_t>(2 * t + 1)] + c[2 * t + 1]);
      out.push_back(a + b);
    }
    buf.erase(buf.begin(), buf.end() - static_cast<std::ptrdiff_t>(keep));
  }

 private:
  std::size_t reach_ = 0;
  double centre_ = 0.5;
  std::vector<double> odd_;  // taps at distance 1, 3, 5, ...
  std::vector<double> history_;
  unsigned phase_ = 0;
};

}  // namespace

double MedianBias(std::size_t n) {
  double bias = 1.0;
  for (std::size_t k = 1; k <= (n - (n > 0 ? 1 : 0)) / 2; ++k) bias += 1.0 / (2.0 * k + 1.0) - 1.0 / (2.0 * k);
  return bias;
}

double CombinedDof(double nu_sum, int n) {
  if (n <= 1) return nu_sum;
  const double m = n;
  return nu_sum / (1.0 + 2.0 * kNeighbourRho2 * (m - 1.0) / m + 2.0 * kNextRho2 * std::max(0.0, m - 2.0) / m);
}

// --- the 0.1-10 Hz filter ---

LfFilter::LfFilter(double rate_hz) : rate_(rate_hz) {
  auto section = [&](double fc, double q, bool highpass) {
    const double k = std::tan(pi * fc / rate_hz);  // prewarped
    const double norm = 1.0 / (1.0 + k / q + k * k);
    Biquad b{};
    if (highpass) {
      b.b0 = norm;
      b.b1 = -2.0 * norm;
    } else {
      b.b0 = k * k * norm;
      b.b1 = 2.0 * b.b0;
    }
    b.b2 = b.b0;
    b.a1 = 2.0 * (k * k - 1.0) * norm;
    b.a2 = (1.0 - k / q + k * k) * norm;
    sections_.push_back(b);
  };
  section(0.1, std::numbers::sqrt2 / 2.0, true);
  section(10.0, 1.0 / (2.0 * std::cos(pi / 8.0)), false);
  section(10.0, 1.0 / (2.0 * std::cos(3.0 * pi / 8.0)), false);
}

double LfFilter::Next(double x) {
  for (Biquad& b : sections_) {
    // Transposed direct form II.
    const double y = b.b0 * x + b.z1;
    b.z1 = b.b1 * x - b.a1 * y + b.z2;
    b.z2 = b.b2 * x - b.a2 * y;
    x = y;
  }
  return x;
}

double LfFilter::PowerGain(double hz) const {
  const std::complex<double> z = std::polar(1.0, 2.0 * pi * hz / rate_);
  const std::complex<double> zi = 1.0 / z;
  double gain = 1.0;
  for (const Biquad& b : sections_) {
    const std::complex<double> h = (b.b0 + b.b1 * zi + b.b2 * zi * zi) / (1.0 + b.a1 * zi + b.a2 * zi * zi);
    gain *= std::norm(h);
  }
  return gain;
}

// --- the cascade ---

struct Estimator::Stage {
  double rate = 0.0;
  std::unique_ptr<Welch> welch;  // every stage above the deepest
  std::vector<double> stored;    // the deepest stage's samples, for its own Welch at Read
  bool store = false;
  // Decimation by four into the next stage in two half-band steps: the first only keeps
  // aliases off the quarter band the next stage uses, the second sharpens to it (flat to
  // 0.4 of the next stage's rate, 110 dB down from 0.6 of it).
  std::unique_ptr<HalfBand> first;
  std::unique_ptr<HalfBand> second;
  std::vector<double> half;  // scratch between the two
};

struct Estimator::Lf {
  explicit Lf(double rate) : filter(rate), rate_hz(rate) {}
  LfFilter filter;
  double rate_hz;
  std::size_t seen = 0;
  double sum2 = 0.0;
  std::size_t counted = 0;
  double lo = 0.0, hi = 0.0;
  std::size_t in_window = 0;
  std::vector<double> pp;
  std::vector<double> first;
};

Estimator::Estimator(double fs_hz, Options options) : fs_(fs_hz), options_(options) {
  options_.segment = std::max<std::size_t>(16, options_.segment);
  const std::size_t expected = options_.expected_samples > 0 ? options_.expected_samples : 10000000;
  const double d = kDecimation;
  // The deepest stage holds the whole record at its own rate.
  while (static_cast<double>(expected) / std::pow(d, static_cast<double>(tail_stage_)) > kTailSamples) ++tail_stage_;
  std::size_t last = tail_stage_;
  if (options_.lf_noise && fs_hz >= 100.0) {
    while (fs_hz / std::pow(d, static_cast<double>(lf_stage_ + 1)) >= 100.0) ++lf_stage_;
    last = std::max(last, lf_stage_);
    lf_ = std::make_unique<Lf>(fs_hz / std::pow(d, static_cast<double>(lf_stage_)));
  }
  for (std::size_t s = 0; s <= last; ++s) {
    auto stage = std::make_unique<Stage>();
    stage->rate = fs_hz / std::pow(d, static_cast<double>(s));
    if (s < tail_stage_) stage->welch = std::make_unique<Welch>(options_.segment, options_.averaging);
    stage->store = s == tail_stage_;
    if (stage->store)
      stage->stored.reserve(std::min<std::size_t>(
          kTailSamples, expected / static_cast<std::size_t>(std::pow(d, static_cast<double>(s))) + 1));
    if (s < last) {
      stage->first = std::make_unique<HalfBand>(0.3);   // pass 0.1, stop 0.4 of its input rate
      stage->second = std::make_unique<HalfBand>(0.1);  // pass 0.2, stop 0.3 of its input rate
    }
    stages_.push_back(std::move(stage));
  }
}

Estimator::~Estimator() = default;

void Estimator::Push(const float* samples, std::size_t n) {
  std::vector<double> block(std::min<std::size_t>(n, 65536));
  while (n > 0) {
    const std::size_t take = std::min(n, block.size());
    std::copy(samples, samples + take, block.begin());
    Push(block.data(), take);
    samples += take;
    n -= take;
  }
}

void Estimator::Push(const double* samples, std::size_t n) {
  samples_ += n;
  PushStage(0, samples, n);
}

void Estimator::PushStage(std::size_t s, const double* x, std::size_t n) {
  if (n == 0) return;
  Stage& stage = *stages_[s];
  if (stage.welch) stage.welch->Push(x, n);
  if (stage.store) {
    const std::size_t room = kTailSamples - std::min(kTailSamples, stage.stored.size());
    stage.stored.insert(stage.stored.end(), x, x + std::min(n, room));
  }
  if (lf_ && s == lf_stage_) {
    Lf& lf = *lf_;
    const auto settle = static_cast<std::size_t>(std::llround(10.0 * lf.rate_hz));
    for (std::size_t i = 0; i < n; ++i) {
      const double y = lf.filter.Next(x[i]);
      if (lf.seen++ < settle) continue;
      lf.sum2 += y * y;
      ++lf.counted;
      if (lf.in_window == 0) lf.lo = lf.hi = y;
      lf.lo = std::min(lf.lo, y);
      lf.hi = std::max(lf.hi, y);
      if (lf.pp.empty()) lf.first.push_back(y);
      if (++lf.in_window == settle) {
        lf.pp.push_back(lf.hi - lf.lo);
        lf.in_window = 0;
      }
    }
  }
  if (s + 1 >= stages_.size()) return;
  stage.half.clear();
  stage.first->Run(x, n, stage.half);
  std::vector<double> out;
  out.reserve(stage.half.size() / 2 + 1);
  stage.second->Run(stage.half.data(), stage.half.size(), out);
  PushStage(s + 1, out.data(), out.size());
}

std::vector<FinePoint> Estimator::Read() const {
  std::vector<FinePoint> fine;
  const double d = kDecimation;
  // Deepest first, so the points rise: the tail stage's own Welch at doubling lengths,
  // each the octave below the one before it, then the streaming stages.
  const Stage& tail = *stages_[tail_stage_];
  const double tailTop = kTopFraction * (tail_stage_ == 0 ? fs_ : tail.rate);
  const std::size_t have = tail.stored.size();
  std::vector<std::vector<FinePoint>> octaves;
  if (have >= 16) {
    // The shortest length still gives about eight segments where the record allows.
    std::size_t length = 16;
    while (length * 2 <= std::min<std::size_t>(options_.segment, have * 2 / 9)) length *= 2;
    double top = tailTop;
    int id = 1000;
    for (; length <= have; length *= 2, ++id) {
      Welch welch(length, options_.averaging);
      welch.Push(tail.stored.data(), have);
      if (welch.Segments() == 0) break;
      const double df = tail.rate / static_cast<double>(length);
      const double bottom = 2.0 * df;  // bin 1 holds what the segment mean leaves
      std::vector<FinePoint> band;
      for (std::size_t k = 2; k * df < top && k <= length / 2; ++k) {
        band.push_back({k * df, welch.Psd(k, tail.rate), WelchDof(welch.Segments(), options_.averaging), df, id});
      }
      octaves.push_back(std::move(band));
      top = bottom;
    }
  }
  for (auto it = octaves.rbegin(); it != octaves.rend(); ++it) fine.insert(fine.end(), it->begin(), it->end());
  for (std::size_t s = tail_stage_; s-- > 0;) {
    const Stage& stage = *stages_[s];
    if (stage.welch->Segments() == 0) continue;
    const double df = stage.rate / static_cast<double>(options_.segment);
    const double lo = kTopFraction * stage.rate / d;
    const double hi = kTopFraction * stage.rate;
    const double dof = WelchDof(stage.welch->Segments(), options_.averaging);
    for (auto k = static_cast<std::size_t>(std::ceil(lo / df - 1e-9)); k * df < hi; ++k) {
      fine.push_back({k * df, stage.welch->Psd(k, stage.rate), dof, df, static_cast<int>(s)});
    }
  }
  return fine;
}

LfNoise Estimator::ReadLf() const {
  LfNoise out;
  if (!lf_) return out;
  out.rate_hz = lf_->rate_hz;
  std::vector<double> pp = lf_->pp;
  // The cascade's filters hold back a few samples of the record's end: a last window
  // short of them still counts, so a record of exactly settle + 10 s gives its window.
  const auto window = static_cast<std::size_t>(std::llround(10.0 * lf_->rate_hz));
  if (lf_->in_window > 0 && lf_->in_window + window / 100 >= window) pp.push_back(lf_->hi - lf_->lo);
  out.windows = static_cast<int>(pp.size());
  out.covered = out.windows >= 1;
  if (!out.covered) return out;
  out.rms_v = std::sqrt(lf_->sum2 / static_cast<double>(lf_->counted));
  std::sort(pp.begin(), pp.end());
  out.pp_median_v = pp.size() % 2 ? pp[pp.size() / 2] : 0.5 * (pp[pp.size() / 2 - 1] + pp[pp.size() / 2]);
  out.pp_max_v = pp.back();
  out.first_window_v = lf_->first;
  return out;
}

std::vector<LogBin> LogBins(const std::vector<FinePoint>& fine, int ppd, double confidence) {
  std::vector<LogBin> out;
  if (ppd <= 0) return out;
  std::size_t i = 0;
  while (i < fine.size()) {
    if (!(fine[i].hz > 0)) {
      ++i;
      continue;
    }
    const int j = static_cast<int>(std::floor(std::log10(fine[i].hz) * ppd + 1e-9));
    const double edge = std::pow(10.0, static_cast<double>(j + 1) / ppd);
    double sum = 0.0, nu = 0.0, dof = 0.0;
    int n = 0, run = 0, stage = fine[i].stage;
    for (; i < fine.size() && fine[i].hz < edge * (1 - 1e-9); ++i) {
      // Neighbours of one stage are correlated; a new stage starts a new run.
      if (fine[i].stage != stage) {
        dof += CombinedDof(nu, run);
        nu = 0.0;
        run = 0;
        stage = fine[i].stage;
      }
      sum += fine[i].psd;
      nu += fine[i].dof;
      ++run;
      ++n;
    }
    dof += CombinedDof(nu, run);
    LogBin bin;
    bin.hz = std::pow(10.0, (j + 0.5) / ppd);
    bin.psd = sum / n;
    bin.dof = dof;
    bin.points = n;
    const Interval ci = PowerInterval(dof, confidence);
    bin.lo_psd = bin.psd * ci.lo;
    bin.hi_psd = bin.psd * ci.hi;
    out.push_back(bin);
  }
  return out;
}

}  // namespace qvx::psd
