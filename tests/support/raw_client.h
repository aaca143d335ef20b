#pragma once
// A bare TCP client for tests: talks to 127.x.x.x:5555 byte by byte, every wait bounded.
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qvx::test {

class RawClient {
 public:
  using Millis = std::chrono::milliseconds;
  static constexpr std::size_t kNotYet = std::string::npos;
  RawClient() = default;
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connect(const std::string& address);  // false for anything but loopback
  void Close();
  bool Send(std::string_view bytes);
  bool SendLine(std::string_view line) { return Send(std::string(line) + "\n"); }
  // Nothing when the wanted bytes do not all arrive in time.
  std::optional<std::string> ReadLine(Millis deadline = Millis(2000));  // without its LF
  std::optional<std::string> ReadBytes(std::size_t n, Millis deadline = Millis(2000)) {
    return Take(deadline, [n](const std::string& b) { return b.size() >= n ? n : kNotYet; });
  }
  // What one receive got.
  std::optional<std::string> ReadSome(Millis deadline = Millis(2000)) {
    return Take(deadline, [](const std::string& b) { return b.empty() ? kNotYet : b.size(); });
  }
  std::optional<std::string> Query(std::string_view line) { return SendLine(line) ? ReadLine() : std::nullopt; }
  bool WaitForClose(Millis deadline = Millis(2000));  // data arriving meanwhile is dropped

 private:
  // Receives until `count` tells how many buffered bytes to take (npos: not yet).
  std::optional<std::string> Take(Millis deadline, const std::function<std::size_t(const std::string&)>& count);

  int fd_ = -1;
  bool peer_closed_ = false;
  std::string buffer_;
};

}  // namespace qvx::test
