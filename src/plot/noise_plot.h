#pragma once
// Log-log plots of noise density with Qt Charts, and chart images (PNG or SVG) that need
// no display.
#include <QByteArray>
#include <QSize>
#include <QString>
#include <string>
#include <vector>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"

class QApplication;
class QChart;
class QLogValueAxis;

namespace qvx {

// The process's QApplication, made on first use; without DISPLAY and WAYLAND_DISPLAY it
// uses the offscreen platform. Returns the one that exists when there is one already.
QApplication& EnsureGuiApplication();

// A base-10 log axis over whole decades around [lo, hi] (both > 0), labelled %g.
QLogValueAxis* MakeLogAxis(const QString& title, double lo, double hi);

// Sets `axis` to the whole decades around [lo, hi]. A lower end that is not positive
// counts as 1, an upper end not above the lower end as ten times it.
void SetDecadeRange(QLogValueAxis& axis, double lo, double hi);

// A new chart (the caller owns it): density in nV/sqrt(Hz) over frequency on log axes with
// decades labelled 1, 10, ... 1k, the log points, the fitted white floor and 1/f curve with
// a marker at a resolved corner, the bands as labelled spans, points at the converter's
// floor and clipped points marked, the legend beside the plot and a caption of how it was
// measured. Points a log axis cannot show (0 Hz, a density of 0) are left out.
QChart* BuildNoiseChart(const NoiseSpectrum& s, const NoiseReport& r);

// One run of an overlay: its log points (with their interval where known), or a curve such
// as a data sheet's.
struct OverlayRun {
  std::string label;
  std::vector<double> hz;
  std::vector<double> nv;
  std::vector<double> lo_nv;  // empty, or one a point
  std::vector<double> hi_nv;
};

// Several runs in one log-log figure, each in its own colour with its band, and a limit mask.
QChart* BuildOverlayChart(const std::vector<OverlayRun>& runs, const std::vector<std::pair<double, double>>& limit,
                          const QString& caption);

// A new chart of the 0.1-10 Hz filtered record, as data sheets draw it: microvolts against
// seconds over one 10 s window.
QChart* BuildLfChart(const std::vector<double>& volts, double rate_hz, const QString& caption);

// The Allan deviation (V) over averaging time on log-log, with its 95 % band, and dashed, what a
// white + 1/f density of `white_nv` and `corner_hz` predicts (left out where not finite).
QChart* BuildAllanChart(const TimeRecordFigures& t, double white_nv, double corner_hz, const QString& caption);

// The record in time: its envelope (each block's lowest to highest, and its mean) with the
// burst levels marked; and beside it the histogram of the block means.
QChart* BuildTimeChart(const TimeRecordFigures& t, const QString& caption);
QChart* BuildHistogramChart(const TimeRecordFigures& t);

// Two charts side by side in one PNG, the left taking `left_share` of the width.
bool SaveChartPairImage(QChart& left, QChart& right, double left_share, const QString& path, QSize size,
                        QString* error);

// Draws `chart` into `path` (PNG or SVG by the extension, any case) at least `min_size`
// big. A chart shown in a view keeps its size on screen and is drawn scaled; a chart in
// no scene is laid out at the image size. The file is whole or untouched: one that was
// there stays as it was when writing fails. False with `error` set when it fails.
bool SaveChartImage(QChart& chart, const QString& path, QSize min_size, QString* error);

// Writes `bytes` to `path` whole or not at all: the new file is written beside the target
// and renamed over it only when complete, so a file that was there stays as it was when
// writing fails. False with `error` ("path: reason") set when it fails.
bool SaveWholeFile(const QString& path, const QByteArray& bytes, QString* error);

}  // namespace qvx
