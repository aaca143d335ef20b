#include "capture/capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "capture/record_session.h"
#include "core/conversions.h"
#include "core/text.h"
#include "link/scpi.h"
#include "psd/chi_squared.h"
#include "setup/instrument_limits.h"

namespace qvx {
namespace {

using capture_detail::Clock;
using capture_detail::CodeChunk;
using capture_detail::PlanRanging;
using capture_detail::ReadSeconds;
using capture_detail::Seconds;
using capture_detail::Session;

double Rate(double points, double tdiv) { return std::min(kMaxSampleRate, points / (10.0 * tdiv)); }

std::string RateText(double hz) {
  std::string t = FormatHz(hz);
  return t.replace(t.size() - 2, 2, "Sa/s");
}

}  // namespace

std::unique_ptr<psd::Estimator> MakeRecordEstimator(double fs_hz, std::size_t points, psd::Averaging averaging) {
  psd::Options options;
  options.averaging = averaging;
  options.expected_samples = points;
  return std::make_unique<psd::Estimator>(fs_hz, options);
}

CapturedRecord MakeCapturedRecord(double fs_hz, std::size_t points, psd::Averaging averaging) {
  CapturedRecord r;
  r.estimator = MakeRecordEstimator(fs_hz, points, averaging);
  r.time = std::make_unique<psd::TimeDomain>(fs_hz, points);
  r.envelope = std::make_unique<psd::Envelope>(fs_hz, points);
  return r;
}

void CapturedRecord::Push(const float* volts, std::size_t n) {
  estimator->Push(volts, n);
  if (time) time->Push(volts, n);
  if (envelope) envelope->Push(volts, n);
}

TimeRecordFigures TimeFiguresOf(const CapturedRecord& record) {
  TimeRecordFigures t;
  if (!record.time) return t;
  const psd::TimeFigures f = record.time->Read();
  t.fs_hz = f.fs_hz;
  t.seconds = f.duration_s;
  for (const psd::DeviationPoint& p : f.deviation) {
    const std::string noise(psd::NoiseTypeName(p.noise));
    t.allan.push_back({p.tau_s, p.adev_v, p.adev_lo_v, p.adev_hi_v, p.adev_edf, noise});
    if (p.hdev_v > 0) t.hadamard.push_back({p.tau_s, p.hdev_v, p.hdev_lo_v, p.hdev_hi_v, p.hdev_edf, noise});
  }
  t.drift_known = f.drift.valid;
  t.drift_v_per_s = f.drift.slope_v_per_s;
  t.drift_lo_v_per_s = f.drift.lo_v_per_s;
  t.drift_hi_v_per_s = f.drift.hi_v_per_s;
  t.bursts.detected = f.bursts.detected;
  t.bursts.steps = static_cast<int>(f.bursts.steps);
  t.bursts.levels_v = f.bursts.levels_v;
  t.bursts.amplitude_v = f.bursts.amplitude_v;
  t.bursts.rate_hz = f.bursts.rate_hz;
  t.bursts.dwell_s = f.bursts.dwell_s;
  t.bursts.fraction = f.bursts.fraction;
  if (record.envelope) {
    for (const psd::Envelope::Block& b : record.envelope->Read())
      t.envelope.push_back({b.t_s, b.mean_v, b.lo_v, b.hi_v});
  }
  return t;
}

CapturePlan PlanCapture(double f1, double f2, std::optional<double> seconds, int ppd) {
  CapturePlan plan;
  plan.f1_hz = f1;
  plan.f2_hz = f2;
  const double top = psd::kTopFraction * kMaxSampleRate;
  if (!(f1 > 0) || !(f2 > f1)) {
    plan.error = "the range needs 0 < FROM < TO";
    return plan;
  }
  if (f2 > top) {
    plan.error = "the time record reaches " + FormatHz(top) + " (0.4 of the instrument's " + FormatHz(kMaxSampleRate) +
                 " sample rate); give --to " + FloatToStr(top) + " or less";
    return plan;
  }
  const double lfSeconds = kLfSettleSeconds + 10.0 * kLfDefaultWindows;
  const double length = seconds ? *seconds : (f1 <= 0.1 ? lfSeconds : 20.0 / f1);
  if (!(length > 0)) {
    plan.error = "--seconds wants a time above 0";
    return plan;
  }
  // The slowest record: the timebase step that holds `length`, the whole memory depth.
  const auto& steps = TimebaseSteps();
  const auto slowStep =
      std::find_if(steps.begin(), steps.end(), [&](double t) { return 10.0 * t >= length * (1 - 1e-9); });
  if (slowStep == steps.end()) {
    plan.error = "a record of " + FormatSeconds(length) + " is longer than the slowest timebase allows (" +
                 FormatSeconds(10.0 * steps.back()) + "); give --seconds " + FloatToStr(10.0 * steps.back()) +
                 " or less, or a higher --from";
    return plan;
  }
  PlannedRecord slow;
  slow.tdiv_s = *slowStep;
  slow.seconds = 10.0 * slow.tdiv_s;
  // The fewest points that still reach F2 (one record does it all), else the most.
  slow.points = static_cast<std::size_t>(kMaxMemoryDepth);
  for (double depth : kMemoryDepths) {
    if (Rate(depth, slow.tdiv_s) >= f2 / psd::kTopFraction) {
      slow.points = static_cast<std::size_t>(depth);
      break;
    }
  }
  slow.fs_hz = Rate(static_cast<double>(slow.points), slow.tdiv_s);
  slow.lo_hz = std::max(f1, 2.0 / slow.seconds);
  slow.hi_hz = std::min(f2, psd::kTopFraction * slow.fs_hz);
  if (slow.lo_hz > f1 * (1 + 1e-9)) {
    plan.error = "a record of " + FormatSeconds(slow.seconds) + " resolves down to " + FormatHz(slow.lo_hz) +
                 ", above --from " + FormatHz(f1) + "; give --seconds " + FloatToStr(std::ceil(2.0 / f1)) + " or more";
    return plan;
  }
  if (slow.hi_hz < f2 * (1 - 1e-9)) {
    // A fast record of 1 M points for the top: the slowest timebase that still reaches F2.
    PlannedRecord fast;
    fast.points = 1000000;
    fast.tdiv_s = steps.front();
    for (double t : steps) {
      if (Rate(1e6, t) >= f2 / psd::kTopFraction) fast.tdiv_s = t;
    }
    fast.seconds = 10.0 * fast.tdiv_s;
    fast.fs_hz = Rate(1e6, fast.tdiv_s);
    fast.lo_hz = slow.hi_hz;
    fast.hi_hz = f2;
    plan.records.push_back(fast);
  }
  plan.records.push_back(slow);
  for (PlannedRecord& r : plan.records) {
    PlanRanging(r);
    plan.total_s += r.ranging_s + r.seconds + r.read_s;
  }
  if (slow.fs_hz >= 100.0 && slow.seconds > kLfSettleSeconds) {
    plan.lf_windows = static_cast<int>(std::floor((slow.seconds - kLfSettleSeconds) / 10.0 + 1e-9));
  }
  plan.lf_covered = plan.lf_windows >= kLfDefaultWindows && slow.lo_hz <= 0.1 * (1 + 1e-9);
  // The degrees of freedom at F1 do not depend on the samples: the estimator's layout tells.
  psd::Options options;
  options.expected_samples = slow.points;
  for (const psd::LogBin& bin : psd::LogBins(psd::PlannedFinePoints(slow.fs_hz, options, slow.points), ppd, 0.95)) {
    if (bin.hz >= f1) {
      plan.dof_at_f1 = bin.dof;
      const psd::Interval ci = psd::PowerInterval(bin.dof, 0.95);
      plan.ci_lo = std::sqrt(ci.lo);
      plan.ci_hi = std::sqrt(ci.hi);
      break;
    }
  }
  return plan;
}

std::string CapturePlanText(const CapturePlan& plan) {
  std::string out;
  int i = 0;
  for (const PlannedRecord& r : plan.records) {
    out += std::to_string(++i) + ". " + std::to_string(r.points) + " points at " + FormatSeconds(r.tdiv_s) +
           "/div: " + FormatSeconds(r.seconds) + " at " + RateText(r.fs_hz) + ", for " + FormatHz(r.lo_hz) + " - " +
           FormatHz(r.hi_hz) + "\n";
  }
  out += "planned time: about " + FormatDuration(plan.total_s) + " for " +
         Counted(static_cast<long long>(plan.records.size()), "record") + " (the records, ranging and transfer)\n";
  if (plan.dof_at_f1 > 0) {
    out += "at " + FormatHz(plan.f1_hz) + ": about " + FormatSignificant(plan.dof_at_f1, 3) +
           " degrees of freedom, a 95 % interval of " + FormatSignificant(plan.ci_lo, 3) + " ... " +
           FormatSignificant(plan.ci_hi, 3) + " x the density\n";
  }
  if (plan.lf_covered) {
    out += "0.1-10 Hz: covered (" + Counted(plan.lf_windows, "window") + " of 10 s)\n";
  } else if (plan.lf_windows > 0) {
    out += "0.1-10 Hz: not covered: " + Counted(plan.lf_windows, "window") +
           " of 10 s, given with its interval (covered takes at least 6 windows and the density down to 0.1 Hz: "
           "--from 0.1 and --seconds 70 or more)\n";
  } else {
    out += "0.1-10 Hz: not covered (it needs at least 20 s at 100 Sa/s or more)\n";
  }
  return out;
}

CaptureOutcome RunCapture(InstrumentChannel& channel, const CapturePlan& plan, const CaptureSettings& settings) {
  CaptureOutcome out;
  Session session(channel, settings.cancel);
  auto finish = [&] {
    out.error = session.Error();
    out.cancelled = session.Cancelled();
    if (out.cancelled && !out.error) out.error = RunError(ErrorKind::kInterrupted, "cancelled");
    return std::move(out);
  };
  for (const char* line : {":WAVeform:SOURce CHANnel1", ":WAVeform:MODE RAW", ":WAVeform:FORMat BYTE"})
    channel.SendCommand(line);
  // A plan made by hand may leave the ranging out: it is the capture's own.
  std::vector<PlannedRecord> records = plan.records;
  for (PlannedRecord& r : records) {
    if (r.ranging_points == 0) PlanRanging(r);
  }
  double planned = 0.0;
  for (const PlannedRecord& r : records) planned += r.ranging_s + r.seconds + r.read_s;
  double done = 0.0;
  const int count = static_cast<int>(records.size());

  for (int index = 0; index < count; ++index) {
    const PlannedRecord& r = records[static_cast<std::size_t>(index)];
    const double share = r.ranging_s + r.seconds + r.read_s;
    auto report = [&](const std::string& phase, double within, std::size_t read, double left) {
      CaptureProgress p;
      p.phase = phase;
      p.record = index + 1;
      p.records = count;
      p.points_read = read;
      p.points_total = r.points;
      p.fraction = std::clamp((done + within * share) / std::max(planned, 1e-9), 0.0, 1.0);
      p.seconds_left = std::max(0.0, left + (planned - done - share));
      if (settings.progress) settings.progress(p);
    };

    // Ranging: short records at the record's own sample rate.
    const std::size_t rangingPoints = r.ranging_points;
    const double rangingTdiv = r.tdiv_s * static_cast<double>(rangingPoints) / static_cast<double>(r.points);
    const double growth = capture_detail::RangingGrowth(r.points, rangingPoints);
    capture_detail::Ranging ranging;
    for (int attempt = 0; attempt < r.ranging_records; ++attempt) {
      report("ranging", 0.0, 0, share);
      std::vector<PreambleExpectation> expected;
      if (!session.Set(rangingPoints, rangingTdiv, {{1, ranging.scale, ranging.offset}}, expected)) return finish();
      if (!session.Record(static_cast<double>(rangingPoints) / r.fs_hz, {})) return finish();
      const auto pre = session.ReadRecordPreamble(expected.front(), std::min(rangingPoints, kMaxReadPoints));
      if (!pre) return finish();
      std::string codes;
      if (!session.ReadAll(rangingPoints, codes)) return finish();
      ranging.Step(capture_detail::Measure(codes, *pre), pre->yincrement, growth);
      if (ranging.done) break;
    }
    double scale = ranging.scale;
    const double offset = ranging.offset;
    // The record itself, read in chunks straight into its estimator.
    CapturedRecord record;
    for (int take = 0; take < 3; ++take) {
      record = MakeCapturedRecord(r.fs_hz, r.points, settings.averaging);
      std::vector<PreambleExpectation> expectations;
      if (!session.Set(r.points, r.tdiv_s, {{1, scale, offset}}, expectations)) return finish();
      const PreambleExpectation& expected = expectations.front();
      const auto started = Clock::now();
      if (!session.Record(r.seconds, [&](double left) {
            report("recording", std::min(0.9, Seconds(Clock::now() - started) / std::max(r.seconds, 1e-9) * 0.9), 0,
                   left + r.read_s);
          })) {
        return finish();
      }
      const auto pre = session.ReadRecordPreamble(expected, std::min(r.points, kMaxReadPoints));
      if (!pre) return finish();
      const std::size_t total = r.points;
      const double fs = expected.sample_rate_hz > 0 ? expected.sample_rate_hz : r.fs_hz;
      // The planned rate where the instrument's agrees (its reply is rounded).
      record.info.fs_hz = std::fabs(fs - r.fs_hz) < 1e-6 * r.fs_hz ? r.fs_hz : fs;
      record.info.lo_hz = r.lo_hz;
      record.info.hi_hz = r.hi_hz;
      record.info.tdiv_s = r.tdiv_s;
      record.info.ch1_scale = expected.channel_scale_v;
      record.info.ch1_offset = offset;
      record.info.converter_floor_nv = pre->yincrement / std::sqrt(6.0 * record.info.fs_hz) * 1e9;
      int clipped = 0;
      std::vector<float> chunk;
      auto lastLive = Clock::now();
      auto showLive = [&] {
        std::vector<const CapturedRecord*> so_far;
        for (const CapturedRecord& taken : out.records) so_far.push_back(&taken);
        so_far.push_back(&record);
        settings.live(StitchRecords(so_far, settings.ppd));
        lastLive = Clock::now();
      };
      if (settings.samples) settings.samples->Begin(index + 1, total, record.info.fs_hz);
      // Codes to volts from a table: 256 entries in place of a multiply and a cast each point.
      std::array<float, 256> volts{};
      for (int b = 0; b < 256; ++b)
        volts[static_cast<std::size_t>(b)] = static_cast<float>(pre->Volts(static_cast<unsigned char>(b)));
      capture_detail::ChunkQueue<CodeChunk> queue;
      std::thread reader([&] { session.ReadPoints(total, queue); });
      while (auto c = queue.Take()) {
        chunk.resize(c->codes.size());
        for (std::size_t i = 0; i < c->codes.size(); ++i) {
          const auto b = static_cast<unsigned char>(c->codes[i]);
          clipped += b == 0 || b == 255;
          chunk[i] = volts[b];
        }
        record.Push(chunk.data(), chunk.size());
        if (settings.samples) settings.samples->Append(chunk.data(), chunk.size());
        record.info.points += chunk.size();
        record.info.seconds = static_cast<double>(record.info.points) / record.info.fs_hz;
        const std::size_t read = record.info.points;
        report("reading", 0.9 + 0.1 * static_cast<double>(read) / static_cast<double>(total), read,
               ReadSeconds(total - read));
        if (settings.live && Seconds(Clock::now() - lastLive) > 0.25) showLive();
        if (session.Cancelled()) queue.Close();
      }
      reader.join();
      record.info.clipped_points = clipped;
      record.complete = record.info.points == total && !session.Failed() && !session.Cancelled();
      if (settings.samples) settings.samples->End(record.complete);
      if (!record.complete) {
        if (record.info.points > 0) out.unfinished = std::move(record);
        return finish();
      }
      if (settings.live) showLive();
      record.info.seconds = static_cast<double>(total) / record.info.fs_hz;
      if (clipped == 0) break;
      if (scale >= kMaxChannelScale || take == 2) {
        session.Fail(ErrorKind::kData,
                     "record " + std::to_string(index + 1) + " still clips " +
                         (scale >= kMaxChannelScale ? "at the largest channel scale (" + FormatVolts(scale) + "/div): "
                                                    : "at " + FormatVolts(scale) + "/div: ") +
                         Counted(clipped, "point") + " at code 0 or 255; " +
                         (scale >= kMaxChannelScale ? "the signal is larger than the channel can take"
                                                    : "the signal grew while it was measured; measure again"));
        return finish();
      }
      // Clipped: a coarser scale and the record again; a record that still clips is flagged.
      scale = ChannelScaleAtLeast(scale * 4.0);
    }
    done += share;
    report("analysing", 1.0, r.points, 0.0);
    out.records.push_back(std::move(record));
  }
  return finish();
}

NoiseSpectrum StitchRecords(const std::vector<CapturedRecord>& records, int ppd) {
  std::vector<const CapturedRecord*> all;
  for (const CapturedRecord& r : records) all.push_back(&r);
  return StitchRecords(all, ppd);
}

NoiseSpectrum StitchRecords(const std::vector<const CapturedRecord*>& records, int ppd) {
  NoiseSpectrum s;
  s.method = kMethodRecord;
  s.window = HannWindow();
  s.window_source = "estimator";
  s.ppd = ppd;
  if (records.empty()) return s;
  s.averaging = records.front()->estimator->Settings().averaging;
  // Each record's fine points, and per log bin the degrees of freedom it offers.
  struct Offer {
    std::vector<psd::FinePoint> fine;
    std::vector<std::pair<int, double>> bins;  // log bin, summed dof
  };
  std::vector<Offer> offers;
  for (const CapturedRecord* r : records) {
    Offer o;
    o.fine = r->estimator->Read();
    for (const psd::FinePoint& p : o.fine) {
      if (!(p.hz > 0)) continue;
      const int j = LogBinIndex(p.hz, ppd);
      if (o.bins.empty() || o.bins.back().first != j) o.bins.emplace_back(j, 0.0);
      o.bins.back().second += p.dof;
    }
    offers.push_back(std::move(o));
    s.records.push_back(r->info);
  }
  double lowest = records.front()->info.lo_hz;
  double highest = records.front()->info.hi_hz;
  for (const CapturedRecord* r : records) {
    lowest = std::min(lowest, r->info.lo_hz);
    highest = std::max(highest, r->info.hi_hz);
  }
  if (!(highest > 0)) highest = std::numeric_limits<double>::infinity();
  std::vector<int> all;
  for (const Offer& o : offers) {
    for (const auto& [j, dof] : o.bins) all.push_back(j);
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<double> widths;
  std::vector<std::size_t> owner;
  for (int j : all) {
    std::size_t best = 0;
    double bestDof = -1.0;
    for (std::size_t r = 0; r < offers.size(); ++r) {
      for (const auto& [bin, dof] : offers[r].bins) {
        if (bin == j && dof > bestDof) {
          best = r;
          bestDof = dof;
        }
      }
    }
    for (const psd::FinePoint& p : offers[best].fine) {
      if (!(p.hz > 0) || LogBinIndex(p.hz, ppd) != j) continue;
      // The range asked for: F1 (or the lowest the records resolve) to F2, by the points'
      // cells, so the range reaches F1 itself.
      if (p.hz + 0.5 * p.width_hz <= lowest * (1 + 1e-9) || p.hz > highest * (1 + 1e-9)) continue;
      NoisePoint point;
      point.freq_hz = p.hz;
      point.density_nv = std::sqrt(std::max(0.0, p.psd)) * 1e9;
      point.level_nv = point.density_nv;
      point.dof = p.dof;
      point.quant_nv =
          std::isfinite(records[best]->info.converter_floor_nv) ? records[best]->info.converter_floor_nv : 0.0;
      s.points.push_back(point);
      widths.push_back(p.width_hz);
      owner.push_back(best);
    }
  }
  // The last cell ends half a bin above its point.
  s.end_hz = s.points.empty() ? 0.0 : s.points.back().freq_hz + widths.back();
  // Points at each record's converter floor, by the level around them.
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::vector<std::size_t> mine;
    for (std::size_t i = 0; i < owner.size(); ++i) {
      if (owner[i] == r) mine.push_back(i);
    }
    FlagConverterFloor(s.points, mine, records[r]->info.converter_floor_nv);
  }
  // The record in time: the longest record's.
  const CapturedRecord* longest = nullptr;
  for (const CapturedRecord* r : records) {
    if (r->time && r->time->Samples() >= 2 && (!longest || r->info.seconds > longest->info.seconds)) longest = r;
  }
  if (longest) s.time = TimeFiguresOf(*longest);
  // The 0.1-10 Hz figures from the longest record that covers them.
  const CapturedRecord* lfRecord = nullptr;
  psd::LfNoise lf;
  for (const CapturedRecord* r : records) {
    const psd::LfNoise candidate = r->estimator->ReadLf();
    if (candidate.covered && (!lfRecord || r->info.seconds > lfRecord->info.seconds)) {
      lfRecord = r;
      lf = candidate;
    }
  }
  if (lfRecord) {
    LfFigures f;
    f.rms_nv = lf.rms_v * 1e9;
    f.pp_median_nv = lf.pp_median_v * 1e9;
    f.pp_max_nv = lf.pp_max_v * 1e9;
    f.windows = lf.windows;
    f.rate_hz = lf.rate_hz;
    f.first_window_v = lf.first_window_v;
    const psd::LfFilter filter(lf.rate_hz);
    // The density weighted by the filter; and, from the same weights, the degrees of freedom
    // of the rms over the filtered record's time T: 2 T (int g)^2 / int g^2.
    double power = 0.0, square = 0.0;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
      const double f_hz = s.points[i].freq_hz;
      if (f_hz >= lf.rate_hz / 2) break;
      const double g = std::pow(s.points[i].density_nv * 1e-9, 2) * filter.PowerGain(f_hz);
      const double width = CellHigh(s, i) - CellLow(s, i);
      power += g * width;
      square += g * g * width;
    }
    f.psd_rms_nv = std::sqrt(power) * 1e9;
    const double seconds = 10.0 * lf.windows;
    if (square > 0 && power > 0) {
      f.dof = 2.0 * seconds * power * power / square;
      const psd::Interval ci = psd::PowerInterval(f.dof, s.confidence);
      f.ci_lo_nv = f.rms_nv * std::sqrt(ci.lo);
      f.ci_hi_nv = f.rms_nv * std::sqrt(ci.hi);
    }
    f.covered = lf.windows >= kLfDefaultWindows && !s.points.empty() && CellLow(s, 0) <= 0.1 * (1 + 1e-9);
    s.lf = f;
  }
  return s;
}

}  // namespace qvx
