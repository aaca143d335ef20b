#include "psd/estimator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "psd/cascade.h"
#include "psd/chi_squared.h"
#include "psd/fork_join.h"
#include "psd/half_band.h"
#include "psd/welch.h"

namespace qvx::psd {
namespace {

using detail::HalfBand;
using detail::Welch;
using std::numbers::pi;

// Power correlation of neighbouring and next-but-one Hann bins (|-2/3|^2 and |1/6|^2).
constexpr double kNeighbourRho2 = 4.0 / 9.0;
constexpr double kNextRho2 = 1.0 / 36.0;
// The decimation runs in pieces of this many inputs, so its scratch is fixed.
constexpr std::size_t kPiece = 1 << 15;
// A push of at least this many samples shares its work with a second thread.
constexpr std::size_t kParallelSamples = 1 << 15;

void Validate(double fs_hz, const Options& options) {
  detail::ValidateCascade("psd::Estimator", fs_hz, options.segment);
  if (options.averaging != Averaging::Mean && options.averaging != Averaging::Median)
    throw std::invalid_argument("psd::Estimator: options.averaging is neither Mean nor Median");
}

double StageRate(double fs_hz, std::size_t s) {
  return fs_hz / std::pow(static_cast<double>(kDecimation), static_cast<double>(s));
}

// The deepest stage holds the whole record at its own rate.
std::size_t TailStage(const Options& options) {
  const std::size_t expected = options.expected_samples > 0 ? options.expected_samples : 10000000;
  std::size_t s = 0;
  while (static_cast<double>(expected) / std::pow(static_cast<double>(kDecimation), static_cast<double>(s)) >
         kTailSamples)
    ++s;
  return s;
}

// Which stage gives which frequencies, for Read() and PlannedFinePoints() alike. `source`
// tells each streaming stage's segments and densities, and runs the deepest stage's Welch
// at each length asked for.
template <class Source>
std::vector<FinePoint> FinePoints(double fs_hz, const Options& options, std::size_t tail_stage, Source& source) {
  std::vector<FinePoint> fine;
  // Deepest first, so the points rise: the tail stage's own Welch at doubling lengths,
  // each the octave below the one before it, then the streaming stages.
  const double tail_rate = StageRate(fs_hz, tail_stage);
  const std::size_t have = source.TailHave();
  std::vector<std::vector<FinePoint>> octaves;
  if (have >= 16) {
    std::size_t length = detail::TailShortestLength(options.segment, have);
    double top = kTopFraction * tail_rate;
    int id = kTailOctaveStage;
    for (; length <= have; length *= 2, ++id) {
      const std::size_t segments = source.TailWelch(length);
      if (segments == 0) break;
      const double df = tail_rate / static_cast<double>(length);
      const double dof = detail::WelchDof(segments, options.averaging);
      std::vector<FinePoint> band;
      for (std::size_t k = 2; k * df < top && k <= length / 2; ++k) {
        band.push_back({k * df, source.TailPsd(k), dof, df, id});
      }
      octaves.push_back(std::move(band));
      top = 2.0 * df;  // bin 1 holds what the segment mean leaves
    }
  }
  for (auto it = octaves.rbegin(); it != octaves.rend(); ++it) fine.insert(fine.end(), it->begin(), it->end());
  for (std::size_t s = tail_stage; s-- > 0;) {
    const std::size_t segments = source.Segments(s);
    if (segments == 0) continue;
    const double rate = StageRate(fs_hz, s);
    const double df = rate / static_cast<double>(options.segment);
    const double lo = kTopFraction * rate / kDecimation;
    const double hi = kTopFraction * rate;
    const double dof = detail::WelchDof(segments, options.averaging);
    for (auto k = static_cast<std::size_t>(std::ceil(lo / df - 1e-9)); k * df < hi; ++k) {
      fine.push_back({k * df, source.Psd(s, k), dof, df, static_cast<int>(s)});
    }
  }
  return fine;
}

bool TwoCores() {
  static const bool two = std::thread::hardware_concurrency() > 1;
  return two;
}

}  // namespace

namespace detail {

double StageRateOf(double fs_hz, std::size_t s) { return StageRate(fs_hz, s); }

std::string Number(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::general, 6).ptr;
  return std::string(text, end);
}

void ValidateCascade(const char* who, double fs_hz, std::size_t segment) {
  if (!std::isfinite(fs_hz) || fs_hz <= 0.0 || fs_hz > kMaxSampleRateHz) {
    throw std::invalid_argument(std::string(who) + ": fs_hz must be a finite sample rate above 0 and at most " +
                                Number(kMaxSampleRateHz) + ", not " + Number(fs_hz));
  }
  if (segment < 16 || segment > kMaxSegment || (segment & (segment - 1)) != 0) {
    throw std::invalid_argument(std::string(who) + ": options.segment must be a power of two from 16 to " +
                                std::to_string(kMaxSegment) + ", not " + std::to_string(segment));
  }
}

std::size_t TailStageOf(const Options& options) { return TailStage(options); }

std::size_t TailShortestLength(std::size_t segment, std::size_t have) {
  // The shortest length still gives about eight segments where the record allows.
  std::size_t length = 16;
  while (length * 2 <= std::min<std::size_t>(segment, have * 2 / 9)) length *= 2;
  return length;
}

std::vector<FinePoint> FineLayout(double fs_hz, const Options& options, const std::vector<std::size_t>& segments,
                                  std::size_t tail_have, const std::function<std::size_t(std::size_t)>& tail_segments) {
  struct Layout {
    const std::vector<std::size_t>& segments;
    std::size_t have;
    const std::function<std::size_t(std::size_t)>& tail;
    std::size_t Segments(std::size_t s) const { return s < segments.size() ? segments[s] : 0; }
    double Psd(std::size_t, std::size_t) const { return 0.0; }
    std::size_t TailHave() const { return have; }
    std::size_t TailWelch(std::size_t length) { return tail(length); }
    double TailPsd(std::size_t) const { return 0.0; }
  } source{segments, tail_have, tail_segments};
  return FinePoints(fs_hz, options, TailStage(options), source);
}

}  // namespace detail

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
  bool streaming = false;                     // every stage above the deepest has its Welch
  std::unique_ptr<Welch<double>> welch;       // made at the first push for the top stage
  std::unique_ptr<Welch<float>> welch_float;  // the top stage on float input
  std::vector<double> stored;                 // the deepest stage's samples, for its own Welch at Read
  bool store = false;
  // Decimation by four into the next stage in two half-band steps: the first only keeps
  // aliases off the quarter band the next stage uses, the second sharpens to it (flat to
  // 0.4 of the next stage's rate, 110 dB down from 0.6 of it).
  std::unique_ptr<HalfBand> first;
  std::unique_ptr<HalfBand> second;
  std::vector<double> half;     // scratch between the two
  std::vector<double> quarter;  // the next stage's input

  std::size_t Segments() const { return welch ? welch->Segments() : welch_float ? welch_float->Segments() : 0; }
  double Psd(std::size_t k) const {
    return welch ? welch->Psd(k, rate) : welch_float ? welch_float->Psd(k, rate) : 0.0;
  }
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
  Validate(fs_hz, options_);
  Build();
}

