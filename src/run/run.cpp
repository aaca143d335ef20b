#include "run/run.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>

#include "analysis/corrections.h"
#include "analysis/noise_files.h"
#include "capture/capture.h"
#include "core/conversions.h"
#include "core/files.h"
#include "core/pause.h"
#include "core/text.h"
#include "link/scpi.h"
#include "link/whole_line_channel.h"
#include "psd/npy.h"
#include "run/cross_run.h"
#include "run/measured.h"
#include "run/record_files.h"
#include "run/run_store.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;

bool IsNpy(const std::string& path) { return path.size() > 4 && path.compare(path.size() - 4, 4, ".npy") == 0; }

SweepPlan SweepPlanOf(const RunRequest& r) {
  return PlanSweep(r.from_hz, r.to_hz, r.ppd, r.fft.averages, r.fft.time_scale);
}

// The one acquisition of a single span: the set-up's pauses, the averaging and the read.
PlannedAcquisition SingleAcquisition(const RunRequest& r) {
  PlannedAcquisition a;
  if (!r.fft.set_up) {
    a.seconds = TracePauseSeconds();
    return a;
  }
  a.start_hz = r.fft.span ? r.fft.span->first : r.fft.start_hz;
  a.end_hz = r.fft.span ? r.fft.span->second : r.fft.end_hz;
  a.tdiv_s = ParseDecimal(r.fft.tdiv_text).value_or(0.0);
  a.seconds =
      SetupPauseSeconds() + AverageWaitSeconds(r.fft.averages, a.tdiv_s, r.fft.time_scale) + TracePauseSeconds();
  return a;
}

}  // namespace

void CheckOutputPrefix(const std::string& prefix) {
  if (prefix.empty()) return;
  const std::filesystem::path path(prefix);
  if (!path.has_filename() || prefix.back() == '/') {
    throw RunError(ErrorKind::kUsage, "--out " + prefix + " names a folder; give a file name prefix, such as " +
                                          prefix + (prefix.back() == '/' ? "" : "/") + "run");
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    throw RunError(ErrorKind::kUsage, "--out " + prefix + ": the folder " + folder.string() + " does not exist");
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    throw RunError(ErrorKind::kUsage, "--out " + prefix + ": the folder " + folder.string() +
                                          " does not take new files; check its permissions");
  }
}

