#include "capture/record_session.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "core/conversions.h"
#include "core/text.h"
#include "link/block.h"
#include "setup/instrument_limits.h"

namespace qvx::capture_detail {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLongestPoll{100};
constexpr int kQuietMs = 2000;  // a data block that sends nothing this long has stalled

}  // namespace

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ReadSeconds(std::size_t points) { return static_cast<double>(points) / kPlanTransferBytesPerSecond; }

bool Session::Fail(ErrorKind kind, std::string message) {
  const std::lock_guard lock(error_mutex_);
  if (!error_) error_ = RunError(kind, message);
  return false;
}

std::optional<RunError> Session::Error() const {
  const std::lock_guard lock(error_mutex_);
  return error_;
}

bool Session::Failed() const {
  const std::lock_guard lock(error_mutex_);
  return error_.has_value();
}

bool Session::Set(std::size_t points, double tdiv, const std::vector<ChannelSetting>& channels,
                  std::vector<PreambleExpectation>& expected) {
  ch_.SendCommand(":ACQuire:MDEPth " + std::to_string(points));
  ch_.SendCommand(":TIMebase:MAIN:SCALe " + FloatToStr(tdiv));
  for (const ChannelSetting& c : channels) {
    const std::string name = ":CHANnel" + std::to_string(c.channel);
    ch_.SendCommand(name + ":SCALe " + FloatToStr(c.scale));
    ch_.SendCommand(name + ":OFFSet " + FloatToStr(c.offset));
  }
  const Queried<std::int64_t> depth = QueryInteger(ch_, ":ACQuire:MDEPth?");
  if (!depth.ok()) return Fail(ErrorKind::kInstrument, depth.message);
  if (depth.value != static_cast<std::int64_t>(points)) {
    return Fail(ErrorKind::kInstrument,
                "the instrument took a memory depth of " + std::to_string(depth.value) + " points where " +
                    std::to_string(points) + " were set; check that it is a QVX71 and that " +
                    (channels.size() > 1 ? "channel 2 can be turned on" : "only channel 1 is on"));
  }
  const Queried<double> rate = QueryNumber(ch_, ":ACQuire:SRATe?");
  if (!rate.ok()) return Fail(ErrorKind::kInstrument, rate.message);
  expected.clear();
  for (const ChannelSetting& c : channels) {
    const Queried<double> actualScale = QueryNumber(ch_, ":CHANnel" + std::to_string(c.channel) + ":SCALe?");
    if (!actualScale.ok()) return Fail(ErrorKind::kInstrument, actualScale.message);
    PreambleExpectation e;
    e.record_points = points;
    e.sample_rate_hz = rate.value;
    e.channel_scale_v = actualScale.value;
    expected.push_back(e);
  }
  return true;
}

bool Session::Record(double fill_s, const std::function<void(double)>& tick) {
  ch_.SendCommand(":SINGle");
  const auto started = Clock::now();
  const double bound = fill_s * 1.1 + 10.0;
  // Asked every tenth of a second while the record fills, then, once its time is nearly up,
  // every few milliseconds, backing off gently: a complete record is seen at once.
  milliseconds late{4};
  while (true) {
    if (Cancelled()) return false;
    const double left = fill_s - Seconds(Clock::now() - started);
    const Queried<std::string> status = QueryText(ch_, ":TRIGger:STATus?");
    if (!status.ok()) {
      return Fail(ErrorKind::kInstrument,
                  status.message + " while the record filled; check that the instrument is on and answering");
    }
    if (status.value == "STOP") return true;
    if (Seconds(Clock::now() - started) > bound) {
      return Fail(ErrorKind::kInstrument, "the record did not complete within " + FormatSeconds(bound) +
                                              " (its fill time is " + FormatSeconds(fill_s) +
                                              ", and the instrument still says " + status.value +
                                              "); check its trigger and timebase");
    }
    if (tick) tick(std::max(0.0, left));
    if (left > 0.15) {
      std::this_thread::sleep_for(std::min(kLongestPoll, milliseconds(static_cast<long>((left - 0.05) * 1000))));
    } else {
      std::this_thread::sleep_for(late);
      late = std::min(kLongestPoll, late * 3 / 2 + milliseconds(1));
    }
  }
}

std::optional<Preamble> Session::ReadRecordPreamble(PreambleExpectation expected, std::size_t first_chunk) {
  // The read window as the first chunk will ask for it, so a preamble that gives the
  // window's length instead of the record's can be told from a wrong one.
  ch_.SendCommand(":WAVeform:STARt 1");
  ch_.SendCommand(":WAVeform:STOP " + std::to_string(first_chunk));
  expected.window_points = first_chunk;
  const Queried<Preamble> p = ReadPreamble(ch_, expected);
  if (!p.ok()) {
    Fail(ErrorKind::kInstrument,
         p.message + (p.fault == LinkFault::kBadData ? "; the record is not read with it" : ""));
    return std::nullopt;
  }
  return p.value;
}

