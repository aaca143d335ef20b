// The chart's context menu without an instrument: its items, how it opens, the stored
// axis choice, and saving where nothing can be written.
#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QImage>
#include <QLogValueAxis>
#include <QMenu>
#include <QRegularExpression>
#include <csignal>
#include <filesystem>
#include <memory>
#include <sys/resource.h>

#include "app/chart_menu.h"
#include "gui_support/window_fixture.h"
#include "spectrum/chart_view.h"

namespace qvx {
namespace {

class ChartMenuTest : public test::WindowFixture {
 protected:
  static QMenu* MenuOf(const TForm1& form) { return form.ChartContextMenu()->Menu(); }
};

TEST_F(ChartMenuTest, RightButtonOrMenuKeyOpensTheFiveItems) {
  auto form = Open();
  form->show();
  QStringList texts;
  for (QAction* action : MenuOf(*form)->actions()) texts << action->text();
  EXPECT_EQ(texts, QStringList({"Copy Image", "Save Image...", "Save Data...", "Logarithmic Frequency Axis",
                                "Noise Report..."}));
  EXPECT_TRUE(form->ChartContextMenu()->LogFrequencyAxis->isCheckable());

  const QPoint inside(100, 100);
  QContextMenuEvent mouse(QContextMenuEvent::Mouse, inside, form->Chart1->viewport()->mapToGlobal(inside));
  QCoreApplication::sendEvent(form->Chart1->viewport(), &mouse);
  EXPECT_TRUE(MenuOf(*form)->isVisible());
  MenuOf(*form)->hide();

  form->Chart1->setFocus();
  QContextMenuEvent key(QContextMenuEvent::Keyboard, inside, form->Chart1->mapToGlobal(inside));
  QCoreApplication::sendEvent(form->Chart1, &key);
  EXPECT_TRUE(MenuOf(*form)->isVisible());
  MenuOf(*form)->hide();
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(ChartMenuTest, TheAxisChoiceIsStoredOnceUsedAndReadAtStartUp) {
  auto form = Open();
  form.reset();
  EXPECT_EQ(dir_.Read("QVX71CONT.INI").find("LOGX"), std::string::npos) << "not used: the fourteen keys only";

  struct Step {
    bool clickFirst;    // use the item in this run
    bool startsLog;     // read at start-up
    const char* saved;  // the key after exit
  };
  const Step steps[] = {{true, false, "LOGX=1"}, {false, true, "LOGX=1"}, {true, true, "LOGX=0"}, {false, false, "LOGX=0"}};
  for (const Step& s : steps) {
    form = Open();
    EXPECT_EQ(form->Chart1->LogFrequencyAxis(), s.startsLog);
    EXPECT_EQ(form->ChartContextMenu()->LogFrequencyAxis->isChecked(), s.startsLog);
    if (s.clickFirst) form->ChartContextMenu()->LogFrequencyAxis->trigger();
    const bool log = s.startsLog != s.clickFirst;
    EXPECT_EQ(form->Chart1->LogFrequencyAxis(), log);
    QAbstractAxis* bottom = form->Chart1->chart()->axes(Qt::Horizontal).value(0);
    EXPECT_EQ(bottom->type(), log ? QAbstractAxis::AxisTypeLogValue : QAbstractAxis::AxisTypeValue);
    EXPECT_EQ(bottom->titleText(), "Frequency(kHz)");
    form.reset();
    EXPECT_NE(dir_.Read("QVX71CONT.INI").find(std::string(s.saved) + "\r\n"), std::string::npos) << s.saved;
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(ChartMenuTest, CopyImagePutsTheChartOnTheClipboard) {
  auto form = Open();
  form->show();
  form->ChartContextMenu()->CopyImage->trigger();
  const QImage image = QGuiApplication::clipboard()->image();
  EXPECT_GE(image.width(), form->Chart1->width());
  EXPECT_GE(image.height(), form->Chart1->height());
}

// Half a file is worse than none: with the process allowed only a few bytes per file,
// every save fails with the error box and the good file that was there stays as it was.
TEST_F(ChartMenuTest, AFileThatCannotBeWrittenGivesTheErrorBoxAndKeepsTheOldOne) {
  auto form = Open();
  form->show();
  ChartMenu& menu = *form->ChartContextMenu();
  QString answer;
  std::vector<SaveRequest> asked;
  const SaveFileChooser previous = SetSaveFileChooser([&](const SaveRequest& request) {
    asked.push_back(request);
    return answer;
  });

  std::signal(SIGXFSZ, SIG_IGN);
  rlimit normal{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &normal), 0);
  struct Case {
    QAction* item;
    const char* name;
  };
  const Case cases[] = {{menu.SaveData, "good.csv"}, {menu.SaveImage, "good.png"}, {menu.SaveImage, "good.svg"}};
  for (const Case& c : cases) {
    dir_.Write(c.name, "good");
    answer = QString::fromStdString(dir_.Path() + "/" + c.name);
    rlimit tight = normal;
    tight.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    c.item->trigger();
    ::setrlimit(RLIMIT_FSIZE, &normal);
    EXPECT_EQ(dir_.Read(c.name), "good") << c.name;
  }
  answer = QString::fromStdString(dir_.Path() + "/no such folder/data.csv");
  menu.SaveData->trigger();
  answer.clear();  // cancelled: nothing happens
  menu.SaveData->trigger();
  menu.SaveImage->trigger();
  SetSaveFileChooser(previous);

  ASSERT_EQ(boxes_.Boxes().size(), 4u);
  for (const auto& box : boxes_.Boxes()) {
    EXPECT_EQ(box.title, "QVX71FFT");
    EXPECT_EQ(box.text.rfind("Cannot save " + dir_.Path() + "/", 0), 0u) << box.text;
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.Path())) ++files;
  EXPECT_EQ(files, 3u) << "no temporary file is left behind";

  ASSERT_EQ(asked.size(), 6u);
  const QRegularExpression defaultName(QStringLiteral("/spectrum-\\d{8}-\\d{6}\\.(png|csv)$"));
  for (const SaveRequest& request : asked) {
    EXPECT_TRUE(defaultName.match(request.defaultPath).hasMatch()) << request.defaultPath.toStdString();
    EXPECT_TRUE(request.defaultPath.startsWith(QString::fromStdString(dir_.Path())));
  }
  EXPECT_TRUE(asked[1].defaultPath.endsWith(".png"));
  EXPECT_TRUE(asked[0].defaultPath.endsWith(".csv"));
}

}  // namespace
}  // namespace qvx
