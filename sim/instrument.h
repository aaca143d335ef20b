#pragma once
// The simulated instrument without its network: takes one command line at a time and says
// what to send back, how and when. Thread-safe; connections share one instrument.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "noise_model.h"
#include "scpi.h"
#include "sim_state.h"
#include "time_record.h"

namespace qvx::sim {

inline constexpr const char* kIdentification = "QVX71-SIM,QVX71,SIM00001,1.0.0";
inline constexpr std::size_t kErrorQueueSize = 20;

// Misbehaviours to exercise the program's failure handling. One is active at a time.
enum class Fault {
  None,
  Silent,             // no reply to any query
  SilentQuery,        // no reply to FaultSettings::silent_query only
  LateReply,          // every reply starts late_ms after its query
  SplitReply,         // every reply in two pieces, split_ms apart
  LongReply,          // the identification is long_reply_chars long
  NulReply,           // the identification has a NUL byte in the middle
  ZeroBlock,          // the data block announces 0 bytes: "#9000000000\n"
  HeaderSplit,        // the block's "#" alone, split_ms pause, then the rest
  TruncatedBlock,     // header, partial_bytes of data, then the connection closes
  StalledBlock,       // header, partial_bytes of data, then nothing more (connection stays open)
  HugeAnnounce,       // header announcing 999999999 bytes, huge_sent_bytes of data, then stall/close
  MdepthAbbrev,       // memory depth reported in the abbreviated form ("1M")
  CloseOnQuery,       // a query closes the connection unanswered
  RefuseConnections,  // the listener is closed; new connections are refused
  // The time record's faults.
  RecordNeverCompletes,  // a single record never completes: the trigger status stays WAIT
  ShortChunk,            // a raw data block announces its points, sends half of them and closes
  StalledChunk,          // ... sends half of them, then nothing more
  BadPreamble,           // the preamble has a field that is not a number (or, asked, a yincrement of 0)
};

// Lower-case names with dashes ("silent-query"), for the command line and messages.
std::string_view FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);
std::vector<Fault> AllFaults();

// What the preamble's points field counts: instruments differ.
enum class PreamblePoints {
  Record,  // the record's length
  Window,  // the points :WAVeform:DATA? returns, STARt ... STOP within the record
};

struct FaultSettings {
  Fault fault = Fault::None;
  std::string silent_query = ":MATH1:FFT:FREQuency:END?";  // any accepted spelling
  int late_ms = 1500;
  int split_ms = 50;
  std::size_t block_bytes = 1000;  // data bytes per block, whatever the fault
  std::size_t partial_bytes = 500;
  std::size_t huge_sent_bytes = 2000;
  bool huge_then_close = false;
  std::size_t long_reply_chars = 1500;
  std::string reply_prefix;                      // written before every text reply
  std::string reply_terminator = "\n";           // ends every text reply
  std::size_t max_read_points = kMaxReadPoints;  // raw points one :WAVeform:DATA? may ask for
  bool bad_preamble_zero = false;                // bad-preamble sends a yincrement of 0 instead of a non-number
  PreamblePoints preamble_points = PreamblePoints::Record;
};

// What a connection does after the last piece of a reply.
enum class AfterReply { Continue, Close, Stall };

struct ReplyPiece {
  std::chrono::milliseconds delay{0};  // after the previous piece (or after the query)
  std::string bytes;
  // Sent after `bytes`: a slice of a record the instrument holds, so a large block is never
  // copied while it waits to leave.
  std::shared_ptr<const std::string> shared;
  std::size_t shared_offset = 0;
  std::size_t shared_length = 0;
  std::size_t Size() const { return bytes.size() + shared_length; }
};

struct Reply {
  std::vector<ReplyPiece> pieces;  // empty: nothing is sent
  AfterReply after = AfterReply::Continue;
  std::string summary;  // for the verbose log
};

class Instrument {
 public:
  explicit Instrument(NoiseModel noise = {});
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  Reply Execute(std::string_view line);

  SimState State() const;
  void SetState(const SimState& state);  // restarts the average
  FaultSettings Faults() const;
  void SetFaults(const FaultSettings& faults);
  NoiseModel Noise() const;
  // Also restarts the random sequence from its seed, and the average.
  void SetNoise(const NoiseModel& noise);

  // Queued errors, oldest first, as ":SYSTem:ERRor?" would report them.
  std::vector<std::string> Errors() const;

 private:
  using Clock = std::chrono::steady_clock;

  Reply Query(const ParsedLine& line);
  void Command(const ParsedLine& line);
  std::string DataBlockBody(std::size_t points, int frames);
  // Frames averaged by `now` (at most the averaging count); with none yet, 1 and the wait
  // until the first one.
  int FramesSoFar(Clock::time_point now, std::chrono::milliseconds& wait) const;
  Reply DataReply();
  Reply TextReply(std::string text) const;
  void PushError(int code, const char* text);
  std::string PopError();

  // The time record. Acquisition is live (RUN), filling one single record, or stopped.
  enum class Acquisition { Run, Single, Stopped };
  struct RecordJob {
    std::uint64_t id;
    NoiseModel model;
    RecordLayout layout;
    std::optional<SecondChannel> second;  // channel 2 records too
    std::uint64_t seed;
  };
  // The codes of one acquisition, each channel's on its own so a read shares only its own.
  struct Records {
    std::shared_ptr<const std::string> channel1;
    std::shared_ptr<const std::string> channel2;  // none: channel 2 was off
  };
  void StartSingle();
  void Halt();
  void Resume();
  // A single record whose fill time has passed and that is generated becomes the complete one.
  void UpdateAcquisition(Clock::time_point now);
  // The layout of the channel that :WAVeform:SOURce names: the last :SINGle's, or the
  // settings in force while live.
  RecordLayout SourceLayout() const;
  std::string Preamble() const;
  std::string TriggerStatus();
  Reply RecordDataReply();
  void RecordWorker();

  mutable std::mutex mutex_;
  SimState state_;
  FaultSettings faults_;
  NoiseModel noise_;
  std::mt19937_64 rng_;
  Clock::time_point average_start_;  // when the FFT average last (re)started
  std::deque<std::string> errors_;

  Acquisition acquisition_ = Acquisition::Run;
  std::uint64_t acquisition_id_ = 0;  // every :SINGle, :RUN and halt starts a new one
  Clock::time_point single_start_;
  double fill_s_ = 0.0;
  RecordLayout record_layout_;   // of the last :SINGle, channel 1
  RecordLayout record_layout2_;  // ... and channel 2
  Records record_;               // the complete record, or none
  Records generated_;            // generated for generated_id_
  std::uint64_t generated_id_ = 0;
  // Records are generated on a worker, one at a time, so a query never waits for one; a
  // newer :SINGle replaces a job not yet begun.
  std::optional<RecordJob> job_;
  std::condition_variable job_ready_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace qvx::sim
