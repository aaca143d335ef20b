#pragma once
// A whole noise measurement on a worker thread with its own connection: the time record
// or the instrument's FFT sweep, with progress, a live spectrum, cancel, and what was
// measured kept however it ends. Callers poll it; nothing here blocks them.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/noise_spectrum.h"
#include "link/socket_channel.h"
#include "link/whole_line_channel.h"
#include "psd/estimator.h"
#include "sweep/measurement.h"

namespace qvx {

enum class JobMethod { kRecord, kFftSweep };

struct JobRequest {
  JobMethod method = JobMethod::kRecord;
  double from_hz = 1.0;
  double to_hz = 100000.0;
  int ppd = 10;
  int averages = 32;              // the FFT sweep's averaging count
  std::optional<double> seconds;  // the time record's slowest record; empty: the plan's default
  psd::Averaging averaging = psd::Averaging::Mean;
  std::string addr;
  // The sweep's set-up, as the settings file gives it to the window.
  std::string ch1_scale = "0.0002";
  FftRange first_range{1e-8, -7e-8};
  double time_scale = 1.0;
};

// What the request will do and how long it will take, or why the instrument cannot do it.
struct JobPlan {
  std::string text;
  double seconds = 0.0;
  std::string error;
};
JobPlan PlanJob(const JobRequest& request);

// Connects `channel` to `addr` and asks *IDN? through `lines`; empty when it answered
// (its reply in `idn`), else what went wrong and what to check.
std::string OpenInstrument(SocketChannel& channel, WholeLineChannel& lines, const std::string& addr, std::string& idn);

enum class JobState { kIdle, kRunning, kDone, kCancelled, kFailed };

struct JobProgress {
  std::string phase;  // "record 1 of 2: reading", "acquisition 2 of 5", "connecting"
  double fraction = 0.0;
  double seconds_left = 0.0;
};

struct JobResult {
  JobState state = JobState::kIdle;
  std::string message;                  // why it failed
  bool measured = false;                // something was measured (also when cancelled or failed later)
  NoiseSpectrum spectrum;               // at the converter, before any correction
  std::vector<std::vector<float>> raw;  // the time record's samples, one vector a record
};

class NoiseJob {
 public:
  NoiseJob() = default;
  ~NoiseJob();  // cancels and waits for the worker
  NoiseJob(const NoiseJob&) = delete;
  NoiseJob& operator=(const NoiseJob&) = delete;

  // Starts the worker; false (and nothing started) while one runs.
  bool Start(const JobRequest& request);
  // Asks the worker to stop; it ends within a second, keeping what was measured.
  void Cancel();

  JobState State() const;
  JobProgress Progress() const;
  // The newest live spectrum since the last call.
  std::optional<NoiseSpectrum> TakeLive();
  // Once the state is no longer kRunning: what came of it. The raw samples move out.
  JobResult TakeResult();

 private:
  void Run(JobRequest request);
  void Finish(JobResult result);

  std::thread worker_;
  std::atomic<bool> cancel_{false};
  mutable std::mutex mutex_;
  JobState state_ = JobState::kIdle;
  JobProgress progress_;
  // A sweep's progress goes by the clock between its acquisitions.
  struct SweepClock {
    double total_s = 0.0;
    double done_s = 0.0;   // the planned time of the acquisitions taken
    double share_s = 0.0;  // ... and of the one under way
    std::chrono::steady_clock::time_point started;
  };
  std::optional<SweepClock> sweepClock_;
  std::optional<NoiseSpectrum> live_;
  std::optional<NoiseSpectrum> lastLive_;
  JobResult result_;
};

}  // namespace qvx
