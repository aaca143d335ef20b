#pragma once
// Measuring from the channel's time record over the command channel: the plan of records
// for a range, ranging the channel, one single record armed, waited for and read in chunks
// into the estimator as they arrive, and the records stitched into one spectrum.
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "link/instrument_channel.h"
#include "psd/estimator.h"

namespace qvx {

inline constexpr double kLfSettleSeconds = 10.0;  // dropped before the 0.1-10 Hz windows
inline constexpr int kLfDefaultWindows = 6;

// One record the instrument can take: its depth and timebase, and the band it serves.
struct PlannedRecord {
  std::size_t points = 0;
  double tdiv_s = 0.0;
  double fs_hz = 0.0;
  double seconds = 0.0;  // 10 divisions of the timebase
  double lo_hz = 0.0;
  double hi_hz = 0.0;
};

struct CapturePlan {
  std::vector<PlannedRecord> records;  // fastest first
  double total_s = 0.0;                // the records' own time plus ranging and transfer
  double f1_hz = 0.0;
  double f2_hz = 0.0;
  double dof_at_f1 = 0.0;  // expected degrees of freedom of the log point at F1
  double ci_lo = 0.0;      // ... and its 95 % interval as factors of the density
  double ci_hi = 0.0;
  bool lf_covered = false;
  std::string error;  // why the instrument cannot do it; empty when it can
};

// Records for F1 ... F2: a fast one for the top decades when one slow record cannot reach
// F2, and a slow one of `seconds` (default: the 0.1-10 Hz figure with six windows when F1 is
// 0.1 Hz or below, else about 20 degrees of freedom at F1), each within the 10 M memory depth.
CapturePlan PlanCapture(double f1_hz, double f2_hz, std::optional<double> seconds, int ppd);
std::string CapturePlanText(const CapturePlan& plan);

struct CaptureProgress {
  std::string phase;  // "ranging", "recording", "reading", "analysing"
  int record = 0;     // 1-based
  int records = 0;
  std::size_t points_read = 0;
  std::size_t points_total = 0;
  double fraction = 0.0;  // of the whole capture
  double seconds_left = 0.0;
};
using ProgressSink = std::function<void(const CaptureProgress&)>;

// What went wrong, in words for the user; `instrument` tells the instrument's fault (exit 3)
// from the data's (exit 4).
struct CaptureError {
  std::string message;
  bool instrument = true;
};

struct CapturedRecord {
  RecordInfo info;
  std::vector<float> volts;  // kept only when asked for (the raw file)
  std::unique_ptr<psd::Estimator> estimator;
};

struct CaptureSettings {
  psd::Averaging averaging = psd::Averaging::Mean;
  bool keep_samples = false;
  const std::atomic<bool>* cancel = nullptr;  // stops within a second when set
  ProgressSink progress;
  int ppd = 10;
  // The spectrum so far (the records taken and the one being read), about four times a second
  // while a record is read and once at its end; on the capture's thread.
  std::function<void(const NoiseSpectrum&)> live;
};

struct CaptureOutcome {
  std::vector<CapturedRecord> records;
  std::optional<CaptureError> error;  // set when it failed or was cancelled
  bool cancelled = false;
};

// Takes every record of the plan; the instrument is left running (:RUN) however it ends.
CaptureOutcome RunCapture(InstrumentChannel& channel, const CapturePlan& plan, const CaptureSettings& settings);

// The spectrum of the records, each log bin from the record that resolves it best (the
// most degrees of freedom), with the 0.1-10 Hz figures of the longest record that covers them.
NoiseSpectrum StitchRecords(const std::vector<CapturedRecord>& records, int ppd);
NoiseSpectrum StitchRecords(const std::vector<const CapturedRecord*>& records, int ppd);

// An estimator for a record of `points` at `fs`, as a capture makes it.
std::unique_ptr<psd::Estimator> MakeRecordEstimator(double fs_hz, std::size_t points, psd::Averaging averaging);

}  // namespace qvx
