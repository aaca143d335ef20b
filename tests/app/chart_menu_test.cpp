// The chart's context menu without an instrument: its items, how it opens, the stored
// axis choice, and saving where nothing can be written.
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QRegularExpression>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>

#include "app/chart_menu.h"
#include "gui_support/window_fixture.h"
#include "plot/chart_view.h"

namespace qvx {
namespace {

using ChartMenuTest = test::WindowFixture;

TEST_F(ChartMenuTest, RightButtonOrMenuKeyOpensTheSevenItems) {
  auto form = Open();
  form->show();
  QMenu* menu = form->ChartContextMenu()->Menu();
  QStringList texts;
  for (QAction* action : menu->actions()) texts << action->text();
  EXPECT_EQ(texts, QStringList({"Copy Image", "Save Image...", "Save Data...", "Logarithmic Frequency Axis",
                                "Noise Report...", "Logarithmic Level Axis", "Noise Measurement..."}));
  EXPECT_TRUE(form->ChartContextMenu()->LogFrequencyAxis->isCheckable());
  EXPECT_TRUE(form->ChartContextMenu()->LogLevelAxis->isCheckable());

  const QPoint at(100, 100);
  for (auto [reason, target] : {std::pair{QContextMenuEvent::Mouse, form->Chart1->viewport()},
                                std::pair{QContextMenuEvent::Keyboard, static_cast<QWidget*>(form->Chart1)}}) {
    QContextMenuEvent event(reason, at, target->mapToGlobal(at));
    QCoreApplication::sendEvent(target, &event);
    EXPECT_TRUE(menu->isVisible()) << reason;
    menu->hide();
  }

  form->ChartContextMenu()->CopyImage->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->image().size(), form->Chart1->size());
}

TEST_F(ChartMenuTest, TheAxisChoicesAreStoredOnceUsedAndReadAtStartUp) {
  Open().reset();
  EXPECT_EQ(dir_.Read("QVX71CONT.INI").find("LOG"), std::string::npos) << "not used: the fourteen keys only";
  struct Axis {
    QAction* ChartMenu::*item;
    Qt::Orientation side;
    const char* key;
    const char* title;
  };
  const Axis axes[] = {{&ChartMenu::LogFrequencyAxis, Qt::Horizontal, "LOGX", "Frequency(kHz)"},
                       {&ChartMenu::LogLevelAxis, Qt::Vertical, "LOGY", "nV/\u221AHz"}};
  struct Run {
    bool click;         // the operator uses the item in this run
    bool startsLog;     // from the file
    const char* saved;  // the key's value after exit
  };
  for (const Axis& axis : axes) {
    for (const Run& r : {Run{true, false, "=1"}, {false, true, "=1"}, {true, true, "=0"}}) {
      auto form = Open();
      QAction* item = form->ChartContextMenu()->*axis.item;
      EXPECT_EQ(item->isChecked(), r.startsLog) << axis.key;
      if (r.click) item->trigger();
      QAbstractAxis* shown = form->Chart1->chart()->axes(axis.side).value(0);
      EXPECT_EQ(shown->type(), r.startsLog != r.click ? QAbstractAxis::AxisTypeLogValue : QAbstractAxis::AxisTypeValue);
      EXPECT_EQ(shown->titleText(), QString::fromUtf8(axis.title));
      form.reset();
      EXPECT_NE(dir_.Read("QVX71CONT.INI").find(std::string(axis.key) + r.saved + "\r\n"), std::string::npos)
          << axis.key << r.saved;
    }
  }
}

// Half a file is worse than none: with the process allowed only a few bytes per file the
// save fails, the error box says so, and the good file that was there stays as it was.
TEST_F(ChartMenuTest, AFileThatCannotBeWrittenGivesTheErrorBoxAndKeepsTheOldOne) {
  auto form = Open();
  QString answer;
  std::vector<QString> suggested;
  const SaveFileChooser previous = SetSaveFileChooser([&](const SaveRequest& request) {
    suggested.push_back(request.defaultPath);
    return answer;
  });
  dir_.Write("good.csv", "good");
  answer = QString::fromStdString(dir_.Path() + "/good.csv");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit normal{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &normal), 0);
  rlimit tight{16, normal.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  form->ChartContextMenu()->SaveData->trigger();
  ::setrlimit(RLIMIT_FSIZE, &normal);
  EXPECT_EQ(dir_.Read("good.csv"), "good");
  answer.clear();  // cancelled: nothing happens
  form->ChartContextMenu()->SaveImage->trigger();
  SetSaveFileChooser(previous);

  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].title, "QVX71FFT");
  EXPECT_EQ(boxes_.Boxes()[0].text.rfind("Cannot save " + dir_.Path() + "/good.csv: ", 0), 0u) << boxes_.Texts()[0];
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()), {}), 1) << "no temporary file is left";
  const QString image =
      QRegularExpression::escape(QString::fromStdString(dir_.Path())) + "/spectrum-\\d{8}-\\d{6}\\.png";
  EXPECT_TRUE(QRegularExpression(QRegularExpression::anchoredPattern(image)).match(suggested[1]).hasMatch())
      << suggested[1].toStdString();
}

}  // namespace
}  // namespace qvx
