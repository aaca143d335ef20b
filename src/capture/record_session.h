#pragma once
// What every capture of the time record does over the command channel, one channel or two:
// the record's shape and the channels' scales set and read back, one single record armed and
// waited for, the preamble checked, the points read in chunks on a reader thread through a
// bounded queue, and the ranging of a channel from short records. Internal to capture/.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "core/errors.h"
#include "link/instrument_channel.h"
#include "link/scpi.h"
#include "link/whole_line_channel.h"

namespace qvx::capture_detail {

using Clock = std::chrono::steady_clock;

// Per record, beside its points: the set-up commands, the read-backs and the arming.
inline constexpr double kRecordOverheadS = 0.03;

double Seconds(Clock::duration d);
// The time a plan counts for reading `points` codes.
double ReadSeconds(std::size_t points);

// A bounded queue of chunks between the thread that reads the instrument and the one that
// analyses, so the next chunk is on its way while the last one is estimated.
template <class Chunk>
class ChunkQueue {
 public:
  static constexpr std::size_t kQueuedChunks = 3;

  // False when the queue was closed meanwhile.
  bool Put(Chunk chunk) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return closed_ || queue_.size() < kQueuedChunks; });
    if (closed_) return false;
    queue_.push_back(std::move(chunk));
    ready_.notify_one();
    return true;
  }
  // Nothing once it is closed and empty.
  std::optional<Chunk> Take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    Chunk c = std::move(queue_.front());
    queue_.pop_front();
    space_.notify_one();
    return c;
  }
  void Close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
    space_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  std::deque<Chunk> queue_;
  bool closed_ = false;
};

// Codes of one channel's points [first, first + codes.size()), and with two channels read,
// channel 2's codes of the same points.
struct CodeChunk {
  std::string codes;
  std::string codes2;
  std::size_t first = 0;  // 0-based index of its first point
};

// A channel's scale and offset as a capture sets them.
struct ChannelSetting {
  int channel = 1;
  double scale = 1.0;
  double offset = 0.0;
};

class Session {
 public:
  Session(InstrumentChannel& channel, const std::atomic<bool>* cancel) : ch_(channel), cancel_(cancel) {}
  // The instrument is left live, whatever happened.
  ~Session() { ch_.SendCommand(":RUN"); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Cancelled() const { return cancel_ && cancel_->load(); }

  // The first failure is kept; false, so a caller can return it.
  bool Fail(ErrorKind kind, std::string message);
  std::optional<RunError> Error() const;
  bool Failed() const;

  // Sets the record's shape and each channel's scale and offset, then reads back what the
  // instrument made of them: the depth and the sample rate are the record's, whatever a
  // preamble says later. `expected` gets one expectation per channel, in their order.
  bool Set(std::size_t points, double tdiv, const std::vector<ChannelSetting>& channels,
           std::vector<PreambleExpectation>& expected);

  // Arms one record and waits until the instrument says it is complete, within its fill
  // time and a margin. The status is asked for more often as the fill time runs out.
  bool Record(double fill_s, const std::function<void(double)>& tick);

  // The preamble of the channel :WAVeform:SOURce names, checked against `expected`.
  std::optional<Preamble> ReadRecordPreamble(PreambleExpectation expected, std::size_t first_chunk);

  // Points [at, at + count) of the source's record into `codes` (count bytes). kSmaller:
  // the instrument wants fewer points a read and `chunk` was halved; kStop: failed (the
  // failure kept) or cancelled.
  enum class ChunkRead { kOk, kSmaller, kStop };
  ChunkRead ReadChunk(std::size_t at, std::size_t count, std::string& codes, std::size_t& chunk);

  // Reads points [0, total) of the source in chunks the instrument takes, on a thread of its
  // own, into `queue`; closes the queue when done or failed. With `both`, each chunk is
  // channel 1's points, then channel 2's same points, each source named before its read.
  void ReadPoints(std::size_t total, ChunkQueue<CodeChunk>& queue, bool both = false);

  // A whole short record of the source read into `codes`.
  bool ReadAll(std::size_t total, std::string& codes);

  WholeLineChannel& Channel() { return ch_; }

 private:
  WholeLineChannel ch_;
  const std::atomic<bool>* cancel_;
  mutable std::mutex error_mutex_;
  std::optional<RunError> error_;
};

// What a short record says of the signal: its mean, its largest excursions and whether it
// clipped.
struct Spread {
  double mean = 0.0;
  double peak = 0.0;  // largest distance from the mean, V
  int clipped = 0;
  double codes = 0.0;  // the peak-to-peak in codes
};
Spread Measure(const std::string& codes, const Preamble& p);

// One channel's ranging: at most two short records at the record's own sample rate. The
// first, at 1 V/div (10 V/div when that clips), finds the level; the second, around it, the
// peaks where the first could not resolve them: each step takes the scale about a hundred
// times finer, so noise of microvolts on a level of volts is found in two. The record's
// scale holds the peaks with the growth of Gaussian extremes from the short record's length
// to the record's, so ripple and tones never clip.
struct Ranging {
  double scale = 1.0;
  double offset = 0.0;
  bool done = false;
  // The scale and offset after a short record; done once the record can be taken (or
  // nothing coarser is left to try).
  void Step(const Spread& spread, double yincrement, double growth);
};
// The ranging records of a record: at its own sample rate, a hundredth of its points (at
// least the smallest depth), so two of them cost under 5 % of the record's time; and the
// time of reading the record itself (`channels` of them).
void PlanRanging(PlannedRecord& r, int channels = 1);

// The growth of Gaussian extremes from a short record of `ranging_points` to `points`.
double RangingGrowth(std::size_t points, std::size_t ranging_points);

}  // namespace qvx::capture_detail
