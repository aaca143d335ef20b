#include "report/run_report.h"

#include <QByteArray>
#include <QChart>
#include <QSize>
#include <QString>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

#include "analysis/noise_files.h"
#include "core/conversions.h"
#include "plot/noise_plot.h"
#include "psd/npy.h"

namespace qvx {
namespace {

constexpr int kImageWidth = 1200;
constexpr int kImageHeight = 800;

std::string WriteImage(const FinishedRun& run, const std::string& path) {
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(BuildNoiseChart(run.spectrum, run.report));
  QString error;
  if (!SaveChartImage(*chart, QString::fromStdString(path), QSize(kImageWidth, kImageHeight), &error))
    return WriteProblem(path, error.toStdString());
  return {};
}

std::string WriteLfImage(const LfFigures& lf, const std::string& path) {
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(
      BuildLfChart(lf.first_window_v, lf.rate_hz,
                   QString::fromStdString("the first 10 s window after settling; rms " + FormatVolts(lf.rms_nv * 1e-9) +
                                          ", " + FormatVolts(6.6 * lf.rms_nv * 1e-9) + " p-p (6.6 x rms)")));
  QString error;
  if (!SaveChartImage(*chart, QString::fromStdString(path), QSize(kImageWidth, kImageHeight / 2), &error))
    return WriteProblem(path, error.toStdString());
  return {};
}

}  // namespace

std::string WriteProblem(const std::string& path, const std::string& error) {
  if (QString::fromStdString(error).contains(QStringLiteral("No space left"), Qt::CaseInsensitive)) {
    return "cannot write " + path + ": the disk is full";
  }
  return "cannot write " + path + " (" + error + "); check the folder and its permissions";
}

void FailReport(int code, std::string message) { throw ReportError{code, std::move(message)}; }

std::string ReadWholeFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    FailReport(kExitUsage, "cannot read " + path + ": it is a folder; give a file");
  std::ifstream file(path, std::ios::binary);
  if (!file) FailReport(kExitUsage, "cannot read " + path + "; check the name");
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    FailReport(kExitUsage, "cannot read " + path + "; check that it is a file you may read");
  }
  return text;
}

Corrections LoadCorrections(const CorrectionFiles& files) {
  Corrections c;
  c.gain = files.gain;
  if (!files.gain_file.empty()) {
    const CurveRead read = ReadCurve(ReadWholeFile(files.gain_file), "a gain in dB", false);
    if (!read.ok()) FailReport(kExitData, files.gain_file + ": " + read.error);
    for (const auto& [hz, db] : read.curve.points) {
      if (std::fabs(db) > 300) {
        FailReport(kExitData, files.gain_file + ": a gain of " + ShortestNumber(db) + " dB at " + FormatHz(hz) +
                                  " is beyond any amplifier");
      }
    }
    c.gain.file = read.curve;
    c.gain.source = files.gain_file;
    c.gain.given = true;
  }
  if (!files.floor_file.empty()) {
    FloorRead read = ReadFloorFile(ReadWholeFile(files.floor_file), files.floor_file);
    if (!read.ok()) FailReport(kExitData, files.floor_file + ": " + read.error);
    c.floor = std::move(read.floor);
    c.floor_file = files.floor_file;
  }
  if (!files.limit_file.empty()) {
    const CurveRead read = ReadCurve(ReadWholeFile(files.limit_file), "a density in nV/sqrt(Hz)", true);
    if (!read.ok()) FailReport(kExitData, files.limit_file + ": " + read.error);
    c.limit = read.curve;
    c.limit_file = files.limit_file;
  }
  return c;
}

FinishedRun FinishRun(const NoiseSpectrum& measured, const Corrections& c, const AnalysisRequest& request) {
  FinishedRun run{measured, {}};
  NoiseSpectrum& s = run.spectrum;
  if (c.gain.given || c.floor) ApplyCorrections(s, c.gain, c.floor ? &*c.floor : nullptr);
  NoiseReport& r = run.report;
  r = AnalyzeNoise(s, request);
  if (c.floor) {
    for (const auto& [hz, nv] : c.floor->density_nv.points) r.floor.emplace_back(hz, nv / c.gain.RatioAt(hz, nullptr));
  }
  if (c.limit) {
    r.limit = CheckLimit(r.log_points, *c.limit);
    r.limit->file = c.limit_file;
  }
  return run;
}

std::string WriteWholeFile(const std::string& path, const std::string& content) {
  QString error;
  if (!SaveWholeFile(QString::fromStdString(path), QByteArray::fromStdString(content), &error))
    return WriteProblem(path, error.toStdString());
  return {};
}

std::string WriteRunFiles(const FinishedRun& run, const std::string& prefix, const RunFormats& f,
                          const std::vector<std::vector<float>>* raw) {
  std::string problem;
  auto keep = [&](const std::string& p) {
    if (problem.empty()) problem = p;
  };
  const NoiseSpectrum& s = run.spectrum;
  if (f.npy && raw) {
    for (std::size_t i = 0; i < raw->size(); ++i) {
      const std::string name = raw->size() == 1 ? prefix + ".npy" : prefix + "." + std::to_string(i + 1) + ".npy";
      keep(WriteWholeFile(name, psd::NpyBytes((*raw)[i])));
    }
  }
  if (f.png && s.lf && !s.lf->first_window_v.empty()) keep(WriteLfImage(*s.lf, prefix + "-lf.png"));
  if (f.csv) keep(WriteWholeFile(prefix + ".csv", WriteNoiseCsv(s)));
  if (f.json) keep(WriteWholeFile(prefix + ".json", NoiseJsonText(s, run.report)));
  if (f.png) keep(WriteImage(run, prefix + ".png"));
  if (f.svg) keep(WriteImage(run, prefix + ".svg"));
  return problem;
}

}  // namespace qvx