Estimator::~Estimator() = default;

void Estimator::Build() {
  stages_.clear();
  lf_.reset();
  samples_ = 0;
  head_ = {};
  reference_ = 0.0;
  referenced_ = false;
  precision_ = Precision::Unset;
  const std::size_t expected = options_.expected_samples > 0 ? options_.expected_samples : 10000000;
  reference_count_ = std::min(kReferenceSamples, expected);
  tail_stage_ = TailStage(options_);
  std::size_t last = tail_stage_;
  lf_stage_ = 0;
  if (options_.lf_noise && fs_ >= 100.0) {
    while (StageRate(fs_, lf_stage_ + 1) >= 100.0) ++lf_stage_;
    last = std::max(last, lf_stage_);
    lf_ = std::make_unique<Lf>(StageRate(fs_, lf_stage_));
  }
  for (std::size_t s = 0; s <= last; ++s) {
    auto stage = std::make_unique<Stage>();
    stage->rate = StageRate(fs_, s);
    stage->streaming = s < tail_stage_;
    if (stage->streaming && s > 0) stage->welch = std::make_unique<Welch<double>>(options_.segment, options_.averaging);
    stage->store = s == tail_stage_;
    if (stage->store) {
      stage->stored.reserve(std::min<std::size_t>(
          kTailSamples,
          expected / static_cast<std::size_t>(std::pow(double{kDecimation}, static_cast<double>(s))) + 1));
    }
    if (s < last) {
      stage->first = std::make_unique<HalfBand>(detail::kFirstHalfBand);
      stage->second = std::make_unique<HalfBand>(detail::kSecondHalfBand);
      stage->half.resize(kPiece / 2 + 1);
      stage->quarter.resize(kPiece / 4 + 2);
    }
    stages_.push_back(std::move(stage));
  }
}

