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

#include "app/chart_menu.h"
#include "app/noise_report.h"
#include "core/conversions.h"
#include "e2e/e2e_fixture.h"
#include "plot/chart_view.h"

namespace qvx::test {
namespace {

class ChartMenuEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    // Every save dialog answers with `saveAs_` in the test's folder.
    previous_ =
        SetSaveFileChooser([this](const SaveRequest&) { return QString::fromStdString(dir_.Path() + "/" + saveAs_); });
  }
  void TearDown() override {
    SetSaveFileChooser(std::move(previous_));
    EndToEnd::TearDown();
  }

  ChartMenu& Menu() { return *form_->ChartContextMenu(); }

  void Measure() {
    Connect();
    Click(form_->BtnSetFFT);
    Click(form_->BtnGetFFTData);
    ASSERT_TRUE(boxes_.Boxes().empty()) << boxes_.Texts().front();
  }

  // The number after "White floor" in the open report.
  double ReportedWhiteFloor() {
    const QString text = Menu().ReportWindow()->Text->toPlainText();
    const auto at = text.indexOf("\nWhite floor");
    EXPECT_GE(at, 0) << text.toStdString();
    return text.mid(at + 12).trimmed().section(' ', 0, 0).toDouble();
  }

  std::string saveAs_;
  SaveFileChooser previous_;
};

TEST_F(ChartMenuEndToEnd, SaveDataHoldsTheExportedLevelsAndTheirTrueDensity) {
  Measure();
  const SpectrumBuffer& data = form_->State().SpecData;
  saveAs_ = "data.csv";
  for (int filter : {0, 2, 3, -1}) {
    SCOPED_TRACE(filter);
    form_->CmbMoveAve->setCurrentIndex(filter);
    emit form_->CmbMoveAve->activated(filter);
    Click(form_->BtnClipBorad);
    const QStringList exported = QGuiApplication::clipboard()->text().split("\r\n");
    Menu().SaveData->trigger();
    const QStringList rows = QString::fromStdString(dir_.Read("data.csv")).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 1001);
    // The four columns first; the interval and degrees of freedom follow for unfiltered levels.
    EXPECT_EQ(rows[0], filter > 0 ? "freq_hz,level_nv,density_nv,flags"
                                  : "freq_hz,level_nv,density_nv,flags,ci_lo_nv,ci_hi_nv,dof");
    for (int i = 0; i < 1000; ++i) {
      const QStringList f = rows[i + 1].split(',');
      const double level = f.value(1).toDouble();
      EXPECT_EQ(f[0].toDouble(), data[static_cast<std::size_t>(i)].Freq);
      // Without a selected filter the export has no levels; the file holds the measured ones.
      if (filter < 0) {
        EXPECT_EQ(level, data[static_cast<std::size_t>(i)].Level);
      } else {
        EXPECT_EQ(FormatFloat("0.000", level), exported[i].toStdString()) << i;
      }
      EXPECT_NEAR(f.value(2).toDouble(), level / std::sqrt(1.5), 1e-9 * std::fabs(level)) << i;
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
    saveAs_ = name;
    Menu().SaveImage->trigger();
  }
  const QImage png(QString::fromStdString(dir_.Path() + "/chart.png"), "PNG");
  EXPECT_GE(png.width(), form_->Chart1->width());
  EXPECT_GE(png.height(), form_->Chart1->height());
  EXPECT_EQ(dir_.Read("chart.svg").rfind("<?xml", 0), 0u);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

// A coarse FFT scale puts every point of the trace on the same byte: a constant level.
TEST_F(ChartMenuEndToEnd, TheReportFindsTheFloorOfAConstantTraceAndFollowsNewTraces) {
  form_.reset();
  dir_.Write("QVX71CONT.INI", IniText({"[QVX71]", "ADDR=" + sim_->Address(), "SCALE=1E-5"}));
  form_ = std::make_unique<TForm1>(nullptr, &channel_);
  Measure();
  const SpectrumBuffer& data = form_->State().SpecData;
  const double level = data[500].Level;
  ASSERT_GT(std::count_if(data.begin() + 1, data.end(), [&](const SpecPoint& p) { return p.Level == level; }), 990);

  Menu().NoiseReport->trigger();
  ASSERT_TRUE(Menu().ReportWindow()->isVisible());
  EXPECT_EQ(Menu().ReportWindow()->windowTitle(), "Noise Report");
  EXPECT_NEAR(ReportedWhiteFloor(), level / std::sqrt(1.5), 0.01 * level / std::sqrt(1.5));

  // Twice the offset on the instrument doubles the constant level of the next trace.
  sim::SimState state = sim_->State();
  state.fft_offset *= 2;
  sim_->SetState(state);
  Click(form_->BtnGetFFTData);
  EXPECT_NEAR(ReportedWhiteFloor(), 2 * level / std::sqrt(1.5), 0.02 * level);

  Menu().ReportWindow()->BtnCopy->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), Menu().ReportWindow()->Text->toPlainText());
}

}  // namespace
}  // namespace qvx::test
