// The time record: generating a 10 M-point record, and serving it to a client that reads it
// in 40 blocks of 250 000 points, against the same bytes through a bare loopback connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "simulator.h"
#include "time_record.h"

namespace {

constexpr std::size_t kPoints = 10000000;

void BM_GenerateRecord(benchmark::State& state) {
  const qvx::sim::NoiseModel model;
  const qvx::sim::RecordLayout layout{1e7, kPoints, 1e-4, 0.0};
  std::uint64_t seed = 1;
  for (auto _ : state) benchmark::DoNotOptimize(qvx::sim::GenerateRecord(model, layout, seed++));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}
BENCHMARK(BM_GenerateRecord)->Unit(benchmark::kMillisecond);

class Client {
 public:
  bool Connect(const std::string& address, std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    const int one = 1;  // as the program's channel: no Nagle wait between a read's lines
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  void Send(const std::string& line) { ::send(fd_, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL); }
  // Reads exactly n bytes (a 2 s bound on each receive); false when they do not come.
  bool Read(std::size_t n, std::string* into = nullptr) {
    timeval bound{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    while (n > 0) {
      const ssize_t got = ::recv(fd_, buffer_.data(), std::min(n, buffer_.size()), 0);
      if (got <= 0) return false;
      if (into) into->append(buffer_.data(), static_cast<std::size_t>(got));
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  std::string Line() {
    std::string line;
    while (Read(1, &line) && line.back() != '\n') {
    }
    if (!line.empty()) line.pop_back();
    return line;
  }

 private:
  int fd_ = -1;
  std::array<char, 1 << 16> buffer_{};
};

std::unique_ptr<qvx::sim::Simulator> StartOnFreeAddress() {
  qvx::sim::SimOptions options;
  for (int n = 200; n < 250; ++n) {
    options.listen_address = "127.0.0." + std::to_string(n);
    auto simulator = std::make_unique<qvx::sim::Simulator>(options);
    if (simulator->Start()) return simulator;
  }
  return nullptr;
}

// Serving a complete 10 M-point record: 40 reads of 250 000 points.
void BM_ServeRecord(benchmark::State& state) {
  auto simulator = StartOnFreeAddress();
  Client client;
  if (!simulator || !client.Connect(simulator->Address(), simulator->Port())) {
    state.SkipWithError("no simulator on loopback");
    return;
  }
  for (const char* line : {":WAV:SOUR CHAN1", ":WAV:MODE RAW", ":ACQ:MDEP 10000000", ":TIM:MAIN:SCAL 0.1", ":SINGle"}) {
    client.Send(line);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (true) {
    client.Send(":TRIG:STAT?");
    if (client.Line() == "STOP") break;
    if (std::chrono::steady_clock::now() > until) {
      state.SkipWithError("the record did not complete");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto _ : state) {
    for (std::size_t first = 1; first <= kPoints; first += 250000) {
      client.Send(":WAV:STAR " + std::to_string(first));
      client.Send(":WAV:STOP " + std::to_string(first + 249999));
      client.Send(":WAV:DATA?");
      if (!client.Read(11 + 250000 + 1)) {
        state.SkipWithError("short block");
        return;
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}
BENCHMARK(BM_ServeRecord)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same 40 blocks through a bare loopback connection: what loopback lets a client read.
void BM_LoopbackReference(benchmark::State& state) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.199", &addr.sin_addr);
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listener);
    state.SkipWithError("no loopback listener");
    return;
  }
  Client client;
  client.Connect("127.0.0.199", ntohs(addr.sin_port));
  const int peer = ::accept(listener, nullptr, nullptr);
  const std::string block(11 + 250000 + 1, 'x');
  std::thread writer([&] {
    // One block per query, the same three lines a read of the simulator takes.
    std::array<char, 256> request{};
    ssize_t got = 0;
    while ((got = ::recv(peer, request.data(), request.size(), 0)) > 0) {
      for (ssize_t i = 0; i < got; ++i) {
        if (request[static_cast<std::size_t>(i)] == '?') ::send(peer, block.data(), block.size(), MSG_NOSIGNAL);
      }
    }
  });
  for (auto _ : state) {
    for (std::size_t first = 1; first <= kPoints; first += 250000) {
      client.Send(":WAV:STAR " + std::to_string(first));
      client.Send(":WAV:STOP " + std::to_string(first + 249999));
      client.Send(":WAV:DATA?");
      client.Read(block.size());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
  ::shutdown(peer, SHUT_RDWR);
  writer.join();
  ::close(peer);
  ::close(listener);
}
BENCHMARK(BM_LoopbackReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
