#include "support/sim_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "scpi.h"

namespace qvx::test {
namespace {

// Calls try_host with 127.0.0.N until it succeeds, starting from a point that differs
// between processes and calls.
bool ForEachLoopbackHost(const std::function<bool(const std::string&)>& try_host) {
  static std::atomic<unsigned> counter{0};
  const unsigned start = static_cast<unsigned>(::getpid()) * 31u + counter.fetch_add(1) * 7u;
  for (unsigned k = 0; k < 249; ++k) {
    if (try_host("127.0.0." + qvx::sim::FormatInteger(2 + (start + k) % 249))) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<qvx::sim::Simulator> StartSimulatorOnLoopback(qvx::sim::SimOptions opts) {
  std::unique_ptr<qvx::sim::Simulator> started;
  opts.port = 5555;
  opts.allow_any = false;
  const bool ok = ForEachLoopbackHost([&](const std::string& address) {
    opts.listen_address = address;
    started = std::make_unique<qvx::sim::Simulator>(opts);
    return started->Start();
  });
  return ok ? std::move(started) : nullptr;
}

std::unique_ptr<UnansweredListener> UnansweredListener::Start() {
  auto listener = std::make_unique<UnansweredListener>();
  const bool ok = ForEachLoopbackHost([&](const std::string& address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5555);
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (listener->fd >= 0) ::close(listener->fd);
    listener->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    listener->address = address;
    return listener->fd >= 0 && ::bind(listener->fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
           ::listen(listener->fd, 0) == 0 && listener->filler.Connect(address);
  });
  return ok ? std::move(listener) : nullptr;
}

UnansweredListener::~UnansweredListener() {
  if (fd >= 0) ::close(fd);
}

}  // namespace qvx::test
