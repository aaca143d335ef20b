#include "psd/cross.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "psd/cascade.h"
#include "psd/cross_stats.h"
#include "psd/fork_join.h"
#include "psd/half_band.h"
#include "psd/welch.h"

namespace qvx::psd {
namespace {

using detail::CrossSums;
using detail::CrossWelch;
using detail::HalfBand;

// The decimation runs in pieces of this many inputs, so its scratch is fixed.
constexpr std::size_t kPiece = 1 << 15;
// A push of at least this many pairs shares its work with a second thread.
constexpr std::size_t kParallelSamples = 1 << 15;
// The flags' threshold, in standard deviations of Re Sxy.
constexpr double kFlagSigmas = 3.0;
constexpr double kFlagTail = 0.0013498980316301;  // P(Z > 3), Z standard normal

void Validate(double fs_hz, const CrossOptions& options) {
  detail::ValidateCascade("psd::CrossEstimator", fs_hz, options.segment);
}

// The cascade of an auto-spectral estimator of the same shape; the mean of the segments,
// which is what the real part's statistics rest on.
Options CascadeOptions(const CrossOptions& options) {
  Options cascade;
  cascade.segment = options.segment;
  cascade.averaging = Averaging::Mean;
  cascade.expected_samples = options.record_samples;
  cascade.lf_noise = false;
  return cascade;
}

bool TwoCores() {
  static const bool two = std::thread::hardware_concurrency() > 1;
  return two;
}

// The deepest stage's Welch at each length the fine points may ask of what it holds.
std::map<std::size_t, CrossSums> TailWelch(const std::vector<double>& x, const std::vector<double>& y,
                                           std::size_t segment) {
  std::map<std::size_t, CrossSums> out;
  const std::size_t have = x.size();
  if (have < 16) return out;
  for (std::size_t length = detail::TailShortestLength(segment, have); length <= have; length *= 2) {
    CrossWelch<double> welch(length);
    welch.Push(x.data(), y.data(), have, 0.0, 0.0);
    if (welch.Sums().segments == 0) break;
    out.emplace(length, welch.Sums());
  }
  return out;
}

double InputReferred(double v, double gain) {
  if (std::isinf(v)) return v > 0 ? v : 0.0;
  return std::sqrt(std::max(0.0, v) / gain);
}

}  // namespace

// --- the cascade, both channels through the same stages ---

struct CrossEstimator::Stage {
  double rate = 0.0;
  bool streaming = false;
  std::unique_ptr<CrossWelch<double>> welch;
  std::unique_ptr<CrossWelch<float>> welch_float;  // the top stage on float input
  bool store = false;
  std::vector<double> stored_x, stored_y;  // the deepest stage's samples of the record in progress
  std::unique_ptr<HalfBand> first_x, second_x, first_y, second_y;
  std::vector<double> half_x, half_y, quarter_x, quarter_y;

