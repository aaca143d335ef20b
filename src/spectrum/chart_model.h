#pragma once
// What the spectrum chart shows, kept without a screen; the Qt view draws it.
#include <string>
#include <vector>

#include "spectrum/axis_model.h"

namespace qvx {

struct ChartPoint {
  double x;
  double y;
};

struct ChartModel {
  std::vector<std::string> SubTitle;
  AxisModel LeftAxis;               // has its own Revision()
  std::vector<ChartPoint> Series1;  // ascending x; equal x in insertion order

  void AddXY(double x, double y);
  void ClearSeries();  // keeps the capacity for the next plot
  void SetSubTitle(std::vector<std::string> lines);

  // Bumped by every change to SubTitle or Series1 made through the members above.
  unsigned long Revision = 0;
};

}  // namespace qvx
