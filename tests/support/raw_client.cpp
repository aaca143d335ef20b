#include "support/raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace qvx::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace

RawClient::~RawClient() { Close(); }

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  peer_closed_ = false;
  buffer_.clear();
}

bool RawClient::Connect(const std::string& address, std::uint16_t port,
                        std::chrono::milliseconds timeout) {
  Close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return false;
  if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127) return false;  // tests stay on loopback
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok && errno == EINPROGRESS) {
    pollfd pfd{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    ok = ::poll(&pfd, 1, static_cast<int>(timeout.count())) == 1 &&
         ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  if (!ok) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool RawClient::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  const auto until = Clock::now() + std::chrono::seconds(2);
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pfd{fd_, POLLOUT, 0};
      if (Clock::now() >= until || ::poll(&pfd, 1, MillisLeft(until)) < 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool RawClient::Fill(Clock::time_point until) {
  if (fd_ < 0 || peer_closed_) return false;
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, MillisLeft(until)) <= 0) return false;
  std::array<char, 65536> chunk{};
  const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Clock::now() < until;
    peer_closed_ = true;
    return false;
  }
  last_arrival_ = Clock::now();
  buffer_.append(chunk.data(), static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> RawClient::ReadLine(std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  for (;;) {
    const std::size_t lf = buffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = buffer_.substr(0, lf);
      buffer_.erase(0, lf + 1);
      return line;
    }
    if (!Fill(until)) {
      if (Clock::now() >= until || peer_closed_ || fd_ < 0) return std::nullopt;
    }
  }
}

std::optional<std::string> RawClient::ReadBytes(std::size_t n, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (buffer_.size() < n) {
    if (!Fill(until) && (Clock::now() >= until || peer_closed_ || fd_ < 0)) return std::nullopt;
  }
  std::string bytes = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return bytes;
}

std::optional<std::string> RawClient::ReadSome(std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (buffer_.empty()) {
    if (!Fill(until) && (Clock::now() >= until || peer_closed_ || fd_ < 0)) return std::nullopt;
  }
  return std::exchange(buffer_, std::string());
}

std::string RawClient::ReadFor(std::chrono::milliseconds duration) {
  const auto until = Clock::now() + duration;
  while (Clock::now() < until && !peer_closed_ && fd_ >= 0) Fill(until);
  std::string bytes = std::move(buffer_);
  buffer_.clear();
  return bytes;
}

bool RawClient::WaitForClose(std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (!peer_closed_ && fd_ >= 0 && Clock::now() < until) {
    Fill(until);
    buffer_.clear();
  }
  return peer_closed_;
}

std::optional<std::string> RawClient::Query(std::string_view line, std::chrono::milliseconds deadline) {
  if (!SendLine(line)) return std::nullopt;
  auto reply = ReadLine(deadline);
  if (reply && !reply->empty() && reply->back() == '\r') reply->pop_back();
  return reply;
}

}  // namespace qvx::test
