#include "plot/noise_plot.h"

#include <QApplication>
#include <QAreaSeries>
#include <QBrush>
#include <QBuffer>
#include <QChart>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QLegend>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPainter>
#include <QPen>
#include <QSaveFile>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "analysis/noise_files.h"

namespace qvx {
namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

bool Drawable(const NoisePoint& p) {
  return (p.flags & kFlagClipped) == 0 && p.freq_hz > 0 && p.density_nv > 0 && std::isfinite(p.density_nv);
}

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
  axis.setRange(decadeLo, std::max(decadeHi, decadeLo * 10.0));
}

QChart* BuildNoiseChart(const NoiseSpectrum& s, const NoiseReport& r) {
  auto chart = std::make_unique<QChart>();
  chart->setTitle(QStringLiteral("Noise density (%1 window, ENBW %2 bins, corrected)")
                      .arg(Text(s.window.name), Text(ShortestNumber(s.window.enbw))));
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignBottom);

  double fLo = 0, fHi = 0, dLo = 0, dHi = 0;
  bool any = false;
  auto* density = new QLineSeries();
  density->setName(QStringLiteral("density"));
  density->setPen(QPen(QColor(70, 110, 200), 1.0));
  QList<QPointF> pts;
  pts.reserve(static_cast<qsizetype>(s.points.size()));
  for (const NoisePoint& p : s.points) {
    if (!Drawable(p)) continue;
    pts.append(QPointF(p.freq_hz, p.density_nv));
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
  density->replace(pts);
  if (!any) {
    fLo = 1, fHi = 10, dLo = 1, dHi = 10;
  }
  fHi = std::max(fHi, s.end_hz);
  // Log axes need room above and below the data.
  auto* axisX = MakeLogAxis(QStringLiteral("Frequency (Hz)"), fLo, fHi);
  auto* axisY = MakeLogAxis(QStringLiteral("nV/\u221AHz"), dLo / 1.5, dHi * 1.5);
  chart->addAxis(axisX, Qt::AlignBottom);
  chart->addAxis(axisY, Qt::AlignLeft);
  const double yMin = axisY->min();
  const double yMax = axisY->max();

  // Bands first, so the data is drawn over them.
  static const QColor kBandColours[] = {QColor(255, 200, 80, 60), QColor(120, 200, 120, 60), QColor(200, 120, 200, 60)};
  int bandIndex = 0;
  for (const BandResult& b : r.bands) {
    if (!std::isfinite(b.rms_uv)) continue;
    const double lo = std::max(b.lo_hz, axisX->min());
    const double hi = std::min(b.hi_hz, axisX->max());
    if (!(hi > lo)) continue;
    auto* upper = new QLineSeries();
    upper->append(lo, yMax);
    upper->append(hi, yMax);
    auto* lower = new QLineSeries();
    lower->append(lo, yMin);
    lower->append(hi, yMin);
    auto* area = new QAreaSeries(upper, lower);
    upper->setParent(area);
    lower->setParent(area);
    const QColor colour = kBandColours[bandIndex++ % 3];
    area->setBrush(colour);
    area->setPen(QPen(colour.darker(150), 0.5));
    area->setName(QStringLiteral("%1 - %2: %3 \u00B5V rms")
                      .arg(Text(FormatHz(b.lo_hz)), Text(FormatHz(b.hi_hz)), QString::number(b.rms_uv, 'g', 4)));
    chart->addSeries(area);
    area->attachAxis(axisX);
    area->attachAxis(axisY);
  }

  chart->addSeries(density);
  density->attachAxis(axisX);
  density->attachAxis(axisY);

  if (!r.log_points.empty()) {
    auto* logSeries = new QLineSeries();
    logSeries->setName(QStringLiteral("%1 points/decade").arg(s.ppd));
    logSeries->setPen(QPen(QColor(20, 20, 20), 2.0));
    for (const LogPoint& p : r.log_points) {
      if (p.nv > 0) logSeries->append(p.hz, p.nv);
    }
    chart->addSeries(logSeries);
    logSeries->attachAxis(axisX);
    logSeries->attachAxis(axisY);
  }

  if (std::isfinite(r.fit.white_nv) && r.fit.white_nv > 0) {
    const double w = r.fit.white_nv;
    const double fc = std::isfinite(r.fit.corner_hz) ? r.fit.corner_hz : 0.0;
    auto* floorLine = new QLineSeries();
    floorLine->setName(QStringLiteral("white %1 nV/\u221AHz").arg(QString::number(w, 'g', 4)));
    floorLine->setPen(QPen(QColor(200, 40, 40), 1.5, Qt::DashLine));
    floorLine->append(axisX->min(), w);
    floorLine->append(axisX->max(), w);
    auto* fitLine = new QLineSeries();
    fitLine->setName(QStringLiteral("fit, 1/f corner %1").arg(Text(FormatHz(fc))));
    fitLine->setPen(QPen(QColor(230, 120, 20), 1.5, Qt::DotLine));
    const double l0 = std::log10(axisX->min());
    const double l1 = std::log10(axisX->max());
    for (int i = 0; i <= 200; ++i) {
      const double f = std::pow(10.0, l0 + (l1 - l0) * i / 200.0);
      fitLine->append(f, w * std::sqrt(1.0 + fc / f));
    }
    for (QLineSeries* line : {floorLine, fitLine}) {
      chart->addSeries(line);
      line->attachAxis(axisX);
      line->attachAxis(axisY);
    }
  }
  return chart.release();
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
    const double factor = std::max({1.0, min_size.width() / std::max(1.0, source.width()),
                                    min_size.height() / std::max(1.0, source.height())});
    size = QSize(static_cast<int>(std::ceil(source.width() * factor)), static_cast<int>(std::ceil(source.height() * factor)));
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
