#pragma once
// The images of a run (its spectrum, its 0.1-10 Hz window) drawn with Qt Charts for the
// report's file set.
#include <string>
#include <utility>
#include <vector>

#include "plot/noise_plot.h"
#include "report/run_report.h"

namespace qvx {

class ChartRunImages final : public RunImages {
 public:
  std::string Spectrum(const FinishedRun& run, const std::string& path) const override;
  std::string LowFrequency(const FinishedRun& run, const std::string& path) const override;
  std::string AllanDeviation(const FinishedRun& run, const std::string& path) const override;
  std::string TimeRecord(const FinishedRun& run, const std::string& path) const override;
};

// Several runs in one log-log figure into `path` (PNG or SVG by its extension); empty when
// written, else the problem.
std::string SaveOverlayImage(const std::vector<OverlayRun>& runs, const std::vector<std::pair<double, double>>& mask,
                             const std::string& caption, const std::string& path);

// Qt's own warnings (a missing runtime folder, font fallbacks) are no business of a program
// without a window; critical ones go to standard error under `program`'s name.
void QuietChartMessages(const char* program);

}  // namespace qvx
