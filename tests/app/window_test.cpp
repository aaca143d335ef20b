// The window without an instrument: layout, start-up from the settings file, the
// save at exit, the error box and the number boxes' keys. No test here presses Connect.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <clocale>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include "app/tform1.h"
#include "core/errors.h"
#include "gui_support/gui_test.h"
#include "link/socket_channel.h"
#include "plot/chart_view.h"

namespace qvx {
namespace {

using test::ErrorBoxRecorder;
using test::GuiApp;
using test::IniText;
using test::TempWorkDir;

std::vector<std::string> NonBlankLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { GuiApp(); }

  std::unique_ptr<TForm1> Open() { return std::make_unique<TForm1>(nullptr, &channel_); }

  SocketChannel channel_;  // never connected in these tests
  TempWorkDir dir_;
  ErrorBoxRecorder boxes_;
};

TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThem) {
  auto form = Open();
  form->show();
  EXPECT_EQ(form->size(), QSize(799, 515));
  EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "the window must not be resizable";
  EXPECT_EQ(form->pos(), QPoint(727, 382));

  struct Expect {
    QWidget* widget;
    QRect rect;
    QString caption;
    int fontPixels;
  };
  const Expect table[] = {
      {form->Label5, {104, 48, 55, 16}, "Average", 16},
      {form->Label1, {112, 0, 218, 16}, "Start Freq.(Hz)     End Freq.(Hz)", 16},
      {form->Label2, {176, 48, 69, 16}, "Vide Filter", 16},
      {form->Label3, {384, 40, 143, 16}, "Y_Min            Y_MAX", 16},
      {form->BtnConnect, {16, 16, 75, 25}, "Connect", 16},
      {form->BtnIDN, {704, 16, 75, 25}, "BtnIDN", 16},
      {form->MemLog, {608, 96, 185, 417}, "", 13},
      {form->BtnAxisReasd, {600, 16, 89, 25}, "ReadSTAT", 16},
      {form->BtnGetFFTData, {256, 56, 91, 25}, QString::fromUtf8("データ取得"), 16},
      {form->BtnSetFFT, {16, 56, 81, 25}, "Set Param", 16},
      {form->Chart1, {0, 96, 609, 417}, "", 0},
      {form->ChkFreqList, {704, 56, 81, 17}, "FreqList", 16},
      {form->BtnClipBorad, {600, 56, 91, 25}, "To Clipboad", 16},
      {form->EditStartf, {104, 16, 121, 24}, "", 16},
      {form->EditEndf, {232, 16, 121, 24}, "", 16},
      {form->EditAve, {104, 64, 57, 24}, "", 16},
      {form->Memo1, {800, 96, 169, 417}, "", 12},
      {form->CmbMoveAve, {176, 64, 65, 24}, "", 16},
      {form->EditYMax, {472, 56, 73, 24}, "", 16},
      {form->EditYMin, {376, 56, 73, 24}, "", 16},
      {form->ChkYAuto, {376, 16, 97, 17}, "Y Axis Auto", 16},
  };
  for (const auto& e : table) {
    SCOPED_TRACE(e.widget->metaObject()->className());
    EXPECT_EQ(e.widget->geometry(), e.rect);
    if (e.fontPixels) {
      EXPECT_EQ(e.widget->font().pixelSize(), e.fontPixels);
    }
    if (auto* label = qobject_cast<QLabel*>(e.widget)) {
      EXPECT_EQ(label->text(), e.caption);
    }
    if (auto* button = qobject_cast<QAbstractButton*>(e.widget)) {
      EXPECT_EQ(button->text(), e.caption);
    }
  }
  QStringList items;
  for (int i = 0; i < form->CmbMoveAve->count(); ++i) items << form->CmbMoveAve->itemText(i);
  EXPECT_EQ(items, QStringList({"none", "A4", "A8", "M4", "M8"}));
  EXPECT_FALSE(form->CmbMoveAve->isEditable());
  EXPECT_EQ(form->font().pixelSize(), 12);

  // Memo1 takes part in the tab order but is never visible.
  EXPECT_TRUE(form->Memo1->visibleRegion().isEmpty());
  const std::vector<QWidget*> tabOrder = {
      form->BtnConnect, form->BtnIDN,      form->MemLog,       form->BtnAxisReasd, form->BtnGetFFTData, form->BtnSetFFT,
      form->Chart1,     form->ChkFreqList, form->BtnClipBorad, form->EditStartf,   form->EditEndf,      form->EditAve,
      form->Memo1,      form->CmbMoveAve,  form->EditYMax,     form->EditYMin,     form->ChkYAuto};
  for (std::size_t i = 0; i + 1 < tabOrder.size(); ++i) {
    QWidget* next = tabOrder[i]->nextInFocusChain();
    while (next && next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
    // Composite widgets (the combo box) may put a child in between; skip to the next listed one.
    while (next && next != tabOrder[i + 1] && next->parentWidget() != form.get()) next = next->nextInFocusChain();
    EXPECT_EQ(next, tabOrder[i + 1]) << "after tab position " << i;
  }
}

TEST_F(WindowTest, StartsWithDefaultsAndSavesFourteenKeysInOrder) {
  auto form = Open();
  EXPECT_EQ(form->windowTitle().toStdString(), "QVX71 Cotroller addr:192.168.1.21");
  EXPECT_EQ(form->EditStartf->text(), "0");
  EXPECT_EQ(form->EditEndf->text(), "100000");
  EXPECT_EQ(form->EditAve->text(), "32");
  EXPECT_EQ(form->EditYMin->text(), "0");
  EXPECT_EQ(form->EditYMax->text(), "100");
  EXPECT_TRUE(form->ChkYAuto->isChecked());
  EXPECT_FALSE(form->EditYMin->isEnabled());
  EXPECT_FALSE(form->EditYMax->isEnabled());
  EXPECT_FALSE(form->ChkFreqList->isChecked());
  EXPECT_EQ(form->CmbMoveAve->currentIndex(), 0);
  EXPECT_TRUE(form->Chart().LeftAxis.Automatic());
  const WorkingState& s = form->State();
  EXPECT_EQ(s.LvInc, 10);
  EXPECT_EQ(s.Fs, 5e7);
  EXPECT_EQ(s.Rbw, 0);
  EXPECT_EQ(s.FftScale, 1e-8);
  EXPECT_EQ(s.FftOffset, -7e-8);
  EXPECT_EQ(s.TDiv, "0.01");
  EXPECT_EQ(s.Ch1Scale, "0.0002");
  EXPECT_EQ(form->Channel().Address(), "192.168.1.21");
  EXPECT_FALSE(dir_.Exists("QVX71CONT.INI")) << "nothing is saved while the program runs";
  form.reset();

  EXPECT_EQ(NonBlankLines(dir_.Read("QVX71CONT.INI")),
            (std::vector<std::string>{"[QVX71]", "ADDR=192.168.1.21", "OFFSET=-7E-8", "SCALE=1E-8", "START=0",
                                      "END=100000", "TDIV=0.01", "CH1SCALE=0.0002", "AVE=32", "FLIST=0", "[DISP]",
                                      "LVMIN=0", "LVMAX=100", "LVINC=10", "AVE=0", "YAXIAUTO=1"}));
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(WindowTest, StoredSettingsSeedTheWindowAndComeBackInTheirForms) {
  dir_.Write("QVX71CONT.INI",
             IniText({"; lab bench 3", "[qvx71]", "addr=", "START=abc", "END=1.0E5", "TDIV=1e-2", "CH1SCALE=2E-4",
                      "AVE=007", "FLIST=5", "[DISP]", "LVMIN=10", "LVMAX=50", "YAXIAUTO=0", "AVE=0x2", "LVINC=2.5E1"}));
  auto form = Open();
  EXPECT_TRUE(boxes_.Boxes().empty());
  EXPECT_EQ(form->windowTitle().toStdString(), "QVX71 Cotroller addr:");
  EXPECT_EQ(form->State().Addr, "");
  EXPECT_EQ(form->EditStartf->text(), "0");
  EXPECT_EQ(form->EditEndf->text(), "100000");
  EXPECT_EQ(form->EditAve->text(), "007");
  EXPECT_TRUE(form->ChkFreqList->isChecked());
  EXPECT_EQ(form->CmbMoveAve->currentText(), "A8");
  EXPECT_FALSE(form->ChkYAuto->isChecked());
  EXPECT_TRUE(form->EditYMin->isEnabled());
  EXPECT_TRUE(form->EditYMax->isEnabled());
  EXPECT_FALSE(form->Chart().LeftAxis.Automatic());
  EXPECT_EQ(form->Chart().LeftAxis.Minimum(), 10);
  EXPECT_EQ(form->Chart().LeftAxis.Maximum(), 50);
  EXPECT_EQ(form->State().LvInc, 25);
  form.reset();

  const auto lines = NonBlankLines(dir_.Read("QVX71CONT.INI"));
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_EQ(lines.front(), "; lab bench 3");
  for (const char* expected : {"addr=", "START=0", "END=100000", "TDIV=1e-2", "CH1SCALE=2E-4", "AVE=007", "FLIST=1",
                               "LVMIN=10", "LVMAX=50", "YAXIAUTO=0", "AVE=2", "LVINC=25"}) {
    EXPECT_TRUE(has(expected)) << expected;
  }
}

TEST_F(WindowTest, AFilterIndexOutsideTheListSelectsNothingAndIsSavedAsMinusOne) {
  dir_.Write("QVX71CONT.INI", IniText({"[DISP]", "AVE=7"}));
  auto form = Open();
  EXPECT_EQ(form->CmbMoveAve->currentIndex(), -1);
  form.reset();
  const auto lines = NonBlankLines(dir_.Read("QVX71CONT.INI"));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "AVE=-1"), lines.end());
}

