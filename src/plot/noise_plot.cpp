#include "plot/noise_plot.h"

#include <QApplication>
#include <QAreaSeries>
#include <QBrush>
#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPainter>
#include <QPen>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "analysis/noise_files.h"
#include "plot/chart_parts.h"
#include "plot/cross_plot.h"

namespace qvx {
namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QApplication& EnsureGuiApplication() {
  if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
      std::getenv("QT_QPA_PLATFORM") == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  static int argc = 1;
  static char name[] = "qvx71-noise";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

QLogValueAxis* MakeLogAxis(const QString& title, double lo, double hi) {
  auto* axis = new QLogValueAxis();
  axis->setBase(10.0);
  axis->setTitleText(title);
  axis->setLabelFormat(QStringLiteral("%g"));
  SetDecadeRange(*axis, lo, hi);
  axis->setMinorTickCount(8);  // 2..9 inside each decade
  axis->setMinorGridLineVisible(true);
  return axis;
}

void SetDecadeRange(QLogValueAxis& axis, double lo, double hi) {
  if (!(lo > 0) || !std::isfinite(lo)) lo = 1.0;
  if (!(hi > lo) || !std::isfinite(hi)) hi = lo * 10.0;
  const double decadeLo = std::pow(10.0, std::floor(std::log10(lo) + 1e-9));
  const double decadeHi = std::pow(10.0, std::ceil(std::log10(hi) - 1e-9));
  // A hair below the lowest decade: Qt finds the first label from ln(min) / ln(10), which
  // for 0.1 comes out just above -1 and would leave that decade without its label.
  axis.setRange(decadeLo * (1 - 1e-12), std::max(decadeHi, decadeLo * 10.0));
}

namespace {

// Colours a reader tells apart, for the bands.
const QColor kBandColours[] = {QColor(230, 159, 0), QColor(86, 180, 233), QColor(0, 158, 115),  QColor(204, 121, 167),
                               QColor(213, 94, 0),  QColor(0, 114, 178),  QColor(140, 140, 40), QColor(120, 80, 160)};

// "1", "10", "100", "1k", ... "1M"; "0.1", "0.01" below 1.
QString DecadeLabel(int exponent) {
  static const char* kSuffix[] = {"", "k", "M", "G"};
  if (exponent < 0) return QString::number(std::pow(10.0, exponent), 'g', 3);
  const int group = std::min(exponent / 3, 3);
  return QString::number(std::pow(10.0, exponent - 3 * group), 'g', 4) + QString::fromLatin1(kSuffix[group]);
}

}  // namespace

QLineSeries* AddLine(QChart& chart, QAbstractAxis* x, QAbstractAxis* y, const QString& name, const QPen& pen) {
  auto* line = new QLineSeries();
  line->setName(name);
  line->setPen(pen);
  chart.addSeries(line);
  line->attachAxis(x);
  line->attachAxis(y);
  return line;
}

QScatterSeries* AddMarkers(QChart& chart, QAbstractAxis* x, QAbstractAxis* y, const QString& name, const QColor& colour,
                           QScatterSeries::MarkerShape shape, double size) {
  auto* markers = new QScatterSeries();
  markers->setName(name);
  markers->setMarkerShape(shape);
  markers->setMarkerSize(size);
  markers->setColor(colour);
  markers->setBorderColor(colour.darker(130));
  chart.addSeries(markers);
  markers->attachAxis(x);
  markers->attachAxis(y);
  return markers;
}

void AddDecadeLabels(QChart& chart, const QLogValueAxis& grid, Qt::Alignment side, const QString& title) {
  auto* decades = new QCategoryAxis();
  decades->setTitleText(title);
  decades->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  decades->setGridLineVisible(false);
  const int e0 = static_cast<int>(std::lround(std::log10(grid.min())));
  const int e1 = static_cast<int>(std::lround(std::log10(grid.max())));
  decades->setRange(e0, e1);
  // On the level axis, 2 and 5 inside each decade where there is room: a few decades tall.
  const bool inside = side == Qt::AlignLeft && e1 - e0 <= 3;
  for (int e = e0; e <= e1; ++e) {
    decades->append(DecadeLabel(e), e);
    if (!inside || e == e1) continue;
    for (double m : {2.0, 5.0}) {
      const QString label = DecadeLabel(e).replace(QLatin1Char('1'), QString::number(m), Qt::CaseSensitive);
      decades->append(e < 0 ? QString::number(m * std::pow(10.0, e), 'g', 3) : label, e + std::log10(m));
    }
  }
  chart.addAxis(decades, side);
}

void HideFromLegend(QChart& chart, QAbstractSeries* series) {
  for (QLegendMarker* marker : chart.legend()->markers(series)) marker->setVisible(false);
}

namespace {

// One line under the title: how the spectrum was measured.
QString Caption(const NoiseSpectrum& s) {
  QStringList parts;
  double rbwLo = 0, rbwHi = 0;
  for (const AcquisitionInfo& a : s.acquisitions) {
    if (!(a.rbw_hz > 0)) continue;
    rbwLo = rbwLo > 0 ? std::min(rbwLo, a.rbw_hz) : a.rbw_hz;
    rbwHi = std::max(rbwHi, a.rbw_hz);
  }
  if (rbwLo > 0) {
    parts << (rbwHi > rbwLo ? QStringLiteral("RBW %1 - %2").arg(Text(FormatHz(rbwLo)), Text(FormatHz(rbwHi)))
                            : QStringLiteral("RBW %1").arg(Text(FormatHz(rbwLo))));
  }
  if (s.method == kMethodRecord) {
    QStringList records;
    for (const RecordInfo& r : s.records) {
      records << QStringLiteral("%1 at %2Sa/s").arg(Text(FormatSeconds(r.seconds)), Text(FormatHz(r.fs_hz)).chopped(2));
    }
    parts << QStringLiteral("time record: %1").arg(records.join(QStringLiteral(" + ")));
    parts << QStringLiteral("Welch, Hann, 50 %, %1").arg(QString::fromLatin1(AveragingName(s.averaging)));
    parts << QStringLiteral("%1 % intervals").arg(Text(FormatSignificant(100 * s.confidence, 3)));
  } else {
    if (s.averages > 0) parts << Text(Counted(s.averages, "average"));
    parts << QStringLiteral("%1 window, ENBW %2 bins").arg(Text(s.window.name), Text(ShortestNumber(s.window.enbw)));
  }
  if (!s.idn.empty()) {
    // Maker and model of the identification, not its serial number's neighbours.
    const QStringList idn = Text(s.idn).split(QLatin1Char(','));
    parts << idn.mid(0, 2).join(QLatin1Char(' '));
  } else if (!s.source_file.empty()) {
    parts << QStringLiteral("from %1").arg(Text(s.source_file));
  }
  if (s.input_referred) parts << QStringLiteral("input-referred, %1").arg(Text(s.gain_text));
  if (!s.floor_source.empty()) parts << QStringLiteral("floor %1 subtracted").arg(Text(s.floor_source));
  if (!s.date.empty()) parts << Text(s.date);
  if (s.partial) parts.prepend(QStringLiteral("PARTIAL"));
  // Two lines when long, so nothing is cut at the chart's width.
  QString first, second;
  for (const QString& part : parts) {
    QString& line = first.size() + part.size() < 90 && second.isEmpty() ? first : second;
    line += (line.isEmpty() ? QString() : QStringLiteral(" \u00B7 ")) + part.toHtmlEscaped();
  }
  return second.isEmpty() ? first : first + QStringLiteral("<br>") + second;
}

}  // namespace

QChart* BuildNoiseChart(const NoiseSpectrum& s, const NoiseReport& r) {
  if (!s.cross_points.empty()) return BuildCrossChart(s, r);
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>Noise density</b><br><span style=\"font-size:small\">%1</span>").arg(Caption(s)));
  chart->setBackgroundRoundness(0);
  // Below the plot, so the plot keeps the width and no entry covers the data.
  chart->legend()->setAlignment(Qt::AlignBottom);

