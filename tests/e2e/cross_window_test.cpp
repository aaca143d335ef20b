// The measurement window's cross-spectrum against the simulator's two channels: its fields,
// progress record by record, Save, and a cancel that leaves channel 2 off and the instrument
// running.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "analysis/cross_files.h"
#include "app/chart_menu.h"
#include "app/noise_window.h"
#include "e2e/e2e_fixture.h"

namespace qvx::test {
namespace {

using CrossWindow = EndToEnd;

NoiseMeasurementWindow* CrossMethod(TForm1& form, const char* seconds) {
  form.ChartContextMenu()->NoiseMeasurement->trigger();
  NoiseMeasurementWindow* w = form.ChartContextMenu()->MeasurementWindow();
  if (!w) return nullptr;
  w->Method->setCurrentIndex(2);
  w->From->setText("1000");
  w->To->setText("40000");
  w->Seconds->setText(seconds);
  w->Gain->setText("20 dB");
  w->Gain2->setText("10");
  return w;
}

TEST_F(CrossWindow, RunsWithProgressAndSavesTheProgramsFiles) {
  NoiseMeasurementWindow* w = CrossMethod(*form_, "2");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->Method->currentText(), "Cross-spectrum (two channels)");
  EXPECT_TRUE(w->Gain2->isEnabled());
  EXPECT_FALSE(w->GainFile.Path->isEnabled()) << "a gain file is one channel's";
  EXPECT_FALSE(w->FloorFile.Path->isEnabled());
  EXPECT_TRUE(w->Plan->text().contains("both channels")) << w->Plan->text().toStdString();
  w->StartClick();
  EXPECT_TRUE(WaitUntil([&] { return w->Progress->format().startsWith("record "); }, std::chrono::seconds(30)))
      << w->Progress->format().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return w->State() != JobState::kRunning; }, std::chrono::seconds(120)));
  EXPECT_EQ(w->windowTitle(), "Noise Measurement - done") << w->Message->text().toStdString();
  ASSERT_TRUE(w->Run());
  EXPECT_EQ(w->Run()->spectrum.method, kMethodCross);
  const QString report = w->Report->toPlainText();
  EXPECT_TRUE(report.contains("gains x10 (20 dB) and x10 (20 dB)")) << report.toStdString();
  EXPECT_TRUE(report.contains("averages")) << report.toStdString();
  ASSERT_EQ(w->SaveRun(dir_.Path() + "/win.json"), "");
  for (const char* file : {"win.json", "win.csv", "win.png", "win.svg", "win.1.npy"})
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "/" + file)) << file;
  std::ifstream csv(dir_.Path() + "/win.csv");
  std::string header;
  std::getline(csv, header);
  EXPECT_EQ(header, kCrossCsvHeader);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(CrossWindow, CancelTurnsChannelTwoOffAndLeavesTheInstrumentRunning) {
  NoiseMeasurementWindow* w = CrossMethod(*form_, "1000");
  ASSERT_NE(w, nullptr);
  w->StartClick();
  ASSERT_TRUE(WaitUntil([&] { return w->Progress->format().startsWith("record 3"); }, std::chrono::seconds(60)))
      << w->Progress->format().toStdString();
  w->CancelClick();
  ASSERT_TRUE(WaitUntil([&] { return w->State() != JobState::kRunning; }, std::chrono::seconds(5)));
  EXPECT_EQ(w->windowTitle(), "Noise Measurement - cancelled");
  ASSERT_TRUE(WaitUntil([&] { return !sim_->Lines().empty() && sim_->Lines().back() == ":RUN"; }));
  const auto lines = sim_->Lines();
  EXPECT_EQ(lines[lines.size() - 3], ":CHANnel2:DISPlay 0");
  EXPECT_TRUE(w->BtnSave->isEnabled()) << "what was averaged is kept";
}

}  // namespace
}  // namespace qvx::test