namespace {

// What the run will be, as far as a floor can be compared with it before it is measured.
NoiseSpectrum PlannedSpectrum(const RunRequest& r) {
  NoiseSpectrum s;
  if (r.method == RunMethod::kRecord) {
    s.method = kMethodRecord;
    for (const PlannedRecord& p : PlanCapture(r.from_hz, r.to_hz, r.seconds, r.ppd).records) {
      RecordInfo info;
      info.fs_hz = p.fs_hz;
      s.records.push_back(info);
    }
  } else if (r.method == RunMethod::kSweep) {
    for (const PlannedAcquisition& a : SweepPlanOf(r).acquisitions) {
      AcquisitionInfo info;
      info.rbw_hz = a.rbw_hz;
      info.ch1_scale = ParseDecimal(r.fft.ch1_scale).value_or(kNotKnown);
      s.acquisitions.push_back(info);
    }
  }
  return s;
}

class Stopwatch {
 public:
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  Clock::time_point start_ = Clock::now();
};

// The measurement, whatever its method, up to the spectrum at the converter.
using Measured = MeasuredRun;

Measured MeasureFft(const RunRequest& r, WholeLineChannel& lines, const RunSinks& sinks) {
  Measured m;
  MeasureSettings settings;
  const bool sweep = r.method == RunMethod::kSweep;
  settings.set_up = sweep || r.fft.set_up;
  settings.ppd = r.ppd;
  settings.window = r.fft.window;
  settings.time_scale = r.fft.time_scale;
  settings.ch1_scale = r.fft.ch1_scale;
  settings.first_range = r.fft.first_range;
  settings.averages = r.fft.averages;
  settings.cancel = r.cancel;
  if (r.max_seconds) {
    settings.deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*r.max_seconds));
  }
  std::vector<PlannedAcquisition> planned;
  double total = 0.0;
  if (sweep) {
    const SweepPlan plan = SweepPlanOf(r);
    planned = plan.acquisitions;
    total = plan.total_s;
  } else {
    planned = {SingleAcquisition(r)};
    total = planned.front().seconds;
    if (r.fft.set_up) {
      settings.tdiv_text = r.fft.tdiv_text;
      settings.strict_ranging = true;
    }
  }
  settings.acquisitions = planned;
  // Progress by the plan: the acquisitions done, and the time into the current one.
  std::size_t done = 0;
  double doneSeconds = 0.0;
  auto report = [&] {
    if (!sinks.progress) return;
    RunProgress p;
    p.phase =
        "acquisition " + std::to_string(std::min(done + 1, planned.size())) + " of " + std::to_string(planned.size());
    p.fraction = total > 0 ? std::clamp(doneSeconds / total, 0.0, 1.0) : 0.0;
    p.seconds_left = std::max(0.0, total - doneSeconds);
    p.step_s = done < planned.size() ? planned[done].seconds : 0.0;
    sinks.progress(p);
  };
  report();
  settings.live = [&](const NoiseSpectrum& s) {
    if (sinks.live) sinks.live(s);
    doneSeconds += done < planned.size() ? planned[done].seconds : 0.0;
    ++done;
    report();
  };
  MeasureOutcome outcome;
  try {
    outcome = RunMeasurement(lines, settings, sinks.note);
  } catch (const Exception& e) {
    outcome.status = MeasureStatus::kNotAnswering;
    outcome.message = std::string("the instrument's reply could not be used: ") + e.what();
  }
  m.spectrum = std::move(outcome.spectrum);
  m.measured = !m.spectrum.points.empty() && outcome.status != MeasureStatus::kAllClipped;
  switch (outcome.status) {
    case MeasureStatus::kOk:
      break;
    case MeasureStatus::kCancelled:
      m.cancelled = true;
      m.error = RunError(ErrorKind::kInterrupted, "cancelled");
      break;
    case MeasureStatus::kNotAnswering:
      m.error = RunError(ErrorKind::kInstrument, outcome.message);
      break;
    default:
      m.error = RunError(ErrorKind::kData, outcome.message);
      break;
  }
  return m;
}

Measured MeasureRecord(const RunRequest& r, WholeLineChannel& lines, const RunSinks& sinks, RecordFiles* files) {
  Measured m;
  const CapturePlan plan = PlanCapture(r.from_hz, r.to_hz, r.seconds, r.ppd);
  CaptureSettings settings;
  settings.averaging = r.averaging;
  settings.cancel = r.cancel;
  settings.ppd = r.ppd;
  settings.live = sinks.live;
  settings.samples = files;
  if (sinks.progress) {
    settings.progress = [&](const CaptureProgress& p) {
      RunProgress q;
      q.phase = "record " + std::to_string(p.record) + " of " + std::to_string(p.records) + ": " + p.phase;
      q.fraction = p.fraction;
      q.seconds_left = p.seconds_left;
      sinks.progress(q);
    };
  }
  CaptureOutcome outcome = RunCapture(lines, plan, settings);
  std::vector<const CapturedRecord*> taken;
  for (const CapturedRecord& c : outcome.records) taken.push_back(&c);
  if (outcome.unfinished) taken.push_back(&*outcome.unfinished);
  if (!taken.empty()) {
    m.spectrum = StitchRecords(taken, r.ppd);
    m.measured = !m.spectrum.points.empty();
  }
  m.error = outcome.error;
  m.cancelled = outcome.cancelled;
  if (files) m.records = files->Paths();
  return m;
}

