#include "plot/cross_plot.h"

#include <QAreaSeries>
#include <QChart>
#include <QLegend>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QScatterSeries>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <memory>

#include "core/text.h"
#include "plot/chart_parts.h"
#include "plot/noise_plot.h"

namespace qvx {
namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

QString CrossCaption(const NoiseSpectrum& s) {
  QStringList parts;
  if (s.cross) {
    parts << QStringLiteral("cross-spectrum of 2 channels: %1 (%2)")
                 .arg(Text(Counted(static_cast<long long>(s.cross->records), "record")),
                      Text(FormatSeconds(s.cross->seconds)));
    parts << QStringLiteral("gains x%1 and x%2")
                 .arg(Text(FormatSignificant(s.cross->gain1, 4)), Text(FormatSignificant(s.cross->gain2, 4)));
  }
  parts << QStringLiteral("%1 % intervals").arg(Text(FormatSignificant(100 * s.confidence, 3)));
  if (!s.idn.empty()) {
    parts << Text(s.idn).split(QLatin1Char(',')).mid(0, 2).join(QLatin1Char(' '));
  } else if (!s.source_file.empty()) {
    parts << QStringLiteral("from %1").arg(Text(s.source_file));
  }
  if (!s.date.empty()) parts << Text(s.date);
  if (s.partial) parts << QStringLiteral("PARTIAL");
  return parts.join(QStringLiteral(" \u00B7 "));
}

// The area between two lines of points, in the legend as `name` (hidden when empty).
void AddArea(QChart& chart, QAbstractAxis* x, QAbstractAxis* y, const QList<QPointF>& upper,
             const QList<QPointF>& lower, const QString& name, const QColor& fill) {
  auto* top = new QLineSeries();
  auto* bottom = new QLineSeries();
  top->replace(upper);
  bottom->replace(lower);
  auto* area = new QAreaSeries(top, bottom);
  top->setParent(area);
  bottom->setParent(area);
  area->setName(name);
  area->setBrush(fill);
  area->setPen(Qt::NoPen);
  chart.addSeries(area);
  area->attachAxis(x);
  area->attachAxis(y);
  if (name.isEmpty()) HideFromLegend(chart, area);
}

}  // namespace

