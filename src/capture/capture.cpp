#include "capture/capture.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <cmath>
#include <sstream>
#include <thread>

#include "analysis/noise_files.h"
#include "core/conversions.h"
#include "link/whole_line_channel.h"
#include "psd/chi_squared.h"
#include "sweep/sweep_plan.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kDepths[] = {1e3, 1e4, 1e5, 1e6, 1e7};
constexpr double kMaxDepth = 1e7;
constexpr std::size_t kMaxChunk = 250000;
constexpr std::size_t kMinChunk = 1000;
constexpr double kRangingPoints = 1e4;
constexpr double kMinScale = 1e-4;
constexpr double kMaxScale = 10.0;
constexpr milliseconds kPoll{100};
constexpr milliseconds kPieceBound{2000};  // a data block that sends nothing this long has stalled

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The 1-2-5 channel scales from 100 uV to 10 V per division.
const std::vector<double>& ChannelScales() {
  static const std::vector<double> scales = [] {
    std::vector<double> v;
    for (int e = -4; e <= 1; ++e) {
      for (double m : {1.0, 2.0, 5.0}) {
        const double s = m * std::pow(10.0, e);
        if (s <= kMaxScale * (1 + 1e-9)) v.push_back(s);
      }
    }
    return v;
  }();
  return scales;
}

double ScaleAtLeast(double volts) {
  for (double s : ChannelScales()) {
    if (s >= volts * (1 - 1e-9)) return s;
  }
  return kMaxScale;
}

double Rate(double points, double tdiv) { return std::min(kMaxSampleRate, points / (10.0 * tdiv)); }

std::string Number(double v) { return FloatToStr(v); }

// The figures of one record read from the preamble.
struct Preamble {
  std::size_t points = 0;
  double xinc = 0.0;
  double yinc = 0.0;
  double yorigin = 0.0;
  double yref = 0.0;
};

class Session {
 public:
  Session(InstrumentChannel& channel, const CaptureSettings& settings) : ch_(channel), settings_(settings) {}
  // The instrument is left live, whatever happened.
  ~Session() { ch_.SendCommand(":RUN"); }

  bool Cancelled() const { return settings_.cancel && settings_.cancel->load(); }

  std::optional<CaptureError> Fail(std::string message, bool instrument = true) {
    if (!error_) error_ = CaptureError{std::move(message), instrument};
    return error_;
  }
  const std::optional<CaptureError>& Error() const { return error_; }

  void Progress(CaptureProgress p) {
    if (settings_.progress) settings_.progress(p);
  }

  void Set(std::size_t points, double tdiv, double scale, double offset) {
    ch_.SendCommand(":ACQuire:MDEPth " + std::to_string(points));
    ch_.SendCommand(":TIMebase:MAIN:SCALe " + Number(tdiv));
    ch_.SendCommand(":CHANnel1:SCALe " + Number(scale));
    ch_.SendCommand(":CHANnel1:OFFSet " + Number(offset));
  }

  // Arms one record and waits until the instrument says it is complete, within its fill
  // time and a margin; `tick` is told the seconds left now and then.
  bool Record(double fill_s, const std::function<void(double)>& tick) {
    ch_.SendCommand(":SINGle");
    const auto started = Clock::now();
    const double bound = fill_s * 1.1 + 10.0;
    while (true) {
      if (Cancelled()) return false;
      const std::string status = ch_.QueryInstrument(":TRIGger:STATus?");
      if (ch_.PeerClosed() || status == kTimeoutReply) {
        Fail(ch_.LastQueryOutcome() + " while the record filled; check that the instrument is on and answering");
        return false;
      }
      if (status == "STOP") return true;
      const double elapsed = Seconds(Clock::now() - started);
      if (elapsed > bound) {
        Fail("the record did not complete within " + FormatSeconds(bound) + " (its fill time is " +
             FormatSeconds(fill_s) + ", and the instrument still says " + status + "); check its trigger and timebase");
        return false;
      }
      if (tick) tick(std::max(0.0, fill_s - elapsed));
      std::this_thread::sleep_for(kPoll);
    }
  }