  double fLo = 0, fHi = 0, dLo = 0, dHi = 0;
  bool any = false;
  QList<QPointF> clean, quantised, clipped, floored, beyondGain;
  for (const NoisePoint& p : s.points) {
    if (!(p.freq_hz > 0 && p.density_nv > 0 && std::isfinite(p.density_nv))) continue;
    const QPointF at(p.freq_hz, p.density_nv);
    if (p.flags & kFlagClipped) {
      clipped.append(at);
    } else {
      clean.append(at);
      if (p.flags & kFlagQuantisation) quantised.append(at);
      if (p.flags & kFlagFloor) floored.append(at);
      if (p.flags & kFlagGainOutside) beyondGain.append(at);
    }
    if (!any) {
      fLo = fHi = p.freq_hz;
      dLo = dHi = p.density_nv;
      any = true;
    }
    fLo = std::min(fLo, p.freq_hz);
    fHi = std::max(fHi, p.freq_hz);
    dLo = std::min(dLo, p.density_nv);
    dHi = std::max(dHi, p.density_nv);
  }
  if (!any) {
    fLo = 1, fHi = 10, dLo = 1, dHi = 10;
  }
  // The range's end, unless it only just passes a decade the points do not reach.
  fHi = std::max(fHi, s.end_hz * (1 - 1e-2));
  const double decade = std::pow(10.0, std::floor(std::log10(fHi) + 1e-9));
  if (fHi <= decade * 1.02) fHi = decade;
  const bool bands =
      std::any_of(r.bands.begin(), r.bands.end(), [](const BandResult& b) { return std::isfinite(b.rms_uv); });

