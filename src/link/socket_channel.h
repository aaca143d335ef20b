#pragma once
// The command channel over one POSIX TCP socket to the instrument's port 5555.
#include <string>
#include <string_view>

#include "link/instrument_channel.h"

namespace qvx {

inline constexpr unsigned short INSTRUMENT_PORT = 5555;
inline constexpr const char* kDefaultInstrumentAddress = "192.168.1.21";

class SocketChannel final : public InstrumentChannel {
 public:
  SocketChannel();
  ~SocketChannel() override;
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // The connection target, a dotted IPv4 address; any length is stored as given.
  void SetAddress(std::string address);
  const std::string& Address() const;

  // Replaces any previous connection by a new one to Address():5555.
  // Returns 1 when connected, 0 otherwise (the channel then has no socket).
  int ConnectInstrument();
  bool Open(const std::string& address) override;

  void SendCommand(std::string_view command) override;
  int ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) override;

  // The socket descriptor, or -1 when there is none.
  int Handle() const;

  // Bound of one connect attempt; default 5000 ms.
  void SetConnectTimeoutMs(int ms);

 private:
  void Close();

  int fd_ = -1;
  std::string address_;
  int connect_timeout_ms_ = 5000;
};

}  // namespace qvx