  std::optional<Preamble> ReadPreamble() {
    const std::string reply = ch_.QueryInstrument(":WAVeform:PREamble?");
    if (ch_.PeerClosed() || reply == kTimeoutReply) {
      Fail(ch_.LastQueryOutcome());
      return std::nullopt;
    }
    std::vector<double> field;
    std::stringstream list(reply);
    for (std::string item; std::getline(list, item, ',');) {
      const auto v = ParseDecimal(item);
      if (!v) {
        Fail("the preamble's field " + std::to_string(field.size() + 1) + " ('" + item + "') is not a number: '" +
             reply + "'");
        return std::nullopt;
      }
      field.push_back(*v);
    }
    if (field.size() != 10) {
      Fail("the preamble has " + std::to_string(field.size()) + " fields, not 10: '" + reply + "'");
      return std::nullopt;
    }
    Preamble p{static_cast<std::size_t>(std::max(0.0, field[2])), field[4], field[7], field[8], field[9]};
    if (!(p.yinc > 0) || !(p.xinc > 0) || p.points == 0) {
      Fail("the preamble gives no usable conversion (points " + Number(field[2]) + ", xincrement " + Number(field[4]) +
           ", yincrement " + Number(field[7]) + "): '" + reply + "'");
      return std::nullopt;
    }
    return p;
  }

  // Reads points first ... last (1-based) in chunks the instrument takes, handing each to
  // `take`; false when it failed.
  bool ReadPoints(std::size_t first, std::size_t last, const std::function<void(const std::string&)>& take,
                  const std::function<void(std::size_t)>& done) {
    std::size_t chunk = kMaxChunk;
    std::size_t at = first;
    while (at <= last) {
      if (Cancelled()) return false;
      const std::size_t stop = std::min(last, at + chunk - 1);
      ch_.SendCommand(":WAVeform:STARt " + std::to_string(at));
      ch_.SendCommand(":WAVeform:STOP " + std::to_string(stop));
      ch_.SendCommand(":WAVeform:DATA?");
      std::string data;
      if (!ReadBlock(data, stop - at + 1)) return false;
      if (data.empty()) {
        // Refused: fewer points a read, as some instruments want.
        const std::string error = ch_.QueryInstrument(":SYSTem:ERRor?");
        if (error.rfind("-222", 0) == 0 && chunk > kMinChunk) {
          chunk = std::max(kMinChunk, chunk / 2);
          continue;
        }
        Fail("the instrument refused to send points " + std::to_string(at) + " to " + std::to_string(stop) + " (" +
             (error == kTimeoutReply ? ch_.LastQueryOutcome() : "its error queue says " + error) + ")");
        return false;
      }
      take(data);
      at = stop + 1;
      done(at - first);
    }
    return true;
  }

 private:
  // One "#<n><length><data>" block and its LF; an empty block leaves `data` empty.
  bool ReadBlock(std::string& data, std::size_t expected) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    auto receive = [&](char* into, std::size_t n, const char* what) -> bool {
      std::size_t got = 0;
      auto quiet = Clock::now();
      while (got < n) {
        if (Cancelled()) return false;
        const int r =
            ch_.ReceiveWithTimeout(into + got, static_cast<unsigned>(std::min<std::size_t>(n - got, 1 << 20)), 200);
        if (r > 0) {
          got += static_cast<std::size_t>(r);
          quiet = Clock::now();
          continue;
        }
        if (r == 0 || ch_.PeerClosed()) {
          Fail(std::string("the instrument closed the connection in the middle of ") + what + " (" +
               std::to_string(got) + " of " + std::to_string(n) + " bytes came)");
          return false;
        }
        if (Clock::now() - quiet > kPieceBound || Clock::now() > deadline) {
          Fail(std::string("the instrument stopped sending in the middle of ") + what + ": nothing for " +
               FormatSeconds(Seconds(kPieceBound)) + " after " + std::to_string(got) + " of " + std::to_string(n) +
               " bytes");
          return false;
        }
      }
      return true;
    };
    char head[2];
    if (!receive(head, 2, "a data block's header")) return false;
    if (head[0] != '#' || head[1] < '1' || head[1] > '9') {
      Fail("the reply to :WAVeform:DATA? is no data block (it starts with '" + std::string(head, 2) + "')");
      return false;
    }
    std::string digits(static_cast<std::size_t>(head[1] - '0'), '\0');
    if (!receive(digits.data(), digits.size(), "a data block's header")) return false;
    std::size_t length = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        Fail("the data block's length '" + digits + "' is not a number");
        return false;
      }
      length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    if (length != 0 && length != expected) {
      Fail("the data block holds " + std::to_string(length) + " points where " + std::to_string(expected) +
           " were asked for");
      return false;
    }
    data.assign(length, '\0');
    if (length > 0 && !receive(data.data(), length, "a data block")) return false;
    char lf = 0;
    if (!receive(&lf, 1, "a data block's end")) return false;
    return true;
  }

  WholeLineChannel ch_;
  const CaptureSettings& settings_;
  std::optional<CaptureError> error_;
};

}  // namespace

