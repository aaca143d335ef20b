// Faults the audit of the window found: the chart's automatic range, settings text that
// is not UTF-8, input-method text in the number boxes, Enter on buttons, Tab in the memos.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QValueAxis>
#include <cmath>
#include <limits>
#include <memory>

#include "gui_support/window_fixture.h"
#include "spectrum/chart_view.h"

namespace qvx {
namespace {

using test::GuiApp;
using test::IniText;
using WindowAuditTest = test::WindowFixture;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ChartAutoRange, LeavesOutLevelsThatAreNotFinite) {
  GuiApp();
  const std::vector<std::vector<double>> cases = {
      {kNaN, 5, 10}, {5, kInf, 10}, {5, 10, -kInf}, {kInf, 5, kNaN, 10}};
  for (const auto& levels : cases) {
    ChartView view;
    ChartModel model;
    for (std::size_t i = 0; i < levels.size(); ++i) model.AddXY(static_cast<double>(i), levels[i]);
    view.Render(model);
    const double lo = view.LeftAxis()->min();
    const double hi = view.LeftAxis()->max();
    EXPECT_TRUE(std::isfinite(lo) && std::isfinite(hi)) << lo << " " << hi;
    EXPECT_LE(lo, 5);
    EXPECT_GE(hi, 10);
    EXPECT_LT(hi - lo, 20);
  }
}

// Bytes a Shift-JIS or Latin-1 editor may have left in the file.
TEST_F(WindowAuditTest, TextKeysComeBackByteForByteUnlessTheBoxWasEdited) {
  const std::string ave = "AVE=3\x82\xa0";
  const std::string min = "LVMIN=1\xb5";
  const std::string max = "LVMAX=\xff\xfe";
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", ave, "[DISP]", min, max}));
  auto form = Open();
  EXPECT_EQ(boxes_.Boxes().size(), 1u) << "the count is still not an integer";
  form.reset();
  std::string saved = dir_.Read("QVX71CONT.INI");
  for (const auto& line : {ave, min, max}) EXPECT_NE(saved.find(line + "\r\n"), std::string::npos) << line;

  form = Open();
  form->EditYMax->setText("50");
  form.reset();
  saved = dir_.Read("QVX71CONT.INI");
  EXPECT_NE(saved.find("LVMAX=50\r\n"), std::string::npos);
  EXPECT_NE(saved.find(min + "\r\n"), std::string::npos);
}

TEST_F(WindowAuditTest, InputMethodTextPassesTheNumberFilter) {
  auto form = Open();
  for (QLineEdit* box : {form->EditStartf, form->EditEndf, form->EditAve}) {
    box->clear();
    QInputMethodEvent mixed;
    mixed.setCommitString(QString::fromUtf8("1a\xef\xbc\x92-3. \x08"));  // a fullwidth 2 among them
    QCoreApplication::sendEvent(box, &mixed);
    EXPECT_EQ(box->text(), "13.");
    QInputMethodEvent digits;
    digits.setCommitString("45");
    QCoreApplication::sendEvent(box, &digits);
    EXPECT_EQ(box->text(), "13.45");
  }
}

TEST_F(WindowAuditTest, EnterPressesTheFocusedButton) {
  auto form = Open();
  form->show();
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    form->BtnIDN->setFocus();
    QTest::keyClick(form->BtnIDN, key);
  }
  EXPECT_EQ(form->LogLines(), (std::vector<std::string>{"TIMEOUT", "TIMEOUT"}));
  QTest::keyClick(form->BtnClipBorad, Qt::Key_Return);
  EXPECT_FALSE(form->Memo1->toPlainText().isEmpty());
}

TEST_F(WindowAuditTest, TabLeavesBothMemosWhichStillTakeText) {
  auto form = Open();
  form->show();
  QApplication::setActiveWindow(form.get());
  struct Case {
    QPlainTextEdit* memo;
    Qt::Key key;
    QWidget* next;
  };
  const Case cases[] = {{form->MemLog, Qt::Key_Tab, form->BtnAxisReasd},
                        {form->MemLog, Qt::Key_Backtab, form->BtnIDN},
                        {form->Memo1, Qt::Key_Tab, form->CmbMoveAve}};
  for (const Case& c : cases) {
    c.memo->setFocus();
    QTest::keyClicks(c.memo, "ab");
    QTest::keyClick(c.memo, c.key);
    EXPECT_EQ(QApplication::focusWidget(), c.next) << c.memo->metaObject()->className();
    EXPECT_FALSE(c.memo->toPlainText().contains('\t'));
    EXPECT_TRUE(c.memo->toPlainText().endsWith("ab"));
  }
}

}  // namespace
}  // namespace qvx