// The records of a capture kept as .npy files, with the JSON beside them telling their rates.
Measured ReadRecordFiles(const RunRequest& r) {
  const FileRequest& f = r.file;
  const std::string prefix = f.path.substr(0, f.path.size() - 4);
  std::vector<std::string> files;
  std::error_code ec;
  if (std::filesystem::exists(f.path, ec)) {
    files.push_back(f.path);
  } else {
    for (int i = 1; std::filesystem::exists(prefix + "." + std::to_string(i) + ".npy", ec); ++i) {
      files.push_back(prefix + "." + std::to_string(i) + ".npy");
    }
  }
  if (files.empty()) {
    throw RunError(ErrorKind::kUsage, "cannot read " + f.path + " (nor " + prefix + ".1.npy); check the name");
  }
  // PREFIX.2.npy alone belongs to PREFIX.json as its second record.
  std::string base = prefix;
  std::size_t first = 0;
  if (files.size() == 1 && files.front() == f.path && !std::filesystem::exists(prefix + ".json", ec)) {
    const auto dot = prefix.rfind('.');
    const std::string digits = dot == std::string::npos ? std::string() : prefix.substr(dot + 1);
    if (!digits.empty() && digits.size() <= 6 && digits.find_first_not_of("0123456789") == std::string::npos &&
        std::stoul(digits) >= 1) {
      base = prefix.substr(0, dot);
      first = std::stoul(digits) - 1;
    }
  }
  nlohmann::json meta;
  if (std::filesystem::exists(base + ".json", ec)) {
    try {
      meta = nlohmann::json::parse(ReadWholeFile(base + ".json"));
    } catch (const nlohmann::json::exception&) {
      throw RunError(ErrorKind::kData, base + ".json is not the JSON of a capture");
    }
  }
  if (IsPairRecord(files.front())) return ReadCrossRecordFiles(r, files, first, meta);
  std::vector<CapturedRecord> records;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::unique_ptr<psd::NpyReader> reader = OpenRecordFile(files[i]);
    RecordInfo info;
    double fs = 0.0;
    const std::size_t at = first + i;
    std::string averaging;
    if (meta.is_object() && meta.contains("records") && meta["records"].is_array() && at < meta["records"].size() &&
        meta["records"][at].is_object()) {
      const auto& rec = meta["records"][at];
      auto number = [&](const char* key) {
        return rec.contains(key) && rec[key].is_number() ? rec[key].get<double>() : 0.0;
      };
      fs = number("fs_hz");
      // The JSON names its record files: one of another run under the same prefix is no part of it.
      if (rec.contains("file") && rec["file"].is_string() && rec.contains("file_bytes") &&
          rec["file_bytes"].is_number()) {
        const std::string named = rec["file"].get<std::string>();
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(files[i], ec);
        if (std::filesystem::path(files[i]).filename().string() != named ||
            bytes != rec["file_bytes"].get<std::uintmax_t>()) {
          throw RunError(ErrorKind::kData, files[i] + " is not the record " + base + ".json names (" + named + ", " +
                                               std::to_string(rec["file_bytes"].get<std::uintmax_t>()) +
                                               " bytes): it is left from another run; capture again, or give the "
                                               "record's own JSON");
        }
      }
      info.tdiv_s = number("tdiv_s");
      info.ch1_scale = number("ch1_scale");
      info.ch1_offset = number("ch1_offset");
      info.clipped_points = static_cast<int>(number("clipped_points"));
      info.lo_hz = number("lo_hz");
      info.hi_hz = number("hi_hz");
      if (number("converter_floor_nv") > 0) info.converter_floor_nv = number("converter_floor_nv");
    }
    if (f.fs_hz) fs = *f.fs_hz;
    if (!(fs > 0)) {
      throw RunError(ErrorKind::kUsage,
                     files[i] + ": no sample rate; give --fs HZ, or keep " + base + ".json beside it");
    }
    if (meta.is_object() && meta.contains("averaging") && meta["averaging"].is_string()) averaging = meta["averaging"];
    const psd::Averaging how = f.averaging             ? *f.averaging
                               : averaging == "median" ? psd::Averaging::Median
                                                       : psd::Averaging::Mean;
    const std::size_t rows = reader->Rows();
    if (rows < 2) {
      throw RunError(ErrorKind::kData, files[i] + ": a record of " + Counted(static_cast<long long>(rows), "sample") +
                                           " has no spectrum; give the .npy of a whole capture");
    }
    info.fs_hz = fs;
    info.points = rows;
    info.seconds = static_cast<double>(rows) / fs;
    if (info.hi_hz == 0.0) info.hi_hz = psd::kTopFraction * fs;
    CapturedRecord record;
    try {
      record = MakeCapturedRecord(fs, rows, how);
      record.info = info;
    } catch (const std::invalid_argument& e) {
      throw RunError(ErrorKind::kUsage, files[i] + ": " + e.what());
    }
    // As the capture pushed them: float volts, in chunks, never the whole record at once.
    std::vector<float> chunk(250000);
    try {
      while (const std::size_t n = reader->Read(chunk.data(), chunk.size())) {
        // Read on past a bad sample, so the message can say how many there are.
        if (reader->NonFinite() == 0) record.Push(chunk.data(), n);
      }
    } catch (const psd::NpyError& e) {
      throw RunError(ErrorKind::kData, e.what());
    }
    CheckFiniteRecord(*reader);
    record.complete = true;
    records.push_back(std::move(record));
  }
  Measured m;
  m.spectrum = StitchRecords(records, r.ppd);
  m.measured = true;
  return m;
}

