// The chart's context menu on a real trace from the simulator: the data file against the
// clipboard export, the images, the log axis and the noise report.
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <cmath>
#include <cstring>
#include <sstream>

#include "app/chart_menu.h"
#include "app/noise_report.h"
#include "core/conversions.h"
#include "e2e/e2e_fixture.h"
#include "spectrum/chart_view.h"

namespace qvx::test {
namespace {

// Answers every save dialog with the next name in the test's folder.
class SaveAnswers {
 public:
  explicit SaveAnswers(const TempWorkDir& dir) : dir_(dir) {
    previous_ = SetSaveFileChooser([this](const SaveRequest&) { return QString::fromStdString(dir_.Path() + "/" + next_); });
  }
  ~SaveAnswers() { SetSaveFileChooser(std::move(previous_)); }
  void Next(const std::string& name) { next_ = name; }

 private:
  const TempWorkDir& dir_;
  std::string next_;
  SaveFileChooser previous_;
};

std::vector<std::string> Lines(const std::string& text, const char* end) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(end, start)) != std::string::npos; start = at + std::strlen(end)) {
    lines.push_back(text.substr(start, at - start));
  }
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

class ChartMenuEndToEnd : public EndToEnd {
 protected:
  ChartMenu& Menu() { return *form_->ChartContextMenu(); }

  void Measure() {
    Connect();
    Click(form_->BtnSetFFT);
    Click(form_->BtnGetFFTData);
    ASSERT_TRUE(boxes_.Boxes().empty()) << boxes_.Texts().front();
  }

  void ChooseFilter(int index) {
    form_->CmbMoveAve->setCurrentIndex(index);
    emit form_->CmbMoveAve->activated(index);
  }

  // The number after "White floor" in the open report.
  double ReportedWhiteFloor() {
    const std::string text = Menu().ReportWindow()->Text->toPlainText().toStdString();
    const auto at = text.find("\nWhite floor");
    EXPECT_NE(at, std::string::npos) << text;
    std::istringstream in(text.substr(at + 12));
    double value = 0;
    in >> value;
    return value;
  }

  SaveAnswers answers_{dir_};
};

TEST_F(ChartMenuEndToEnd, SaveDataHoldsTheExportedLevelsAndTheirTrueDensity) {
  Measure();
  const SpectrumBuffer& data = form_->State().SpecData;
  for (int filter : {0, 2, 3, -1}) {
    SCOPED_TRACE(filter);
    ChooseFilter(filter);
    Click(form_->BtnClipBorad);
    const auto exported = Lines(QGuiApplication::clipboard()->text().toStdString(), "\r\n");
    answers_.Next("data.csv");
    Menu().SaveData->trigger();
    const auto rows = Lines(dir_.Read("data.csv"), "\n");
    ASSERT_EQ(rows.size(), 1001u);
    EXPECT_EQ(rows[0], "freq_hz,level_nv,density_nv,flags");
    for (std::size_t i = 0; i < 1000; ++i) {
      const auto f = Fields(rows[i + 1]);
      ASSERT_GE(f.size(), 3u) << rows[i + 1];
      const double level = StrToFloat(f[1]);
      EXPECT_EQ(StrToFloat(f[0]), data[i].Freq);
      // Without a selected filter the export has no levels; the file holds the measured ones.
      if (filter < 0) {
        EXPECT_EQ(level, data[i].Level);
      } else {
        EXPECT_EQ(FormatFloat("0.000", level), exported[i]) << i;
      }
      EXPECT_NEAR(StrToFloat(f[2]), level / std::sqrt(1.5), 1e-9 * std::fabs(level)) << i;
    }
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(ChartMenuEndToEnd, ImagesAndTheLogAxisShowTheTrace) {
  Measure();
  Menu().LogFrequencyAxis->trigger();
  EXPECT_EQ(form_->Chart1->Series()->count(), 999) << "the point at 0 Hz is left out";
  EXPECT_DOUBLE_EQ(form_->Chart1->Series()->at(0).x(), 0.1);

  for (const char* name : {"chart.png", "chart.svg"}) {
    answers_.Next(name);
    Menu().SaveImage->trigger();
  }
  const QImage png(QString::fromStdString(dir_.Path() + "/chart.png"), "PNG");
  EXPECT_GE(png.width(), form_->Chart1->width());
  EXPECT_GE(png.height(), form_->Chart1->height());
  const std::string svg = dir_.Read("chart.svg");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

// A coarse FFT scale puts every point of the trace on the same byte: a constant level.
TEST_F(ChartMenuEndToEnd, TheReportFindsTheFloorOfAConstantTraceAndFollowsNewTraces) {
  form_.reset();
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "ADDR=" + sim_->Address(), "SCALE=1E-5"}));
  form_ = std::make_unique<TForm1>(nullptr, &channel_);
  Measure();
  const SpectrumBuffer& data = form_->State().SpecData;
  int constant = 0;
  for (std::size_t i = 1; i < data.size(); ++i) constant += data[i].Level == data[500].Level;
  ASSERT_GT(constant, 990) << "the trace is not constant";

  Menu().NoiseReport->trigger();
  ASSERT_TRUE(Menu().ReportWindow()->isVisible());
  EXPECT_EQ(Menu().ReportWindow()->windowTitle(), "Noise Report");
  EXPECT_NEAR(ReportedWhiteFloor(), data[500].Level / std::sqrt(1.5), 0.01 * data[500].Level / std::sqrt(1.5));

  // Twice the offset on the instrument doubles the constant level of the next trace.
  sim::SimState state = sim_->State();
  state.fft_offset *= 2;
  sim_->SetState(state);
  const double before = ReportedWhiteFloor();
  Click(form_->BtnGetFFTData);
  EXPECT_NEAR(ReportedWhiteFloor(), 2 * before, 0.02 * before);

  Menu().ReportWindow()->BtnCopy->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), Menu().ReportWindow()->Text->toPlainText());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

}  // namespace
}  // namespace qvx::test
