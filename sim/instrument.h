#pragma once
// The simulated instrument without its network: takes one command line at a time and says
// what to send back, how and when. Thread-safe; connections share one instrument.
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "noise_model.h"
#include "scpi.h"
#include "sim_state.h"

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
};

// Lower-case names with dashes ("silent-query"), for the command line and messages.
std::string_view FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);
std::vector<Fault> AllFaults();

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
  std::string reply_prefix;             // written before every text reply
  std::string reply_terminator = "\n";  // ends every text reply
};

// What a connection does after the last piece of a reply.
enum class AfterReply { Continue, Close, Stall };

struct ReplyPiece {
  std::chrono::milliseconds delay{0};  // after the previous piece (or after the query)
  std::string bytes;
};

struct Reply {
  std::vector<ReplyPiece> pieces;  // empty: nothing is sent
  AfterReply after = AfterReply::Continue;
  std::string summary;             // for the verbose log
};

class Instrument {
 public:
  explicit Instrument(NoiseModel noise = {});

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

  mutable std::mutex mutex_;
  SimState state_;
  FaultSettings faults_;
  NoiseModel noise_;
  std::mt19937_64 rng_;
  Clock::time_point average_start_;  // when the FFT average last (re)started
  std::deque<std::string> errors_;
};

}  // namespace qvx::sim