// A bad stored value is reported, but the other settings are still applied, so the
// save at exit does not replace the operator's display settings with blanks.
TEST_F(WindowTest, ABadStoredCountIsReportedWithoutLosingTheOtherSettings) {
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "AVE=1.5", "FLIST=1", "[DISP]", "LVMIN=10", "LVMAX=50", "YAXIAUTO=0",
                                       "AVE=3", "LVINC=5"}));
  auto form = Open();
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].title, "QVX71FFT");
  EXPECT_EQ(boxes_.Boxes()[0].text, "'1.5' は整数ではありません.");
  EXPECT_TRUE(form->ChkFreqList->isChecked());
  EXPECT_EQ(form->CmbMoveAve->currentText(), "M4");
  EXPECT_EQ(form->Chart().LeftAxis.Maximum(), 50);
  EXPECT_EQ(form->windowTitle().toStdString(), "QVX71 Cotroller addr:192.168.1.21");
  form.reset();
  const auto lines = NonBlankLines(dir_.Read("QVX71CONT.INI"));
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  for (const char* kept : {"AVE=1.5", "FLIST=1", "LVMIN=10", "LVMAX=50", "YAXIAUTO=0", "AVE=3", "LVINC=5"}) {
    EXPECT_TRUE(has(kept)) << kept;
  }
}

