#pragma once
// Pieces of the noise charts, shared by the one-channel and the cross-spectrum plots.
#include <QColor>
#include <QPen>
#include <QScatterSeries>
#include <QString>

class QAbstractAxis;
class QAbstractSeries;
class QChart;
class QLineSeries;
class QLogValueAxis;

namespace qvx {

// A line (or markers) on `chart`, attached to both axes.
QLineSeries* AddLine(QChart& chart, QAbstractAxis* x, QAbstractAxis* y, const QString& name, const QPen& pen);
QScatterSeries* AddMarkers(QChart& chart, QAbstractAxis* x, QAbstractAxis* y, const QString& name, const QColor& colour,
                           QScatterSeries::MarkerShape shape, double size);
// A log axis's labels: the log axis draws the grid, a category axis beside it the decades in
// engineering form, which a log axis's printf format cannot write (on the level axis also 2
// and 5 where there is room).
void AddDecadeLabels(QChart& chart, const QLogValueAxis& grid, Qt::Alignment side = Qt::AlignBottom,
                     const QString& title = QStringLiteral("Frequency (Hz)"));
void HideFromLegend(QChart& chart, QAbstractSeries* series);

}  // namespace qvx