  auto* axisX = MakeLogAxis(QString(), fLo, fHi);
  axisX->setLabelsVisible(false);
  axisX->setLineVisible(false);
  // Room above the data for the bands' spans.
  auto* axisY = MakeLogAxis(QString(), dLo / 1.5, dHi * (bands ? 3.5 : 1.5));
  axisY->setLabelsVisible(false);
  axisY->setLineVisible(false);
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);
  AddDecadeLabels(*chart, *axisX);
  AddDecadeLabels(*chart, *axisY, Qt::AlignLeft, QStringLiteral("nV/\u221AHz"));
  const double yMax = axisY->max();

  // Each band a labelled span near the top; a band that overlaps one already in a row goes
  // to the row below, so none hides another.
  std::vector<std::vector<std::pair<double, double>>> rows;
  int bandIndex = 0;
  for (const BandResult& b : r.bands) {
    if (!std::isfinite(b.rms_uv)) continue;
    const double lo = std::max(b.lo_hz, axisX->min());
    const double hi = std::min(b.hi_hz, axisX->max());
    if (!(hi > lo)) continue;
    std::size_t row = 0;
    while (row < rows.size() && std::any_of(rows[row].begin(), rows[row].end(), [&](const auto& used) {
             return lo < used.second * (1 - 1e-9) && hi > used.first * (1 + 1e-9);
           })) {
      ++row;
    }
    if (row == rows.size()) rows.emplace_back();
    rows[row].emplace_back(lo, hi);
    const double y = yMax / std::pow(1.45, static_cast<double>(row) + 1.0);
    const QColor colour = kBandColours[bandIndex++ % std::size(kBandColours)];
    const QString rms = Text(FormatVolts(b.rms_uv * 1e-6));
    QLineSeries* span =
        AddLine(*chart, axisX, axisY,
                QStringLiteral("%1 - %2: %3 rms").arg(Text(FormatHz(b.lo_hz)), Text(FormatHz(b.hi_hz)), rms),
                QPen(colour, 3.0, Qt::SolidLine, Qt::FlatCap));
    span->append(lo * 1.01, y);
    span->append(hi / 1.01, y);
    HideFromLegend(*chart, span);  // its rms stands on it
    QScatterSeries* label = AddMarkers(*chart, axisX, axisY, QString(), colour, QScatterSeries::MarkerShapeCircle, 1.0);
    label->append(std::sqrt(lo * hi), y);
    label->setPointLabelsFormat(rms);
    label->setPointLabelsColor(colour.darker(140));
    label->setPointLabelsVisible(true);
    HideFromLegend(*chart, label);
  }

  QLineSeries* density = AddLine(*chart, axisX, axisY, QStringLiteral("density"), QPen(QColor(70, 110, 200), 1.0));
  density->replace(clean);
  if (!quantised.isEmpty()) {
    AddMarkers(*chart, axisX, axisY, QStringLiteral("at the converter's floor (Q)"), QColor(150, 150, 150),
               QScatterSeries::MarkerShapeCircle, 4.0)
        ->replace(quantised);
  }
  if (!clipped.isEmpty()) {
    AddMarkers(*chart, axisX, axisY, QStringLiteral("clipped: only a bound (C)"), QColor(220, 30, 30),
               QScatterSeries::MarkerShapeRectangle, 5.0)
        ->replace(clipped);
  }
  // The lines, each marked at its peak with its frequency and rms (the strongest eight).
  std::vector<const ToneResult*> tones;
  for (const ToneResult& t : r.tones) tones.push_back(&t);
  std::sort(tones.begin(), tones.end(), [](const ToneResult* a, const ToneResult* b) { return a->uv > b->uv; });
  if (tones.size() > 8) tones.resize(8);
  if (!tones.empty()) {
    QScatterSeries* marks = AddMarkers(*chart, axisX, axisY, QStringLiteral("lines (T)"), QColor(190, 40, 40),
                                       QScatterSeries::MarkerShapeTriangle, 9.0);
    for (const ToneResult* t : tones) {
      double peak = 0.0;
      for (std::size_t i = t->first; i <= t->last && i < s.points.size(); ++i) peak = std::max(peak, s.points[i].density_nv);
      if (peak > 0 && t->hz > 0) marks->append(t->hz, peak);
    }
    marks->setPointLabelsVisible(true);
    marks->setPointLabelsColor(QColor(150, 30, 30));
    marks->setPointLabelsClipping(false);
    // One label format for all: frequency only; the rms is in the report.
    marks->setPointLabelsFormat(QStringLiteral("@xPoint Hz"));
  }
  if (!floored.isEmpty()) {
    AddMarkers(*chart, axisX, axisY, QStringLiteral("at the floor: an upper bound (F)"), QColor(240, 150, 40),
               QScatterSeries::MarkerShapeCircle, 4.0)
        ->replace(floored);
  }
  if (!beyondGain.isEmpty()) {
    AddMarkers(*chart, axisX, axisY, QStringLiteral("beyond the gain file (G)"), QColor(150, 60, 190),
               QScatterSeries::MarkerShapeCircle, 4.0)
        ->replace(beyondGain);
  }
  if (!r.floor.empty()) {
    QLineSeries* floorCurve = AddLine(*chart, axisX, axisY, QStringLiteral("floor subtracted"),
                                      QPen(QColor(120, 120, 120), 1.5, Qt::DashDotLine));
    for (const auto& [hz, nv] : r.floor) {
      if (hz > 0 && nv > 0) floorCurve->append(hz, nv);
    }
  }
  if (r.limit && !r.limit->mask.empty()) {
    QLineSeries* mask = AddLine(
        *chart, axisX, axisY, QStringLiteral("limit %1: %2").arg(Text(r.limit->file), r.limit->pass ? "PASS" : "FAIL"),
        QPen(QColor(200, 0, 0), 2.0));
    for (const auto& [hz, nv] : r.limit->mask) mask->append(hz, nv);
    QList<QPointF> over;
    for (const LogPoint& p : r.log_points) {
      for (const auto& [lo, hi] : r.limit->failing_ranges) {
        if (p.hz >= lo && p.hz <= hi) over.append(QPointF(p.hz, p.nv));
      }
    }
    if (!over.isEmpty()) {
      AddMarkers(*chart, axisX, axisY, QStringLiteral("over the limit"), QColor(200, 0, 0),
                 QScatterSeries::MarkerShapeRectangle, 8.0)
          ->replace(over);
    }
  }

  // The 95 % band of the log points, where they carry their degrees of freedom.
  if (std::any_of(r.log_points.begin(), r.log_points.end(),
                  [](const LogPoint& p) { return std::isfinite(p.ci_lo_nv); })) {
    auto* upper = new QLineSeries();
    auto* lower = new QLineSeries();
    for (const LogPoint& p : r.log_points) {
      if (!(std::isfinite(p.ci_lo_nv) && p.ci_lo_nv > 0)) continue;
      upper->append(p.hz, p.ci_hi_nv);
      lower->append(p.hz, p.ci_lo_nv);
    }
    auto* band = new QAreaSeries(upper, lower);
    upper->setParent(band);
    lower->setParent(band);
    band->setName(QStringLiteral("%1 % interval").arg(Text(FormatSignificant(100 * s.confidence, 3))));
    band->setBrush(QColor(20, 20, 20, 40));
    band->setPen(Qt::NoPen);
    chart->addSeries(band);
    band->attachAxis(axisX);
    band->attachAxis(axisY);
  }

  if (!r.log_points.empty()) {
    QLineSeries* logSeries =
        AddLine(*chart, axisX, axisY, QStringLiteral("%1 points/decade").arg(s.ppd), QPen(QColor(20, 20, 20), 2.0));
    for (const LogPoint& p : r.log_points) {
      if (p.nv > 0) logSeries->append(p.hz, p.nv);
    }
  }

  if (std::isfinite(r.fit.white_nv) && r.fit.white_nv > 0) {
    const double w = r.fit.white_nv;
    const double fc = std::isfinite(r.fit.corner_hz) && r.fit.corner_hz > 0 ? r.fit.corner_hz : 0.0;
    QLineSeries* floorLine =
        AddLine(*chart, axisX, axisY, QStringLiteral("white floor %1 nV/\u221AHz").arg(Text(FormatSignificant(w, 4))),
                QPen(QColor(200, 40, 40), 1.5, Qt::DashLine));
    floorLine->append(axisX->min(), w);
    floorLine->append(axisX->max(), w);
    QLineSeries* fitLine = AddLine(*chart, axisX, axisY, QStringLiteral("fit w\u00B2 (1 + fc / f)"),
                                   QPen(QColor(230, 120, 20), 1.5, Qt::DotLine));
    const double l0 = std::log10(axisX->min());
    const double l1 = std::log10(axisX->max());
    for (int i = 0; i <= 200; ++i) {
      const double f = std::pow(10.0, l0 + (l1 - l0) * i / 200.0);
      fitLine->append(f, w * std::sqrt(1.0 + fc / f));
    }
    if (r.fit.corner_resolved) {
      AddMarkers(*chart, axisX, axisY, QStringLiteral("1/f corner %1").arg(Text(FormatHz(fc))), QColor(230, 120, 20),
                 QScatterSeries::MarkerShapeCircle, 11.0)
          ->append(fc, w * std::sqrt(2.0));
    }
  }
  return chart.release();
}