TEST_F(WindowTest, ARefusedStoredRangeIsReportedAndTheRestStillApplies) {
  dir_.Write("QVX71CONT.INI", IniText({"[DISP]", "LVMIN=-20", "LVMAX=-10", "YAXIAUTO=0", "AVE=1", "LVINC=4"}));
  auto form = Open();
  ASSERT_EQ(boxes_.Texts(), std::vector<std::string>{"Axis Maximum Value must be >= Minimum."});
  EXPECT_TRUE(form->EditYMin->isEnabled());
  EXPECT_FALSE(form->Chart().LeftAxis.Automatic());
  EXPECT_EQ(form->State().LvInc, 4);
  EXPECT_EQ(form->CmbMoveAve->currentText(), "A4");

  form.reset();
  boxes_.Clear();
  dir_.Write("QVX71CONT.INI", IniText({"[DISP]", "LVMIN=", "YAXIAUTO=0"}));
  form = Open();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'' は浮動小数点数ではありません."});
}

// Files written before stay readable and the instrument gets "1E-8", not "1,0E-8",
// whatever the operator's number settings say.
TEST_F(WindowTest, NumbersKeepThePointInACommaLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no comma locale installed";
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "END=2.5E4", "SCALE=1.5E-8", "[DISP]", "LVINC=2.5"}));
  auto form = Open();
  EXPECT_EQ(form->EditEndf->text(), "25000");
  EXPECT_EQ(form->State().LvInc, 2.5);
  form.reset();
  std::setlocale(LC_ALL, saved.c_str());
  const auto lines = NonBlankLines(dir_.Read("QVX71CONT.INI"));
  for (const char* expected : {"SCALE=1.5E-8", "LVINC=2.5", "OFFSET=-7E-8"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
}

TEST_F(WindowTest, AnotherWorkingDirectoryHasItsOwnFile) {
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "ADDR=127.0.0.77"}));
  {
    TempWorkDir other;
    auto form = Open();
    EXPECT_EQ(form->windowTitle().toStdString(), "QVX71 Cotroller addr:192.168.1.21");
    form.reset();
    EXPECT_TRUE(other.Exists("QVX71CONT.INI"));
  }
  EXPECT_EQ(dir_.Read("QVX71CONT.INI"), IniText({"[QVX71]", "ADDR=127.0.0.77"}));
}

