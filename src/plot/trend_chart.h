#pragma once
// One figure across stored runs: its value and 95 % interval, run after run, as a chart and
// as an image.
#include <QString>
#include <string>
#include <vector>

class QChart;

namespace qvx {

struct TrendPoint {
  std::string label;  // under the point: "#12"
  double value = 0.0;
  double lo = 0.0;  // the interval, when lo < hi
  double hi = 0.0;
};

// A new chart (the caller owns it): the values in run order joined by a line, each with its
// interval as a bar, on a linear axis titled `unit`.
QChart* BuildTrendChart(const std::vector<TrendPoint>& points, const QString& title, const QString& unit);

// The chart into `path` (PNG or SVG by its extension); empty when written, else the problem.
std::string SaveTrendImage(const std::vector<TrendPoint>& points, const std::string& title, const std::string& unit,
                           const std::string& path);

}  // namespace qvx