QChart* BuildOverlayChart(const std::vector<OverlayRun>& runs, const std::vector<std::pair<double, double>>& limit,
                          const QString& caption) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(
      QStringLiteral("<b>Noise density</b><br><span style=\"font-size:small\">%1</span>").arg(caption.toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignRight);
  double fLo = 0, fHi = 0, dLo = 0, dHi = 0;
  bool any = false;
  for (const OverlayRun& run : runs) {
    for (std::size_t i = 0; i < run.hz.size(); ++i) {
      if (!(run.hz[i] > 0 && run.nv[i] > 0)) continue;
      fLo = any ? std::min(fLo, run.hz[i]) : run.hz[i];
      fHi = any ? std::max(fHi, run.hz[i]) : run.hz[i];
      dLo = any ? std::min(dLo, run.nv[i]) : run.nv[i];
      dHi = any ? std::max(dHi, run.nv[i]) : run.nv[i];
      any = true;
    }
  }
  if (!any) fLo = 1, fHi = 10, dLo = 1, dHi = 10;
  auto* axisX = MakeLogAxis(QString(), fLo, fHi);
  axisX->setLabelsVisible(false);
  axisX->setLineVisible(false);
  auto* axisY = MakeLogAxis(QStringLiteral("nV/\u221AHz"), dLo / 1.5, dHi * 1.5);
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);
  AddDecadeLabels(*chart, *axisX);
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const OverlayRun& run = runs[r];
    const QColor colour = kBandColours[(r + 5) % std::size(kBandColours)];
    if (run.lo_nv.size() == run.hz.size() && !run.hz.empty()) {
      auto* upper = new QLineSeries();
      auto* lower = new QLineSeries();
      for (std::size_t i = 0; i < run.hz.size(); ++i) {
        if (!(run.lo_nv[i] > 0) || !std::isfinite(run.hi_nv[i])) continue;
        upper->append(run.hz[i], run.hi_nv[i]);
        lower->append(run.hz[i], run.lo_nv[i]);
      }
      auto* band = new QAreaSeries(upper, lower);
      upper->setParent(band);
      lower->setParent(band);
      QColor fill = colour;
      fill.setAlpha(50);
      band->setBrush(fill);
      band->setPen(Qt::NoPen);
      chart->addSeries(band);
      band->attachAxis(axisX);
      band->attachAxis(axisY);
      HideFromLegend(*chart, band);
    }
    QLineSeries* line = AddLine(*chart, axisX, axisY, QString::fromStdString(run.label), QPen(colour, 2.0));
    for (std::size_t i = 0; i < run.hz.size(); ++i) {
      if (run.hz[i] > 0 && run.nv[i] > 0) line->append(run.hz[i], run.nv[i]);
    }
  }
  if (!limit.empty()) {
    QLineSeries* mask =
        AddLine(*chart, axisX, axisY, QStringLiteral("limit"), QPen(QColor(200, 0, 0), 2.0, Qt::DashLine));
    for (const auto& [hz, nv] : limit) mask->append(hz, nv);
  }
  return chart.release();
}