TEST_F(WindowTest, AReadOnlySettingsFileGivesTheWriteErrorAndStaysAsItWas) {
  const std::string original = IniText({"[QVX71]", "ADDR=127.0.0.78", "END=5000"});
  dir_.Write("QVX71CONT.INI", original);
  ASSERT_EQ(::chmod((dir_.Path() + "/QVX71CONT.INI").c_str(), 0444), 0);
  auto form = Open();
  EXPECT_EQ(form->EditEndf->text(), "5000");
  form.reset();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"./QVX71CONT.INI に書き込めません."});
  EXPECT_EQ(dir_.Read("QVX71CONT.INI"), original);
}

TEST_F(WindowTest, AConversionErrorInAHandlerShowsTheBoxAndTheWindowGoesOn) {
  auto form = Open();
  const WorkingState before = form->State();
  QTest::mouseClick(form->BtnAxisReasd, Qt::LeftButton);  // no connection: every reply is "TIMEOUT"
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].title, "QVX71FFT");
  EXPECT_EQ(boxes_.Boxes()[0].text, "'TIMEOUT' は浮動小数点数ではありません.");
  EXPECT_TRUE(form->LogLines().empty());
  EXPECT_EQ(form->State().Startf, before.Startf);
  EXPECT_EQ(form->State().Endf, before.Endf);
  EXPECT_EQ(form->State().Rbw, before.Rbw);

  QTest::mouseClick(form->BtnIDN, Qt::LeftButton);
  EXPECT_EQ(form->LogLines(), std::vector<std::string>{"TIMEOUT"});
  QTest::mouseClick(form->BtnSetFFT, Qt::LeftButton);
  EXPECT_EQ(form->LogLines(), (std::vector<std::string>{"TIMEOUT", "Initalyze FFT Parameter", "TIMEOUT"}));
}

TEST(ErrorBox, AppendsAPointAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(ErrorBoxText(""), "");
  EXPECT_EQ(ErrorBoxText("done."), "done.");
  EXPECT_EQ(ErrorBoxText("Axis Maximum Value must be >= Minimum"), "Axis Maximum Value must be >= Minimum.");
  EXPECT_EQ(ErrorBoxText("ends with a dash -"), "ends with a dash -");
  EXPECT_EQ(ErrorBoxText("'x' は整数ではありません"), "'x' は整数ではありません.");
}

TEST(ErrorBox, ShowsOurMessagesAndAnEmptyBoxForAnythingElse) {
  GuiApp();
  ErrorBoxRecorder boxes;
  RunHandler([] { throw EConvertError("'a' は整数ではありません"); });
  RunHandler([] { throw std::runtime_error("not ours"); });
  RunHandler([] { throw 42; });
  ASSERT_EQ(boxes.Boxes().size(), 3u);
  EXPECT_EQ(boxes.Boxes()[0].text, "'a' は整数ではありません.");
  EXPECT_EQ(boxes.Boxes()[1].text, "");
  EXPECT_EQ(boxes.Boxes()[2].text, "");
  for (const auto& box : boxes.Boxes()) EXPECT_EQ(box.title, "QVX71FFT");
}

