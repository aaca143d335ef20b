#pragma once
// One noise run from request to result, the same for qvx71-noise and the measurement window:
// the plan checks (the floor and the output folder included) before anything is connected,
// the connection and *IDN?, the instrument's FFT (one span or a sweep) or its time record,
// or an analysis of a file, then the corrections, the analysis, the partial result of a run
// that stopped, and the run's files. Synchronous and without Qt: the window calls it on its
// worker thread, the CLI directly; both hand in the channel.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/noise_analysis.h"
#include "analysis/noise_spectrum.h"
#include "capture/capture.h"
#include "core/errors.h"
#include "link/instrument_channel.h"
#include "psd/estimator.h"
#include "report/run_report.h"
#include "run/store_request.h"
#include "sweep/measurement.h"

namespace qvx {

enum class RunMethod {
  kFft,     // the instrument's FFT as it is set (or set up from the stored settings)
  kSweep,   // the instrument's FFT decade by decade
  kRecord,  // the channel's time record
  kCross,   // both channels' time records: the cross-spectrum
  kFile,    // a file: a CSV of a run, the window's clipboard export, or raw records (.npy)
};

// The instrument's FFT: one span, or a sweep from from_hz to to_hz.
struct FftRequest {
  bool set_up = false;  // one span: send the set-up (the stored settings, or the span given) first
  std::optional<std::pair<double, double>> span;
  int averages = 32;
  std::string window;  // sent after each set-up, or assumed when the instrument does not say
  double time_scale = 1.0;
  // The stored settings the set-up starts from.
  std::string ch1_scale = "0.0002";
  FftRange first_range{1e-8, -7e-8};
  std::string tdiv_text = "0.01";
  double start_hz = 0.0;
  double end_hz = 100000.0;
};

struct FileRequest {
  std::string path;
  std::optional<std::pair<double, double>> span;  // of a level-only clipboard export
  std::optional<double> fs_hz;                    // of a lone .npy
  std::optional<psd::Averaging> averaging;        // of records; default as captured
  std::optional<FftWindow> window;                // of levels; default Hann
};

// The cross-spectrum: how long to average, and channel 2's preamplifier (channel 1's is the
// corrections' constant gain; a gain file is refused, as is a floor).
struct CrossRequest {
  std::optional<std::size_t> records;
  bool until_resolved = false;  // within max_seconds (default an hour)
  std::optional<double> gain2;  // empty: channel 1's gain
};

struct RunRequest {
  RunMethod method = RunMethod::kRecord;
  std::string addr;
  double from_hz = 1.0;  // a sweep's or a capture's range
  double to_hz = 100000.0;
  int ppd = 10;
  FftRequest fft;
  // The capture's slowest record (a cross-spectrum's whole recording); empty: the plan's own.
  std::optional<double> seconds;
  CrossRequest cross;
  psd::Averaging averaging = psd::Averaging::Mean;
  FileRequest file;
  std::optional<double> max_seconds;  // refuse a plan longer, and stop a sweep that would pass it
  CorrectionFiles corrections;
  bool floor_any = false;  // take a floor measured otherwise, with a warning
  AnalysisRequest analysis;
  std::string out_prefix;  // the run's files; empty: none
  RunFormats formats;
  std::string json_path;    // the JSON alone to this file; empty: none
  bool keep_records = false;  // keep the raw records (in a folder of the run's own) for a later save
  bool keep_measured = false;  // keep the spectrum at the converter in the result beside the finished one
  StoreRequest store;         // the results store the run is kept in when it ends
  const std::atomic<bool>* cancel = nullptr;
};

struct RunProgress {
  std::string phase;  // "record 1 of 2: reading", "acquisition 2 of 5"
  double fraction = 0.0;
  double seconds_left = 0.0;
  // The planned time of the step under way: a poller may move on with the clock through it.
  double step_s = 0.0;
};

struct RunSinks {
  std::function<void(const std::string& text)> plan;  // the plan, before anything is connected
  std::function<void(const std::string& line)> note;  // "connecting to ...", progress lines, warnings
  std::function<void(const RunProgress&)> progress;
  std::function<void(const NoiseSpectrum&)> live;     // the spectrum so far, at the converter
  const RunImages* images = nullptr;
};

enum class RunStatus { kDone, kCancelled, kFailed };

struct RunResult {
  RunStatus status = RunStatus::kFailed;
  std::optional<RunError> error;  // why it failed or stopped
  bool measured = false;          // something was measured (also when it stopped later)
  NoiseSpectrum measured_spectrum;          // at the converter, before any correction
  std::optional<FinishedRun> finished;      // corrected and analysed; partial when it stopped
  Corrections corrections;
  std::string summary;                      // as a terminal shows it
  std::string json;
  WrittenFiles files;                       // what was written, or why not
  std::vector<std::string> records;         // raw record files kept for a later save
  std::shared_ptr<RecordSink> record_files;  // ... which live as long as this does
  std::vector<std::string> warnings;
  std::optional<std::int64_t> stored_id;  // the run's id in the results store
  std::optional<RunError> store_error;    // why the store did not keep it (the run itself stands)
  bool OverLimit() const { return finished && finished->report.limit && !finished->report.limit->pass; }
};

// What a request will do and how long it will take, or why it cannot; nothing is connected.
struct RunPlan {
  std::string text;
  double seconds = 0.0;
  std::string error;
  // A sweep beyond what the instrument's FFT measures: the part of it that it does.
  std::optional<std::pair<double, double>> sweep_within;
};
RunPlan PlanRun(const RunRequest& request);

// Everything a request asks that can be refused before anything is measured or read: the
// plan, the formats and the output folder, the correction files and the floor against the
// plan. Throws RunError(kUsage or kData).
Corrections CheckRun(const RunRequest& request, std::vector<std::string>* warnings);

// Before anything is connected: the output prefix names files in a folder that takes them;
// else RunError(kUsage).
void CheckOutputPrefix(const std::string& prefix);

RunResult RunNoise(const RunRequest& request, InstrumentChannel& channel, const RunSinks& sinks);
// An analysis of a file (RunMethod::kFile), which needs no instrument.
RunResult RunNoise(const RunRequest& request, const RunSinks& sinks);

// "2026-12-09 04:10": the local time a run is stamped with.
std::string RunDateNow();

// "run.json" -> "run.partial.json"; other names get ".partial" at their end.
std::string PartialName(const std::string& path);

}  // namespace qvx