std::unique_ptr<psd::Estimator> MakeRecordEstimator(double fs_hz, std::size_t points, psd::Averaging averaging) {
  psd::Options options;
  options.averaging = averaging;
  options.expected_samples = points;
  return std::make_unique<psd::Estimator>(fs_hz, options);
}

CapturePlan PlanCapture(double f1, double f2, std::optional<double> seconds, int ppd) {
  CapturePlan plan;
  plan.f1_hz = f1;
  plan.f2_hz = f2;
  const double top = psd::kTopFraction * kMaxSampleRate;
  if (!(f1 > 0) || !(f2 > f1)) {
    plan.error = "the range needs 0 < FROM < TO";
    return plan;
  }
  if (f2 > top) {
    plan.error = "the time record reaches " + FormatHz(top) + " (0.4 of the instrument's " + FormatHz(kMaxSampleRate) +
                 " sample rate); give --to " + FloatToStr(top) + " or less";
    return plan;
  }
  const double lfSeconds = kLfSettleSeconds + 10.0 * kLfDefaultWindows;
  double length = seconds ? *seconds : (f1 <= 0.1 ? lfSeconds : 20.0 / f1);
  if (!(length > 0)) {
    plan.error = "--seconds wants a time above 0";
    return plan;
  }
  // The slowest record: the timebase step that holds `length`, the whole memory depth.
  const auto& steps = TimebaseSteps();
  const auto slowStep =
      std::find_if(steps.begin(), steps.end(), [&](double t) { return 10.0 * t >= length * (1 - 1e-9); });
  if (slowStep == steps.end()) {
    plan.error = "a record of " + FormatSeconds(length) + " is longer than the slowest timebase allows (" +
                 FormatSeconds(10.0 * steps.back()) + "); give --seconds " + FloatToStr(10.0 * steps.back()) +
                 " or less, or a higher --from";
    return plan;
  }
  PlannedRecord slow;
  slow.tdiv_s = *slowStep;
  slow.seconds = 10.0 * slow.tdiv_s;
  // The fewest points that still reach F2 (one record does it all), else the most.
  slow.points = static_cast<std::size_t>(kMaxDepth);
  for (double depth : kDepths) {
    if (Rate(depth, slow.tdiv_s) >= f2 / psd::kTopFraction) {
      slow.points = static_cast<std::size_t>(depth);
      break;
    }
  }
  slow.fs_hz = Rate(static_cast<double>(slow.points), slow.tdiv_s);
  slow.lo_hz = std::max(f1, 2.0 / slow.seconds);
  slow.hi_hz = std::min(f2, psd::kTopFraction * slow.fs_hz);
  if (slow.lo_hz > f1 * (1 + 1e-9)) {
    plan.error = "a record of " + FormatSeconds(slow.seconds) + " resolves down to " + FormatHz(slow.lo_hz) +
                 ", above --from " + FormatHz(f1) + "; give --seconds " + FloatToStr(std::ceil(2.0 / f1)) + " or more";
    return plan;
  }
  if (slow.hi_hz < f2 * (1 - 1e-9)) {
    // A fast record of 1 M points for the top: the slowest timebase that still reaches F2.
    PlannedRecord fast;
    fast.points = 1000000;
    fast.tdiv_s = steps.front();
    for (double t : steps) {
      if (Rate(1e6, t) >= f2 / psd::kTopFraction) fast.tdiv_s = t;
    }
    fast.seconds = 10.0 * fast.tdiv_s;
    fast.fs_hz = Rate(1e6, fast.tdiv_s);
    fast.lo_hz = slow.hi_hz;
    fast.hi_hz = f2;
    plan.records.push_back(fast);
  }
  plan.records.push_back(slow);
  plan.lf_covered = slow.seconds >= 20.0 && slow.fs_hz >= 100.0;
  for (const PlannedRecord& r : plan.records) {
    // The record itself, its ranging (two short records) and the transfer (about 20 MB/s).
    plan.total_s +=
        r.seconds + 2.0 * std::max(1e-3, kRangingPoints / r.fs_hz) + static_cast<double>(r.points) / 2e7 + 1.0;
  }
  // The degrees of freedom at F1 do not depend on the samples: an estimator of the slow
  // record's size, fed zeros, tells them.
  auto estimator = MakeRecordEstimator(slow.fs_hz, slow.points, psd::Averaging::Mean);
  std::vector<double> zeros(1 << 16, 0.0);
  for (std::size_t left = slow.points; left > 0;) {
    const std::size_t n = std::min(left, zeros.size());
    estimator->Push(zeros.data(), n);
    left -= n;
  }
  for (const psd::LogBin& bin : psd::LogBins(estimator->Read(), ppd, 0.95)) {
    if (bin.hz >= f1) {
      plan.dof_at_f1 = bin.dof;
      const psd::Interval ci = psd::PowerInterval(bin.dof, 0.95);
      plan.ci_lo = std::sqrt(ci.lo);
      plan.ci_hi = std::sqrt(ci.hi);
      break;
    }
  }
  return plan;
}

