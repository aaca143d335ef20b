#include "plot/trend_chart.h"

#include <QCategoryAxis>
#include <QChart>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPen>
#include <QScatterSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <memory>

#include "plot/noise_plot.h"

namespace qvx {

QChart* BuildTrendChart(const std::vector<TrendPoint>& points, const QString& title, const QString& unit) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>%1</b>").arg(title.toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignRight);
  double lo = 0, hi = 0;
  bool any = false;
  for (const TrendPoint& p : points) {
    for (double v : {p.value, p.lo < p.hi ? p.lo : p.value, p.lo < p.hi ? p.hi : p.value}) {
      if (!std::isfinite(v)) continue;
      lo = any ? std::min(lo, v) : v;
      hi = any ? std::max(hi, v) : v;
      any = true;
    }
  }
  if (!any) lo = 0, hi = 1;
  const double pad = hi > lo ? 0.08 * (hi - lo) : std::max(1e-12, 0.1 * std::fabs(hi));
  auto* axisY = new QValueAxis();
  axisY->setTitleText(unit);
  axisY->setRange(lo - pad, hi + pad);
  axisY->applyNiceNumbers();
  axisY->setLabelFormat(QStringLiteral("%.4g"));
  // One category a run, labelled every so many so that the labels never crowd.
  auto* axisX = new QCategoryAxis();
  axisX->setTitleText(QStringLiteral("run"));
  axisX->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  axisX->setRange(0, static_cast<double>(points.size()) + 1);
  const std::size_t every = std::max<std::size_t>(1, points.size() / 20 + (points.size() % 20 != 0));
  for (std::size_t i = 0; i < points.size(); i += every) {
    axisX->append(QString::fromStdString(points[i].label), static_cast<double>(i + 1));
  }
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);

  const QColor colour(0, 114, 178);
  bool first = true;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const TrendPoint& p = points[i];
    if (!(p.lo < p.hi) || !std::isfinite(p.lo) || !std::isfinite(p.hi)) continue;
    auto* bar = new QLineSeries();
    bar->setPen(QPen(colour.lighter(140), 2.0));
    bar->append(static_cast<double>(i + 1), p.lo);
    bar->append(static_cast<double>(i + 1), p.hi);
    bar->setName(QStringLiteral("95 % interval"));
    chart->addSeries(bar);
    bar->attachAxis(axisX);
    bar->attachAxis(axisY);
    if (!first) {
      for (QLegendMarker* marker : chart->legend()->markers(bar)) marker->setVisible(false);
    }
    first = false;
  }
  auto* line = new QLineSeries();
  line->setName(QStringLiteral("value"));
  line->setPen(QPen(colour, 1.5));
  auto* dots = new QScatterSeries();
  dots->setMarkerSize(7.0);
  dots->setColor(colour);
  dots->setBorderColor(colour.darker(130));
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!std::isfinite(points[i].value)) continue;
    line->append(static_cast<double>(i + 1), points[i].value);
    dots->append(static_cast<double>(i + 1), points[i].value);
  }
  for (QXYSeries* s : {static_cast<QXYSeries*>(line), static_cast<QXYSeries*>(dots)}) {
    chart->addSeries(s);
    s->attachAxis(axisX);
    s->attachAxis(axisY);
  }
  for (QLegendMarker* marker : chart->legend()->markers(dots)) marker->setVisible(false);
  return chart.release();
}

std::string SaveTrendImage(const std::vector<TrendPoint>& points, const std::string& title, const std::string& unit,
                           const std::string& path) {
  EnsureGuiApplication();
  std::unique_ptr<QChart> chart(BuildTrendChart(points, QString::fromStdString(title), QString::fromStdString(unit)));
  QString error;
  if (!SaveChartImage(*chart, QString::fromStdString(path), QSize(1200, 600), &error)) {
    return "cannot write " + path + " (" + error.toStdString() + "); check the folder and its permissions";
  }
  return {};
}

}  // namespace qvx
