#include "job/noise_job.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <utility>

#include "capture/capture.h"
#include "core/errors.h"
#include "analysis/noise_files.h"
#include "core/pause.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

SweepPlan SweepPlanOf(const JobRequest& r) { return PlanSweep(r.from_hz, r.to_hz, r.ppd, r.averages, r.time_scale); }

}  // namespace

JobPlan PlanJob(const JobRequest& r) {
  JobPlan plan;
  if (r.method == JobMethod::kRecord) {
    const CapturePlan capture = PlanCapture(r.from_hz, r.to_hz, r.seconds, r.ppd);
    if (!capture.error.empty()) {
      plan.error = capture.error;
      return plan;
    }
    plan.text = CapturePlanText(capture);
    plan.seconds = capture.total_s;
    return plan;
  }
  const SweepLimits limits = SweepLimitsFor(r.ppd);
  if (!(r.from_hz > 0) || !(r.to_hz > r.from_hz)) {
    plan.error = "a sweep runs from a frequency above 0 Hz to a higher one";
    return plan;
  }
  if (r.from_hz < limits.lowest_hz || r.to_hz > limits.highest_hz) {
    plan.error = "the instrument's FFT measures from " + FormatHz(limits.lowest_hz) + " (its slowest timebase, at " +
                 std::to_string(r.ppd) + " points per decade) to " + FormatHz(limits.highest_hz) +
                 "; use the time record below that";
    return plan;
  }
  const SweepPlan sweep = SweepPlanOf(r);
  plan.text = PlanText(sweep);
  plan.seconds = sweep.total_s;
  return plan;
}

std::string OpenInstrument(SocketChannel& channel, WholeLineChannel& lines, const std::string& addr, std::string& idn) {
  channel.SetAddress(addr);
  if (channel.ConnectInstrument() != 1) {
    return "cannot connect to " + addr + ":" + std::to_string(INSTRUMENT_PORT) +
           " (refused or no answer within 5 s); check the address, the cable and that the instrument is on";
  }
  idn = lines.QueryInstrument("*IDN?");
  if (lines.PeerClosed() || idn == kTimeoutReply) {
    return addr + " accepted the connection but " + lines.LastQueryOutcome() +
           "; check that it is the instrument, then try again";
  }
  return {};
}

NoiseJob::~NoiseJob() {
  cancel_.store(true);
  if (worker_.joinable()) worker_.join();
}

bool NoiseJob::Start(const JobRequest& request) {
  {
    const std::lock_guard lock(mutex_);
    if (state_ == JobState::kRunning) return false;
    state_ = JobState::kRunning;
    progress_ = JobProgress{"connecting", 0.0, PlanJob(request).seconds};
    live_.reset();
    lastLive_.reset();
    sweepClock_.reset();
    result_ = JobResult{};
  }
  if (worker_.joinable()) worker_.join();
  cancel_.store(false);
  worker_ = std::thread([this, request] {
    // Nothing may end the process from here: whatever escapes is the run's failure.
    try {
      Run(request);
    } catch (const std::exception& e) {
      Finish(JobResult{JobState::kFailed, std::string("the measurement stopped: ") + e.what(), false, {}, {}});
    } catch (...) {
      Finish(JobResult{JobState::kFailed, "the measurement stopped for a reason it could not name", false, {}, {}});
    }
  });
  return true;
}

void NoiseJob::Cancel() { cancel_.store(true); }

JobState NoiseJob::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

JobProgress NoiseJob::Progress() const {
  const std::lock_guard lock(mutex_);
  JobProgress p = progress_;
  if (sweepClock_ && state_ == JobState::kRunning) {
    const SweepClock& c = *sweepClock_;
    const double into = std::min(Seconds(Clock::now() - c.started), c.share_s);
    p.fraction = std::clamp((c.done_s + into) / std::max(c.total_s, 1e-9), 0.0, 0.99);
    p.seconds_left = std::max(0.0, c.total_s - c.done_s - into);
  }
  return p;
}

std::optional<NoiseSpectrum> NoiseJob::TakeLive() {
  const std::lock_guard lock(mutex_);
  return std::exchange(live_, std::nullopt);
}

JobResult NoiseJob::TakeResult() {
  const std::lock_guard lock(mutex_);
  return std::move(result_);
}

void NoiseJob::Finish(JobResult result) {
  if (!result.measured && lastLive_) {
    // Cancelled or failed in the middle of a record: what its chunks gave so far.
    result.spectrum = *lastLive_;
    result.measured = !result.spectrum.points.empty();
  }
  if (result.measured && result.state != JobState::kDone) {
    result.spectrum.partial = true;
    result.spectrum.partial_reason = result.state == JobState::kCancelled ? "cancelled" : result.message;
  }
  const std::lock_guard lock(mutex_);
  result_ = std::move(result);
  state_ = result_.state;
  if (state_ == JobState::kDone) progress_.fraction = 1.0;
  progress_.seconds_left = 0.0;
}

