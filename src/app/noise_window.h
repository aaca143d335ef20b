#pragma once
// The "Noise Measurement" window: a whole measurement from the desktop (the time record or
// the instrument's FFT sweep, gain, floor and limit), run on a worker thread with its own
// connection, with progress, cancel, a live log-log plot, the report and the run's files.
// Its logic lives in job/, report/ and settings/; this is the glue.
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job/noise_job.h"
#include "report/run_report.h"
#include "settings/noise_settings.h"

class QChartView;
class QChart;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimer;

namespace qvx {

class HistoryPanel;
class TForm1;

inline constexpr const char* kNoiseWindowTitle = "Noise Measurement";

class NoiseMeasurementWindow : public QWidget {
  Q_OBJECT

 public:
  // A window of its own that closes with `form`; reads [NOISE] of the settings file.
  explicit NoiseMeasurementWindow(TForm1& form);
  ~NoiseMeasurementWindow() override;

  // A file field: the path, a chooser and a clear button.
  struct FileField {
    QLineEdit* Path = nullptr;
    QPushButton* Choose = nullptr;
    QPushButton* Clear = nullptr;
  };

  QComboBox* Method = nullptr;  // "Time record", "Instrument FFT sweep", "Cross-spectrum (two channels)"
  QLineEdit* From = nullptr;
  QLineEdit* To = nullptr;
  QSpinBox* Ppd = nullptr;
  QSpinBox* Averages = nullptr;
  QLineEdit* Seconds = nullptr;
  QComboBox* Averaging = nullptr;  // "mean", "median"
  QLineEdit* Gain = nullptr;
  QLineEdit* Gain2 = nullptr;  // channel 2's, for the cross-spectrum
  FileField GainFile;
  FileField FloorFile;
  FileField LimitFile;
  QPushButton* BtnStart = nullptr;
  QPushButton* BtnCancel = nullptr;
  QPushButton* BtnSave = nullptr;
  QPushButton* BtnCopy = nullptr;
  QLabel* Plan = nullptr;
  QProgressBar* Progress = nullptr;
  QLabel* Message = nullptr;
  // The plot area: the spectrum, the Allan deviation and the record in time (a time record's).
  QTabWidget* PlotTabs = nullptr;
  QChartView* Plot = nullptr;
  QChartView* AllanPlot = nullptr;
  QChartView* TimePlot = nullptr;
  QChartView* HistogramPlot = nullptr;
  QPlainTextEdit* Report = nullptr;
  QTabWidget* Tabs = nullptr;  // the report and the history of the results store
  HistoryPanel* History = nullptr;

  void StartClick();
  void CancelClick();
  void SaveClick();
  void CopyReportClick();

  // Writes the run's files for `path`: a .json writes every file of the run under its
  // prefix, another extension that one file. Empty when written, else what went wrong.
  std::string SaveRun(const std::string& path) const;

  JobState State() const { return state_; }
  const std::optional<FinishedRun>& Run() const { return run_; }
  // The fields as they stand, as [NOISE] keeps them.
  NoiseSettings Fields() const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void SetFields(const NoiseSettings& s);
  void UpdatePlan();
  void UpdateMethod();
  // The request and the corrections of the fields, or what is wrong with them.
  std::optional<RunRequest> Request(std::string& problem) const;
  void Poll();
  void Ended();
  void Show(const NoiseSpectrum& measured, bool final);
  void SetState(JobState state);
  // Shows `chart` in `view`, which owns it from now; the one before is deleted.
  void ShowChart(QChartView* view, QChart* chart);
  void SetMessage(const std::string& text, bool error);
  void WriteSettings();

  TForm1& form_;
  NoiseJob job_;
  QTimer* poll_ = nullptr;
  JobState state_ = JobState::kIdle;
  Corrections corrections_;
  std::string floorWarning_;
  std::optional<FinishedRun> run_;
  // The raw records of the last run, kept for Save as long as this lives.
  std::vector<std::string> records_;
  std::shared_ptr<RecordSink> recordFiles_;
  bool settingsWritten_ = false;
};

}  // namespace qvx
