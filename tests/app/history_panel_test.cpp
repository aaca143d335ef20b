// The measurement window's History: the runs of the store [STORE] DB= names, filtered,
// drawn over each other, one's report, and its files written again.
#include <QAbstractSeries>
#include <QChart>
#include <QChartView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <cmath>

#include "analysis/noise_files.h"
#include "app/chart_menu.h"
#include "app/history_panel.h"
#include "app/noise_window.h"
#include "gui_support/window_fixture.h"
#include "run/run.h"

namespace qvx {
namespace {

using HistoryPanelTest = test::WindowFixture;

// An analysis of a file, kept in `db` under `serial`.
RunResult StoredAnalysis(const std::string& db, const std::string& serial) {
  RunRequest r;
  r.method = RunMethod::kFile;
  r.file.path = "in.csv";
  r.store.enabled = true;
  r.store.location = db;
  r.store.serial = serial;
  return RunNoise(r, {});
}

TEST_F(HistoryPanelTest, ListsFiltersOverlaysShowsAndExportsTheStoresRuns) {
  NoiseSpectrum s;
  for (double f = 1; f < 1e5; f *= 1.05) s.points.push_back({f, 30 * std::sqrt(1 + 100 / f), 0, 0, 32});
  SetFftWindow(s, HannWindow());
  dir_.Write("in.csv", WriteNoiseCsv(s));
  const RunResult first = StoredAnalysis("lab.sqlite", "0412");
  const RunResult second = StoredAnalysis("lab.sqlite", "0413");
  ASSERT_TRUE(first.stored_id && second.stored_id) << (first.store_error ? first.store_error->what() : "");
  dir_.Write("QVX71CONT.INI", test::IniText({"[QVX71]", "ADDR=127.0.0.253", "[STORE]", "DB=lab.sqlite"}));

  auto form = Open();
  form->ChartContextMenu()->NoiseMeasurement->trigger();
  NoiseMeasurementWindow* window = form->ChartContextMenu()->MeasurementWindow();
  ASSERT_NE(window, nullptr);
  HistoryPanel* history = window->History;
  EXPECT_EQ(history->Location(), "lab.sqlite");
  ASSERT_EQ(history->Runs->rowCount(), 2);
  history->Serial->setText("0412");
  history->BtnRefresh->click();
  ASSERT_EQ(history->Runs->rowCount(), 1);
  EXPECT_EQ(history->Runs->item(0, 5)->text(), "0412");
  history->Serial->clear();
  history->BtnRefresh->click();

  history->Runs->selectAll();
  ASSERT_TRUE(history->BtnOverlay->isEnabled());
  history->BtnOverlay->click();
  QStringList names;
  for (QAbstractSeries* series : window->Plot->chart()->series()) names << series->name();
  EXPECT_TRUE(names.contains("#1 0412") && names.contains("#2 0413")) << names.join(", ").toStdString();

  history->Runs->clearSelection();
  history->Runs->selectRow(1);  // newest first: run 1
  history->BtnReport->click();
  EXPECT_EQ(window->Report->toPlainText().toStdString(), first.summary);

  const SaveFileChooser previous =
      SetSaveFileChooser([&](const SaveRequest&) { return QString::fromStdString(dir_.Path() + "/again.json"); });
  history->BtnExport->click();
  SetSaveFileChooser(previous);
  EXPECT_EQ(dir_.Read("again.json"), first.json);
  EXPECT_EQ(dir_.Read("again.csv"), WriteNoiseCsv(first.finished->spectrum));
  EXPECT_GT(dir_.Read("again.png").size(), 10000u);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

}  // namespace
}  // namespace qvx
