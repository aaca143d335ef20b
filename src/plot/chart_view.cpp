#include "plot/chart_view.h"

#include <QChart>
#include <QFont>
#include <QGraphicsSimpleTextItem>
#include <QLineSeries>
#include <QList>
#include <QLogValueAxis>
#include <QPen>
#include <QPointF>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "plot/noise_plot.h"

namespace qvx {
namespace {

// A span wide enough for Qt to draw an axis around a single value.
void Widen(double& lo, double& hi) {
  if (!(hi > lo)) {
    const double pad = std::max(1.0, std::fabs(lo) * 0.05);
    lo -= pad;
    hi += pad;
  }
}

double NiceStep(double span) {
  if (!(span > 0) || !std::isfinite(span)) return 1.0;
  const double raw = span / 8.0;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (raw <= m * mag) return m * mag;
  }
  return 10.0 * mag;
}

}  // namespace

ChartView::ChartView(QWidget* parent) : QChartView(parent) {
  chart_ = new QChart();
  chart_->legend()->hide();
  chart_->setTitle(QString());  // the title "FFT" exists but is hidden
  chart_->setBackgroundRoundness(0);
  chart_->setMargins(QMargins(4, 44, 8, 4));

  series_ = new QLineSeries();
  series_->setPen(QPen(QColor(Qt::blue), 1));
  series_->setPointsVisible(false);
  series_->setUseOpenGL(false);
  chart_->addSeries(series_);

  axisX_ = new QValueAxis();
  axisX_->setTitleText(QStringLiteral("Frequency(kHz)"));
  axisX_->setLabelFormat(QStringLiteral("%g"));
  logAxisX_ = MakeLogAxis(axisX_->titleText(), 0.1, 100.0);
  logAxisX_->setParent(this);  // kept aside until the log axis is chosen
  axisY_ = new QValueAxis();
  axisY_->setTitleText(QStringLiteral("nV/\u221AHz"));
  axisY_->setLabelFormat(QStringLiteral("%g"));
  logAxisY_ = MakeLogAxis(axisY_->titleText(), 1.0, 100.0);
  logAxisY_->setParent(this);
  chart_->addAxis(axisX_, Qt::AlignBottom);
  chart_->addAxis(axisY_, Qt::AlignLeft);
  series_->attachAxis(axisX_);
  series_->attachAxis(axisY_);
  axisX_->setRange(0, 1);
  axisY_->setRange(0, 1);

  subtitle_ = new QGraphicsSimpleTextItem(chart_);
  QFont small = font();
  small.setPixelSize(13);
  subtitle_->setFont(small);
  subtitle_->setPos(485, 20);
  subtitle_->setZValue(10);

  setChart(chart_);
  setRenderHint(QPainter::Antialiasing, false);
}

QString ChartView::SubTitleText() const { return subtitle_->text(); }

void ChartView::SwapAxis(QAbstractAxis* from, QAbstractAxis* to, Qt::Alignment side) {
  series_->detachAxis(from);
  chart_->removeAxis(from);
  series_->clear();       // a log axis cannot take every point; Render puts back what it shows
  from->setParent(this);  // the chart gives up ownership; the view keeps the axis
  chart_->addAxis(to, side);
  series_->attachAxis(to);
  renderedRevision_ = ~0UL;  // the points shown change with the axis
}

void ChartView::SetLogFrequencyAxis(bool on) {
  if (on == logX_) return;
  SwapAxis(on ? static_cast<QAbstractAxis*>(axisX_) : logAxisX_, on ? static_cast<QAbstractAxis*>(logAxisX_) : axisX_,
           Qt::AlignBottom);
  logX_ = on;
}

void ChartView::SetLogLevelAxis(bool on) {
  if (on == logY_) return;
  SwapAxis(on ? static_cast<QAbstractAxis*>(axisY_) : logAxisY_, on ? static_cast<QAbstractAxis*>(logAxisY_) : axisY_,
           Qt::AlignLeft);
  logY_ = on;
}

void ChartView::Render(const ChartModel& model) {
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(model.SubTitle.size()));
  for (const auto& line : model.SubTitle) lines << QString::fromStdString(line);
  const QString text = lines.join(QLatin1Char('\n'));
  if (text != subtitle_->text()) subtitle_->setText(text);

  if (model.Revision != renderedRevision_) {
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(model.Series1.size()));
    dataMinY_ = 0.0;
    dataMaxY_ = 0.0;
    bool first = true;
    for (const auto& p : model.Series1) {
      if (logX_ && !(p.x > 0.0)) continue;
      if (logY_ && !(p.y > 0.0)) continue;
      points.append(QPointF(p.x, p.y));
      // A level that is not finite cannot size the axis (the axis model skips it too).
      if (!std::isfinite(p.y)) continue;
      if (first || p.y < dataMinY_) dataMinY_ = p.y;
      if (first || p.y > dataMaxY_) dataMaxY_ = p.y;
      first = false;
    }
    series_->replace(points);
    renderedRevision_ = model.Revision;
    ApplyBottomAxis(model);
  }
  ApplyLeftAxis(model);
}

void ChartView::ApplyBottomAxis(const ChartModel& model) {
  if (logX_) {
    ApplyLogBottomAxis();
    return;
  }
  double lo = 0.0;
  double hi = 0.0;
  if (!model.Series1.empty()) {
    lo = model.Series1.front().x;
    hi = model.Series1.back().x;
  }
  Widen(lo, hi);
  axisX_->setRange(lo, hi);
  axisX_->setTickType(QValueAxis::TicksDynamic);
  const double step = NiceStep(hi - lo);
  axisX_->setTickAnchor(std::floor(lo / step) * step);
  axisX_->setTickInterval(step);
}

void ChartView::ApplyLogBottomAxis() {
  // The shown points are the positive ones, in ascending order.
  if (series_->count() == 0) return;  // nothing to show: the axis keeps its decades
  SetDecadeRange(*logAxisX_, series_->at(0).x(), series_->at(series_->count() - 1).x());
}

void ChartView::ApplyLeftAxis(const ChartModel& model) {
  const AxisModel& axis = model.LeftAxis;
  double lo = axis.Minimum();
  double hi = axis.Maximum();
  if (logY_) {
    if (axis.Automatic() || !(lo > 0) || !(hi > lo)) {
      if (series_->count() > 0) SetDecadeRange(*logAxisY_, dataMinY_, dataMaxY_);
    } else {
      logAxisY_->setRange(lo, hi);
    }
    return;
  }
  if (axis.Automatic()) {
    // Show the data with a little room above and below, on whole label steps.
    const double step = NiceStep(dataMaxY_ - dataMinY_);
    lo = std::floor(dataMinY_ / step) * step;
    hi = std::ceil(dataMaxY_ / step) * step;
  }
  Widen(lo, hi);
  axisY_->setRange(lo, hi);
  // The model's step, or a whole multiple of it when the shown range is wider.
  double step = axis.LabelStep();
  if (!(step > 0) || !std::isfinite(step)) step = NiceStep(hi - lo);
  if ((hi - lo) / step > 25.0) step *= std::ceil((hi - lo) / (25.0 * step));
  axisY_->setTickType(QValueAxis::TicksDynamic);
  axisY_->setTickAnchor(std::floor(lo / step) * step);
  axisY_->setTickInterval(step);
}

}  // namespace qvx
