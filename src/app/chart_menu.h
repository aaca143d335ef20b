#pragma once
// The chart's context menu (right button on the chart, or the Menu key while it has the
// focus): the chart as an image, the spectrum as data, a logarithmic frequency axis and
// the noise report. It adds no visible control to the window.
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QAction;
class QMenu;
class QPoint;

namespace qvx {

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

  // Opens the menu at a screen position without waiting for a choice.
  void Popup(const QPoint& globalPos);

  // The stored axis choice; applying it is not a use of the item.
  void ApplyStoredLogAxis(bool on);
  // True once the operator has used "Logarithmic Frequency Axis".
  bool LogAxisUsed() const { return logAxisUsed_; }

 private:
  // Item handlers; `checked` is the item's state after the click (checkable items only).
  void CopyImageClick(bool checked);
  void SaveImageClick(bool checked);
  void SaveDataClick(bool checked);
  void LogFrequencyAxisClick(bool checked);
  void NoiseReportClick(bool checked);

  TForm1& form_;
  QMenu* menu_ = nullptr;
  bool logAxisUsed_ = false;
};

}  // namespace qvx
