#pragma once
// The main window: its controls, its working state, and the binding of each event
// to its handler. The handlers' logic lives in link/, setup/ and spectrum/.
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "core/log_sink.h"
#include "core/working_state.h"
#include "spectrum/chart_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace qvx {

class ChartMenu;
class ChartView;
class SocketChannel;

class TForm1 : public QWidget, private WorkingState {
  Q_OBJECT

 public:
  // The window talks through `channel` (the process-wide instrument link by default).
  explicit TForm1(QWidget* parent = nullptr, SocketChannel* channel = nullptr);
  ~TForm1() override;

  // Handlers, named after control and event.
  void BtnConnectClick();
  void BtnIDNClick();
  void BtnAxisReasdClick();
  void BtnSetFFTClick();
  void BtnGetFFTDataClick();
  void BtnClipBoradClick();
  void CmbMoveAveChange();
  void ChkYAutoClick();
  void EditStartfKeyPress(char& key);
  void EditEndfKeyPress(char& key);
  void EditAveKeyPress(char& key);
  void EditYMinKeyPress(char& key);
  void EditYMaxKeyPress(char& key);

  // Operations the handlers share.
  void SendCommand(const std::string& command);
  std::string QueryInstrument(const std::string& command);
  void ReadStatus();
  double CalcRbw();
  void FetchTrace();
  void PlotSpectrum();
  void ApplyYRange();

  // Read access for tests and the chart.
  const WorkingState& State() const { return *this; }
  const ChartModel& Chart() const { return chart_; }
  std::vector<std::string> LogLines() const;
  SocketChannel& Channel() const { return *channel_; }
  // The chart's context menu.
  ChartMenu* ChartContextMenu() const { return chartMenu_; }
  // While the measurement window measures, the controls that talk to the instrument are
  // disabled, so one conversation with it happens at a time.
  void SetInstrumentBlocked(bool blocked);

  // Controls (public so tests and the layout checks can reach them).
  QLabel* Label5 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QPushButton* BtnConnect = nullptr;
  QPushButton* BtnIDN = nullptr;
  QPlainTextEdit* MemLog = nullptr;
  QPushButton* BtnAxisReasd = nullptr;
  QPushButton* BtnGetFFTData = nullptr;
  QPushButton* BtnSetFFT = nullptr;
  ChartView* Chart1 = nullptr;
  QCheckBox* ChkFreqList = nullptr;
  QPushButton* BtnClipBorad = nullptr;
  QLineEdit* EditStartf = nullptr;
  QLineEdit* EditEndf = nullptr;
  QLineEdit* EditAve = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QComboBox* CmbMoveAve = nullptr;
  QLineEdit* EditYMax = nullptr;
  QLineEdit* EditYMin = nullptr;
  QCheckBox* ChkYAuto = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void BindEvents();
  void FormCreate();
  void FormDestroy();
  void Log(const std::string& line);
  LogSink MemLogSink();
  void SyncChart();
  template <typename Handler>
  void Run(Handler&& handler);

  std::unique_ptr<TIniFile> IniFile;
  SocketChannel* channel_;
  ChartModel chart_;
  ChartMenu* chartMenu_ = nullptr;  // a child of the window
};

// The one window of the process.
extern TForm1* Form1;

// The process-wide instrument link: one socket, one address.
SocketChannel& InstrumentLink();

// Text of a line edit as the handlers see it: for a box seeded from the settings file,
// the loaded bytes while it still shows them (they need not be UTF-8).
std::string TextOf(const QLineEdit* edit);

}  // namespace qvx
