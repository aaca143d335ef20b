#include "plot/run_images.h"

#include <QChart>
#include <QSize>
#include <QString>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <QtGlobal>

#include "core/text.h"
#include "plot/noise_plot.h"

namespace qvx {
namespace {

constexpr int kImageWidth = 1200;
constexpr int kImageHeight = 800;

std::string Save(QChart& chart, const std::string& path, QSize size) {
  QString error;
  if (!SaveChartImage(chart, QString::fromStdString(path), size, &error)) return error.toStdString();
  return {};
}

}  // namespace

std::string ChartRunImages::Spectrum(const FinishedRun& run, const std::string& path) const {
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(BuildNoiseChart(run.spectrum, run.report));
  return Save(*chart, path, QSize(kImageWidth, kImageHeight));
}

std::string ChartRunImages::LowFrequency(const FinishedRun& run, const std::string& path) const {
  if (!run.spectrum.lf) return "the run has no 0.1-10 Hz figure";
  const LfFigures& lf = *run.spectrum.lf;
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(BuildLfChart(
      lf.first_window_v, lf.rate_hz,
      QString::fromStdString("the first 10 s window after settling; rms " + FormatVolts(lf.rms_nv * 1e-9) + ", " +
                             FormatVolts(6.6 * lf.rms_nv * 1e-9) + " p-p (6.6 x rms)")));
  return Save(*chart, path, QSize(kImageWidth, kImageHeight / 2));
}

std::string ChartRunImages::AllanDeviation(const FinishedRun& run, const std::string& path) const {
  if (!run.spectrum.time) return "the run has no time record";
  EnsureGuiApplication();
  const TimeRecordFigures& t = *run.spectrum.time;
  std::unique_ptr<QChart> chart(BuildAllanChart(
      t, run.report.fit.white_nv, run.report.fit.corner_hz,
      QString::fromStdString(FormatSeconds(t.seconds) + " at " + FormatSignificant(t.fs_hz, 4) + " Sa/s" +
                             (run.spectrum.input_referred ? ", input-referred" : ""))));
  return Save(*chart, path, QSize(kImageWidth, kImageHeight));
}

std::string ChartRunImages::TimeRecord(const FinishedRun& run, const std::string& path) const {
  if (!run.spectrum.time) return "the run has no time record";
  EnsureGuiApplication();
  const TimeRecordFigures& t = *run.spectrum.time;
  std::string caption = FormatSeconds(t.seconds) + " in " + std::to_string(t.envelope.size()) + " blocks";
  if (t.bursts.detected) caption += "; bursts (B) of " + FormatVolts(t.bursts.amplitude_v) + " at " +
                                    FormatSignificant(t.bursts.rate_hz, 3) + " switches/s";
  std::unique_ptr<QChart> left(BuildTimeChart(t, QString::fromStdString(caption)));
  std::unique_ptr<QChart> right(BuildHistogramChart(t));
  QString error;
  if (!SaveChartPairImage(*left, *right, 0.75, QString::fromStdString(path), QSize(kImageWidth, kImageHeight / 2),
                          &error)) {
    return error.toStdString();
  }
  return {};
}

std::string SaveOverlayImage(const std::vector<OverlayRun>& runs, const std::vector<std::pair<double, double>>& mask,
                             const std::string& caption, const std::string& path) {
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(BuildOverlayChart(runs, mask, QString::fromStdString(caption)));
  const std::string problem = Save(*chart, path, QSize(kImageWidth, kImageHeight));
  return problem.empty() ? problem : "cannot write " + path + " (" + problem + "); check the folder and its permissions";
}

namespace {
const char* g_program = "";
void QuietHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << g_program << ": " << message.toStdString() << "\n";
}
}  // namespace

void QuietChartMessages(const char* program) {
  g_program = program;
  if (!std::getenv("QVX_QT_MESSAGES")) qInstallMessageHandler(QuietHandler);
}

}  // namespace qvx
