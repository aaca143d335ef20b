#include "sweep/sweep_plan.h"

#include <algorithm>
#include <cmath>

#include "core/text.h"
#include "core/conversions.h"
#include "analysis/noise_spectrum.h"
#include "setup/fft_setup.h"
#include "setup/rbw.h"
#include "spectrum/trace.h"

namespace qvx {

double PlannedSampleRate(double tdiv_s) { return std::min(kMaxSampleRate, kSweepMemoryDepth / (10.0 * tdiv_s)); }

double SetupPauseSeconds() {
  int ms = 0;
  for (const SetupStep& step : kFftSetupSteps) ms += step.pauseAfterMs;
  return ms / 1000.0;
}

double TracePauseSeconds() { return (kTraceQueryPauseMs + kTraceReadPauseMs) / 1000.0; }

double AverageWaitSeconds(int averages, double tdiv_s, double time_scale) {
  const double frames = averages * 10.0 * tdiv_s * time_scale;
  return std::max(0.0, frames * 1.02 + 0.05 - kTraceQueryPauseMs / 1000.0);
}

SweepPlan PlanSweep(double from_hz, double to_hz, int ppd, int averages, double time_scale) {
  SweepPlan plan;
  plan.averages = averages;
  plan.ppd = ppd;
  plan.time_scale = time_scale;
  if (!(from_hz > 0) || !(to_hz > from_hz) || ppd <= 0) return plan;
  for (int k = static_cast<int>(std::floor(std::log10(from_hz) + 1e-9)); std::pow(10.0, k) < to_hz * (1 - 1e-12); ++k) {
    PlannedAcquisition a;
    a.start_hz = std::max(from_hz, std::pow(10.0, k));
    a.end_hz = std::min(to_hz, std::pow(10.0, k + 1));
    if (!(a.end_hz > a.start_hz)) continue;
    const int j = LogBinIndex(a.start_hz, ppd);
    a.log_bin_hz = LogBinLow(j + 1, ppd) - LogBinLow(j, ppd);
    const auto& steps = TimebaseSteps();
    a.tdiv_s = steps.back();
    a.coarse = true;
    for (double tdiv : steps) {
      if (ComputeRbw(tdiv, PlannedSampleRate(tdiv)) <= a.log_bin_hz / 3.0) {
        a.tdiv_s = tdiv;
        a.coarse = false;
        break;
      }
    }
    a.fs_hz = PlannedSampleRate(a.tdiv_s);
    a.rbw_hz = ComputeRbw(a.tdiv_s, a.fs_hz);
    a.average_s = averages * 10.0 * a.tdiv_s * time_scale;
    a.seconds = SetupPauseSeconds() + AverageWaitSeconds(averages, a.tdiv_s, time_scale) + TracePauseSeconds();
    // The first decade starts from the stored FFT range and as a rule needs one more read once
    // it is ranged; the later ones start from their neighbour's level and seldom do.
    if (plan.acquisitions.empty()) plan.ranging_s = TracePauseSeconds();
    plan.total_s += a.seconds;
    plan.acquisitions.push_back(a);
  }
  plan.total_s += plan.ranging_s;
  return plan;
}

SweepLimits SweepLimitsFor(int ppd) {
  SweepLimits limits{0.0, kMaxSampleRate / 2.0};
  const double slowest = TimebaseSteps().back();
  const double rbw = ComputeRbw(slowest, PlannedSampleRate(slowest));
  for (int k = -12; k < 9 && ppd > 0; ++k) {
    const int j = LogBinIndex(std::pow(10.0, k), ppd);
    if (rbw <= (LogBinLow(j + 1, ppd) - LogBinLow(j, ppd)) / 3.0) {
      limits.lowest_hz = std::pow(10.0, k);
      break;
    }
  }
  return limits;
}

std::string PlanText(const SweepPlan& plan) {
  std::string out;
  int i = 0;
  for (const PlannedAcquisition& a : plan.acquisitions) {
    ++i;
    out += std::to_string(i) + ". " + FormatHz(a.start_hz) + " - " + FormatHz(a.end_hz) + ": " +
           FormatSeconds(a.tdiv_s) + "/div, Fs " + FormatHz(a.fs_hz) + ", RBW " + FormatHz(a.rbw_hz) +
           " (narrowest log bin " + FormatHz(a.log_bin_hz) + (a.coarse ? ", RBW too coarse" : "") + "), " +
           std::to_string(plan.averages) + " averages " + FormatDuration(a.average_s) + ", in all " +
           FormatDuration(a.seconds) + "\n";
  }
  out += "planned time: " + FormatDuration(plan.total_s) + " for " + std::to_string(plan.acquisitions.size()) +
         " acquisitions (set-up pauses " + FormatDuration(SetupPauseSeconds()) + " and trace pauses " +
         FormatDuration(TracePauseSeconds()) + " each, and one read to range the first decade's FFT scale)\n";
  return out;
}

}  // namespace qvx
