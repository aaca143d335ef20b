#pragma once
// The measurement window's History: the runs of the results store, filtered by label, DUT
// and serial; the selected runs drawn over each other on the window's plot, one run's report,
// and its files written again. The store and the files are the run layer's; this is glue.
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QChart;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace qvx {

class HistoryPanel : public QWidget {
  Q_OBJECT

 public:
  explicit HistoryPanel(QWidget* parent = nullptr);

  // The store to show (a SQLite file or a postgresql:// URL); lists it.
  void SetLocation(const std::string& location);
  const std::string& Location() const { return location_; }

  // Lists the runs the filters let through, newest first; says why when the store cannot be
  // read. A store file that is not there yet is not made by looking at it.
  void Refresh();
  std::vector<std::int64_t> SelectedIds() const;

  void OverlayClick();
  void ReportClick();
  void ExportClick();

  // Writes the files of run `id` for `path`: a .json writes the run's CSV, JSON, PNG and SVG
  // under its prefix, another extension that one file. Empty when written, else the problem.
  std::string ExportRun(std::int64_t id, const std::string& path);

  // What the window does with a chart (it takes it) and with a report.
  std::function<void(QChart*)> ShowChart;
  std::function<void(const std::string&)> ShowReport;

  QLineEdit* Label = nullptr;
  QLineEdit* Dut = nullptr;
  QLineEdit* Serial = nullptr;
  QPushButton* BtnRefresh = nullptr;
  QTableWidget* Runs = nullptr;
  QPushButton* BtnOverlay = nullptr;
  QPushButton* BtnReport = nullptr;
  QPushButton* BtnExport = nullptr;
  QLabel* Status = nullptr;

 private:
  void SetStatus(const std::string& text, bool error);
  void UpdateButtons();

  std::string location_;
};

}  // namespace qvx
