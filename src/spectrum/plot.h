#pragma once
// Drawing the spectrum buffer into the chart model.
#include <string>

#include "core/working_state.h"
#include "spectrum/chart_model.h"

namespace qvx {

struct PlotInputs {
  int filterIndex = 0;     // "Vide Filter" list index; outside 0..4 draws no points
  std::string filterText;  // the selected item's text
  std::string aveText;     // the average count box, as typed
  std::string yMinText;
  std::string yMaxText;
};

// Writes the four subtitle lines, sets the left axis (-1000, 1000, then the boxes'
// minimum and maximum, then LvInc), and replaces Series1 with the 1000 points
// through the chosen filter (x in kHz). A refused bound or a box that is not a
// number throws at that step: the subtitle is then new, the series and the
// filters untouched.
void PlotSpectrum(const WorkingState& s, const PlotInputs& in, ChartModel& chart);

}  // namespace qvx