QChart* BuildCrossChart(const NoiseSpectrum& s, const NoiseReport& r) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>Noise density of the circuit</b><br><span style=\"font-size:small\">%1</span>")
                      .arg(CrossCaption(s).toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignRight);

  const std::size_t n = std::min(s.points.size(), s.cross_points.size());
  double dLo = 0, dHi = 0;
  auto take = [&](double v) {
    if (!(v > 0) || !std::isfinite(v)) return;
    dLo = dLo > 0 ? std::min(dLo, v) : v;
    dHi = std::max(dHi, v);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const CrossPointFigures& c = s.cross_points[i];
    for (double v : {s.points[i].density_nv, c.ch1_nv, c.ch2_nv, c.floor_nv, c.ci_hi_nv}) take(v);
  }
  if (!(dLo > 0)) dLo = 1, dHi = 10;
  const double fLo = n > 0 ? CellLow(s, 0) : 1.0;
  const double fHi = n > 0 ? std::max(s.end_hz, s.points[n - 1].freq_hz) : 10.0;
  auto* axisX = MakeLogAxis(QString(), fLo, fHi);
  axisX->setLabelsVisible(false);
  axisX->setLineVisible(false);
  auto* axisY = MakeLogAxis(QStringLiteral("nV/\u221AHz"), dLo / 2.0, dHi * 1.5);
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);
  AddDecadeLabels(*chart, *axisX);
  const double bottom = axisY->min();

  // What the averages can resolve: everything under the floor is shaded.
  QList<QPointF> floorTop, floorBottom, band, bandLow, ch1, ch2, circuit, upper, collapse;
  for (std::size_t i = 0; i < n; ++i) {
    const NoisePoint& p = s.points[i];
    const CrossPointFigures& c = s.cross_points[i];
    if (c.floor_nv > 0 && std::isfinite(c.floor_nv)) {
      for (double f : {CellLow(s, i), CellHigh(s, i)}) {
        floorTop.append(QPointF(f, c.floor_nv));
        floorBottom.append(QPointF(f, bottom));
      }
    }
    if (c.ch1_nv > 0) ch1.append(QPointF(p.freq_hz, c.ch1_nv));
    if (c.ch2_nv > 0) ch2.append(QPointF(p.freq_hz, c.ch2_nv));
    // A collapse has no upper limit above zero: it is marked on the floor.
    if (c.collapse || ((p.flags & kFlagUpperLimit) && !(c.ci_hi_nv > 0))) {
      if (c.floor_nv > 0) collapse.append(QPointF(p.freq_hz, c.floor_nv));
    } else if (p.flags & kFlagUpperLimit) {
      if (std::isfinite(c.ci_hi_nv)) upper.append(QPointF(p.freq_hz, c.ci_hi_nv));
    } else if (p.density_nv > 0) {
      circuit.append(QPointF(p.freq_hz, p.density_nv));
      if (c.ci_lo_nv > 0 && std::isfinite(c.ci_hi_nv)) {
        band.append(QPointF(p.freq_hz, c.ci_hi_nv));
        bandLow.append(QPointF(p.freq_hz, c.ci_lo_nv));
      }
    }
  }
  if (!floorTop.isEmpty()) {
    AddArea(*chart, axisX, axisY, floorTop, floorBottom, QStringLiteral("statistical floor"),
            QColor(120, 120, 120, 45));
  }
  AddLine(*chart, axisX, axisY, QStringLiteral("channel 1 alone"), QPen(QColor(86, 180, 233), 1.5, Qt::DashLine))
      ->replace(ch1);
  AddLine(*chart, axisX, axisY, QStringLiteral("channel 2 alone"), QPen(QColor(0, 158, 115), 2.0, Qt::DotLine))
      ->replace(ch2);
  if (!band.isEmpty()) {
    AddArea(*chart, axisX, axisY, band, bandLow,
            QStringLiteral("%1 % interval").arg(Text(FormatSignificant(100 * s.confidence, 3))),
            QColor(20, 60, 160, 50));
  }
  QLineSeries* line =
      AddLine(*chart, axisX, axisY, QStringLiteral("circuit (cross-spectrum)"), QPen(QColor(20, 60, 160), 2.0));
  line->replace(circuit);
  AddMarkers(*chart, axisX, axisY, QString(), QColor(20, 60, 160), QScatterSeries::MarkerShapeCircle, 6.0)
      ->replace(circuit);
  HideFromLegend(*chart, chart->series().back());
  if (!upper.isEmpty()) {
    // An upper limit: a stem down from the limit under its marker.
    const QColor colour(200, 90, 20);
    for (const QPointF& u : upper) {
      QLineSeries* stem = AddLine(*chart, axisX, axisY, QString(), QPen(colour, 1.5));
      stem->append(u);
      stem->append(u.x(), u.y() / 1.8);
      HideFromLegend(*chart, stem);
    }
    AddMarkers(*chart, axisX, axisY, QStringLiteral("95 % upper limit (U)"), colour,
               QScatterSeries::MarkerShapeTriangle, 9.0)
        ->replace(upper);
  }
  if (!collapse.isEmpty()) {
    AddMarkers(*chart, axisX, axisY, QStringLiteral("collapse: Re Sxy below zero"), QColor(210, 20, 20),
               QScatterSeries::MarkerShapeRotatedRectangle, 9.0)
        ->replace(collapse);
  }
  if (r.limit && !r.limit->mask.empty()) {
    QLineSeries* mask = AddLine(
        *chart, axisX, axisY, QStringLiteral("limit %1: %2").arg(Text(r.limit->file), r.limit->pass ? "PASS" : "FAIL"),
        QPen(QColor(200, 0, 0), 2.0));
    for (const auto& [hz, nv] : r.limit->mask) mask->append(hz, nv);
  }
  if (std::isfinite(r.fit.white_nv) && r.fit.white_nv > 0) {
    QLineSeries* white =
        AddLine(*chart, axisX, axisY,
                QStringLiteral("white floor %1 nV/\u221AHz").arg(Text(FormatSignificant(r.fit.white_nv, 4))),
                QPen(QColor(200, 40, 40), 1.2, Qt::DotLine));
    white->append(axisX->min(), r.fit.white_nv);
    white->append(axisX->max(), r.fit.white_nv);
  }
  return chart.release();
}

}  // namespace qvx