std::string CapturePlanText(const CapturePlan& plan) {
  std::string out;
  int i = 0;
  for (const PlannedRecord& r : plan.records) {
    out += std::to_string(++i) + ". " + std::to_string(r.points) + " points at " + FormatSeconds(r.tdiv_s) +
           "/div: " + FormatSeconds(r.seconds) + " at " +
           FormatHz(r.fs_hz).replace(FormatHz(r.fs_hz).size() - 2, 2, "Sa/s") + ", for " + FormatHz(r.lo_hz) + " - " +
           FormatHz(r.hi_hz) + "\n";
  }
  out += "planned time: about " + FormatDuration(plan.total_s) + " for " +
         Counted(static_cast<long long>(plan.records.size()), "record") + " (the records, ranging and transfer)\n";
  if (plan.dof_at_f1 > 0) {
    out += "at " + FormatHz(plan.f1_hz) + ": about " + FormatSignificant(plan.dof_at_f1, 3) +
           " degrees of freedom, a 95 % interval of " + FormatSignificant(plan.ci_lo, 3) + " ... " +
           FormatSignificant(plan.ci_hi, 3) + " x the density\n";
  }
  out += plan.lf_covered ? "0.1-10 Hz: covered\n"
                         : "0.1-10 Hz: not covered (it needs at least 20 s at 100 Sa/s or more)\n";
  return out;
}