// A spectrum read from a file, as the run analyses it.
Measured SpectrumOfFile(const RunRequest& r, NoiseSpectrum s, bool csv, std::vector<std::string>& warnings) {
  const FileRequest& f = r.file;
  s.ppd = r.ppd;
  // A CSV of qvx71-noise carries its densities as the run made them (the window's ENBW, the
  // converter's floor, the gain): they are analysed as they are, so the figures come back
  // exactly. Only a --window asks for the levels to be read again through another ENBW.
  if (csv && f.window) {
    std::vector<double> ratios;
    for (const NoisePoint& p : s.points) {
      if (p.density_nv != 0 && std::isfinite(p.level_nv / p.density_nv)) ratios.push_back(p.level_nv / p.density_nv);
    }
    if (!ratios.empty() && s.method != kMethodRecord) {
      std::nth_element(ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
      const double enbw = ratios[ratios.size() / 2] * ratios[ratios.size() / 2];
      if (std::fabs(enbw - f.window->enbw) > 1e-3 * f.window->enbw) {
        warnings.push_back("note: " + f.path + " was corrected for an ENBW of " + FormatFloat("0.000", enbw) +
                           " bins; this analysis uses " + f.window->name + " (" + ShortestNumber(f.window->enbw) + ")");
      }
    }
  }
  if (csv && s.method == kMethodRecord) {
    s.window_source = "estimator";
  } else if (csv && !f.window) {
    s.window_source = "as written";
  } else {
    SetFftWindow(s, f.window.value_or(HannWindow()));
    s.window_source = "assumed";
  }
  Measured m;
  m.spectrum = std::move(s);
  m.measured = true;
  return m;
}

Measured ReadSpectrumFile(const RunRequest& r, std::vector<std::string>& warnings) {
  const FileRequest& f = r.file;
  // A CSV of qvx71-noise may hold millions of points: it is read as a stream.
  {
    LineReader lines(f.path);
    std::string_view first;
    if (lines.Next(first) &&
        (first == kNoiseCsvHeader || first == std::string(kNoiseCsvHeader) + kNoiseCsvDofColumns)) {
      LineReader again(f.path);
      SpectrumReadResult read = ReadNoiseCsvLines([&](std::string_view& line) { return again.Next(line); });
      if (!read.ok()) throw RunError(ErrorKind::kData, f.path + ": " + read.error);
      return SpectrumOfFile(r, std::move(read.spectrum), true, warnings);
    }
  }
  const std::string text = ReadWholeFile(f.path, std::size_t(64) << 20);
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start != std::string::npos && text[start] == '{') {
    const std::string stem = f.path.size() > 5 && f.path.compare(f.path.size() - 5, 5, ".json") == 0
                                 ? f.path.substr(0, f.path.size() - 5)
                                 : f.path;
    throw RunError(ErrorKind::kUsage, f.path +
                                          " is the JSON of a run, which holds its figures, not its spectrum; "
                                          "analyze its CSV (" +
                                          stem + ".csv) or its records (" + stem + ".npy)");
  }
  const bool csv = IsNoiseCsv(text);
  SpectrumReadResult read = csv ? ReadNoiseCsv(text) : ReadClipboardExport(text, f.span);
  if (read.needs_span) throw RunError(ErrorKind::kUsage, f.path + ": " + read.error);
  if (!read.ok()) {
    const bool unknown = !csv && read.line == 1;
    throw RunError(ErrorKind::kData,
                   f.path + ": " + read.error +
                       (unknown ? " (neither a CSV of qvx71-noise nor the window's clipboard export)" : ""));
  }
  return SpectrumOfFile(r, std::move(read.spectrum), csv, warnings);
}

