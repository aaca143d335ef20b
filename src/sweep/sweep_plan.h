#pragma once
// The plan of a measurement across decades: one acquisition per decade, each with a
// timebase fine enough for its log points, and the time it will take.
#include <string>
#include <vector>

#include "setup/instrument_limits.h"

namespace qvx {

// Sample rate at a timebase: the memory depth over ten divisions, at most 1 GSa/s.
double PlannedSampleRate(double tdiv_s);

// Pauses of the window's set-up sequence and of one trace read, in seconds.
double SetupPauseSeconds();
double TracePauseSeconds();

// How long to wait after the set-up before asking for the trace, so that K frames have
// been averaged when the data query arrives (it follows the read's first pause). A 2 %
// and 50 ms margin covers the replies and the instrument's clock.
double AverageWaitSeconds(int averages, double tdiv_s, double time_scale);

struct PlannedAcquisition {
  double start_hz = 0.0;
  double end_hz = 0.0;
  double tdiv_s = 0.0;
  double fs_hz = 0.0;
  double rbw_hz = 0.0;      // the bin width the timebase gives
  double log_bin_hz = 0.0;  // the narrowest log bin of the span
  bool coarse = false;      // even the slowest timebase leaves bins wider than a third of it
  double average_s = 0.0;   // K frames x record time x time scale
  double seconds = 0.0;     // set-up, wait and one trace read
};

struct SweepPlan {
  std::vector<PlannedAcquisition> acquisitions;
  int averages = 32;
  int ppd = 10;
  double time_scale = 1.0;
  double ranging_s = 0.0;  // the read that ranges the first decade's FFT scale
  double total_s = 0.0;    // the acquisitions and the ranging read
};

// Decades [10^k, 10^(k+1)] cut to [from, to]; each gets the fastest timebase whose bin
// width is at most a third of its narrowest log bin. Empty when to <= from or from <= 0.
SweepPlan PlanSweep(double from_hz, double to_hz, int ppd, int averages, double time_scale);

// The range a sweep can cover at `ppd` points per decade: from the lowest decade whose log
// bins the slowest timebase still resolves to half the highest sample rate.
struct SweepLimits {
  double lowest_hz = 0.0;
  double highest_hz = 0.0;
};
SweepLimits SweepLimitsFor(int ppd);

// One line per acquisition and the total, for `plan` and before a sweep starts.
std::string PlanText(const SweepPlan& plan);

}  // namespace qvx