CaptureOutcome RunCapture(InstrumentChannel& channel, const CapturePlan& plan, const CaptureSettings& settings) {
  CaptureOutcome out;
  Session session(channel, settings);
  auto finish = [&] {
    out.error = session.Error();
    out.cancelled = session.Cancelled();
    if (out.cancelled && !out.error) out.error = CaptureError{"cancelled", true};
    return std::move(out);
  };
  for (const char* line : {":WAVeform:SOURce CHANnel1", ":WAVeform:MODE RAW", ":WAVeform:FORMat BYTE"})
    channel.SendCommand(line);
  double planned = 0.0;
  for (const PlannedRecord& r : plan.records) planned += r.seconds + static_cast<double>(r.points) / 2e7 + 1.0;
  double done = 0.0;
  const int count = static_cast<int>(plan.records.size());

  for (int index = 0; index < count; ++index) {
    const PlannedRecord& r = plan.records[static_cast<std::size_t>(index)];
    const double share = r.seconds + static_cast<double>(r.points) / 2e7 + 1.0;
    auto report = [&](const std::string& phase, double within, std::size_t read, double left) {
      CaptureProgress p;
      p.phase = phase;
      p.record = index + 1;
      p.records = count;
      p.points_read = read;
      p.points_total = r.points;
      p.fraction = std::clamp((done + within * share) / std::max(planned, 1e-9), 0.0, 1.0);
      p.seconds_left = left + (planned - done - share);
      session.Progress(p);
    };

    // Ranging: short records at the same sample rate find the mean and the spread; the
    // offset cancels the mean and the scale is the smallest that holds +/- 8 sigma.
    double scale = 1.0;
    double offset = 0.0;
    const auto rangingPoints = static_cast<std::size_t>(std::min(kRangingPoints, static_cast<double>(r.points)));
    const double rangingTdiv = static_cast<double>(rangingPoints) / (10.0 * r.fs_hz);
    for (int attempt = 0; attempt < 10; ++attempt) {
      report("ranging", 0.0, 0, r.seconds);
      session.Set(rangingPoints, rangingTdiv, scale, offset);
      if (!session.Record(10.0 * rangingTdiv, {})) return finish();
      const auto pre = session.ReadPreamble();
      if (!pre) return finish();
      std::string codes;
      if (!session.ReadPoints(
              1, std::min(pre->points, rangingPoints), [&](const std::string& d) { codes += d; }, [](std::size_t) {})) {
        return finish();
      }
      int clipped = 0;
      double sum = 0.0, sum2 = 0.0;
      for (char c : codes) {
        const auto b = static_cast<unsigned char>(c);
        clipped += b == 0 || b == 255;
        const double v = (b - pre->yorigin - pre->yref) * pre->yinc;
        sum += v;
        sum2 += v * v;
      }
      const double n = std::max<double>(1.0, static_cast<double>(codes.size()));
      const double mean = sum / n;
      const double sigma = std::sqrt(std::max(0.0, sum2 / n - mean * mean));
      double nextScale = scale;
      double nextOffset = -mean;
      if (clipped > 0) {
        if (scale >= kMaxScale) break;  // the record itself will tell
        nextScale = std::min(kMaxScale, ScaleAtLeast(scale * 10.0));
        nextOffset = offset;
      } else if (sigma < 2.0 * pre->yinc) {
        // A spread of a code or two says little: a finer scale first.
        nextScale = std::max(kMinScale, ScaleAtLeast(std::max(2.0 * sigma, scale / 20.0)));
      } else {
        nextScale = std::clamp(ScaleAtLeast(2.0 * sigma), kMinScale, kMaxScale);
      }
      const bool settled = nextScale == scale && std::fabs(nextOffset - offset) < 0.5 * scale;
      scale = nextScale;
      offset = nextOffset;
      if (settled) break;
    }

    // The record itself, read in chunks straight into its estimator.
    CapturedRecord record;
    for (int take = 0; take < 3; ++take) {
      record = CapturedRecord{};
      record.estimator = MakeRecordEstimator(r.fs_hz, r.points, settings.averaging);
      session.Set(r.points, r.tdiv_s, scale, offset);
      const auto started = Clock::now();
      if (!session.Record(r.seconds, [&](double left) {
            report("recording", std::min(0.9, Seconds(Clock::now() - started) / std::max(r.seconds, 1e-9) * 0.9), 0,
                   left);
          })) {
        return finish();
      }
      const auto pre = session.ReadPreamble();
      if (!pre) return finish();
      const std::size_t total = pre->points;
      int clipped = 0;
      std::vector<float> chunk;
      // What the live spectrum needs of the record before it is complete.
      record.info.fs_hz = r.fs_hz;
      record.info.lo_hz = r.lo_hz;
      record.info.hi_hz = r.hi_hz;
      record.info.converter_floor_nv = pre->yinc / std::sqrt(6.0 * r.fs_hz) * 1e9;
      auto lastLive = Clock::now();
      auto showLive = [&] {
        std::vector<const CapturedRecord*> so_far;
        for (const CapturedRecord& taken : out.records) so_far.push_back(&taken);
        so_far.push_back(&record);
        settings.live(StitchRecords(so_far, settings.ppd));
        lastLive = Clock::now();
      };
      const bool ok = session.ReadPoints(
          1, total,
          [&](const std::string& d) {
            chunk.resize(d.size());
            for (std::size_t i = 0; i < d.size(); ++i) {
              const auto b = static_cast<unsigned char>(d[i]);
              clipped += b == 0 || b == 255;
              chunk[i] = static_cast<float>((b - pre->yorigin - pre->yref) * pre->yinc);
            }
            record.estimator->Push(chunk.data(), chunk.size());
            if (settings.keep_samples) record.volts.insert(record.volts.end(), chunk.begin(), chunk.end());
            record.info.points += d.size();
            record.info.seconds = static_cast<double>(record.info.points) / r.fs_hz;
            if (settings.live && Seconds(Clock::now() - lastLive) > 0.25) showLive();
          },
          [&](std::size_t read) {
            report("reading", 0.9 + 0.1 * static_cast<double>(read) / static_cast<double>(total), read,
                   static_cast<double>(total - read) / 2e7);
          });
      if (!ok) return finish();
      if (settings.live) showLive();
      // The preamble's increment is rounded: the planned rate where it agrees.
      record.info.fs_hz = std::fabs(1.0 / pre->xinc - r.fs_hz) < 1e-6 * r.fs_hz ? r.fs_hz : 1.0 / pre->xinc;
      record.info.points = total;
      record.info.seconds = static_cast<double>(total) * pre->xinc;
      record.info.tdiv_s = r.tdiv_s;
      record.info.ch1_scale = scale;
      record.info.ch1_offset = offset;
      record.info.clipped_points = clipped;
      record.info.converter_floor_nv = pre->yinc / std::sqrt(6.0 * record.info.fs_hz) * 1e9;
      record.info.lo_hz = r.lo_hz;
      record.info.hi_hz = r.hi_hz;
      if (clipped == 0) break;
      if (scale >= kMaxScale) {
        session.Fail("record " + std::to_string(index + 1) + " still clips at the largest channel scale (" +
                         FormatVolts(kMaxScale) + "/div): " + Counted(clipped, "point") +
                         " at code 0 or 255; the signal is larger than the channel can take",
                     false);
        return finish();
      }
      // Clipped: a coarser scale and the record again; a record that still clips is flagged.
      scale = ScaleAtLeast(scale * 2.0);
    }
    done += share;
    report("analysing", 1.0, r.points, 0.0);
    out.records.push_back(std::move(record));
  }
  return finish();
}

