#include "link/socket_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

namespace qvx {
namespace {

// Sends and plain receives give up after this long instead of blocking the window for ever.
constexpr int kSocketIoTimeoutMs = 2000;

using Clock = std::chrono::steady_clock;

// poll() on one descriptor, resumed after signals until the whole time has passed.
// Returns the revents, 0 on time-out, -1 on failure.
int PollOne(int fd, short events, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd pfd{fd, events, 0};
    const int rc = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc > 0) return pfd.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
    if (Clock::now() >= deadline) return 0;
  }
}

bool SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, wanted) == 0;
}

void SetIoTimeout(int fd, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

SocketChannel::SocketChannel() : address_(kDefaultInstrumentAddress) {}

SocketChannel::~SocketChannel() { Close(); }

void SocketChannel::SetAddress(std::string address) { address_ = std::move(address); }

const std::string& SocketChannel::Address() const { return address_; }

int SocketChannel::Handle() const { return fd_; }

void SocketChannel::SetConnectTimeoutMs(int ms) { connect_timeout_ms_ = ms > 0 ? ms : 0; }

void SocketChannel::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SocketChannel::Open(const std::string& address) {
  SetAddress(address);
  return ConnectInstrument() == 1;
}

int SocketChannel::ConnectInstrument() {
  // Nothing relies on the superseded connection, so it is closed rather than left idle.
  Close();

  // Only a dotted IPv4 address is a target; anything else (host names, an embedded NUL,
  // blanks) fails here before any traffic.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(INSTRUMENT_PORT);
  if (address_.find('\0') != std::string::npos || ::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr) != 1) {
    return 0;
  }

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;

  // Non-blocking connect plus poll: an unreachable instrument costs the connect time-out,
  // not the minutes the system's own SYN retries would take.
  bool ok = SetBlocking(fd, false);
  if (ok) {
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc != 0) {
      ok = (errno == EINPROGRESS || errno == EINTR) && PollOne(fd, POLLOUT, connect_timeout_ms_) > 0;
      if (ok) {
        int error = 0;
        socklen_t len = sizeof error;
        ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
      }
    }
  }
  ok = ok && SetBlocking(fd, true);
  if (!ok) {
    ::close(fd);
    return 0;
  }

  // Each command leaves at once in its own segment, so the instrument sees it when sent.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A peer that stops reading or sending cannot block a send or a plain receive for ever.
  SetIoTimeout(fd, SO_SNDTIMEO, kSocketIoTimeoutMs);
  SetIoTimeout(fd, SO_RCVTIMEO, kSocketIoTimeoutMs);
  fd_ = fd;
  return 1;
}

void SocketChannel::SendCommand(std::string_view command) {
  if (fd_ < 0) return;
  std::string line(command);
  line.push_back(CMD_TERMINATOR);
  // A failed or partial send goes unreported; MSG_NOSIGNAL keeps a closed peer from
  // killing the process with SIGPIPE.
  [[maybe_unused]] const ssize_t sent = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
}

int SocketChannel::ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) {
  if (fd_ < 0) return -1;
  if (buffer == nullptr && maxBytes > 0) return -1;
  // poll, not select: select cannot watch descriptors at or above FD_SETSIZE.
  const int ready = PollOne(fd_, POLLIN, timeoutMs > 0 ? timeoutMs : 0);
  if (ready <= 0) return -1;
  const std::size_t count = maxBytes > static_cast<unsigned>(INT_MAX) ? INT_MAX : maxBytes;
  // Readable also means "closed" or "failed": recv then reports 0 or -1 itself.
  return static_cast<int>(::recv(fd_, buffer, count, 0));
}

}  // namespace qvx
