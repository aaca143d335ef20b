#pragma once
// The chart's context menu (right button on the chart, or the Menu key while it has the
// focus): the chart as an image, the spectrum as data, a logarithmic frequency axis and
// the noise report. It adds no visible control to the window.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "analysis/noise_spectrum.h"
#include "core/working_state.h"

class QAction;
class QMenu;
class QPoint;

namespace qvx {

class NoiseMeasurementWindow;
class NoiseReportWindow;
class TForm1;

// What a save dialog asks for.
struct SaveRequest {
  QString caption;
  QString defaultPath;      // a name in the working directory
  QStringList nameFilters;  // "PNG image (*.png)", ...; the first one's suffix is added to a bare name
};

// Asks where to save; an empty result means the operator cancelled. Tests replace it with
// a function that answers at once; an empty function restores Qt's own dialog.
using SaveFileChooser = std::function<QString(const SaveRequest& request)>;
SaveFileChooser SetSaveFileChooser(SaveFileChooser chooser);
// Asks with the chooser that is set.
QString AskWhereToSave(const SaveRequest& request);

class ChartMenu : public QObject {
  Q_OBJECT

 public:
  explicit ChartMenu(TForm1& form);

  // Built once; tests inspect it and trigger its actions without opening it.
  QMenu* Menu() const { return menu_; }
  QAction* CopyImage = nullptr;
  QAction* SaveImage = nullptr;
  QAction* SaveData = nullptr;
  QAction* LogFrequencyAxis = nullptr;
  QAction* NoiseReport = nullptr;
  QAction* LogLevelAxis = nullptr;
  QAction* NoiseMeasurement = nullptr;  // F5 anywhere in the window as well

  // Opens the menu at a screen position without waiting for a choice.
  void Popup(const QPoint& globalPos);

  // The stored axis choice; applying it is not a use of the item.
  void ApplyStoredLogAxis(bool on);
  // True once the operator has used "Logarithmic Frequency Axis".
  bool LogAxisUsed() const { return logAxisUsed_; }
  // The same for "Logarithmic Level Axis".
  void ApplyStoredLogLevelAxis(bool on);
  bool LogLevelAxisUsed() const { return logLevelAxisUsed_; }

  // A new trace is in the buffer: the report follows it while it is open.
  void TraceArrived();
  // Null until the operator first asks for the report.
  NoiseReportWindow* ReportWindow() const { return report_; }
  // Null while no measurement window is open.
  NoiseMeasurementWindow* MeasurementWindow() const;

 private:
  // Item handlers; `checked` is the item's state after the click (checkable items only).
  void CopyImageClick(bool checked);
  void SaveImageClick(bool checked);
  void SaveDataClick(bool checked);
  void LogFrequencyAxisClick(bool checked);
  void NoiseReportClick(bool checked);
  void LogLevelAxisClick(bool checked);
  void NoiseMeasurementClick(bool checked);

  // The buffer with what is known of how it was measured; `levels` are the buffer's
  // levels or a filtered copy, `filter` names the filter ("" for none).
  NoiseSpectrum TraceSpectrum(const std::array<double, SPEC_POINTS>& levels, const std::string& filter) const;
  const WorkingState& TraceState() const;
  void RefreshReport();

  TForm1& form_;
  QMenu* menu_ = nullptr;
  bool logAxisUsed_ = false;
  bool logLevelAxisUsed_ = false;
  // The state as the last trace left it: the frequencies, RBW and scale that belong to
  // the buffer, even after the boxes or a status read changed the live values.
  std::optional<WorkingState> trace_;
  int traceAverages_ = 0;  // the count the chart's subtitle showed; 0 when not a number
  NoiseReportWindow* report_ = nullptr;
  QPointer<NoiseMeasurementWindow> measurement_;  // deletes itself on close
};

}  // namespace qvx
