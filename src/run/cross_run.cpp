#include "run/cross_run.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/files.h"
#include "core/text.h"
#include "psd/npy.h"
#include "run/record_files.h"

namespace qvx {
namespace {

double Number(const nlohmann::json& j, const char* key, double fallback = 0.0) {
  return j.is_object() && j.contains(key) && j[key].is_number() ? j[key].get<double>() : fallback;
}

const nlohmann::json& Member(const nlohmann::json& j, const char* key) {
  static const nlohmann::json none;
  return j.is_object() && j.contains(key) ? j[key] : none;
}

const nlohmann::json& Element(const nlohmann::json& list, std::size_t i) {
  static const nlohmann::json none;
  return list.is_array() && i < list.size() ? list[i] : none;
}

}  // namespace

CrossPlan CrossPlanOf(const RunRequest& r) {
  CrossLength length;
  length.records = r.cross.records;
  length.seconds = r.seconds;
  length.until_resolved = r.cross.until_resolved;
  length.max_seconds = r.max_seconds;
  return PlanCrossCapture(r.from_hz, r.to_hz, length, r.ppd);
}

std::pair<double, double> CrossGains(const RunRequest& r) {
  const double g1 = r.corrections.gain.given ? r.corrections.gain.ratio : 1.0;
  return {g1, r.cross.gain2.value_or(g1)};
}

void CheckCross(const RunRequest& r) {
  if (!r.corrections.gain_file.empty()) {
    throw RunError(ErrorKind::kUsage,
                   "--gain-file is one preamplifier's curve; the cross-spectrum divides by both channels' gains: give "
                   "them as constants (--gain or --gain-db, and --gain2 or --gain2-db)");
  }
  if (!r.corrections.floor_file.empty()) {
    throw RunError(ErrorKind::kUsage,
                   "--floor subtracts a floor run; in a cross-spectrum the instrument's own noise averages out "
                   "instead: leave out --floor");
  }
  if (r.averaging == psd::Averaging::Median || (r.file.averaging && *r.file.averaging == psd::Averaging::Median)) {
    throw RunError(ErrorKind::kUsage,
                   "the cross-spectrum is the mean of its records' products; leave out --average "
                   "median");
  }
  if (r.cross.gain2 && !(*r.cross.gain2 > 0 && std::isfinite(*r.cross.gain2)))
    throw RunError(ErrorKind::kUsage, "--gain2 wants a ratio above 0");
}

MeasuredRun MeasureCross(const RunRequest& r, WholeLineChannel& lines, const RunSinks& sinks, RecordFiles* files) {
  MeasuredRun m;
  const CrossPlan plan = CrossPlanOf(r);
  const auto [g1, g2] = CrossGains(r);
  CrossCaptureSettings settings;
  settings.cancel = r.cancel;
  settings.ppd = r.ppd;
  settings.gain1 = g1;
  settings.gain2 = g2;
  settings.gains_given = r.corrections.gain.given || r.cross.gain2.has_value();
  settings.live = sinks.live;
  settings.samples = files;
  if (sinks.progress) {
    settings.progress = [&](const CaptureProgress& p) {
      RunProgress q;
      q.phase = "record " + std::to_string(p.record) +
                (p.records > 0 ? " of " + std::to_string(p.records) : std::string(" (until resolved)")) + ": " +
                p.phase;
      q.fraction = p.fraction;
      q.seconds_left = p.seconds_left;
      q.step_s = plan.record_s;
      sinks.progress(q);
    };
  }
  CrossCaptureOutcome out = RunCrossCapture(lines, plan, settings);
  if (out.records) {
    m.spectrum = out.records->Spectrum(r.ppd, g1, g2, settings.gains_given, plan.f1_hz, plan.f2_hz);
    m.measured = !m.spectrum.points.empty();
  }
  m.error = out.error;
  m.cancelled = out.cancelled;
  if (files) m.records = files->Paths();
  return m;
}

bool IsPairRecord(const std::string& path) {
  try {
    return psd::NpyReader(path).Columns() == 2;
  } catch (const psd::NpyError&) {
    return false;
  }
}

MeasuredRun ReadCrossRecordFiles(const RunRequest& r, const std::vector<std::string>& files, std::size_t first,
                                 const nlohmann::json& meta) {
  CheckCross(r);
  const nlohmann::json& cross = Member(meta, "cross");
  // The command line's gains before the capture's; channel 2's follows channel 1's, as in a capture.
  double g1 = Number(cross, "gain1", 1.0);
  double g2 = Number(cross, "gain2", g1);
  if (r.corrections.gain.given) g1 = g2 = r.corrections.gain.ratio;
  if (r.cross.gain2) g2 = *r.cross.gain2;
  for (const double g : {g1, g2}) {
    if (!(g > 0) || !std::isfinite(g)) {
      throw RunError(ErrorKind::kData,
                     "the capture's JSON gives a gain of " + ShortestNumber(g) + "; give --gain and --gain2 above 0");
    }
  }
  const nlohmann::json& referred = Member(meta, "input_referred");
  const bool given =
      r.corrections.gain.given || r.cross.gain2 || (cross.is_object() && referred.is_boolean() && referred.get<bool>());
  std::unique_ptr<CrossRecords> records;
  std::vector<float> x(kCrossPushPairs), y(kCrossPushPairs);
  double f1 = Number(cross, "from_hz"), f2 = Number(cross, "to_hz");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::unique_ptr<psd::NpyReader> reader = OpenRecordFile(files[i]);
    if (reader->Columns() != 2) {
      throw RunError(ErrorKind::kData, files[i] +
                                           ": one column among records of two channels; give the records of "
                                           "one capture");
    }
    const nlohmann::json& rec = Element(Member(meta, "records"), first + i);
    const nlohmann::json& two = Element(Member(cross, "channel2"), first + i);
    double fs = Number(rec, "fs_hz");
    if (r.file.fs_hz) fs = *r.file.fs_hz;
    if (!(fs > 0)) {
      throw RunError(ErrorKind::kUsage,
                     files[i] + ": no sample rate; give --fs HZ, or keep the capture's JSON beside it");
    }
    const std::size_t rows = reader->Rows();
    if (!records) {
      if (rows < 2) {
        throw RunError(ErrorKind::kData, files[i] + ": a record of " + Counted(static_cast<long long>(rows), "pair") +
                                             " has no spectrum; give the .npy of a whole capture");
      }
      try {
        records = std::make_unique<CrossRecords>(fs, rows);
      } catch (const std::invalid_argument& e) {
        throw RunError(ErrorKind::kUsage, files[i] + ": " + e.what());
      }
      if (!(f1 > 0)) f1 = 2.0 * fs / static_cast<double>(rows);
      if (!(f2 > f1)) f2 = psd::kTopFraction * fs;
    } else if (rows != records->RecordPoints() || fs != records->SampleRate()) {
      throw RunError(ErrorKind::kData, files[i] + ": " + Counted(static_cast<long long>(rows), "pair") + " at " +
                                           FormatHz(fs) + " where the first record has " +
                                           Counted(static_cast<long long>(records->RecordPoints()), "pair") + " at " +
                                           FormatHz(records->SampleRate()) +
                                           "; the records of one cross-spectrum have one shape");
    }
    try {
      while (const std::size_t n = reader->Read(x.data(), x.size(), y.data())) {
        // Read on past a bad sample, so the message can say how many there are.
        if (reader->NonFinite() == 0) records->Push(x.data(), y.data(), n);
      }
    } catch (const psd::NpyError& e) {
      throw RunError(ErrorKind::kData, e.what());
    }
    CheckFiniteRecord(*reader);
    RecordInfo info;
    info.fs_hz = fs;
    info.points = rows;
    info.seconds = static_cast<double>(rows) / fs;
    info.tdiv_s = Number(rec, "tdiv_s");
    info.ch1_scale = Number(rec, "ch1_scale");
    info.ch1_offset = Number(rec, "ch1_offset");
    info.clipped_points = static_cast<int>(Number(rec, "clipped_points"));
    info.converter_floor_nv = Number(rec, "converter_floor_nv");
    info.lo_hz = f1;
    info.hi_hz = f2;
    SecondChannelInfo second;
    second.scale = Number(two, "scale");
    second.offset = Number(two, "offset");
    second.clipped_points = static_cast<int>(Number(two, "clipped_points"));
    second.converter_floor_nv = Number(two, "converter_floor_nv");
    records->EndRecord(info, second);
  }
  MeasuredRun m;
  m.spectrum = records->Spectrum(r.ppd, g1, g2, given, f1, f2);
  m.measured = true;
  return m;
}

}  // namespace qvx