void Estimator::Reset() { Build(); }

void Estimator::Push(const double* samples, std::size_t n) { PushAny(samples, n, Precision::Double); }

void Estimator::Push(const float* samples, std::size_t n) { PushAny(samples, n, Precision::Float); }

template <class T>
void Estimator::PushAny(const T* x, std::size_t n, Precision precision) {
  if (n == 0) return;
  if (precision_ == Precision::Unset) {
    precision_ = precision;
    Stage& top = *stages_[0];
    if (top.streaming && precision == Precision::Float) {
      top.welch_float = std::make_unique<Welch<float>>(options_.segment, options_.averaging);
    } else if (top.streaming) {
      top.welch = std::make_unique<Welch<double>>(options_.segment, options_.averaging);
    }
  }
  if (!referenced_) {
    // Held back until the reference is known, so that no stage ever sees the DC level.
    head_.reserve(reference_count_);
    const std::size_t take = std::min(n, reference_count_ - head_.size());
    head_.insert(head_.end(), x, x + take);
    samples_ += take;
    x += take;
    n -= take;
    if (head_.size() < reference_count_) return;
    double sum = 0.0;
    for (double v : head_) sum += v;
    reference_ = sum / static_cast<double>(head_.size());
    referenced_ = true;
    const std::vector<double> head = std::move(head_);
    head_ = {};
    Process(head.data(), head.size());
  }
  samples_ += n;
  Process(x, n);
}

template <class T>
void Estimator::Process(const T* x, std::size_t n) {
  if (n == 0) return;
  if (!stages_[0]->streaming || stages_.size() < 2 || n < kParallelSamples || !TwoCores()) {
    Feed(0, x, n, reference_, true);
    return;
  }
  // The top stage's Welch here, the decimation and everything below it on the helper:
  // the same arithmetic either way, so the split changes no bit.
  if (!helper_) {
    helper_ = std::make_unique<detail::ForkJoin>([this] {
      if (pending_float_ != nullptr) {
        Feed(0, pending_float_, pending_n_, reference_, false);
      } else {
        Feed(0, pending_double_, pending_n_, reference_, false);
      }
    });
  }
  if constexpr (std::is_same_v<T, float>) {
    pending_float_ = x;
    pending_double_ = nullptr;
  } else {
    pending_float_ = nullptr;
    pending_double_ = x;
  }
  pending_n_ = n;
  helper_->Start();
  try {
    FeedTopWelch(x, n);
  } catch (...) {
    try {
      helper_->Wait();
    } catch (...) {
    }
    throw;
  }
  helper_->Wait();
}

template <class T>
void Estimator::FeedTopWelch(const T* x, std::size_t n) {
  Stage& top = *stages_[0];
  if (top.welch_float) top.welch_float->Push(x, n, reference_);
  if (top.welch) top.welch->Push(x, n, reference_);
}

