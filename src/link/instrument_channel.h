#pragma once
// The command channel to the instrument. One POSIX implementation (SocketChannel)
// sits behind this interface; tests script it with fakes.
#include <string>
#include <string_view>

namespace qvx {

inline constexpr int QUERY_REPLY_MAX = 1023;
inline constexpr int QUERY_TIMEOUT_MS = 1000;
inline constexpr char CMD_TERMINATOR = '\n';
inline constexpr const char* kTimeoutReply = "TIMEOUT";

class InstrumentChannel {
 public:
  virtual ~InstrumentChannel() = default;

  // Sends command + LF in one send; failures are silent.
  virtual void SendCommand(std::string_view command) = 0;

  // Waits up to timeoutMs for the connection to become readable, then makes one
  // receive of at most maxBytes. Returns the byte count, 0 when the peer closed,
  // or -1 on time-out, failure or no connection.
  virtual int ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) = 0;

  // One send, one receive of at most 1023 bytes within 1000 ms. The reply up to
  // its first NUL with bytes <= 0x20 trimmed at both ends, or "TIMEOUT". Programs beyond
  // the window read whole lines instead (WholeLineChannel).
  virtual std::string QueryInstrument(std::string_view command);

  // Programs beyond the window open their own connection to `address`; a channel that is
  // there already (a test's fake) takes it as done. False when it cannot be opened.
  virtual bool Open(const std::string& address) { return !address.empty(); }
};

// A reply's text as a query returns it: up to its first NUL, bytes <= 0x20 trimmed.
std::string TrimReply(std::string_view reply);

}  // namespace qvx
