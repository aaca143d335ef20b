#include "app/chart_menu.h"

#include <QAction>
#include <QApplication>
#include <QByteArray>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPoint>
#include <QRegularExpression>
#include <utility>

#include "analysis/noise_analysis.h"
#include "analysis/noise_files.h"
#include "app/application.h"
#include "app/noise_report.h"
#include "app/noise_window.h"
#include "app/tform1.h"
#include "core/conversions.h"
#include "core/errors.h"
#include "plot/noise_plot.h"
#include "plot/chart_view.h"
#include "spectrum/filters.h"

namespace qvx {
namespace {

// "SVG image (*.svg)" -> "svg".
QString SuffixOf(const QString& nameFilter) {
  static const QRegularExpression pattern(QStringLiteral("\\*\\.(\\w+)"));
  return pattern.match(nameFilter).captured(1);
}

// Qt's own dialog rather than the desktop's, so it behaves the same everywhere.
QString AskWithQtDialog(const SaveRequest& request) {
  QFileDialog dialog(QApplication::activeWindow(), request.caption);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters(request.nameFilters);
  dialog.setDefaultSuffix(SuffixOf(request.nameFilters.value(0)));
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                   [&dialog](const QString& filter) { dialog.setDefaultSuffix(SuffixOf(filter)); });
  const QFileInfo suggested(request.defaultPath);
  dialog.setDirectory(suggested.absolutePath());
  dialog.selectFile(suggested.fileName());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

SaveFileChooser& Chooser() {
  static SaveFileChooser chooser;
  return chooser;
}

// "spectrum-20250101-120000.png" in the working directory.
QString DefaultPath(const char* suffix) {
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  return QDir::current().filePath(QStringLiteral("spectrum-%1.%2").arg(stamp, QLatin1String(suffix)));
}

// `what` names the file and the reason: "/data/x.csv: Permission denied".
[[noreturn]] void ThrowCannotSave(const QString& what) {
  throw Exception(QStringLiteral("Cannot save %1").arg(what).toStdString());
}

// The averaging count the box held; 0 when it is not an integer.
int AverageCount(const std::string& text) {
  try {
    return StrToInt(text);
  } catch (const EConvertError&) {
    return 0;
  }
}

}  // namespace

SaveFileChooser SetSaveFileChooser(SaveFileChooser chooser) { return std::exchange(Chooser(), std::move(chooser)); }

QString AskWhereToSave(const SaveRequest& request) { return Chooser() ? Chooser()(request) : AskWithQtDialog(request); }

ChartMenu::ChartMenu(TForm1& form) : QObject(&form), form_(form) {
  menu_ = new QMenu(&form);
  // Each item runs like any handler: an error ends it in the application's error box.
  auto add = [this](const char* text, auto handler) {
    QAction* action = menu_->addAction(QString::fromUtf8(text));
    connect(action, &QAction::triggered, this,
            [this, handler](bool checked) { RunHandler([&] { (this->*handler)(checked); }); });
    return action;
  };
  CopyImage = add("Copy Image", &ChartMenu::CopyImageClick);
  SaveImage = add("Save Image...", &ChartMenu::SaveImageClick);
  SaveData = add("Save Data...", &ChartMenu::SaveDataClick);
  LogFrequencyAxis = add("Logarithmic Frequency Axis", &ChartMenu::LogFrequencyAxisClick);
  LogFrequencyAxis->setCheckable(true);
  NoiseReport = add("Noise Report...", &ChartMenu::NoiseReportClick);
  // Noise is read log-log; the items before keep their places.
  LogLevelAxis = add("Logarithmic Level Axis", &ChartMenu::LogLevelAxisClick);
  LogLevelAxis->setCheckable(true);
  // A key that types nothing: a Ctrl+letter would reach the number boxes.
  NoiseMeasurement = add("Noise Measurement...", &ChartMenu::NoiseMeasurementClick);
  NoiseMeasurement->setShortcut(QKeySequence(Qt::Key_F5));
  NoiseMeasurement->setShortcutVisibleInContextMenu(true);
  form.addAction(NoiseMeasurement);
}

NoiseMeasurementWindow* ChartMenu::MeasurementWindow() const { return measurement_.data(); }

void ChartMenu::NoiseMeasurementClick(bool) {
  if (!measurement_) measurement_ = new NoiseMeasurementWindow(form_);
  measurement_->show();
  measurement_->raise();
  measurement_->activateWindow();
}

void ChartMenu::Popup(const QPoint& globalPos) { menu_->popup(globalPos); }

void ChartMenu::ApplyStoredLogAxis(bool on) {
  LogFrequencyAxis->setChecked(on);
  form_.Chart1->SetLogFrequencyAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::ApplyStoredLogLevelAxis(bool on) {
  LogLevelAxis->setChecked(on);
  form_.Chart1->SetLogLevelAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::LogLevelAxisClick(bool on) {
  logLevelAxisUsed_ = true;
  form_.Chart1->SetLogLevelAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::CopyImageClick(bool) { QApplication::clipboard()->setImage(form_.Chart1->grab().toImage()); }

void ChartMenu::SaveImageClick(bool) {
  const QString path = AskWhereToSave({QStringLiteral("Save Image"),
                                       DefaultPath("png"),
                                       {QStringLiteral("PNG image (*.png)"), QStringLiteral("SVG image (*.svg)")}});
  if (path.isEmpty()) return;
  QString error;
  if (!SaveChartImage(*form_.Chart1->chart(), path, form_.Chart1->size(), &error)) ThrowCannotSave(error);
}

// The rows are the chart's: the levels through the selected video filter, the true
// density beside each. With no filter selected the chart shows nothing; the file then
// holds the levels as measured rather than nothing.
void ChartMenu::SaveDataClick(bool) {
  const QString path =
      AskWhereToSave({QStringLiteral("Save Data"), DefaultPath("csv"), {QStringLiteral("CSV file (*.csv)")}});
  if (path.isEmpty()) return;
  std::array<double, SPEC_POINTS> levels = LevelsOf(TraceState().SpecData);
  const int filter = form_.CmbMoveAve->currentIndex();
  ResetAllFilters();
  for (double& level : levels) FilterLevel(filter, level, level);
  const std::string filterName = filter > 0 ? form_.CmbMoveAve->currentText().toStdString() : std::string();
  QString error;
  if (!SaveWholeFile(path, QByteArray::fromStdString(WriteNoiseCsv(TraceSpectrum(levels, filterName))), &error)) {
    ThrowCannotSave(error);
  }
}

void ChartMenu::LogFrequencyAxisClick(bool on) {
  logAxisUsed_ = true;
  form_.Chart1->SetLogFrequencyAxis(on);
  form_.Chart1->Render(form_.Chart());
}

void ChartMenu::NoiseReportClick(bool) {
  if (!report_) report_ = new NoiseReportWindow(&form_);
  RefreshReport();
  report_->show();
  report_->raise();
  report_->activateWindow();
}

void ChartMenu::TraceArrived() {
  trace_ = form_.State();
  traceAverages_ = AverageCount(TextOf(form_.EditAve));
  if (report_ && report_->isVisible()) RefreshReport();
}

// The report reads the levels as measured: a video filter smooths for the eye, and a
// running median reads noise low.
void ChartMenu::RefreshReport() {
  const NoiseSpectrum spectrum = TraceSpectrum(LevelsOf(TraceState().SpecData), "");
  report_->SetReportText(NoiseReportText(spectrum, AnalyzeNoise(spectrum, {})));
}

const WorkingState& ChartMenu::TraceState() const { return trace_ ? *trace_ : form_.State(); }

// Hann, which Set Param selects.
NoiseSpectrum ChartMenu::TraceSpectrum(const std::array<double, SPEC_POINTS>& levels, const std::string& filter) const {
  return SpectrumFromWindow(TraceOf(TraceState()), levels, HannWindow(), trace_ ? traceAverages_ : 0, filter);
}

}  // namespace qvx
