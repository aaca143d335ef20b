#pragma once
// Two channels at once, for the cross-spectrum: one record shape taken again and again with
// channel 2 on, both channels ranged on their own, each record's points read in chunks
// (channel 1's, then channel 2's same points), and the pairs averaged into the cross-spectral
// estimator record after record until the plan's records, its time, or, asked to, until every
// log point of the range is resolved.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "capture/capture.h"
#include "core/errors.h"
#include "link/instrument_channel.h"
#include "psd/cross.h"

namespace qvx {

// How long to keep averaging: a number of records, seconds of recording, or until every log
// point from F1 to F2 is resolved within max_seconds. None given: kDefaultCrossRecords.
struct CrossLength {
  std::optional<std::size_t> records;
  std::optional<double> seconds;
  bool until_resolved = false;
  std::optional<double> max_seconds;  // of the whole capture; the default bound of until_resolved is an hour
};
inline constexpr std::size_t kDefaultCrossRecords = 10;
// Pairs a capture hands the estimator at once; a reading of its records does the same.
inline constexpr std::size_t kCrossPushPairs = 250000;
inline constexpr double kDefaultUntilResolvedSeconds = 3600.0;

struct CrossPlan {
  PlannedRecord record;     // the shape every record has, with its ranging
  std::size_t records = 0;  // the records to take; with until_resolved, the most that fit max_s
  bool until_resolved = false;
  double max_s = 0.0;  // until resolved: the longest the capture may take
  double f1_hz = 0.0;
  double f2_hz = 0.0;
  int ppd = 10;
  double record_s = 0.0;  // one record with its reading
  double total_s = 0.0;   // ranging and all the records
  // At F1 after the planned records: the averages, and the statistical floor relative to
  // each channel's own density, (2 m)^(-1/4), in dB.
  double averages_at_f1 = 0.0;
  double floor_at_f1_db = 0.0;
  double averages_per_record_at_f1 = 0.0;
  std::string error;  // why the instrument cannot do it; empty when it can
};

// The record shape: the lowest sample rate that reaches F2 with both channels on, and at that
// rate the longest record that resolves F1 without passing a tenth of the planned recording
// (nor 10 s).
CrossPlan PlanCrossCapture(double f1_hz, double f2_hz, const CrossLength& length, int ppd);
std::string CrossPlanText(const CrossPlan& plan);

// The records averaged so far, as a capture takes them or an analysis reads them back: the
// same pushes give the same figures.
class CrossRecords {
 public:
  CrossRecords(double fs_hz, std::size_t record_points);
  // The next pairs of the record in progress.
  void Push(const float* x, const float* y, std::size_t n);
  // Closes the record: its channel 1 as a RecordInfo, its channel 2 beside it.
  void EndRecord(const RecordInfo& info, const SecondChannelInfo& second);

  // The circuit's density from F1 to F2, one point a log point, with the gains; `gains_given`
  // marks it input-referred.
  NoiseSpectrum Spectrum(int ppd, double gain1, double gain2, bool gains_given, double f1_hz, double f2_hz) const;
  // Whether every log point from F1 to F2 is resolved (and there is one).
  bool Resolved(int ppd, double f1_hz, double f2_hz) const;

  std::size_t Records() const { return infos_.size(); }
  double Seconds() const { return estimator_->Seconds(); }
  std::size_t RecordPoints() const { return record_points_; }
  double SampleRate() const { return estimator_->SampleRate(); }

 private:
  std::size_t record_points_;
  std::unique_ptr<psd::CrossEstimator> estimator_;
  std::vector<RecordInfo> infos_;
  std::vector<SecondChannelInfo> second_;
  std::vector<psd::CrossFinePoint> first_;  // after the first record: how far the floor has fallen since
  double first_seconds_ = 0.0;
};

// Where a record's pairs go once it is taken whole (a .npy of two columns, say).
class PairSink {
 public:
  virtual ~PairSink() = default;
  virtual void Begin(int record, std::size_t points, double fs_hz) = 0;
  virtual void Append(const float* x, const float* y, std::size_t n) = 0;
  virtual void End(bool complete) = 0;
};

struct CrossCaptureSettings {
  const std::atomic<bool>* cancel = nullptr;  // stops within a second when set
  ProgressSink progress;
  int ppd = 10;
  double gain1 = 1.0;
  double gain2 = 1.0;
  bool gains_given = false;
  // The spectrum after each record; on the capture's thread.
  std::function<void(const NoiseSpectrum&)> live;
  PairSink* samples = nullptr;
};

struct CrossCaptureOutcome {
  std::unique_ptr<CrossRecords> records;  // the records averaged (none: null)
  std::optional<RunError> error;          // set when it failed or was cancelled (kInterrupted)
  bool cancelled = false;
};

// Takes the plan's records. A record is averaged only when it is whole and neither channel
// clipped; one that clips is taken again coarser. Channel 2 is turned off again and the
// instrument left running (:RUN) however it ends.
CrossCaptureOutcome RunCrossCapture(InstrumentChannel& channel, const CrossPlan& plan,
                                    const CrossCaptureSettings& settings);

}  // namespace qvx