QChart* BuildLfChart(const std::vector<double>& volts, double rate_hz, const QString& caption) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>Noise 0.1 Hz - 10 Hz</b><br><span style=\"font-size:small\">%1</span>")
                      .arg(caption.toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->hide();
  auto* line = new QLineSeries();
  line->setPen(QPen(QColor(70, 110, 200), 1.2));
  QList<QPointF> pts;
  double peak = 0.0;
  for (std::size_t i = 0; i < volts.size(); ++i) {
    pts.append(QPointF(static_cast<double>(i) / rate_hz, volts[i] * 1e6));
    peak = std::max(peak, std::fabs(volts[i] * 1e6));
  }
  line->replace(pts);
  chart->addSeries(line);
  auto* x = new QValueAxis();
  x->setTitleText(QStringLiteral("Time (s)"));
  x->setRange(0, std::max(1.0, std::round(static_cast<double>(volts.size()) / rate_hz)));
  x->setTickCount(11);
  x->setLabelFormat(QStringLiteral("%g"));
  auto* y = new QValueAxis();
  y->setTitleText(QStringLiteral("\u00B5V"));
  // A round top, so the labels read as a data sheet's: 1, 2 or 5 times a power of ten.
  double top = 1.0;
  if (peak > 0) {
    const double unit = std::pow(10.0, std::floor(std::log10(peak * 1.1)));
    top = unit * (peak * 1.1 <= unit ? 1 : peak * 1.1 <= 2 * unit ? 2 : peak * 1.1 <= 5 * unit ? 5 : 10);
  }
  y->setRange(-top, top);
  y->setTickCount(5);
  y->setLabelFormat(QStringLiteral("%g"));
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  line->attachAxis(x);
  line->attachAxis(y);
  return chart.release();
}

