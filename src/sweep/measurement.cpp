#include "sweep/measurement.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/text.h"
#include "core/conversions.h"
#include "core/errors.h"
#include "core/pause.h"
#include "link/whole_line_channel.h"
#include "setup/fft_setup.h"
#include "setup/status_read.h"
#include "spectrum/trace.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;

// ByteToVolts(255) with 0 V at byte 0 is 255/32 - 4 + 4 = 7.96875 divisions.
constexpr double kDivisionsAboveZero = 7.96875;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The set-up's own command for the scale or the offset, so ranging speaks as the set-up does.
void SendRange(InstrumentChannel& ch, const FftRange& range) {
  WorkingState s;
  s.FftScale = range.scale;
  s.FftOffset = range.offset;
  for (const SetupStep& step : kFftSetupSteps) {
    if (step.value == SetupValue::kFftScale || step.value == SetupValue::kFftOffset) {
      ch.SendCommand(SetupCommand(step, s, {}));
    }
  }
}

std::string Describe(const PlannedAcquisition& a) { return FormatHz(a.start_hz) + " - " + FormatHz(a.end_hz); }

}  // namespace

FftRange RangeWithTop(double top_volts) {
  // Three significant digits, rounded up: a value an operator would type.
  double scale = top_volts / kDivisionsAboveZero;
  if (scale > 0 && std::isfinite(scale)) {
    const double unit = std::pow(10.0, std::floor(std::log10(scale)) - 2);
    scale = std::ceil(scale / unit - 1e-9) * unit;
  }
  return {scale, -4.0 * scale};
}

int ClippedBytes(const std::array<unsigned char, SPEC_POINTS>& bytes) {
  return static_cast<int>(
      std::count_if(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0 || b == 255; }));
}

std::optional<FftRange> NextFftRange(const std::array<unsigned char, SPEC_POINTS>& bytes, const FftRange& current,
                                     bool strict, bool skip_first) {
  int low = 0;
  int high = 0;
  double maxVolts = 0.0;
  bool anyInside = false;
  for (std::size_t i = skip_first ? 1 : 0; i < bytes.size(); ++i) {
    const unsigned char b = bytes[i];
    if (b == 0) {
      ++low;
    } else if (b == 255) {
      ++high;
    } else {
      maxVolts = anyInside ? std::max(maxVolts, ByteToVolts(b, current.scale, current.offset))
                           : ByteToVolts(b, current.scale, current.offset);
      anyInside = true;
    }
  }
  const double top = ByteToVolts(255, current.scale, current.offset);
  const double bottom = ByteToVolts(0, current.scale, current.offset);
  const double step = current.scale * 0.03125;
  if (strict ? low + high == 0 : (low + high) * 100 < SPEC_POINTS) {
    // Too little of the byte range used costs resolution.
    if (anyInside && maxVolts > 0 && maxVolts < 0.25 * top) return RangeWithTop(1.6 * maxVolts);
    return std::nullopt;
  }
  if (high > 0) return RangeWithTop(8.0 * std::max(top, maxVolts));
  // Only low clipping: first bring byte 0 down to 0 V ...
  if (bottom > step) return RangeWithTop(std::max(top, 1.6 * maxVolts));
  // ... then values below half a step need a finer scale, if the largest value allows one.
  if (!anyInside) return RangeWithTop(top / 16.0);
  if (1.6 * maxVolts < 0.9 * top) return RangeWithTop(1.6 * maxVolts);
  return std::nullopt;
}

