#include "job/noise_job.h"

#include <algorithm>
#include <utility>

#include "link/socket_channel.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

NoiseJob::~NoiseJob() {
  cancel_.store(true);
  if (worker_.joinable()) worker_.join();
}

bool NoiseJob::Start(const RunRequest& request) {
  {
    const std::lock_guard lock(mutex_);
    if (state_ == JobState::kRunning) return false;
    state_ = JobState::kRunning;
    progress_ = RunProgress{"connecting", 0.0, PlanRun(request).seconds, 0.0};
    progressAt_ = Clock::now();
    live_.reset();
    lastLive_.reset();
    result_ = RunResult{};
  }
  if (worker_.joinable()) worker_.join();
  cancel_.store(false);
  RunRequest own = request;
  own.cancel = &cancel_;
  own.keep_measured = true;
  worker_ = std::thread([this, own] {
    RunSinks sinks;
    sinks.live = [this](const NoiseSpectrum& s) {
      const std::lock_guard lock(mutex_);
      live_ = s;
      lastLive_ = s;
    };
    sinks.progress = [this](const RunProgress& p) {
      const std::lock_guard lock(mutex_);
      progress_ = p;
      progressAt_ = Clock::now();
    };
    // Nothing may end the process from here: whatever escapes is the run's failure.
    try {
      SocketChannel channel;
      Finish(RunNoise(own, channel, sinks));
    } catch (const std::exception& e) {
      RunResult failed;
      failed.error = RunError(ErrorKind::kInstrument, std::string("the measurement stopped: ") + e.what());
      Finish(std::move(failed));
    } catch (...) {
      RunResult failed;
      failed.error = RunError(ErrorKind::kInstrument, "the measurement stopped for a reason it could not name");
      Finish(std::move(failed));
    }
  });
  return true;
}

void NoiseJob::Cancel() { cancel_.store(true); }

JobState NoiseJob::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

RunProgress NoiseJob::Progress() const {
  const std::lock_guard lock(mutex_);
  RunProgress p = progress_;
  if (state_ == JobState::kRunning && p.step_s > 0 && p.seconds_left > 0) {
    // Whole seconds left over the whole plan: the part of the step since it began.
    const double into = std::min(Seconds(Clock::now() - progressAt_), p.step_s);
    const double total = p.seconds_left / std::max(1e-9, 1.0 - p.fraction);
    p.fraction = std::clamp(p.fraction + into / std::max(total, 1e-9), 0.0, 0.99);
    p.seconds_left = std::max(0.0, p.seconds_left - into);
  }
  return p;
}

std::optional<NoiseSpectrum> NoiseJob::TakeLive() {
  const std::lock_guard lock(mutex_);
  return std::exchange(live_, std::nullopt);
}

RunResult NoiseJob::TakeResult() {
  const std::lock_guard lock(mutex_);
  return std::move(result_);
}

void NoiseJob::Finish(RunResult result) {
  const std::lock_guard lock(mutex_);
  if (!result.measured && lastLive_ && !lastLive_->points.empty()) {
    // Stopped before the run could say what it had: the last live spectrum is what came.
    result.measured = true;
    result.measured_spectrum = *lastLive_;
    result.measured_spectrum.partial = true;
    result.measured_spectrum.partial_reason = result.error ? result.error->what() : "";
  }
  result_ = std::move(result);
  state_ = result_.status == RunStatus::kDone        ? JobState::kDone
           : result_.status == RunStatus::kCancelled ? JobState::kCancelled
                                                     : JobState::kFailed;
  if (state_ == JobState::kDone) progress_.fraction = 1.0;
  progress_.seconds_left = 0.0;
}

}  // namespace qvx