namespace {
// 1, 2 or 5 times a power of ten, at least `x`: a top a data sheet's axis would have.
double NiceTop(double x) {
  if (!(x > 0) || !std::isfinite(x)) return 1.0;
  const double unit = std::pow(10.0, std::floor(std::log10(x)));
  return unit * (x <= unit ? 1 : x <= 2 * unit ? 2 : x <= 5 * unit ? 5 : 10);
}
}  // namespace

QChart* BuildAllanChart(const TimeRecordFigures& t, double white_nv, double corner_hz, const QString& caption) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>Allan deviation</b><br><span style=\"font-size:small\">%1</span>")
                      .arg(caption.toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignBottom);
  double tLo = 0, tHi = 0, dLo = 0, dHi = 0;
  for (const DeviationFigure& d : t.allan) {
    if (!(d.dev_v > 0)) continue;
    tLo = tLo > 0 ? std::min(tLo, d.tau_s) : d.tau_s;
    tHi = std::max(tHi, d.tau_s);
    const double lo = d.ci_lo_v > 0 ? d.ci_lo_v : d.dev_v;
    dLo = dLo > 0 ? std::min(dLo, lo) : lo;
    dHi = std::max(dHi, std::max(d.ci_hi_v, d.dev_v));
  }
  auto* x = MakeLogAxis(QStringLiteral("averaging time \u03C4 (s)"), tLo, tHi);
  auto* y = MakeLogAxis(QStringLiteral("V"), dLo / 1.5, dHi * 1.5);
  y->setLabelFormat(QStringLiteral("%.0e"));
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  auto* upper = new QLineSeries();
  auto* lower = new QLineSeries();
  for (const DeviationFigure& d : t.allan) {
    if (!(d.dev_v > 0)) continue;
    upper->append(d.tau_s, std::max(d.ci_hi_v, d.dev_v));
    lower->append(d.tau_s, d.ci_lo_v > 0 ? d.ci_lo_v : d.dev_v);
  }
  auto* band = new QAreaSeries(upper, lower);
  band->setName(QStringLiteral("95 % interval"));
  band->setBrush(QColor(70, 110, 200, 50));
  band->setPen(Qt::NoPen);
  chart->addSeries(band);
  band->attachAxis(x);
  band->attachAxis(y);
  QLineSeries* line = AddLine(*chart, x, y, QStringLiteral("overlapping Allan deviation"), QPen(QColor(40, 80, 170), 2.0));
  for (const DeviationFigure& d : t.allan) {
    if (d.dev_v > 0) line->append(d.tau_s, d.dev_v);
  }
  QScatterSeries* marks = AddMarkers(*chart, x, y, QString(), QColor(40, 80, 170), QScatterSeries::MarkerShapeCircle, 7);
  marks->replace(line->points());
  chart->legend()->markers(marks).front()->setVisible(false);
  if (std::isfinite(white_nv) && white_nv > 0) {
    const double w = white_nv * 1e-9;
    const double fc = std::isfinite(corner_hz) && corner_hz > 0 ? corner_hz : 0.0;
    QPen dashed(QColor(200, 90, 40), 1.5);
    dashed.setStyle(Qt::DashLine);
    QLineSeries* model = AddLine(*chart, x, y, QStringLiteral("white + 1/f fit"), dashed);
    for (const DeviationFigure& d : t.allan) {
      model->append(d.tau_s, std::sqrt(w * w / (2.0 * d.tau_s) + 2.0 * std::log(2.0) * w * w * fc));
    }
  }
  return chart.release();
}

