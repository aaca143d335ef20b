#pragma once
// A whole noise run on a worker thread with its own connection, for the measurement window:
// the thread, the cancel flag and the snapshots a window polls (progress, the live spectrum,
// the result). The run itself is RunNoise's; nothing here blocks the caller.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "analysis/noise_spectrum.h"
#include "run/run.h"

namespace qvx {

enum class JobState { kIdle, kRunning, kDone, kCancelled, kFailed };

class NoiseJob {
 public:
  NoiseJob() = default;
  ~NoiseJob();  // cancels and waits for the worker
  NoiseJob(const NoiseJob&) = delete;
  NoiseJob& operator=(const NoiseJob&) = delete;

  // Starts the worker; false (and nothing started) while one runs. The request's cancel flag
  // is the job's own.
  bool Start(const RunRequest& request);
  // Asks the worker to stop; it ends within a second, keeping what was measured.
  void Cancel();

  JobState State() const;
  // The progress, moved on with the clock through a step that reports only at its end.
  RunProgress Progress() const;
  // The newest live spectrum since the last call.
  std::optional<NoiseSpectrum> TakeLive();
  // Once the state is no longer kRunning: what came of it.
  RunResult TakeResult();

 private:
  void Finish(RunResult result);

  std::thread worker_;
  std::atomic<bool> cancel_{false};
  mutable std::mutex mutex_;
  JobState state_ = JobState::kIdle;
  RunProgress progress_;
  std::chrono::steady_clock::time_point progressAt_;
  std::optional<NoiseSpectrum> live_;
  std::optional<NoiseSpectrum> lastLive_;
  RunResult result_;
};

}  // namespace qvx
