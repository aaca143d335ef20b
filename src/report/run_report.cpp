#include "report/run_report.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include "analysis/noise_files.h"
#include "core/errors.h"
#include "core/files.h"
#include "core/text.h"

namespace qvx {

Corrections LoadCorrections(const CorrectionFiles& files) {
  Corrections c;
  c.gain = files.gain;
  auto fail = [](const std::string& file, const std::string& error) {
    throw RunError(ErrorKind::kData, file + ": " + error);
  };
  if (!files.gain_file.empty()) {
    const CurveRead read = ReadCurve(ReadWholeFile(files.gain_file), "a gain in dB", false);
    if (!read.ok()) fail(files.gain_file, read.error);
    for (const auto& [hz, db] : read.curve.points) {
      if (std::fabs(db) > 300) {
        fail(files.gain_file,
             "a gain of " + ShortestNumber(db) + " dB at " + FormatHz(hz) + " is beyond any amplifier");
      }
    }
    c.gain.file = read.curve;
    c.gain.source = files.gain_file;
    c.gain.given = true;
  }
  if (!files.floor_file.empty()) {
    FloorRead read = ReadFloorFile(ReadWholeFile(files.floor_file), files.floor_file);
    if (!read.ok()) fail(files.floor_file, read.error);
    c.floor = std::move(read.floor);
    c.floor_file = files.floor_file;
  }
  if (!files.limit_file.empty()) {
    const CurveRead read = ReadCurve(ReadWholeFile(files.limit_file), "a density in nV/sqrt(Hz)", true);
    if (!read.ok()) fail(files.limit_file, read.error);
    c.limit = read.curve;
    c.limit_file = files.limit_file;
  }
  return c;
}

FinishedRun FinishRun(const NoiseSpectrum& measured, const Corrections& c, const AnalysisRequest& request) {
  return FinishRun(NoiseSpectrum(measured), c, request);
}

FinishedRun FinishRun(NoiseSpectrum&& measured, const Corrections& c, const AnalysisRequest& request) {
  FinishedRun run{std::move(measured), {}};
  NoiseSpectrum& s = run.spectrum;
  // A fresh measurement knows its converter's floor; a file read back holds what was corrected.
  const bool fresh = std::any_of(s.points.begin(), s.points.end(), [](const NoisePoint& p) { return p.quant_nv > 0; });
  // A cross-spectrum is input-referred by both channels' gains as it is estimated.
  const bool cross = s.method == kMethodCross;
  if (!cross && (c.gain.given || c.floor || fresh)) ApplyCorrections(s, c.gain, c.floor ? &*c.floor : nullptr);
  NoiseReport& r = run.report;
  r = AnalyzeNoise(s, request);
  MarkTones(s, r.tones);
  if (c.floor) {
    for (const auto& [hz, nv] : c.floor->density_nv.points) r.floor.emplace_back(hz, nv / c.gain.RatioAt(hz, nullptr));
  }
  if (c.limit) {
    r.limit = CheckLimit(r.log_points, *c.limit);
    r.limit->file = c.limit_file;
  }
  return run;
}

std::vector<std::string> RecordFileNames(const std::string& prefix, std::size_t count) {
  if (count == 1) return {prefix + ".npy"};
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) names.push_back(prefix + "." + std::to_string(i + 1) + ".npy");
  return names;
}

std::string LfCsvText(const LfFigures& lf) {
  std::string out = "time_s,uv\n";
  if (!(lf.rate_hz > 0)) return out;
  for (std::size_t i = 0; i < lf.first_window_v.size(); ++i) {
    out +=
        ShortestNumber(static_cast<double>(i) / lf.rate_hz) + "," + ShortestNumber(lf.first_window_v[i] * 1e6) + "\n";
  }
  return out;
}

WrittenFiles WriteRunFiles(const FinishedRun& run, const std::string& prefix, const RunFormats& f,
                           const std::vector<RecordFile>& records, const RunImages* images,
                           const RunDocuments* documents) {
  WrittenFiles out;
  FileSet set;
  auto keep = [&](const std::string& problem) {
    if (out.problem.empty()) out.problem = problem;
    return out.problem.empty();
  };
  const NoiseSpectrum& s = run.spectrum;
  const bool lf = s.lf && !s.lf->first_window_v.empty();
  const std::vector<std::string> recordNames = RecordFileNames(prefix, records.size());
  std::vector<std::uintmax_t> recordBytes;
  for (const RecordFile& r : records) {
    std::error_code ec;
    recordBytes.push_back(std::filesystem::file_size(r.path, ec));
  }
  if (f.npy) {
    for (std::size_t i = 0; i < records.size() && out.problem.empty(); ++i) {
      keep(set.Adopt(records[i].path, recordNames[i], records[i].move));
    }
  }
  if (out.problem.empty() && f.csv) keep(set.Write(prefix + ".csv", documents ? documents->csv : WriteNoiseCsv(s)));
  if (out.problem.empty() && f.csv && lf) keep(set.Write(prefix + "-lf.csv", LfCsvText(*s.lf)));
  const bool time = s.time && !s.time->allan.empty();
  if (out.problem.empty() && f.csv && time) keep(set.Write(prefix + "-adev.csv", AdevCsvText(*s.time)));
  if (out.problem.empty() && f.json) {
    // The JSON names the record files beside it, so a stale one is never taken for them.
    NoiseSpectrum named = s;
    for (std::size_t i = 0; f.npy && i < records.size() && i < named.records.size(); ++i) {
      named.records[i].file = std::filesystem::path(recordNames[i]).filename().string();
      named.records[i].file_bytes = recordBytes[i];
    }
    keep(set.Write(prefix + ".json", documents ? documents->json : NoiseJsonText(named, run.report)));
  }
  for (const auto& [wanted, suffix] :
       {std::pair{f.png, ".png"}, std::pair{f.svg, ".svg"}, std::pair{f.png && lf, "-lf.png"},
        std::pair{f.png && time, "-adev.png"}, std::pair{f.png && time, "-time.png"}}) {
    if (!wanted || !out.problem.empty()) continue;
    if (!images) {
      keep("cannot draw " + prefix + suffix + ": this program draws no images");
      break;
    }
    std::string problem;
    const std::string temp = set.Reserve(prefix + suffix, &problem);
    if (temp.empty()) {
      keep(problem);
      break;
    }
    const std::string suffixText = suffix;
    problem = suffixText == "-lf.png"     ? images->LowFrequency(run, temp)
              : suffixText == "-adev.png" ? images->AllanDeviation(run, temp)
              : suffixText == "-time.png" ? images->TimeRecord(run, temp)
                                          : images->Spectrum(run, temp);
    if (!problem.empty()) {
      // The adapter names its temporary file; the user knows the target.
      keep("cannot write " + prefix + suffix + " (" + problem + ")");
    }
  }
  if (!out.problem.empty()) return out;
  // Record files of the prefix that this run does not write would pass for its own.
  std::vector<std::string> stale;
  if (f.npy || f.json) {
    stale.push_back(prefix + ".npy");
    std::error_code ec;
    for (int i = 1; std::filesystem::exists(prefix + "." + std::to_string(i) + ".npy", ec); ++i) {
      stale.push_back(prefix + "." + std::to_string(i) + ".npy");
    }
  }
  out.problem = set.Commit(stale);
  if (out.problem.empty()) out.paths = set.Targets();
  return out;
}

}  // namespace qvx