QChart* BuildTimeChart(const TimeRecordFigures& t, const QString& caption) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>The record in time</b><br><span style=\"font-size:small\">%1</span>")
                      .arg(caption.toHtmlEscaped()));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignBottom);
  // Microvolts about the record's mean, which is what one reads.
  double mean = 0.0;
  for (const auto& b : t.envelope) mean += b.mean_v;
  if (!t.envelope.empty()) mean /= static_cast<double>(t.envelope.size());
  double lo = mean, hi = mean;
  for (const auto& b : t.envelope) {
    lo = std::min(lo, b.lo_v);
    hi = std::max(hi, b.hi_v);
  }
  auto* x = new QValueAxis();
  x->setTitleText(QStringLiteral("Time (s)"));
  x->setRange(0, std::max(t.seconds, 1e-9));
  x->setLabelFormat(QStringLiteral("%g"));
  auto* y = new QValueAxis();
  y->setTitleText(QStringLiteral("\u00B5V about the mean (%1)").arg(QString::fromStdString(FormatVolts(mean))));
  const double span = NiceTop(std::max(std::fabs(hi - mean), std::fabs(lo - mean)) * 1e6 * 1.05);
  y->setRange(-span, span);
  y->setTickCount(5);
  y->setLabelFormat(QStringLiteral("%g"));
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  auto* upper = new QLineSeries();
  auto* lower = new QLineSeries();
  for (const auto& b : t.envelope) {
    upper->append(b.t_s, (b.hi_v - mean) * 1e6);
    lower->append(b.t_s, (b.lo_v - mean) * 1e6);
  }
  auto* area = new QAreaSeries(upper, lower);
  area->setName(QStringLiteral("lowest to highest"));
  area->setBrush(QColor(70, 110, 200, 70));
  area->setPen(Qt::NoPen);
  chart->addSeries(area);
  area->attachAxis(x);
  area->attachAxis(y);
  QLineSeries* means = AddLine(*chart, x, y, QStringLiteral("mean"), QPen(QColor(40, 80, 170), 1.0));
  for (const auto& b : t.envelope) means->append(b.t_s, (b.mean_v - mean) * 1e6);
  for (double level : t.bursts.levels_v) {
    QPen dashed(QColor(200, 60, 40), 1.5);
    dashed.setStyle(Qt::DashLine);
    QLineSeries* l = AddLine(*chart, x, y, QStringLiteral("burst level"), dashed);
    l->append(0, (level - mean) * 1e6);
    l->append(t.seconds, (level - mean) * 1e6);
    if (level != t.bursts.levels_v.front()) chart->legend()->markers(l).front()->setVisible(false);
  }
  return chart.release();
}

