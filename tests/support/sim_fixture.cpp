#include "support/sim_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>

#include "scpi.h"

namespace qvx::test {
namespace {

constexpr int kFirstHost = 2;
constexpr int kHostCount = 249;  // 127.0.0.2 .. 127.0.0.250

// Calls try_host with 127.0.0.N for every candidate N until it succeeds.
bool ForEachLoopbackHost(const std::function<bool(const std::string&)>& try_host) {
  static std::atomic<unsigned> counter{0};
  const unsigned start = static_cast<unsigned>(::getpid()) * 31u + counter.fetch_add(1) * 7u;
  for (int k = 0; k < kHostCount; ++k) {
    const int host = kFirstHost + static_cast<int>((start + static_cast<unsigned>(k)) % kHostCount);
    if (try_host("127.0.0." + qvx::sim::FormatInteger(host))) return true;
  }
  return false;
}

sockaddr_in LoopbackAddress(const std::string& address) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(5555);
  ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  return addr;
}

}  // namespace

std::unique_ptr<qvx::sim::Simulator> StartSimulatorOnLoopback(qvx::sim::SimOptions opts) {
  std::unique_ptr<qvx::sim::Simulator> started;
  opts.port = 5555;
  opts.allow_any = false;
  ForEachLoopbackHost([&](const std::string& address) {
    opts.listen_address = address;
    auto simulator = std::make_unique<qvx::sim::Simulator>(opts);
    if (!simulator->Start()) return false;
    started = std::move(simulator);
    return true;
  });
  return started;
}

std::unique_ptr<UnansweredListener> UnansweredListener::Start() {
  std::unique_ptr<UnansweredListener> result;
  ForEachLoopbackHost([&](const std::string& address) {
    std::unique_ptr<UnansweredListener> listener(new UnansweredListener);
    listener->address_ = address;
    const sockaddr_in addr = LoopbackAddress(address);
    listener->listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener->listen_fd_ < 0) return false;
    const int one = 1;
    ::setsockopt(listener->listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener->listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener->listen_fd_, 0) != 0) {
      return false;
    }
    // The one connection the zero backlog holds; it is never accepted.
    listener->filler_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener->filler_fd_ < 0) return false;
    if (::connect(listener->filler_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      if (errno != EINPROGRESS) return false;
      pollfd pfd{listener->filler_fd_, POLLOUT, 0};
      int error = 0;
      socklen_t len = sizeof error;
      if (::poll(&pfd, 1, 2000) != 1 ||
          ::getsockopt(listener->filler_fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return false;
      }
    }
    result = std::move(listener);
    return true;
  });
  return result;
}

UnansweredListener::~UnansweredListener() {
  if (filler_fd_ >= 0) ::close(filler_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

}  // namespace qvx::test
