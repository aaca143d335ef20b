// Chart images without a display: PNG and SVG by extension, at least the asked size, for a
// free chart and for one shown in a view.
#include <gtest/gtest.h>

#include <QChart>
#include <QCategoryAxis>
#include <QChartView>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLogValueAxis>
#include <QTemporaryDir>
#include <cmath>
#include <csignal>
#include <memory>
#include <sys/resource.h>

#include "plot/noise_plot.h"

namespace qvx {
namespace {

NoiseSpectrum Spectrum() {
  NoiseSpectrum s;
  for (int i = 0; i < 1000; ++i) {
    const double f = 10 + i * 9.0;
    s.points.push_back({f, 0, 20 * std::sqrt(1 + 200 / f), i == 5 ? kFlagClipped : 0u});
  }
  s.points[6].density_nv = 0;  // cannot sit on a log axis
  s.end_hz = 9010;
  return s;
}

TEST(NoisePlot, ChartsAreLogLogWithDecadesInEngineeringFormAndMarkWhatIsFlagged) {
  EnsureGuiApplication();
  const NoiseSpectrum s = Spectrum();
  const std::unique_ptr<QChart> chart(BuildNoiseChart(s, AnalyzeNoise(s, {})));
  int logAxes = 0;
  for (auto* axis : chart->axes()) {
    if (auto* log = qobject_cast<QLogValueAxis*>(axis)) {
      ++logAxes;
      EXPECT_NEAR(std::log10(log->min()), std::round(std::log10(log->min())), 1e-9) << "whole decades";
    }
  }
  EXPECT_EQ(logAxes, 2);
  EXPECT_NEAR(qobject_cast<QLogValueAxis*>(chart->axes(Qt::Horizontal)[0])->min(), 10.0, 1e-9);
  auto* decades = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Horizontal).back());
  ASSERT_NE(decades, nullptr);
  EXPECT_EQ(decades->categoriesLabels(), (QStringList{"10", "100", "1k", "10k"}));
  // The clipped point is drawn apart, as a bound; the legend names every series in full.
  QStringList names;
  for (auto* series : chart->series()) names << series->name();
  EXPECT_TRUE(names.contains(QStringLiteral("clipped: only a bound (C)"))) << names.join("|").toStdString();
  EXPECT_TRUE(names.filter(QStringLiteral("1/f corner")).size() == 1) << names.join("|").toStdString();
  EXPECT_EQ(names.filter(QStringLiteral("V rms")).size(), 3) << "the span and its two whole decades";
}

TEST(NoisePlot, SavesPngAndSvgByExtensionAtLeastTheAskedSize) {
  EnsureGuiApplication();
  QTemporaryDir dir;
  const NoiseSpectrum s = Spectrum();
  std::unique_ptr<QChart> chart(BuildNoiseChart(s, AnalyzeNoise(s, {})));
  QString error;
  ASSERT_TRUE(SaveChartImage(*chart, dir.filePath("a.PNG"), QSize(640, 480), &error)) << error.toStdString();
  EXPECT_EQ(QImage(dir.filePath("a.PNG")).size(), QSize(640, 480));
  ASSERT_TRUE(SaveChartImage(*chart, dir.filePath("a.svg"), QSize(640, 480), &error)) << error.toStdString();
  QFile svg(dir.filePath("a.svg"));
  ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
  EXPECT_TRUE(svg.readAll().contains("<svg"));
  EXPECT_EQ(chart->scene(), nullptr) << "the chart is the caller's again";

  EXPECT_FALSE(SaveChartImage(*chart, dir.filePath("a.jpg"), QSize(640, 480), &error));
  EXPECT_TRUE(error.contains(QStringLiteral(".png or .svg")));
  EXPECT_FALSE(SaveChartImage(*chart, dir.filePath("missing/a.png"), QSize(640, 480), &error));

  // A chart on screen keeps its size there and is drawn scaled up.
  QChartView view(chart.release());
  view.resize(300, 200);
  view.show();
  ASSERT_TRUE(SaveChartImage(*view.chart(), dir.filePath("b.png"), QSize(900, 300), &error));
  const QImage image(dir.filePath("b.png"));
  EXPECT_GE(image.width(), 900);
  EXPECT_GE(image.height(), 300);
  EXPECT_EQ(view.size(), QSize(300, 200));
}

// With the process allowed only a few bytes per file the write fails half way; the file
// that was there must stay as it was.
TEST(NoisePlot, AFailedWriteLeavesTheOldFile) {
  EnsureGuiApplication();
  QTemporaryDir dir;
  const NoiseSpectrum s = Spectrum();
  std::unique_ptr<QChart> chart(BuildNoiseChart(s, AnalyzeNoise(s, {})));
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit normal{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &normal), 0);
  for (const char* name : {"old.png", "old.svg"}) {
    QFile old(dir.filePath(name));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();
    rlimit tight{16, normal.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    QString error;
    EXPECT_FALSE(SaveChartImage(*chart, dir.filePath(name), QSize(640, 480), &error)) << name;
    ::setrlimit(RLIMIT_FSIZE, &normal);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "old") << name;
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2) << "no temporary file is left behind";
}

}  // namespace
}  // namespace qvx