  const CrossSums* Sums() const { return welch ? &welch->Sums() : welch_float ? &welch_float->Sums() : nullptr; }
  // A record boundary: no filter history, no partial segment and nothing stored carry over.
  void Restart() {
    if (welch) welch->Restart();
    if (welch_float) welch_float->Restart();
    for (HalfBand* filter : {first_x.get(), second_x.get(), first_y.get(), second_y.get()}) {
      if (filter != nullptr) filter->Reset();
    }
    stored_x.clear();
    stored_y.clear();
  }
};

struct CrossEstimator::Closed {
  std::size_t have = 0;  // the most the deepest stage held of one record
  std::map<std::size_t, CrossSums> tail;
};

CrossEstimator::CrossEstimator(double fs_hz, CrossOptions options)
    : fs_(fs_hz), options_(options), cascade_(CascadeOptions(options)), closed_(std::make_unique<Closed>()) {
  Validate(fs_hz, options_);
  const std::size_t expected = options_.record_samples > 0 ? options_.record_samples : 10000000;
  reference_count_ = std::min(kReferenceSamples, expected);
  tail_stage_ = detail::TailStageOf(cascade_);
  for (std::size_t s = 0; s <= tail_stage_; ++s) {
    auto stage = std::make_unique<Stage>();
    stage->rate = detail::StageRateOf(fs_, s);
    stage->streaming = s < tail_stage_;
    if (stage->streaming && s > 0) stage->welch = std::make_unique<CrossWelch<double>>(options_.segment);
    stage->store = s == tail_stage_;
    if (stage->store) {
      const std::size_t reserve = std::min<std::size_t>(
          kTailSamples, expected / static_cast<std::size_t>(std::pow(double{kDecimation}, static_cast<double>(s))) + 1);
      stage->stored_x.reserve(reserve);
      stage->stored_y.reserve(reserve);
    }
    if (s < tail_stage_) {
      stage->first_x = std::make_unique<HalfBand>(detail::kFirstHalfBand);
      stage->second_x = std::make_unique<HalfBand>(detail::kSecondHalfBand);
      stage->first_y = std::make_unique<HalfBand>(detail::kFirstHalfBand);
      stage->second_y = std::make_unique<HalfBand>(detail::kSecondHalfBand);
      stage->half_x.resize(kPiece / 2 + 1);
      stage->half_y.resize(kPiece / 2 + 1);
      stage->quarter_x.resize(kPiece / 4 + 2);
      stage->quarter_y.resize(kPiece / 4 + 2);
    }
    stages_.push_back(std::move(stage));
  }
}

CrossEstimator::~CrossEstimator() = default;

void CrossEstimator::Push(const double* x, const double* y, std::size_t n) { PushAny(x, y, n, Precision::Double); }

void CrossEstimator::Push(const float* x, const float* y, std::size_t n) { PushAny(x, y, n, Precision::Float); }

template <class T>
void CrossEstimator::PushAny(const T* x, const T* y, std::size_t n, Precision precision) {
  if (n == 0) return;
  if (x == nullptr || y == nullptr) throw std::invalid_argument("psd::CrossEstimator::Push: x and y must not be null");
  if (precision_ == Precision::Unset) {
    precision_ = precision;
    Stage& top = *stages_[0];
    if (top.streaming && precision == Precision::Float) {
      top.welch_float = std::make_unique<CrossWelch<float>>(options_.segment);
    } else if (top.streaming) {
      top.welch = std::make_unique<CrossWelch<double>>(options_.segment);
    }
  }
  if (!referenced_) {
    // Held back until each channel's reference is known, so that no stage sees a DC level.
    head_x_.reserve(reference_count_);
    head_y_.reserve(reference_count_);
    const std::size_t take = std::min(n, reference_count_ - head_x_.size());
    head_x_.insert(head_x_.end(), x, x + take);
    head_y_.insert(head_y_.end(), y, y + take);
    record_samples_ += take;
    samples_ += take;
    x += take;
    y += take;
    n -= take;
    if (head_x_.size() < reference_count_) return;
    Reference();
  }
  record_samples_ += n;
  samples_ += n;
  Process(x, y, n);
}

void CrossEstimator::Reference() {
  double sum_x = 0.0, sum_y = 0.0;
  for (double v : head_x_) sum_x += v;
  for (double v : head_y_) sum_y += v;
  const auto count = static_cast<double>(std::max<std::size_t>(1, head_x_.size()));
  reference_x_ = sum_x / count;
  reference_y_ = sum_y / count;
  referenced_ = true;
  const std::vector<double> head_x = std::move(head_x_), head_y = std::move(head_y_);
  head_x_ = {};
  head_y_ = {};
  Process(head_x.data(), head_y.data(), head_x.size());
}

template <class T>
void CrossEstimator::Process(const T* x, const T* y, std::size_t n) {
  if (n == 0) return;
  if (!stages_[0]->streaming || stages_.size() < 2 || n < kParallelSamples || !TwoCores()) {
    Feed(0, x, y, n, reference_x_, reference_y_, true);
    return;
  }
  // The top stage's Welch here, the decimation and everything below it on the helper: the
  // same arithmetic either way.
  if (!helper_) {
    helper_ = std::make_unique<detail::ForkJoin>([this] {
      if (pending_float_[0] != nullptr) {
        Feed(0, pending_float_[0], pending_float_[1], pending_n_, reference_x_, reference_y_, false);
      } else {
        Feed(0, pending_double_[0], pending_double_[1], pending_n_, reference_x_, reference_y_, false);
      }
    });
  }
  if constexpr (std::is_same_v<T, float>) {
    pending_float_[0] = x, pending_float_[1] = y;
    pending_double_[0] = pending_double_[1] = nullptr;
  } else {
    pending_float_[0] = pending_float_[1] = nullptr;
    pending_double_[0] = x, pending_double_[1] = y;
  }
  pending_n_ = n;
  helper_->Start();
  try {
    FeedTopWelch(x, y, n);
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
void CrossEstimator::FeedTopWelch(const T* x, const T* y, std::size_t n) {
  Stage& top = *stages_[0];
  if (top.welch_float) top.welch_float->Push(x, y, n, reference_x_, reference_y_);
  if (top.welch) top.welch->Push(x, y, n, reference_x_, reference_y_);
}

template <class T>
void CrossEstimator::Feed(std::size_t s, const T* x, const T* y, std::size_t n, double offset_x, double offset_y,
                          bool welch) {
  if (n == 0) return;
  Stage& stage = *stages_[s];
  if (welch && stage.streaming) {
    if (s == 0) {
      FeedTopWelch(x, y, n);
    } else {
      stage.welch->Push(x, y, n, offset_x, offset_y);
    }
  }
  if (stage.store) {
    const std::size_t take = std::min(n, kTailSamples - std::min(kTailSamples, stage.stored_x.size()));
    for (std::size_t i = 0; i < take; ++i) {
      stage.stored_x.push_back(static_cast<double>(x[i]) - offset_x);
      stage.stored_y.push_back(static_cast<double>(y[i]) - offset_y);
    }
  }
  if (!stage.first_x) return;
  for (std::size_t at = 0; at < n; at += kPiece) {
    const std::size_t m = std::min(kPiece, n - at);
    const std::size_t hx = stage.first_x->Run(x + at, m, offset_x, stage.half_x.data());
    stage.first_y->Run(y + at, m, offset_y, stage.half_y.data());
    const std::size_t q = stage.second_x->Run(stage.half_x.data(), hx, 0.0, stage.quarter_x.data());
    stage.second_y->Run(stage.half_y.data(), hx, 0.0, stage.quarter_y.data());
    Feed(s + 1, stage.quarter_x.data(), stage.quarter_y.data(), q, 0.0, 0.0, true);
  }
}

void CrossEstimator::EndRecord() {
  if (record_samples_ == 0) return;
  // A record shorter than the reference: its mean is the mean of all of it.
  if (!referenced_) Reference();
  const Stage& tail = *stages_[tail_stage_];
  for (auto& [length, sums] : TailWelch(tail.stored_x, tail.stored_y, options_.segment)) {
    closed_->tail[length].Add(sums);
  }
  closed_->have = std::max(closed_->have, tail.stored_x.size());
  for (auto& stage : stages_) stage->Restart();
  ++records_;
  record_samples_ = 0;
  referenced_ = false;
  reference_x_ = reference_y_ = 0.0;
}

std::vector<CrossFinePoint> CrossEstimator::Read() const {
  // The closed records' deepest-stage sums, and the record in progress's so far.
  std::map<std::size_t, CrossSums> tails = closed_->tail;
  std::size_t have = closed_->have;
  if (referenced_) {
    const Stage& tail = *stages_[tail_stage_];
    for (auto& [length, sums] : TailWelch(tail.stored_x, tail.stored_y, options_.segment)) tails[length].Add(sums);
    have = std::max(have, tail.stored_x.size());
  }
  std::vector<std::size_t> segments;
  for (std::size_t s = 0; s < tail_stage_; ++s) {
    const CrossSums* sums = stages_[s]->Sums();
    segments.push_back(sums != nullptr ? sums->segments : 0);
  }
  const auto layout = detail::FineLayout(fs_, cascade_, segments, have, [&](std::size_t length) -> std::size_t {
    const auto it = tails.find(length);
    return it == tails.end() ? 0 : it->second.segments;
  });
  const double tail_rate = stages_[tail_stage_]->rate;
  std::vector<CrossFinePoint> fine;
  fine.reserve(layout.size());
  for (const FinePoint& p : layout) {
    const bool streaming = p.stage < kTailOctaveStage;
    const double rate = streaming ? stages_[static_cast<std::size_t>(p.stage)]->rate : tail_rate;
    const CrossSums& sums = streaming ? *stages_[static_cast<std::size_t>(p.stage)]->Sums()
                                      : tails.at(static_cast<std::size_t>(std::llround(tail_rate / p.width_hz)));
    const auto k = static_cast<std::size_t>(std::llround(p.hz / p.width_hz));
    const double scale = sums.Scale(rate);
    CrossFinePoint out;
    out.hz = p.hz;
    out.width_hz = p.width_hz;
    out.stage = p.stage;
    out.sxx = scale * sums.xx[k];
    out.syy = scale * sums.yy[k];
    out.re = scale * sums.re[k];
    out.im = scale * sums.im[k];
    out.averages = detail::MeanWelchDof(sums.segments, sums.neighbours) / 2.0;
    const double power = out.sxx * out.syy;
    out.coherence = power > 0 ? (out.re * out.re + out.im * out.im) / power : 0.0;
    fine.push_back(out);
  }
  return fine;
}

std::vector<CrossLogPoint> CrossEstimator::ReadLog(int points_per_decade, double gain1, double gain2) const {
  return CrossLogPoints(Read(), points_per_decade, gain1, gain2, Seconds());
}

std::vector<CrossLogPoint> CrossLogPoints(const std::vector<CrossFinePoint>& fine, int points_per_decade, double gain1,
                                          double gain2, double seconds) {
  if (points_per_decade < 1) {
    throw std::invalid_argument("psd::CrossLogPoints: points_per_decade must be at least 1, not " +
                                std::to_string(points_per_decade));
  }
  if (!std::isfinite(gain1) || gain1 <= 0.0)
    throw std::invalid_argument("psd::CrossLogPoints: gain1 must be finite and above 0, not " + detail::Number(gain1));
  if (!std::isfinite(gain2) || gain2 <= 0.0)
    throw std::invalid_argument("psd::CrossLogPoints: gain2 must be finite and above 0, not " + detail::Number(gain2));
  if (!std::isfinite(seconds) || seconds < 0.0)
    throw std::invalid_argument("psd::CrossLogPoints: seconds must be finite and at least 0, not " +
                                detail::Number(seconds));
  // The log points' means and degrees of freedom exactly as the auto-spectra's: LogBins
  // over each of the four sums in turn.
  std::vector<LogBin> bins[4];
  double CrossFinePoint::*const field[4] = {&CrossFinePoint::sxx, &CrossFinePoint::syy, &CrossFinePoint::re,
                                            &CrossFinePoint::im};
  for (int q = 0; q < 4; ++q) {
    std::vector<FinePoint> one;
    one.reserve(fine.size());
    for (const CrossFinePoint& p : fine) one.push_back({p.hz, p.*field[q], 2.0 * p.averages, p.width_hz, p.stage});
    bins[q] = LogBins(one, points_per_decade, kCrossConfidence);
  }
  const double gain = gain1 * gain2;
  std::vector<CrossLogPoint> out;
  out.reserve(bins[0].size());
  for (std::size_t i = 0; i < bins[0].size(); ++i) {
    CrossLogPoint p;
    p.hz = bins[0][i].hz;
    p.points = bins[0][i].points;
    p.sxx = bins[0][i].psd;
    p.syy = bins[1][i].psd;
    p.re = bins[2][i].psd;
    p.im = bins[3][i].psd;
    p.averages = bins[0][i].dof / 2.0;
    const double power = p.sxx * p.syy;
    p.coherence = power > 0 ? (p.re * p.re + p.im * p.im) / power : 0.0;
    p.sigma = CrossReSigma(p.sxx, p.syy, p.re, p.im, p.averages);
    const Interval interval = CrossReInterval(p.sxx, p.syy, p.re, p.im, p.averages, kCrossConfidence);
    p.re_lo = interval.lo;
    p.re_hi = interval.hi;
    p.density = InputReferred(p.re, gain);
    p.density_lo = InputReferred(p.re_lo, gain);
    p.density_hi = InputReferred(p.re_hi, gain);
    p.floor = p.averages > 0 ? std::sqrt(std::sqrt(std::max(0.0, power) / (2.0 * p.averages)) / gain)
                             : std::numeric_limits<double>::infinity();
    p.upper_limit = !(p.re_lo > 0.0);
    // Beyond 3 sigma, and as unlikely as 3 sigma is under the normal law: with few
    // averages 3 sigma alone flags a phase where there is none (one point in five at m = 1).
    p.collapse =
        p.re < -kFlagSigmas * p.sigma && CrossZeroTail(-p.re, p.sxx, p.syy, p.re, p.im, p.averages) < kFlagTail;
    p.phase = std::fabs(p.im) > kFlagSigmas * p.sigma &&
              CrossZeroTail(std::fabs(p.im), p.sxx, p.syy, p.re, p.im, p.averages) < kFlagTail;
    if (p.upper_limit) {
      const double need = CrossAveragesToResolve(p.sxx, p.syy, p.re, p.im, p.averages, kCrossConfidence);
      p.seconds_to_resolve = std::isfinite(need) && p.averages > 0 && seconds > 0
                                 ? (need - p.averages) * seconds / p.averages
                                 : std::numeric_limits<double>::infinity();
    }
    out.push_back(p);
  }
  return out;
}

std::vector<PlannedCrossPoint> PlannedCrossAverages(double fs_hz, const CrossOptions& options, std::size_t records,
                                                    int points_per_decade, double f1_hz) {
  Validate(fs_hz, options);
  if (options.record_samples == 0)
    throw std::invalid_argument("psd::PlannedCrossAverages: options.record_samples must be above 0");
  if (points_per_decade < 1) {
    throw std::invalid_argument("psd::PlannedCrossAverages: points_per_decade must be at least 1, not " +
                                std::to_string(points_per_decade));
  }
  // Records are independent: each adds one record's degrees of freedom to every fine point,
  // and a log point's are a fixed multiple of its fine points'.
  auto fine = PlannedFinePoints(fs_hz, CascadeOptions(options), options.record_samples);
  for (FinePoint& p : fine) p.dof *= static_cast<double>(records);
  std::vector<PlannedCrossPoint> out;
  const double half_bin = std::pow(10.0, 0.5 / points_per_decade);
  for (const LogBin& bin : LogBins(fine, points_per_decade, kCrossConfidence)) {
    if (bin.hz * half_bin > f1_hz * (1 + 1e-9)) out.push_back({bin.hz, bin.dof / 2.0});
  }
  return out;
}

}  // namespace qvx::psd
