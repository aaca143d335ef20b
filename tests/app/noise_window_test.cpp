// The measurement window without an instrument: how it opens, its [NOISE] settings, and a
// failure that stays in the window.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "app/chart_menu.h"
#include "app/noise_window.h"
#include "gui_support/window_fixture.h"
#include "settings/ini_file.h"

namespace qvx {
namespace {

using NoiseWindowTest = test::WindowFixture;

NoiseMeasurementWindow* PressF5(TForm1& form) {
  form.show();
  form.activateWindow();
  EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::keyClick(form.EditStartf, Qt::Key_F5);  // even from a number box, which it leaves alone
  return form.ChartContextMenu()->MeasurementWindow();
}

TEST_F(NoiseWindowTest, F5AndTheLastMenuItemOpenOneWindow) {
  auto form = Open();
  QAction* item = form->ChartContextMenu()->Menu()->actions().back();
  EXPECT_EQ(item->text(), "Noise Measurement...");
  EXPECT_EQ(item->shortcut(), QKeySequence(Qt::Key_F5));
  const QString before = form->EditStartf->text();
  NoiseMeasurementWindow* window = PressF5(*form);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Noise Measurement");
  EXPECT_EQ(form->EditStartf->text(), before);
  item->trigger();
  EXPECT_EQ(form->ChartContextMenu()->MeasurementWindow(), window) << "opening again raises the one there is";
}

TEST_F(NoiseWindowTest, SettingsRoundTripWithABadValueFallingBack) {
  dir_.Write("QVX71CONT.INI",
             test::IniText({"[QVX71]", "ADDR=127.0.0.253", "[NOISE]", "METHOD=fft", "FROM=10", "TO=1000", "PPD=many",
                            "AVERAGING=median", "GAIN=40 dB", "LIMITFILE=mask.txt"}));
  auto form = Open();
  form->ChartContextMenu()->NoiseMeasurement->trigger();
  NoiseMeasurementWindow* window = form->ChartContextMenu()->MeasurementWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->Method->currentText(), "Instrument FFT sweep");
  EXPECT_EQ(window->From->text(), "10");
  EXPECT_EQ(window->Ppd->value(), 10);
  EXPECT_EQ(window->Averaging->currentText(), "median");
  EXPECT_EQ(window->Gain->text(), "40 dB");
  EXPECT_EQ(window->LimitFile.Path->text(), "mask.txt");
  EXPECT_TRUE(window->Message->text().contains("PPD=many")) << window->Message->text().toStdString();
  EXPECT_TRUE(boxes_.Boxes().empty());

  window->To->setText("20000");
  window->Seconds->setText("5");
  window->LimitFile.Clear->click();
  window->close();
  const TIniFile ini("./QVX71CONT.INI");
  const std::pair<const char*, const char*> expected[] = {{"METHOD", "fft"},       {"FROM", "10"},     {"TO", "20000"},
                                                          {"PPD", "10"},           {"AVERAGES", "32"}, {"SECONDS", "5"},
                                                          {"AVERAGING", "median"}, {"GAIN", "40 dB"},  {"GAINFILE", ""},
                                                          {"FLOORFILE", ""},       {"LIMITFILE", ""}};
  for (const auto& [key, value] : expected) EXPECT_EQ(ini.ReadString("NOISE", key, "absent"), value) << key;
}

TEST_F(NoiseWindowTest, AFileOfSomeoneWhoNeverOpenedItHasNoNoiseSection) {
  dir_.Write("QVX71CONT.INI", test::IniText({"[QVX71]", "ADDR=127.0.0.253"}));
  Open().reset();
  EXPECT_EQ(dir_.Read("QVX71CONT.INI").find("[NOISE]"), std::string::npos);
}

// Nothing listens at the address: the failure is the window's text, the main window's
// buttons work again, and no error box appears.
TEST_F(NoiseWindowTest, AFailedRunSaysWhyInTheWindow) {
  dir_.Write("QVX71CONT.INI",
             test::IniText({"[QVX71]", "ADDR=127.0.0.253", "[NOISE]", "METHOD=record", "FROM=100", "SECONDS=1"}));
  auto form = Open();
  form->ChartContextMenu()->NoiseMeasurement->trigger();
  NoiseMeasurementWindow* window = form->ChartContextMenu()->MeasurementWindow();
  window->StartClick();
  ASSERT_TRUE(test::WaitUntil([&] { return window->State() != JobState::kRunning; }, std::chrono::seconds(30)));
  EXPECT_EQ(window->windowTitle(), "Noise Measurement - failed");
  EXPECT_TRUE(window->Message->text().startsWith("cannot connect to 127.0.0.253:5555"))
      << window->Message->text().toStdString();
  EXPECT_TRUE(form->BtnConnect->isEnabled());
  EXPECT_TRUE(boxes_.Boxes().empty());
  // A bad field is refused before anything connects.
  window->From->setText("x");
  window->StartClick();
  EXPECT_TRUE(window->Message->text().startsWith("From wants a frequency")) << window->Message->text().toStdString();
}

}  // namespace
}  // namespace qvx
