// Faults the audit of the window found: the chart's automatic range, settings text that
// is not UTF-8, input-method text in the number boxes, Enter on buttons, Tab in the memos.
#include <QApplication>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QValueAxis>
#include <cmath>

#include "gui_support/window_fixture.h"
#include "plot/chart_view.h"

namespace qvx {
namespace {

using WindowAuditTest = test::WindowFixture;

TEST(ChartAutoRange, LeavesOutLevelsThatAreNotFinite) {
  test::GuiApp();
  const double nan = NAN, inf = INFINITY;
  for (const auto& levels : std::vector<std::vector<double>>{{nan, 5, 10}, {5, inf, 10}, {5, 10, -inf}}) {
    ChartView view;
    ChartModel model;
    for (double y : levels) model.AddXY(static_cast<double>(model.Series1.size()), y);
    view.Render(model);
    EXPECT_LE(view.LeftAxis()->min(), 5);
    EXPECT_GE(view.LeftAxis()->max(), 10);
    EXPECT_LT(view.LeftAxis()->max() - view.LeftAxis()->min(), 20);  // false for NaN too
  }
}

// Bytes a Shift-JIS or Latin-1 editor may have left in the file.
TEST_F(WindowAuditTest, TextKeysComeBackByteForByteUnlessTheBoxWasEdited) {
  const std::string ave = "AVE=3\x82\xa0", min = "LVMIN=1\xb5", max = "LVMAX=\xff\xfe";
  dir_.Write("QVX71CONT.INI", test::IniText({"[QVX71]", ave, "[DISP]", min, max}));
  Open().reset();
  for (const auto& line : {ave, min, max}) EXPECT_NE(dir_.Read("QVX71CONT.INI").find(line + "\r\n"), std::string::npos);
  auto form = Open();
  form->EditYMax->setText("50");
  form.reset();
  EXPECT_NE(dir_.Read("QVX71CONT.INI").find("LVMAX=50\r\n"), std::string::npos);
}

TEST_F(WindowAuditTest, InputMethodTextPassesTheNumberFilter) {
  auto form = Open();
  for (QLineEdit* box : {form->EditStartf, form->EditEndf, form->EditAve}) {
    box->clear();
    for (const char* commit : {"1a\xef\xbc\x92-3. \x08", "45"}) {  // a fullwidth 2 among them
      QInputMethodEvent event;
      event.setCommitString(QString::fromUtf8(commit));
      QCoreApplication::sendEvent(box, &event);
    }
    EXPECT_EQ(box->text(), "13.45");
  }
}

TEST_F(WindowAuditTest, EnterPressesTheFocusedButtonAndTabLeavesTheMemos) {
  auto form = Open();
  form->show();
  QApplication::setActiveWindow(form.get());
  QTest::keyClick(form->BtnIDN, Qt::Key_Return);
  QTest::keyClick(form->BtnIDN, Qt::Key_Enter);
  EXPECT_EQ(form->LogLines(), (std::vector<std::string>{"TIMEOUT", "TIMEOUT"}));

  const std::tuple<QPlainTextEdit*, Qt::Key, QWidget*> cases[] = {{form->MemLog, Qt::Key_Tab, form->BtnAxisReasd},
                                                                  {form->MemLog, Qt::Key_Backtab, form->BtnIDN},
                                                                  {form->Memo1, Qt::Key_Tab, form->CmbMoveAve}};
  for (const auto& [memo, key, next] : cases) {
    memo->setFocus();
    QTest::keyClicks(memo, "ab");
    QTest::keyClick(memo, key);
    EXPECT_EQ(QApplication::focusWidget(), next);
    EXPECT_TRUE(memo->toPlainText().endsWith("ab")) << "the memo takes text, but no tab";
  }
}

}  // namespace
}  // namespace qvx
