#include "capture/cross_capture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <thread>

#include "capture/record_session.h"
#include "core/conversions.h"
#include "core/text.h"
#include "psd/estimator.h"
#include "setup/instrument_limits.h"

namespace qvx {
namespace {

using capture_detail::Clock;
using capture_detail::CodeChunk;
using capture_detail::ReadSeconds;
using capture_detail::Seconds;
using capture_detail::Session;

// The deepest memory with both channels on.
constexpr std::array<double, 5> kTwoChannelDepths = {1e3, 1e4, 1e5, 1e6, kMaxMemoryDepthTwoChannels};
// A record's longest wanted length, and the fewest records a planned time is cut into.
constexpr double kLongestRecordS = 10.0;
constexpr double kRecordsInPlannedTime = 10.0;
// The record length aimed at when the recording's time is not given.
constexpr double kUsualRecordS = 2.0;
// Weighing a point whose Re Sxy is not above zero (its density 0): no measurement of power.
constexpr double kNoDof = 1e-6;

std::string RateText(double hz) {
  std::string t = FormatHz(hz);
  return t.replace(t.size() - 2, 2, "Sa/s");
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The log bin of hz overlaps [f1, f2).
bool InRange(double hz, int ppd, double f1, double f2) {
  const int j = LogBinIndex(hz, ppd);
  return LogBinLow(j + 1, ppd) > f1 * (1 + 1e-9) && LogBinLow(j, ppd) < f2 * (1 - 1e-9);
}

// The 0.1-10 Hz filter's power gain over [lo, hi], integrated on log frequency.
double FilterIntegral(const psd::LfFilter& filter, double lo, double hi) {
  constexpr int kSteps = 32;
  const double ratio = std::pow(hi / lo, 1.0 / kSteps);
  double sum = 0.0;
  double f = lo;
  for (int i = 0; i < kSteps; ++i) {
    const double next = f * ratio;
    sum += filter.PowerGain(std::sqrt(f * next)) * (next - f);
    f = next;
  }
  return sum;
}

// Channel 2 on for the capture; off again however it ends, and channel 1 the source again.
class SecondChannelOn {
 public:
  explicit SecondChannelOn(WholeLineChannel& ch) : ch_(ch) { ch_.SendCommand(":CHANnel2:DISPlay 1"); }
  ~SecondChannelOn() {
    ch_.SendCommand(":CHANnel2:DISPlay 0");
    ch_.SendCommand(":WAVeform:SOURce CHANnel1");
  }
  SecondChannelOn(const SecondChannelOn&) = delete;
  SecondChannelOn& operator=(const SecondChannelOn&) = delete;

 private:
  WholeLineChannel& ch_;
};

int Clipped(const std::string& codes) {
  return static_cast<int>(std::count_if(codes.begin(), codes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == 0 || b == 255;
  }));
}

std::array<float, 256> VoltsTable(const Preamble& p) {
  std::array<float, 256> volts{};
  for (int b = 0; b < 256; ++b)
    volts[static_cast<std::size_t>(b)] = static_cast<float>(p.Volts(static_cast<unsigned char>(b)));
  return volts;
}

}  // namespace

CrossPlan PlanCrossCapture(double f1, double f2, const CrossLength& length, int ppd) {
  CrossPlan plan;
  plan.f1_hz = f1;
  plan.f2_hz = f2;
  plan.ppd = ppd;
  plan.until_resolved = length.until_resolved;
  const double top = psd::kTopFraction * kMaxSampleRateTwoChannels;
  if (!(f1 > 0) || !(f2 > f1)) {
    plan.error = "the range needs 0 < FROM < TO";
    return plan;
  }
  if (f2 > top) {
    plan.error = "with both channels on the time record reaches " + FormatHz(top) + " (0.4 of the " +
                 FormatHz(kMaxSampleRateTwoChannels) + " sample rate); give --to " + FloatToStr(top) + " or less";
    return plan;
  }
  if ((length.records.has_value() + length.seconds.has_value() + length.until_resolved) > 1) {
    plan.error = "give one of --records, --seconds and --until-resolved";
    return plan;
  }
  if (length.records && *length.records < 1) {
    plan.error = "--records wants 1 or more";
    return plan;
  }
  if (length.seconds && !(*length.seconds > 0)) {
    plan.error = "--seconds wants a time above 0";
    return plan;
  }
  // Each record resolves F1 on its own, as a capture's slowest record does.
  const double shortest = 2.0 / f1;
  const double wanted = std::max(
      shortest, length.seconds ? std::min(kLongestRecordS, *length.seconds / kRecordsInPlannedTime) : kUsualRecordS);
  const auto& steps = TimebaseSteps();
  std::optional<PlannedRecord> best, shortestFit;
  for (double depth : kTwoChannelDepths) {
    for (double tdiv : steps) {
      PlannedRecord r;
      r.points = static_cast<std::size_t>(depth);
      r.tdiv_s = tdiv;
      r.fs_hz = depth / (10.0 * tdiv);
      r.seconds = 10.0 * tdiv;
      if (r.fs_hz > kMaxSampleRateTwoChannels || r.fs_hz < f2 / psd::kTopFraction * (1 - 1e-9) ||
          r.seconds < shortest * (1 - 1e-9)) {
        continue;
      }
      if (!shortestFit || r.seconds < shortestFit->seconds ||
          (r.seconds == shortestFit->seconds && r.fs_hz < shortestFit->fs_hz)) {
        shortestFit = r;
      }
      if (r.seconds > wanted * (1 + 1e-9)) continue;
      if (!best || r.fs_hz < best->fs_hz || (r.fs_hz == best->fs_hz && r.seconds > best->seconds)) best = r;
    }
  }
  if (!best) best = shortestFit;
  if (!best) {
    plan.error = "no record with both channels on resolves " + FormatHz(f1) + " and reaches " + FormatHz(f2) +
                 " (it would need " + FormatSeconds(shortest) + " at " + RateText(f2 / psd::kTopFraction) +
                 "); give a higher --from or a lower --to";
    return plan;
  }
  PlannedRecord& r = plan.record;
  r = *best;
  r.lo_hz = f1;
  r.hi_hz = f2;
  capture_detail::PlanRanging(r, 2);
  plan.record_s = r.seconds + r.read_s;
  if (length.until_resolved) {
    plan.max_s = length.max_seconds.value_or(kDefaultUntilResolvedSeconds);
    const double room = plan.max_s - r.ranging_s;
    if (room < plan.record_s) {
      plan.error = "one record with its ranging takes about " + FormatDuration(r.ranging_s + plan.record_s) +
                   ", more than --max-minutes allows; allow more";
      return plan;
    }
    plan.records = static_cast<std::size_t>(std::floor(room / plan.record_s));
  } else if (length.seconds) {
    plan.records = static_cast<std::size_t>(std::ceil(*length.seconds / r.seconds - 1e-9));
  } else {
    plan.records = length.records.value_or(kDefaultCrossRecords);
  }
  plan.total_s = r.ranging_s + static_cast<double>(plan.records) * plan.record_s;
  psd::CrossOptions options;
  options.record_samples = r.points;
  const auto once = psd::PlannedCrossAverages(r.fs_hz, options, 1, ppd, f1);
  const auto all = psd::PlannedCrossAverages(r.fs_hz, options, std::max<std::size_t>(plan.records, 1), ppd, f1);
  if (!once.empty()) plan.averages_per_record_at_f1 = once.front().averages;
  if (!all.empty()) {
    plan.averages_at_f1 = all.front().averages;
    plan.floor_at_f1_db = plan.averages_at_f1 > 0 ? -5.0 * std::log10(2.0 * plan.averages_at_f1) : 0.0;
  }
  return plan;
}

std::string CrossPlanText(const CrossPlan& plan) {
  const PlannedRecord& r = plan.record;
  std::string out = "each record: " + std::to_string(r.points) + " points a channel at " + FormatSeconds(r.tdiv_s) +
                    "/div: " + FormatSeconds(r.seconds) + " at " + RateText(r.fs_hz) + ", both channels, for " +
                    FormatHz(plan.f1_hz) + " - " + FormatHz(plan.f2_hz) + "\n";
  const std::string floor = " the statistical floor about " + FormatSignificant(-plan.floor_at_f1_db, 3) +
                            " dB below each channel's own density";
  if (plan.until_resolved) {
    out += "records: until every point from " + FormatHz(plan.f1_hz) + " to " + FormatHz(plan.f2_hz) +
           " is resolved, at most " + FormatDuration(plan.max_s) + " (up to " +
           Counted(static_cast<long long>(plan.records), "record") + ")\n";
    out += "at " + FormatHz(plan.f1_hz) + ": about " + FormatSignificant(plan.averages_per_record_at_f1, 3) +
           " averages a record; after " + Counted(static_cast<long long>(plan.records), "record") + ", " +
           FormatSignificant(plan.averages_at_f1, 3) + " averages," + floor + "\n";
    return out;
  }
  out += "records: " + std::to_string(plan.records) + " (" +
         FormatSeconds(static_cast<double>(plan.records) * r.seconds) + " of recording); planned time: about " +
         FormatDuration(plan.total_s) + " (the records, ranging and transfer)\n";
  out += "at " + FormatHz(plan.f1_hz) + ": about " + FormatSignificant(plan.averages_at_f1, 3) + " averages," + floor +
         "\n";
  return out;
}

CrossRecords::CrossRecords(double fs_hz, std::size_t record_points) : record_points_(record_points) {
  psd::CrossOptions options;
  options.record_samples = record_points;
  estimator_ = std::make_unique<psd::CrossEstimator>(fs_hz, options);
}

void CrossRecords::Push(const float* x, const float* y, std::size_t n) { estimator_->Push(x, y, n); }

void CrossRecords::EndRecord(const RecordInfo& info, const SecondChannelInfo& second) {
  estimator_->EndRecord();
  infos_.push_back(info);
  second_.push_back(second);
  if (infos_.size() == 1) {
    first_ = estimator_->Read();
    first_seconds_ = estimator_->Seconds();
  }
}

NoiseSpectrum CrossRecords::Spectrum(int ppd, double g1, double g2, bool gains_given, double f1, double f2) const {
  NoiseSpectrum s;
  s.method = kMethodCross;
  s.window = HannWindow();
  s.window_source = "estimator";
  s.ppd = ppd;
  s.records = infos_;
  s.input_referred = gains_given;
  s.gain_text = gains_given ? "gains x" + FormatSignificant(g1, 4) + " and x" + FormatSignificant(g2, 4) : "";
  s.gain_ratio_1hz = std::sqrt(g1 * g2);
  CrossFigures c;
  c.gain1 = g1;
  c.gain2 = g2;
  c.from_hz = f1;
  c.to_hz = f2;
  c.records = infos_.size();
  c.seconds = estimator_->Seconds();
  c.channel2 = second_;
  c.lf_psd_rms_nv = kNotKnown;
  if (infos_.empty()) {
    s.cross = c;
    return s;
  }
  // Each converter's own power, the mean over the records, out of its channel's density.
  double q1 = 0.0, q2 = 0.0;
  for (std::size_t i = 0; i < infos_.size(); ++i) {
    const double a = std::isfinite(infos_[i].converter_floor_nv) ? infos_[i].converter_floor_nv * 1e-9 : 0.0;
    const double b = second_[i].converter_floor_nv * 1e-9;
    q1 += a * a;
    q2 += b * b;
  }
  q1 /= static_cast<double>(infos_.size());
  q2 /= static_cast<double>(infos_.size());
  const double gain = g1 * g2;
  const std::vector<psd::CrossLogPoint> first = psd::CrossLogPoints(first_, ppd, g1, g2, first_seconds_);
  std::vector<double> drops;
  c.seconds_to_resolve = 0.0;
  for (const psd::CrossLogPoint& p : estimator_->ReadLog(ppd, g1, g2)) {
    if (!(p.hz > 0) || !InRange(p.hz, ppd, f1, f2)) continue;
    NoisePoint n;
    n.freq_hz = p.hz;
    n.level_nv = std::sqrt(std::max(0.0, p.re)) * 1e9;
    n.density_nv = p.density * 1e9;
    n.dof = 2.0 * p.averages;
    if (p.upper_limit) n.flags |= kFlagUpperLimit;
    CrossPointFigures f;
    f.ch1_nv = std::sqrt(std::max(0.0, p.sxx - q1)) / g1 * 1e9;
    f.ch2_nv = std::sqrt(std::max(0.0, p.syy - q2)) / g2 * 1e9;
    f.floor_nv = p.floor * 1e9;
    f.im_nv = std::copysign(std::sqrt(std::fabs(p.im) / gain), p.im) * 1e9;
    f.coherence = p.coherence;
    f.ci_lo_nv = p.density_lo * 1e9;
    f.ci_hi_nv = p.density_hi * 1e9;
    f.averages = p.averages;
    f.equivalent_dof = p.re > 0 && p.sigma > 0 ? 2.0 * p.re * p.re / (p.sigma * p.sigma) : kNoDof;
    f.seconds_to_resolve = p.seconds_to_resolve;
    f.collapse = p.collapse;
    f.phase = p.phase;
    for (const psd::CrossLogPoint& q : first) {
      if (LogBinIndex(q.hz, ppd) == LogBinIndex(p.hz, ppd) && q.floor > 0 && p.floor > 0) {
        drops.push_back(20.0 * std::log10(q.floor / p.floor));
      }
    }
    c.averages_highest = std::max(c.averages_highest, p.averages);
    c.unresolved_points += p.upper_limit;
    c.collapse_points += p.collapse;
    c.phase_points += p.phase;
    if (p.upper_limit) c.seconds_to_resolve = std::max(c.seconds_to_resolve, p.seconds_to_resolve);
    s.points.push_back(n);
    s.cross_points.push_back(f);
  }
  c.floor_drop_db = Median(drops);
  if (!s.points.empty()) {
    c.averages_lowest = s.cross_points.front().averages;
    s.end_hz = CellHigh(s, s.points.size() - 1);
    // The 0.1-10 Hz figure from the circuit's density, each point flat over its log bin.
    if (CellLow(s, 0) < 10.0) {
      const psd::LfFilter filter(1000.0);
      double power = 0.0;
      for (std::size_t i = 0; i < s.points.size() && CellLow(s, i) < 100.0; ++i) {
        power +=
            s.points[i].density_nv * s.points[i].density_nv * FilterIntegral(filter, CellLow(s, i), CellHigh(s, i));
      }
      c.lf_psd_rms_nv = std::sqrt(power);
      c.lf_covered = CellLow(s, 0) <= 0.1 * (1 + 1e-9);
    }
  }
  s.cross = c;
  return s;
}

bool CrossRecords::Resolved(int ppd, double f1, double f2) const {
  if (infos_.empty()) return false;
  bool any = false;
  for (const psd::CrossLogPoint& p : estimator_->ReadLog(ppd, 1.0, 1.0)) {
    if (!(p.hz > 0) || !InRange(p.hz, ppd, f1, f2)) continue;
    if (p.upper_limit) return false;
    any = true;
  }
  return any;
}

CrossCaptureOutcome RunCrossCapture(InstrumentChannel& channel, const CrossPlan& plan,
                                    const CrossCaptureSettings& settings) {
  CrossCaptureOutcome out;
  Session session(channel, settings.cancel);
  const SecondChannelOn second(session.Channel());
  auto finish = [&] {
    out.error = session.Error();
    out.cancelled = session.Cancelled();
    if (out.cancelled && !out.error) out.error = RunError(ErrorKind::kInterrupted, "cancelled");
    if (out.records && out.records->Records() == 0) out.records.reset();
    return std::move(out);
  };
  for (const char* line : {":WAVeform:MODE RAW", ":WAVeform:FORMat BYTE"}) session.Channel().SendCommand(line);
  PlannedRecord r = plan.record;
  if (r.ranging_points == 0) capture_detail::PlanRanging(r, 2);
  const double recordS = r.seconds + r.read_s;
  const std::size_t most = plan.records;
  const double planned = plan.until_resolved ? plan.max_s : r.ranging_s + static_cast<double>(most) * recordS;
  const auto started = Clock::now();
  std::size_t index = 0;
  double left = planned;  // the time the capture still needs, as best known
  auto report = [&](const std::string& phase, double within, std::size_t read) {
    if (!settings.progress) return;
    CaptureProgress p;
    p.phase = phase;
    p.record = static_cast<int>(index + 1);
    p.records = plan.until_resolved ? 0 : static_cast<int>(most);
    p.points_read = read;
    p.points_total = r.points;
    const double elapsed = Seconds(Clock::now() - started);
    if (plan.until_resolved) {
      p.seconds_left = std::max(0.0, left - elapsed);
      p.fraction = std::clamp(elapsed / std::max(elapsed + p.seconds_left, 1e-9), 0.0, 1.0);
    } else {
      const double done = r.ranging_s + (static_cast<double>(index) + within) * recordS;
      p.fraction = std::clamp(done / std::max(planned, 1e-9), 0.0, 1.0);
      p.seconds_left = std::max(0.0, planned - done);
    }
    settings.progress(p);
  };

  // Both channels ranged on their own from the same short records.
  const std::size_t rangingPoints = r.ranging_points;
  const double rangingTdiv = r.tdiv_s * static_cast<double>(rangingPoints) / static_cast<double>(r.points);
  const double growth = capture_detail::RangingGrowth(r.points, rangingPoints);
  capture_detail::Ranging ranging[2];
  for (int attempt = 0; attempt < r.ranging_records; ++attempt) {
    report("ranging", 0.0, 0);
    std::vector<PreambleExpectation> expected;
    if (!session.Set(rangingPoints, rangingTdiv,
                     {{1, ranging[0].scale, ranging[0].offset}, {2, ranging[1].scale, ranging[1].offset}}, expected)) {
      return finish();
    }
    if (!session.Record(static_cast<double>(rangingPoints) / r.fs_hz, {})) return finish();
    for (int k = 0; k < 2; ++k) {
      if (ranging[k].done) continue;
      session.Channel().SendCommand(":WAVeform:SOURce CHANnel" + std::to_string(k + 1));
      const auto pre =
          session.ReadRecordPreamble(expected[static_cast<std::size_t>(k)], std::min(rangingPoints, kMaxReadPoints));
      if (!pre) return finish();
      std::string codes;
      if (!session.ReadAll(rangingPoints, codes)) return finish();
      ranging[k].Step(capture_detail::Measure(codes, *pre), pre->yincrement, growth);
    }
    if (ranging[0].done && ranging[1].done) break;
  }
  double scale[2] = {ranging[0].scale, ranging[1].scale};
  const double offset[2] = {ranging[0].offset, ranging[1].offset};

  for (;; ++index) {
    const double elapsed = Seconds(Clock::now() - started);
    if (index >= most) break;
    if (plan.until_resolved && index > 0) {
      if (out.records->Resolved(settings.ppd, plan.f1_hz, plan.f2_hz)) break;
      // The next record as long as the last ones took.
      const double each = (elapsed - r.ranging_s) / static_cast<double>(index);
      if (elapsed + std::max(each, recordS) > plan.max_s) break;
    }
    // A record is averaged only whole and unclipped: its codes are held until then.
    std::string x, y;
    std::optional<Preamble> pre[2];
    std::vector<PreambleExpectation> expected;
    for (int take = 0;; ++take) {
      if (!session.Set(r.points, r.tdiv_s, {{1, scale[0], offset[0]}, {2, scale[1], offset[1]}}, expected)) {
        return finish();
      }
      const auto armed = Clock::now();
      if (!session.Record(r.seconds, [&](double) {
            report("recording", std::min(0.9, Seconds(Clock::now() - armed) / std::max(recordS, 1e-9)), 0);
          })) {
        return finish();
      }
      for (int k = 0; k < 2; ++k) {
        session.Channel().SendCommand(":WAVeform:SOURce CHANnel" + std::to_string(k + 1));
        pre[k] = session.ReadRecordPreamble(expected[static_cast<std::size_t>(k)], std::min(r.points, kMaxReadPoints));
        if (!pre[k]) return finish();
      }
      x.clear();
      y.clear();
      capture_detail::ChunkQueue<CodeChunk> queue;
      std::thread reader([&] { session.ReadPoints(r.points, queue, true); });
      while (auto c = queue.Take()) {
        x += c->codes;
        y += c->codes2;
        report("reading",
               0.9 * r.seconds / recordS + 0.1 * static_cast<double>(x.size()) / static_cast<double>(r.points),
               x.size());
        if (session.Cancelled()) queue.Close();
      }
      reader.join();
      if (x.size() != r.points || y.size() != r.points || session.Failed() || session.Cancelled()) return finish();
      const int clipped[2] = {Clipped(x), Clipped(y)};
      if (clipped[0] == 0 && clipped[1] == 0) break;
      for (int k = 0; k < 2; ++k) {
        if (clipped[k] == 0) continue;
        if (scale[k] >= kMaxChannelScale || take == 2) {
          session.Fail(ErrorKind::kData,
                       "record " + std::to_string(index + 1) + " still clips on channel " + std::to_string(k + 1) +
                           " at " + FormatVolts(scale[k]) + "/div: " + Counted(clipped[k], "point") +
                           " at code 0 or 255; " +
                           (scale[k] >= kMaxChannelScale ? "the signal is larger than the channel can take"
                                                         : "the signal grew while it was measured; measure again"));
          return finish();
        }
        // Clipped: a coarser scale and the record again; a clipped record is never averaged.
        scale[k] = ChannelScaleAtLeast(scale[k] * 4.0);
      }
    }
    const double rate = expected.front().sample_rate_hz > 0 ? expected.front().sample_rate_hz : r.fs_hz;
    // The planned rate where the instrument's agrees (its reply is rounded).
    const double fs = std::fabs(rate - r.fs_hz) < 1e-6 * r.fs_hz ? r.fs_hz : rate;
    if (!out.records) out.records = std::make_unique<CrossRecords>(fs, r.points);
    if (std::fabs(fs - out.records->SampleRate()) > 1e-9 * fs) {
      session.Fail(ErrorKind::kInstrument, "the instrument's sample rate changed from " +
                                               RateText(out.records->SampleRate()) + " to " + RateText(fs) +
                                               " between records; check that nothing else sets it");
      return finish();
    }
    report("averaging", 0.95, r.points);
    RecordInfo info;
    info.fs_hz = fs;
    info.points = r.points;
    info.seconds = static_cast<double>(r.points) / fs;
    info.tdiv_s = r.tdiv_s;
    info.ch1_scale = expected[0].channel_scale_v;
    info.ch1_offset = offset[0];
    info.converter_floor_nv = pre[0]->yincrement / std::sqrt(6.0 * fs) * 1e9;
    info.lo_hz = plan.f1_hz;
    info.hi_hz = plan.f2_hz;
    SecondChannelInfo two;
    two.scale = expected[1].channel_scale_v;
    two.offset = offset[1];
    two.converter_floor_nv = pre[1]->yincrement / std::sqrt(6.0 * fs) * 1e9;
    const std::array<float, 256> volts[2] = {VoltsTable(*pre[0]), VoltsTable(*pre[1])};
    if (settings.samples) settings.samples->Begin(static_cast<int>(index + 1), r.points, fs);
    std::vector<float> vx, vy;
    for (std::size_t at = 0; at < r.points; at += kCrossPushPairs) {
      const std::size_t n = std::min(kCrossPushPairs, r.points - at);
      vx.resize(n);
      vy.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        vx[i] = volts[0][static_cast<unsigned char>(x[at + i])];
        vy[i] = volts[1][static_cast<unsigned char>(y[at + i])];
      }
      out.records->Push(vx.data(), vy.data(), n);
      if (settings.samples) settings.samples->Append(vx.data(), vy.data(), n);
    }
    if (settings.samples) settings.samples->End(true);
    out.records->EndRecord(info, two);
    const NoiseSpectrum now = out.records->Spectrum(settings.ppd, settings.gain1, settings.gain2, settings.gains_given,
                                                    plan.f1_hz, plan.f2_hz);
    if (plan.until_resolved && now.cross) {
      // What the unresolved points still need, at the wall time a second of recording has taken.
      const double elapsed_now = Seconds(Clock::now() - started);
      const double perSecond = elapsed_now / std::max(out.records->Seconds(), 1e-9);
      left = std::min(plan.max_s, elapsed_now + now.cross->seconds_to_resolve * perSecond);
    }
    if (settings.live) settings.live(now);
  }
  return finish();
}

}  // namespace qvx