// The run's files and, when it stopped part way, what was measured beside the last complete
// run's files.
void Finish(const RunRequest& r, const RunSinks& sinks, Measured& m, RunResult& result, bool partial) {
  result.measured = m.measured;
  result.measured_spectrum = std::move(m.spectrum);
  if (!m.measured) return;
  NoiseSpectrum& measured = result.measured_spectrum;
  if (partial) {
    measured.partial = true;
    measured.partial_reason = m.cancelled ? "cancelled" : m.error ? m.error->what() : "";
  }
  if (result.corrections.floor) {
    const std::string mismatch = FloorMismatch(*result.corrections.floor, measured);
    if (!mismatch.empty()) {
      result.warnings.push_back("warning: the floor " + result.corrections.floor_file +
                                " does not match this run: " + mismatch);
    }
  }
  // The window shows the measured spectrum again; a program has the finished one.
  result.finished = r.keep_measured ? FinishRun(measured, result.corrections, r.analysis)
                                    : FinishRun(std::move(measured), result.corrections, r.analysis);
  result.summary = NoiseSummaryText(result.finished->spectrum, result.finished->report);
  result.json = NoiseJsonText(result.finished->spectrum, result.finished->report);
  // A cancelled run writes nothing: no half run in place of an earlier complete one.
  if (m.cancelled) return;
  std::vector<RecordFile> records;
  for (const std::string& path : m.records) records.push_back({path, !r.keep_records});
  if (!r.out_prefix.empty()) {
    const std::string prefix = partial ? r.out_prefix + ".partial" : r.out_prefix;
    result.files = WriteRunFiles(*result.finished, prefix, r.formats, records, sinks.images);
  }
  if (!r.json_path.empty() && result.files.problem.empty()) {
    const std::string path = partial ? PartialName(r.json_path) : r.json_path;
    result.files.problem = WriteWholeFile(path, result.json);
    if (result.files.problem.empty()) result.files.paths.push_back(path);
  }
}

}  // namespace

std::string RunDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = {};
  if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::string PartialName(const std::string& path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".partial";
  return path.substr(0, dot) + ".partial" + path.substr(dot);
}

