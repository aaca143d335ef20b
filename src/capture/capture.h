#pragma once
// Measuring from the channel's time record over the command channel: the plan of records
// for a range, ranging the channel, one single record armed, waited for and read in chunks
// into the estimator as they arrive, and the records stitched into one spectrum.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "core/errors.h"
#include "link/instrument_channel.h"
#include "psd/envelope.h"
#include "psd/estimator.h"
#include "psd/time_domain.h"

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
  // The short records that find the channel's scale and offset first: their depth (at the
  // record's own sample rate), how many at most, and their time with reading.
  std::size_t ranging_points = 0;
  int ranging_records = 2;
  double ranging_s = 0.0;
  double read_s = 0.0;  // reading the record
};

struct CapturePlan {
  std::vector<PlannedRecord> records;  // fastest first
  double total_s = 0.0;                // the records' own time plus ranging and transfer
  double f1_hz = 0.0;
  double f2_hz = 0.0;
  double dof_at_f1 = 0.0;  // expected degrees of freedom of the log point at F1
  double ci_lo = 0.0;      // ... and its 95 % interval as factors of the density
  double ci_hi = 0.0;
  int lf_windows = 0;       // 10 s windows of the 0.1-10 Hz figure after settling
  bool lf_covered = false;  // at least six of them, and the density down to 0.1 Hz
  std::string error;        // why the instrument cannot do it; empty when it can
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

struct CapturedRecord {
  RecordInfo info;
  std::unique_ptr<psd::Estimator> estimator;
  // The record in time, from the same samples.
  std::unique_ptr<psd::TimeDomain> time;
  std::unique_ptr<psd::Envelope> envelope;
  // Every sample, as read, to all three.
  void Push(const float* volts, std::size_t n);
  bool complete = false;  // every point read
};

// Where a record's samples go as they are read (a .npy written as it comes, say).
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void Begin(int record, std::size_t points, double fs_hz) = 0;
  virtual void Append(const float* volts, std::size_t n) = 0;
  // The record ended: whole, or cut short (a failure or a cancel after some points).
  virtual void End(bool complete) = 0;
};

struct CaptureSettings {
  psd::Averaging averaging = psd::Averaging::Mean;
  const std::atomic<bool>* cancel = nullptr;  // stops within a second when set
  ProgressSink progress;
  int ppd = 10;
  // The spectrum so far (the records taken and the one being read), about four times a second
  // while a record is read and once at its end; on the capture's thread.
  std::function<void(const NoiseSpectrum&)> live;
  RecordSink* samples = nullptr;
};

struct CaptureOutcome {
  std::vector<CapturedRecord> records;  // the complete ones
  // The record being read when it stopped, with what its estimator had.
  std::optional<CapturedRecord> unfinished;
  std::optional<RunError> error;  // set when it failed or was cancelled (kInterrupted)
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
// A record's accumulators (spectrum, time, envelope), as a capture makes them; the same for an
// analysis of its samples, so both give the same figures.
CapturedRecord MakeCapturedRecord(double fs_hz, std::size_t points, psd::Averaging averaging);

// The time figures of a record, as the spectrum carries them.
TimeRecordFigures TimeFiguresOf(const CapturedRecord& record);

}  // namespace qvx