QChart* BuildHistogramChart(const TimeRecordFigures& t) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("<b>Histogram</b><br><span style=\"font-size:small\">of the block means</span>"));
  chart->setBackgroundRoundness(0);
  chart->legend()->hide();
  double mean = 0.0, lo = 0.0, hi = 0.0;
  for (const auto& b : t.envelope) mean += b.mean_v;
  if (!t.envelope.empty()) mean /= static_cast<double>(t.envelope.size());
  for (const auto& b : t.envelope) {
    lo = std::min(lo, b.mean_v - mean);
    hi = std::max(hi, b.mean_v - mean);
  }
  constexpr int kBins = 60;
  const double span = NiceTop(std::max(std::fabs(lo), std::fabs(hi)) * 1e6 * 1.05) * 1e-6;
  std::vector<int> counts(kBins, 0);
  for (const auto& b : t.envelope) {
    const int k = static_cast<int>(std::floor((b.mean_v - mean + span) / (2 * span) * kBins));
    if (k >= 0 && k < kBins) ++counts[static_cast<std::size_t>(k)];
  }
  auto* x = new QValueAxis();
  x->setTitleText(QStringLiteral("blocks"));
  x->setLabelFormat(QStringLiteral("%d"));
  auto* y = new QValueAxis();
  y->setTitleText(QStringLiteral("\u00B5V about the mean"));
  y->setRange(-span * 1e6, span * 1e6);
  y->setTickCount(5);
  y->setLabelFormat(QStringLiteral("%g"));
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  QLineSeries* steps = AddLine(*chart, x, y, QString(), QPen(QColor(40, 80, 170), 1.5));
  int most = 1;
  for (int k = 0; k < kBins; ++k) {
    const double v0 = (-span + 2 * span * k / kBins) * 1e6;
    const double v1 = (-span + 2 * span * (k + 1) / kBins) * 1e6;
    steps->append(counts[static_cast<std::size_t>(k)], v0);
    steps->append(counts[static_cast<std::size_t>(k)], v1);
    most = std::max(most, counts[static_cast<std::size_t>(k)]);
  }
  x->setRange(0, most * 1.1);
  return chart.release();
}

bool SaveChartPairImage(QChart& left, QChart& right, double left_share, const QString& path, QSize size,
                        QString* error) {
  QGraphicsScene scene;
  const double split = size.width() * std::clamp(left_share, 0.1, 0.9);
  scene.addItem(&left);
  scene.addItem(&right);
  left.setGeometry(QRectF(0, 0, split, size.height()));
  right.setGeometry(QRectF(split, 0, size.width() - split, size.height()));
  scene.setSceneRect(QRectF(QPointF(0, 0), QSizeF(size)));
  QCoreApplication::processEvents();
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    scene.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), scene.sceneRect());
  }
  scene.removeItem(&left);
  scene.removeItem(&right);
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) {
    if (error) *error = QStringLiteral("%1: could not draw the image").arg(path);
    return false;
  }
  return SaveWholeFile(path, encoded, error);
}

bool SaveChartImage(QChart& chart, const QString& path, QSize min_size, QString* error) {
  auto failWith = [&](const QString& text) {
    if (error) *error = text;
    return false;
  };
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix != QStringLiteral("png") && suffix != QStringLiteral("svg")) {
    return failWith(QStringLiteral("%1: the image type comes from the extension, .png or .svg").arg(path));
  }

  // A chart on screen is drawn from its own scene, scaled; a free chart gets a scene of
  // its own for the drawing and is laid out at the image's size.
  QGraphicsScene* scene = chart.scene();
  std::unique_ptr<QGraphicsScene> own;
  QSize size = min_size;
  QRectF source;
  if (scene) {
    source = chart.sceneBoundingRect();
    const double factor = std::max(
        {1.0, min_size.width() / std::max(1.0, source.width()), min_size.height() / std::max(1.0, source.height())});
    size = QSize(static_cast<int>(std::ceil(source.width() * factor)),
                 static_cast<int>(std::ceil(source.height() * factor)));
  } else {
    own = std::make_unique<QGraphicsScene>();
    own->addItem(&chart);
    chart.resize(size);
    scene = own.get();
    QCoreApplication::processEvents();  // lets the chart lay out its plot area
    source = QRectF(QPointF(0, 0), QSizeF(size));
    scene->setSceneRect(source);
  }

  // Encoded in memory first: a device that takes only part of a write need not say so,
  // but a byte count can be checked.
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  bool ok = true;
  if (suffix == QStringLiteral("png")) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setRenderHint(QPainter::TextAntialiasing);
      scene->render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), source);
    }
    ok = image.save(&buffer, "PNG");
  } else {
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(size);
    svg.setViewBox(QRect(QPoint(0, 0), size));
    svg.setTitle(chart.title());
    QPainter painter;
    ok = painter.begin(&svg);
    if (ok) {
      scene->render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), source);
      ok = painter.end();
    }
  }
  if (own) own->removeItem(&chart);  // the chart stays the caller's
  if (!ok) return failWith(QStringLiteral("%1: could not draw the image").arg(path));

  return SaveWholeFile(path, encoded, error);
}

bool SaveWholeFile(const QString& path, const QByteArray& bytes, QString* error) {
  // Unbuffered, so that a write the disk takes only in part shows in the byte count.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size() || !file.commit()) {
    if (error) *error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}

}  // namespace qvx