RunPlan PlanRun(const RunRequest& r) {
  RunPlan plan;
  switch (r.method) {
    case RunMethod::kRecord: {
      const CapturePlan capture = PlanCapture(r.from_hz, r.to_hz, r.seconds, r.ppd);
      if (!capture.error.empty()) {
        plan.error = capture.error;
        return plan;
      }
      plan.text = CapturePlanText(capture);
      plan.seconds = capture.total_s;
      break;
    }
    case RunMethod::kCross: {
      const CrossPlan cross = CrossPlanOf(r);
      if (!cross.error.empty()) {
        plan.error = cross.error;
        return plan;
      }
      plan.text = CrossPlanText(cross);
      plan.seconds = cross.total_s;
      // Until resolved, --max-minutes is the plan's own bound.
      if (cross.until_resolved) return plan;
      break;
    }
    case RunMethod::kSweep: {
      if (!(r.from_hz > 0) || !(r.to_hz > r.from_hz)) {
        plan.error = "a sweep runs from a frequency above 0 Hz (decades start at a power of ten) to a higher one";
        return plan;
      }
      const SweepLimits limits = SweepLimitsFor(r.ppd);
      if (r.from_hz < limits.lowest_hz || r.to_hz > limits.highest_hz) {
        plan.error = "the sweep " + FormatHz(r.from_hz) + " - " + FormatHz(r.to_hz) +
                     ": the instrument's FFT measures from " + FormatHz(limits.lowest_hz) +
                     " (its slowest timebase, at " + std::to_string(r.ppd) + " points per decade) to " +
                     FormatHz(limits.highest_hz) + " (half its " + FormatHz(kMaxSampleRate) + " sample rate)";
        plan.sweep_within = {std::max(r.from_hz, limits.lowest_hz), std::min(r.to_hz, limits.highest_hz)};
        return plan;
      }
      const SweepPlan sweep = SweepPlanOf(r);
      plan.text = PlanText(sweep);
      plan.seconds = sweep.total_s;
      break;
    }
    case RunMethod::kFft:
      plan.seconds = SingleAcquisition(r).seconds;
      break;
    case RunMethod::kFile:
      break;
  }
  if (r.max_seconds && plan.seconds > *r.max_seconds) {
    plan.error = std::string(r.method == RunMethod::kRecord || r.method == RunMethod::kCross ? "the capture"
                                                                                             : "the measurement") +
                 " needs about " + FormatDuration(plan.seconds) + ", more than --max-minutes allows; allow more, or " +
                 (r.method == RunMethod::kRecord  ? "give a higher --from or fewer --seconds"
                  : r.method == RunMethod::kCross ? "give fewer --records or --seconds"
                                                  : "use fewer decades or averages");
  }
  return plan;
}

Corrections CheckRun(const RunRequest& r, std::vector<std::string>* warnings) {
  if (r.method == RunMethod::kCross) CheckCross(r);
  if (r.method == RunMethod::kSweep || r.method == RunMethod::kRecord || r.method == RunMethod::kCross) {
    const RunPlan plan = PlanRun(r);
    if (!plan.error.empty()) {
      throw RunError(ErrorKind::kUsage, plan.error + (plan.sweep_within ? "; use the time record below that" : ""));
    }
  }
  if (r.method != RunMethod::kRecord && r.method != RunMethod::kCross && r.method != RunMethod::kFile &&
      r.formats.npy) {
    throw RunError(ErrorKind::kUsage, "--format npy keeps the raw records of a capture; the instrument's FFT has none");
  }
  CheckOutputPrefix(r.out_prefix);
  if (r.method == RunMethod::kFile)
    CheckReadableFile(r.file.path.size() > 4 && IsNpy(r.file.path) && !std::filesystem::exists(r.file.path)
                          ? r.file.path.substr(0, r.file.path.size() - 4) + ".1.npy"
                          : r.file.path);
  Corrections c = LoadCorrections(r.corrections);
  if (c.floor && r.method != RunMethod::kFile && r.method != RunMethod::kFft) {
    const std::string mismatch = FloorMismatch(*c.floor, PlannedSpectrum(r));
    if (!mismatch.empty() && !r.floor_any) {
      throw RunError(ErrorKind::kUsage, "the floor " + c.floor_file + " does not match this run: " + mismatch +
                                            "; measure the floor with the same settings, or give --floor-any");
    }
  }
  (void)warnings;
  return c;
}