MeasureOutcome RunMeasurement(InstrumentChannel& channel, const MeasureSettings& settings, const LogSink& progress) {
  // Whole-line replies, and plain words for what went wrong with a query.
  WholeLineChannel ch(channel);
  MeasureOutcome out;
  NoiseSpectrum& spectrum = out.spectrum;
  spectrum.ppd = settings.ppd;
  spectrum.averages = settings.set_up ? settings.averages : 0;
  auto say = [&](const std::string& line) {
    if (progress) progress(line);
  };
  auto cancelled = [&] { return settings.cancel && settings.cancel->load(); };
  auto fail = [&](MeasureStatus status, std::string message) {
    out.status = status;
    out.message = std::move(message);
    return out;
  };

  const auto& plan = settings.acquisitions;
  const std::size_t n = plan.size();
  double plannedLeft = 0.0;
  for (const PlannedAcquisition& a : plan) plannedLeft += a.seconds;
  FftRange range = settings.first_range;
  bool windowKnown = false;
  std::string channelScale;  // as the instrument reports it, when not set up here

  for (std::size_t i = 0; i < n; ++i) {
    if (cancelled()) return fail(MeasureStatus::kCancelled, "cancelled");
    const PlannedAcquisition& a = plan[i];
    const auto started = Clock::now();
    const std::string name = "acquisition " + std::to_string(i + 1) + " of " + std::to_string(n);
    if (settings.deadline &&
        started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(a.seconds)) >
            *settings.deadline) {
      return fail(
          MeasureStatus::kTimeLimit,
          name + " (" + Describe(a) + ", " + FormatDuration(a.seconds) +
              ") would pass the time limit; allow more time (--max-minutes) or measure fewer decades or averages");
    }

    WorkingState s;
    if (settings.set_up) {
      s.Startf = a.start_hz;
      s.Endf = a.end_hz;
      s.TDiv = settings.tdiv_text.empty() ? FloatToStr(a.tdiv_s) : settings.tdiv_text;
      s.Ch1Scale = settings.ch1_scale;
      s.FftScale = range.scale;
      s.FftOffset = range.offset;
      say(name + ": " + Describe(a) + ", " + FormatSeconds(StrToFloat(s.TDiv)) + "/div: setting up");
      RunFftSetup(ch, s, std::to_string(settings.averages), {});
      if (!settings.window.empty()) ch.SendCommand(kWindowCommand + settings.window);
    }
    if (!windowKnown) {
      // The instrument's own word on its window; Hann (or the one sent) when it has none.
      const auto window = FindFftWindow(ch.QueryInstrument(kWindowQuery));
      spectrum.window = window ? *window : FindFftWindow(settings.window).value_or(HannWindow());
      spectrum.window_source = window ? "instrument" : "assumed";
      windowKnown = true;
      if (!settings.set_up) {
        // Left as the operator set it: the count is worth knowing, not worth failing over.
        int count = 0;
        if (TryParseIniInteger(ch.QueryInstrument(kAverageCountQuery), count) && count > 0) spectrum.averages = count;
        // So is the channel scale, which sets the converter's floor.
        const std::string scale = ch.QueryInstrument(kChannelScaleQuery);
        if (ParseDecimal(scale)) channelScale = scale;
      }
    }
    if (!settings.set_up) s.Ch1Scale = channelScale;
    if (settings.set_up) {
      const double tdiv = StrToFloat(s.TDiv);
      const double wait = AverageWaitSeconds(settings.averages, tdiv, settings.time_scale);
      say(name + ": averaging " + std::to_string(settings.averages) + " frames, waiting " + FormatDuration(wait) +
          "; about " + FormatDuration(plannedLeft) + " left");
      // In tenths of a second, so a cancel is seen at once, however long the average.
      for (double left = std::ceil(wait * 1000.0); left > 0; left -= 100.0) {
        if (cancelled()) return fail(MeasureStatus::kCancelled, "cancelled");
        Pause(static_cast<int>(std::min(left, 100.0)));
      }
    }

    std::array<unsigned char, SPEC_POINTS> bytes{};
    int reads = 0;
    int failedReads = 0;
    for (;;) {
      if (cancelled()) return fail(MeasureStatus::kCancelled, "cancelled");
      if (!RequestTraceBlock(ch, bytes)) {
        if (ch.PeerClosed()) {
          return fail(
              MeasureStatus::kNotAnswering,
              name + ": the instrument closed the connection during the trace read; check that it is on and try again");
        }
        // One more try: a block can be lost once without the instrument being gone.
        if (++failedReads >= 2) {
          return fail(MeasureStatus::kNotAnswering,
                      name +
                          ": the instrument sent no complete trace block in answer to :WAV:DATA?; check that MATH1 "
                          "shows the FFT and that the instrument is not busy");
        }
        continue;
      }
      ++reads;
      try {
        ReadStatus(ch, s, {});
      } catch (const EConvertError&) {
        // The conversion's own text is the window's; here the query and what became of it.
        const bool answered = !ch.PeerClosed() && !ch.LastReply().empty();
        return fail(MeasureStatus::kNotAnswering, name + ": " + ch.LastQueryOutcome() +
                                                      (answered ? ", not a number; check that it is a QVX71"
                                                                : "; check that the instrument is on and answering"));
      }
      ConvertTrace(bytes, s);
      if (!settings.set_up || reads >= settings.max_reads) break;
      const auto next = NextFftRange(bytes, {s.FftScale, s.FftOffset}, settings.strict_ranging, s.Startf == 0);
      if (!next) break;
      if (settings.deadline && Clock::now() + std::chrono::seconds(2) > *settings.deadline) {
        return fail(MeasureStatus::kTimeLimit,
                    name + ": ranging the FFT scale would pass the time limit; allow more time (--max-minutes)");
      }
      const int clipped = ClippedBytes(bytes);
      say(name + ": " +
          (clipped > 0 ? Counted(clipped, "point") + " clipped" : std::string("trace too small for the scale")) +
          "; FFT scale " + FormatVolts(next->scale) + "/div, offset " + FormatVolts(next->offset));
      SendRange(ch, *next);
    }

    const int clipped = ClippedBytes(bytes);
    AcquisitionInfo info;
    info.start_hz = s.Startf;
    info.end_hz = s.Endf;
    info.tdiv_s = StrToFloat(s.TDiv);
    info.fs_hz = s.Fs;
    info.rbw_hz = s.Rbw;
    info.fft_scale = s.FftScale;
    info.fft_offset = s.FftOffset;
    info.clipped_points = clipped;
    info.seconds = Seconds(Clock::now() - started);
    info.ch1_scale = ParseDecimal(s.Ch1Scale).value_or(kNotKnown);
    info.converter_floor_nv = ConverterFloorNv(info.ch1_scale, s.Fs);
    spectrum.acquisitions.push_back(info);
    AppendTrace(spectrum, TraceOf(s), LevelsOf(s.SpecData), bytes);
    if (settings.live) settings.live(spectrum);
    plannedLeft = std::max(0.0, plannedLeft - a.seconds);
    if (clipped == SPEC_POINTS) {
      return fail(MeasureStatus::kAllClipped,
                  name + " (" + FormatHz(s.Startf) + " - " + FormatHz(s.Endf) +
                      "): every point is clipped (byte 0 or 255)" +
                      (settings.set_up ? " after ranging the FFT scale; check the signal and the channel-1 scale"
                                       : "; set the FFT scale and offset so the trace is on screen, or use --setup"));
    }

    // The next decade's levels go on from this one's last points, in bins that are wider:
    // twice their largest value, so a plain noise floor needs no second read.
    if (i + 1 < n && s.Rbw > 0) {
      double tail = 0.0;
      for (std::size_t k = SPEC_POINTS - SPEC_POINTS / 10; k < SPEC_POINTS; ++k) {
        if (bytes[k] != 0 && bytes[k] != 255) tail = std::max(tail, ByteToVolts(bytes[k], s.FftScale, s.FftOffset));
      }
      const double top =
          (tail > 0 ? 2.0 * tail : ByteToVolts(255, s.FftScale, s.FftOffset)) * std::sqrt(plan[i + 1].rbw_hz / s.Rbw);
      if (top > 0 && std::isfinite(top)) range = RangeWithTop(top);
    }
  }
  return out;
}

}  // namespace qvx
