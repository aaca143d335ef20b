#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace qvx::test {

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  peer_closed_ = false;
  buffer_.clear();
}

bool RawClient::Connect(const std::string& address) {
  Close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(5555);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    return false;
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval bound{2, 0};  // bounds the connect and every send
  const int one = 1;          // each send leaves at once, as its own segment
  if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
      ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(std::string_view bytes) {
  while (fd_ >= 0 && !bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return fd_ >= 0;
}

std::optional<std::string> RawClient::Take(Millis deadline,
                                           const std::function<std::size_t(const std::string&)>& count) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (const std::size_t n = count(buffer_); n != kNotYet) {
      std::string taken = buffer_.substr(0, n);
      buffer_.erase(0, n);
      return taken;
    }
    const auto left = std::chrono::ceil<Millis>(until - std::chrono::steady_clock::now()).count();
    pollfd pfd{fd_, POLLIN, 0};
    if (fd_ < 0 || peer_closed_ || left <= 0 ||
        ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 60000))) <= 0) {
      return std::nullopt;
    }
    std::array<char, 65536> chunk{};
    const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
    if (n <= 0) {
      peer_closed_ = true;
    } else {
      buffer_.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }
}

std::optional<std::string> RawClient::ReadLine(Millis deadline) {
  auto line = Take(deadline, [](const std::string& b) { return b.find('\n') == kNotYet ? kNotYet : b.find('\n') + 1; });
  if (line) line->pop_back();
  return line;
}

bool RawClient::WaitForClose(Millis deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (ReadSome(std::chrono::ceil<Millis>(until - std::chrono::steady_clock::now()))) {
  }
  return peer_closed_;
}

}  // namespace qvx::test