RunResult RunNoise(const RunRequest& r, InstrumentChannel& channel, const RunSinks& sinks) {
  RunResult result;
  try {
    result.corrections = CheckRun(r, &result.warnings);
  } catch (const RunError& e) {
    result.error = e;
    return result;
  }
  if (r.method != RunMethod::kFile) {
    const RunPlan plan = PlanRun(r);
    if (sinks.plan && !plan.text.empty()) sinks.plan(plan.text);
  }
  Measured m;
  // The raw records outlive the measurement: the run's files take them, or a later save.
  std::shared_ptr<RecordFiles> files;
  try {
    if (r.method == RunMethod::kFile) {
      m = IsNpy(r.file.path) ? ReadRecordFiles(r) : ReadSpectrumFile(r, result.warnings);
      m.spectrum.source_file = r.file.path;
      // A file's settings are known only once it is read.
      if (result.corrections.floor && !r.floor_any) {
        const std::string mismatch = FloorMismatch(*result.corrections.floor, m.spectrum);
        if (!mismatch.empty()) {
          throw RunError(ErrorKind::kUsage, "the floor " + result.corrections.floor_file +
                                                " does not match this run: " + mismatch +
                                                "; measure the floor with the same settings, or give --floor-any");
        }
      }
    } else {
      WholeLineChannel lines(channel);
      if (sinks.note) sinks.note("connecting to " + r.addr + ":" + std::to_string(5555));
      const Queried<std::string> idn = OpenInstrument(lines, r.addr);
      if (!idn.ok()) throw RunError(ErrorKind::kInstrument, idn.message);
      if (r.cancel && r.cancel->load()) throw RunError(ErrorKind::kInterrupted, "cancelled");
      const CancellablePauses pauses(r.cancel);
      if (r.method == RunMethod::kRecord) {
        if (r.formats.npy || r.keep_records) {
          files = std::make_shared<RecordFiles>(r.keep_records ? std::string() : r.out_prefix);
        }
        m = MeasureRecord(r, lines, sinks, files.get());
      } else if (r.method == RunMethod::kCross) {
        if (r.formats.npy || r.keep_records) {
          files = std::make_shared<RecordFiles>(r.keep_records ? std::string() : r.out_prefix, 2);
        }
        m = MeasureCross(r, lines, sinks, files.get());
      } else {
        m = MeasureFft(r, lines, sinks);
      }
      const std::string date = RunDateNow();
      m.spectrum.idn = idn.value;
      m.spectrum.addr = r.addr;
      m.spectrum.date = date;
    }
  } catch (const RunError& e) {
    m.error = e;
    m.measured = false;
  }
  const bool stopped = m.error.has_value();
  result.status = !stopped                                                    ? RunStatus::kDone
                  : m.cancelled || m.error->kind() == ErrorKind::kInterrupted ? RunStatus::kCancelled
                                                                              : RunStatus::kFailed;
  m.cancelled = result.status == RunStatus::kCancelled;
  result.error = m.error;
  Finish(r, sinks, m, result, stopped);
  if (files && r.keep_records) {
    result.records = files->Paths();
    result.record_files = files;
  }
  if (files && !files->Problem().empty() && result.files.problem.empty() && !r.keep_records) {
    result.files.problem = files->Problem();
  }
  StoreRun(r, result);
  return result;
}

RunResult RunNoise(const RunRequest& request, const RunSinks& sinks) {
  // A file needs no instrument: a channel that is never opened.
  class NoChannel final : public InstrumentChannel {
   public:
    void SendCommand(std::string_view) override {}
    int ReceiveWithTimeout(char*, unsigned, int) override { return -1; }
    bool Open(const std::string&) override { return false; }
  } none;
  return RunNoise(request, none, sinks);
}

}  // namespace qvx