void NoiseJob::Run(JobRequest request) {
  const CancellablePauses pauses(&cancel_);
  JobResult result;
  auto live = [this](const NoiseSpectrum& s) {
    const std::lock_guard lock(mutex_);
    live_ = s;
    lastLive_ = s;
  };
  const JobPlan plan = PlanJob(request);
  if (!plan.error.empty()) {
    result.state = JobState::kFailed;
    result.message = plan.error;
    Finish(std::move(result));
    return;
  }
  SocketChannel channel;
  WholeLineChannel lines(channel);
  std::string idn;
  const std::string refused = OpenInstrument(channel, lines, request.addr, idn);
  if (!refused.empty() || cancel_.load()) {
    result.state = refused.empty() ? JobState::kCancelled : JobState::kFailed;
    result.message = refused;
    Finish(std::move(result));
    return;
  }
  auto stamp = [&](NoiseSpectrum& s) {
    s.idn = idn;
    s.addr = request.addr;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = {};
    if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    s.date = text;
  };

  if (request.method == JobMethod::kRecord) {
    CaptureSettings settings;
    settings.averaging = request.averaging;
    settings.keep_samples = true;
    settings.cancel = &cancel_;
    settings.ppd = request.ppd;
    settings.live = live;
    settings.progress = [this](const CaptureProgress& p) {
      const std::lock_guard lock(mutex_);
      progress_.phase = "record " + std::to_string(p.record) + " of " + std::to_string(p.records) + ": " + p.phase;
      progress_.fraction = p.fraction;
      progress_.seconds_left = std::max(0.0, p.seconds_left);
    };
    CaptureOutcome outcome =
        RunCapture(lines, PlanCapture(request.from_hz, request.to_hz, request.seconds, request.ppd), settings);
    result.state = outcome.cancelled ? JobState::kCancelled : outcome.error ? JobState::kFailed : JobState::kDone;
    if (outcome.error && !outcome.cancelled) result.message = outcome.error->message;
    if (!outcome.records.empty()) {
      result.spectrum = StitchRecords(outcome.records, request.ppd);
      result.measured = true;
      for (CapturedRecord& r : outcome.records) result.raw.push_back(std::move(r.volts));
    }
  } else {
    const SweepPlan sweep = SweepPlanOf(request);
    MeasureSettings settings;
    settings.acquisitions = sweep.acquisitions;
    settings.ch1_scale = request.ch1_scale;
    settings.first_range = request.first_range;
    settings.averages = request.averages;
    settings.time_scale = request.time_scale;
    settings.ppd = request.ppd;
    settings.cancel = &cancel_;
    // Progress by the plan: the acquisitions done, and the time into the current one.
    const auto& planned = sweep.acquisitions;
    std::size_t done = 0;
    auto startAcquisition = [&] {
      const std::lock_guard lock(mutex_);
      SweepClock& c = sweepClock_ ? *sweepClock_ : sweepClock_.emplace();
      c.total_s = sweep.total_s;
      c.share_s = done < planned.size() ? planned[done].seconds : 0.0;
      c.started = Clock::now();
    };
    startAcquisition();
    settings.live = [&](const NoiseSpectrum& s) {
      live(s);
      {
        const std::lock_guard lock(mutex_);
        sweepClock_->done_s += done < planned.size() ? planned[done].seconds : 0.0;
      }
      ++done;
      startAcquisition();
    };
    // The measurement's own lines name the acquisition: "acquisition 2 of 5: ...".
    const LogSink progress = [&](const std::string& line) {
      const std::lock_guard lock(mutex_);
      progress_.phase = line.substr(0, line.find(':'));
    };
    MeasureOutcome outcome;
    try {
      outcome = RunMeasurement(lines, settings, progress);
    } catch (const Exception& e) {
      outcome.status = MeasureStatus::kNotAnswering;
      outcome.message = std::string("the instrument's reply could not be used: ") + e.what();
    }
    result.state = outcome.status == MeasureStatus::kOk          ? JobState::kDone
                   : outcome.status == MeasureStatus::kCancelled ? JobState::kCancelled
                                                                 : JobState::kFailed;
    if (result.state == JobState::kFailed) result.message = outcome.message;
    result.spectrum = std::move(outcome.spectrum);
    result.measured = !result.spectrum.points.empty() && outcome.status != MeasureStatus::kAllClipped;
  }
  if (result.measured) stamp(result.spectrum);
  if (lastLive_) stamp(*lastLive_);  // only this thread writes it
  Finish(std::move(result));
}

}  // namespace qvx