template <class T>
void Estimator::Feed(std::size_t s, const T* x, std::size_t n, double offset, bool welch) {
  if (n == 0) return;
  Stage& stage = *stages_[s];
  if (welch && stage.streaming) {
    if (s == 0) {
      FeedTopWelch(x, n);
    } else {
      stage.welch->Push(x, n, offset);
    }
  }
  if (stage.store) {
    const std::size_t take = std::min(n, kTailSamples - std::min(kTailSamples, stage.stored.size()));
    for (std::size_t i = 0; i < take; ++i) stage.stored.push_back(static_cast<double>(x[i]) - offset);
  }
  if (lf_ && s == lf_stage_) FeedLf(x, n, offset);
  if (!stage.first) return;
  for (std::size_t at = 0; at < n; at += kPiece) {
    const std::size_t m = std::min(kPiece, n - at);
    const std::size_t h = stage.first->Run(x + at, m, offset, stage.half.data());
    const std::size_t q = stage.second->Run(stage.half.data(), h, 0.0, stage.quarter.data());
    Feed(s + 1, stage.quarter.data(), q, 0.0, true);
  }
}

template <class T>
void Estimator::FeedLf(const T* x, std::size_t n, double offset) {
  // From rest: the input is already less the reference, so there is no step to settle.
  Lf& lf = *lf_;
  const auto settle = static_cast<std::size_t>(std::llround(10.0 * lf.rate_hz));
  for (std::size_t i = 0; i < n; ++i) {
    const double y = lf.filter.Next(static_cast<double>(x[i]) - offset);
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

std::unique_ptr<Estimator> Estimator::Provisional() const {
  // The reference of a record shorter than it is the mean of all there is.
  auto copy = std::make_unique<Estimator>(fs_, options_);
  copy->reference_count_ = head_.size();
  copy->PushAny(head_.data(), head_.size(), precision_);
  return copy;
}

std::vector<FinePoint> Estimator::Read() const {
  if (!referenced_ && samples_ > 0) return Provisional()->Read();
  struct Measured {
    const Estimator& e;
    const Stage& tail;
    std::unique_ptr<Welch<double>> welch;
    std::size_t Segments(std::size_t s) const { return e.stages_[s]->Segments(); }
    double Psd(std::size_t s, std::size_t k) const { return e.stages_[s]->Psd(k); }
    std::size_t TailHave() const { return tail.stored.size(); }
    std::size_t TailWelch(std::size_t length) {
      welch = std::make_unique<Welch<double>>(length, e.options_.averaging);
      welch->Push(tail.stored.data(), tail.stored.size(), 0.0);
      return welch->Segments();
    }
    double TailPsd(std::size_t k) const { return welch->Psd(k, tail.rate); }
  } source{*this, *stages_[tail_stage_], nullptr};
  return FinePoints(fs_, options_, tail_stage_, source);
}

std::vector<FinePoint> PlannedFinePoints(double fs_hz, const Options& options, std::size_t samples) {
  Validate(fs_hz, options);
  struct Planned {
    std::size_t segment;
    std::vector<std::size_t> inputs;  // samples each stage has seen
    std::size_t have = 0;
    std::size_t length = 0;
    std::size_t Segments(std::size_t s) const { return detail::WelchSegments(inputs[s], segment); }
    double Psd(std::size_t, std::size_t) const { return 0.0; }
    std::size_t TailHave() const { return have; }
    std::size_t TailWelch(std::size_t l) { return detail::WelchSegments(have, l); }
    double TailPsd(std::size_t) const { return 0.0; }
  } source{options.segment, {samples}};
  const std::size_t tail = TailStage(options);
  // Each half-band gives an output for every second input.
  while (source.inputs.size() <= tail) source.inputs.push_back(source.inputs.back() / 2 / 2);
  source.have = std::min(kTailSamples, source.inputs[tail]);
  return FinePoints(fs_hz, options, tail, source);
}

LfNoise Estimator::ReadLf() const {
  LfNoise out;
  if (!lf_) return out;
  if (!referenced_ && samples_ > 0) return Provisional()->ReadLf();
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