TEST_F(WindowTest, NumberBoxesTakeDigitsPointAndBackspaceOnly) {
  auto form = Open();
  form->show();
  QLineEdit* boxes[] = {form->EditStartf, form->EditEndf, form->EditAve};
  for (QLineEdit* box : boxes) {
    box->clear();
    box->setFocus();
    QTest::keyClicks(box, "-1a2.,5 e+");
    EXPECT_EQ(box->text(), "12.5");
    QTest::keyClick(box, Qt::Key_Backspace);
    EXPECT_EQ(box->text(), "12.");
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);  // Ctrl+A types code 1: swallowed
    QTest::keyClick(box, Qt::Key_Home);
    QTest::keyClick(box, Qt::Key_Delete);
    EXPECT_EQ(box->text(), "2.");
    QTest::keyClick(box, Qt::Key_Right);
    QTest::keyClicks(box, "..");
    EXPECT_EQ(box->text(), "2...") << "points are not counted";
    QTest::keyClick(box, Qt::Key_End);
    QKeyEvent japanese(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("あ"));
    QCoreApplication::sendEvent(box, &japanese);
    EXPECT_EQ(box->text(), "2...");
  }
}

TEST_F(WindowTest, YAxisBoxesFollowTheAutoCheckAndApplyTheMaximumFirst) {
  auto form = Open();
  form->show();
  QTest::mouseClick(form->ChkYAuto, Qt::LeftButton);
  ASSERT_FALSE(form->ChkYAuto->isChecked());
  EXPECT_TRUE(form->EditYMin->isEnabled());
  EXPECT_FALSE(form->Chart().LeftAxis.Automatic());
  EXPECT_EQ(form->Chart().LeftAxis.Minimum(), 0);
  EXPECT_EQ(form->Chart().LeftAxis.Maximum(), 100);

  auto enter = [&](QLineEdit* box, const char* text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
  };
  enter(form->EditYMax, "300");
  enter(form->EditYMin, "200");
  EXPECT_EQ(form->Chart().LeftAxis.Minimum(), 200);
  EXPECT_EQ(form->Chart().LeftAxis.Maximum(), 300);
  EXPECT_TRUE(form->EditYMin->selectedText() == form->EditYMin->text()) << "Enter selects the box's text";

  enter(form->EditYMax, "100");
  enter(form->EditYMin, "0");
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"Axis Maximum Value must be >= Minimum.",
                                                      "Axis Maximum Value must be >= Minimum."}));
  EXPECT_EQ(form->Chart().LeftAxis.Minimum(), 200);
  EXPECT_EQ(form->Chart().LeftAxis.Maximum(), 300);

  QTest::mouseClick(form->ChkYAuto, Qt::LeftButton);
  EXPECT_TRUE(form->Chart().LeftAxis.Automatic());
  EXPECT_FALSE(form->EditYMin->isEnabled());
  const QString before = form->EditYMin->text();
  QTest::keyClicks(form->EditYMin, "9");
  EXPECT_EQ(form->EditYMin->text(), before) << "a disabled box takes no keys";
}

TEST_F(WindowTest, BeforeAnyTraceTheChartAndTheExportShowZeros) {
  auto form = Open();
  form->CmbMoveAve->setCurrentIndex(2);
  emit form->CmbMoveAve->activated(2);
  ASSERT_EQ(form->Chart().Series1.size(), 1000u);
  for (const auto& p : form->Chart().Series1) {
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
  }
  EXPECT_EQ(form->Chart1->Series()->count(), 1000);
  EXPECT_EQ(form->Chart1->SubTitleText().toStdString(), "VF A8\nAve 32\nfs(MHz) 50\nRBW 0.000");

  QTest::mouseClick(form->BtnClipBorad, Qt::LeftButton);
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += "0.000\r\n";
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expected);
  form->ChkFreqList->setChecked(true);
  QTest::mouseClick(form->BtnClipBorad, Qt::LeftButton);
  expected.clear();
  for (int i = 0; i < 1000; ++i) expected += "0.000,0.000\r\n";
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expected);
  EXPECT_TRUE(form->LogLines().empty());
}

}  // namespace
}  // namespace qvx