NoiseSpectrum StitchRecords(const std::vector<CapturedRecord>& records, int ppd) {
  std::vector<const CapturedRecord*> all;
  for (const CapturedRecord& r : records) all.push_back(&r);
  return StitchRecords(all, ppd);
}

NoiseSpectrum StitchRecords(const std::vector<const CapturedRecord*>& taken, int ppd) {
  // By reference below, as the records themselves.
  struct View {
    const std::vector<const CapturedRecord*>& v;
    std::size_t size() const { return v.size(); }
    bool empty() const { return v.empty(); }
    const CapturedRecord& front() const { return *v.front(); }
    const CapturedRecord& operator[](std::size_t i) const { return *v[i]; }
    struct It {
      std::vector<const CapturedRecord*>::const_iterator at;
      const CapturedRecord& operator*() const { return **at; }
      It& operator++() {
        ++at;
        return *this;
      }
      bool operator!=(const It& o) const { return at != o.at; }
    };
    It begin() const { return {v.begin()}; }
    It end() const { return {v.end()}; }
  } records{taken};
  NoiseSpectrum s;
  s.method = kMethodRecord;
  s.window = HannWindow();
  s.window_source = "estimator";
  s.ppd = ppd;
  if (records.empty()) return s;
  s.averaging = records.front().estimator->Settings().averaging == psd::Averaging::Median ? "median" : "mean";
  // Each record's fine points, and per log bin the degrees of freedom it offers.
  struct Offer {
    std::vector<psd::FinePoint> fine;
    std::vector<std::pair<int, double>> bins;  // log bin, summed dof
  };
  std::vector<Offer> offers;
  for (const CapturedRecord& r : records) {
    Offer o;
    o.fine = r.estimator->Read();
    for (const psd::FinePoint& p : o.fine) {
      if (!(p.hz > 0)) continue;
      const int j = LogBinIndex(p.hz, ppd);
      if (o.bins.empty() || o.bins.back().first != j) o.bins.emplace_back(j, 0.0);
      o.bins.back().second += p.dof;
    }
    offers.push_back(std::move(o));
    s.records.push_back(r.info);
  }
  double lowest = records.front().info.lo_hz;
  double highest = records.front().info.hi_hz;
  for (const CapturedRecord& r : records) {
    lowest = std::min(lowest, r.info.lo_hz);
    highest = std::max(highest, r.info.hi_hz);
  }
  if (!(highest > 0)) highest = std::numeric_limits<double>::infinity();
  std::vector<int> all;
  for (const Offer& o : offers) {
    for (const auto& [j, dof] : o.bins) all.push_back(j);
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<double> widths;
  std::vector<std::size_t> owner;
  for (int j : all) {
    std::size_t best = 0;
    double bestDof = -1.0;
    for (std::size_t r = 0; r < offers.size(); ++r) {
      for (const auto& [bin, dof] : offers[r].bins) {
        if (bin == j && dof > bestDof) {
          best = r;
          bestDof = dof;
        }
      }
    }
    for (const psd::FinePoint& p : offers[best].fine) {
      if (!(p.hz > 0) || LogBinIndex(p.hz, ppd) != j) continue;
      // The range asked for: F1 (or the lowest the records resolve) to F2.
      if (p.hz < lowest * (1 - 1e-9) || p.hz > highest * (1 + 1e-9)) continue;
      NoisePoint point;
      point.freq_hz = p.hz;
      point.density_nv = std::sqrt(std::max(0.0, p.psd)) * 1e9;
      point.level_nv = point.density_nv;
      point.dof = p.dof;
      s.points.push_back(point);
      widths.push_back(p.width_hz);
      owner.push_back(best);
    }
  }
  s.end_hz = s.points.empty() ? 0.0 : s.points.back().freq_hz + widths.back();
  // Points at each record's converter floor, by the level around them.
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::vector<std::size_t> mine;
    for (std::size_t i = 0; i < owner.size(); ++i) {
      if (owner[i] == r) mine.push_back(i);
    }
    FlagConverterFloor(s.points, mine, records[r].info.converter_floor_nv);
  }
  // The 0.1-10 Hz figures from the longest record that covers them.
  const CapturedRecord* lfRecord = nullptr;
  psd::LfNoise lf;
  for (const CapturedRecord& r : records) {
    const psd::LfNoise candidate = r.estimator->ReadLf();
    if (candidate.covered && (!lfRecord || r.info.seconds > lfRecord->info.seconds)) {
      lfRecord = &r;
      lf = candidate;
    }
  }
  if (lfRecord) {
    LfFigures f;
    f.rms_nv = lf.rms_v * 1e9;
    f.pp_median_nv = lf.pp_median_v * 1e9;
    f.pp_max_nv = lf.pp_max_v * 1e9;
    f.windows = lf.windows;
    f.rate_hz = lf.rate_hz;
    f.first_window_v = lf.first_window_v;
    const psd::LfFilter filter(lf.rate_hz);
    double power = 0.0;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
      const double f_hz = s.points[i].freq_hz;
      if (f_hz >= lf.rate_hz / 2) break;
      power += std::pow(s.points[i].density_nv * 1e-9, 2) * filter.PowerGain(f_hz) * widths[i];
    }
    f.psd_rms_nv = std::sqrt(power) * 1e9;
    s.lf = f;
  }
  return s;
}

}  // namespace qvx
