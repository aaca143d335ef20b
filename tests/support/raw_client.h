#pragma once
// A bare TCP client for tests: talks to a loopback address byte by byte, every wait bounded.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qvx::test {

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connects to address:port (loopback addresses only; anything else is refused here).
  bool Connect(const std::string& address, std::uint16_t port = 5555,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  void Close();
  bool Connected() const { return fd_ >= 0; }
  int Handle() const { return fd_; }

  bool Send(std::string_view bytes);
  bool SendLine(std::string_view line) { return Send(std::string(line) + "\n"); }

  // The next line without its LF (a CR stays), or nothing when none completes in time.
  std::optional<std::string> ReadLine(std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));
  // Exactly n bytes, or nothing when they do not all arrive in time.
  std::optional<std::string> ReadBytes(std::size_t n,
                                       std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));
  // The result of one receive: what had arrived when the first bytes came.
  std::optional<std::string> ReadSome(std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));
  // Whatever arrives within the given time (for checking that nothing comes).
  std::string ReadFor(std::chrono::milliseconds duration);
  // True when the peer closes (or resets) the connection within the deadline; data is dropped.
  bool WaitForClose(std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));
  // SendLine + ReadLine with the CR of a CR LF ending removed.
  std::optional<std::string> Query(std::string_view line,
                                   std::chrono::milliseconds deadline = std::chrono::milliseconds(2000));

  // Time of the most recent receive that returned data.
  std::chrono::steady_clock::time_point LastArrival() const { return last_arrival_; }

 private:
  // One receive into the buffer, waiting until `until`; false on time-out, close or error.
  bool Fill(std::chrono::steady_clock::time_point until);

  int fd_ = -1;
  bool peer_closed_ = false;
  std::string buffer_;
  std::chrono::steady_clock::time_point last_arrival_{};
};

}  // namespace qvx::test