Session::ChunkRead Session::ReadChunk(std::size_t at, std::size_t count, std::string& codes, std::size_t& chunk) {
  ch_.SendCommand(":WAVeform:STARt " + std::to_string(at + 1));
  ch_.SendCommand(":WAVeform:STOP " + std::to_string(at + count));
  ch_.SendCommand(":WAVeform:DATA?");
  codes.resize(count);
  BlockRules rules;
  rules.receive_ms = 200;
  rules.quiet_ms = kQuietMs;
  rules.header_ms = kQuietMs;
  rules.digits_ms = kQuietMs;
  rules.whole_block_ms = 60000;
  rules.expected_length = static_cast<std::int64_t>(count);
  rules.cancel = cancel_;
  const BlockOutcome block = ReadDefiniteBlock(ch_, rules, [&](std::int64_t received, std::int64_t) {
    return BlockRoom{codes.data() + received, codes.size() - static_cast<std::size_t>(received)};
  });
  if (block.status == BlockStatus::kCancelled) return ChunkRead::kStop;
  if (block.status == BlockStatus::kEmpty) {
    // Refused: fewer points a read, as some instruments want.
    const std::string error = ch_.QueryInstrument(":SYSTem:ERRor?");
    if (error.rfind("-222", 0) == 0 && chunk > kMinReadPoints) {
      chunk = std::max(kMinReadPoints, chunk / 2);
      return ChunkRead::kSmaller;
    }
    Fail(ErrorKind::kInstrument,
         "the instrument refused to send points " + std::to_string(at + 1) + " to " + std::to_string(at + count) +
             " (" + (error == kTimeoutReply ? ch_.LastQueryOutcome() : "its error queue says " + error) + ")");
    return ChunkRead::kStop;
  }
  if (!block.ok()) {
    Fail(ErrorKind::kInstrument, block.message + " (points " + std::to_string(at + 1) + " to " +
                                     std::to_string(at + count) + " of the record)");
    return ChunkRead::kStop;
  }
  return ChunkRead::kOk;
}

void Session::ReadPoints(std::size_t total, ChunkQueue<CodeChunk>& queue, bool both) {
  std::size_t chunk = kMaxReadPoints;
  std::size_t at = 0;
  while (at < total) {
    if (Cancelled()) break;
    const std::size_t count = std::min(total - at, chunk);
    CodeChunk c;
    c.first = at;
    if (both) ch_.SendCommand(":WAVeform:SOURce CHANnel1");
    ChunkRead read = ReadChunk(at, count, c.codes, chunk);
    if (both && read == ChunkRead::kOk) {
      ch_.SendCommand(":WAVeform:SOURce CHANnel2");
      read = ReadChunk(at, count, c.codes2, chunk);
    }
    if (read == ChunkRead::kSmaller) continue;
    if (read == ChunkRead::kStop) break;
    at += count;
    if (!queue.Put(std::move(c))) break;
  }
  queue.Close();
}

bool Session::ReadAll(std::size_t total, std::string& codes) {
  ChunkQueue<CodeChunk> queue;
  std::thread reader([&] { ReadPoints(total, queue); });
  while (auto c = queue.Take()) codes += c->codes;
  reader.join();
  return !Failed() && !Cancelled() && codes.size() == total;
}

Spread Measure(const std::string& codes, const Preamble& p) {
  Spread s;
  if (codes.empty()) return s;
  double sum = 0.0;
  unsigned char lo = 255, hi = 0;
  for (char c : codes) {
    const auto b = static_cast<unsigned char>(c);
    s.clipped += b == 0 || b == 255;
    lo = std::min(lo, b);
    hi = std::max(hi, b);
    sum += p.Volts(b);
  }
  s.mean = sum / static_cast<double>(codes.size());
  s.peak = std::max(std::fabs(p.Volts(hi) - s.mean), std::fabs(p.Volts(lo) - s.mean));
  s.codes = hi - lo;
  return s;
}

void Ranging::Step(const Spread& spread, double yincrement, double growth) {
  offset = -spread.mean;
  if (spread.clipped > 0) {
    if (scale >= kMaxChannelScale) {
      done = true;  // the record itself will tell
      return;
    }
    scale = kMaxChannelScale;
    return;
  }
  // The peaks with their growth, and a code for the rounding of the level and the peaks.
  const double reach = 1.2 * (spread.peak * growth + yincrement);
  scale = std::clamp(ChannelScaleAtLeast(reach / 3.9), kMinChannelScale, kMaxChannelScale);
  if (spread.codes >= 8) done = true;  // resolved: the record can be taken at once
}

void PlanRanging(PlannedRecord& r, int channels) {
  r.ranging_points = static_cast<std::size_t>(std::max(kMemoryDepths.front(), static_cast<double>(r.points) / 100.0));
  r.ranging_points = std::min(r.ranging_points, r.points);
  const double seconds = static_cast<double>(r.ranging_points) / r.fs_hz;
  r.ranging_s = r.ranging_records * (seconds + channels * ReadSeconds(r.ranging_points) + kRecordOverheadS);
  r.read_s = channels * ReadSeconds(r.points) + kRecordOverheadS;
}

double RangingGrowth(std::size_t points, std::size_t ranging_points) {
  return std::sqrt(std::log(static_cast<double>(points)) /
                   std::log(std::max(10.0, static_cast<double>(ranging_points))));
}

}  // namespace qvx::capture_detail
