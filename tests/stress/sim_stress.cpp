// A heavy check of the simulator's memory, run by hand (tests/stress/run-sim-stress), not by
// CTest: 1000 clients each send 1 MiB and close, another sends 10 000 lines of 64 KiB, and
// then "*IDN?" must be answered at once. The simulator's resident memory is sampled all along.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kClients = 1000;
constexpr std::size_t kWorkers = 50;
constexpr std::size_t kLongLines = 10000;
constexpr long kLimitKib = 64 * 1024;

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
long StatusKib(const std::string& pid, const std::string& field) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Every other client sends one 1 MiB line without its end; the others 1 KiB lines of junk.
std::string Payload(std::size_t client) {
  std::string bytes;
  while (bytes.size() < (1u << 20)) {
    bytes +=
        client % 2 == 0 ? std::string(1024, 'x') : ":JUNK" + std::to_string(client) + std::string(1017, 'y') + "\n";
  }
  bytes.resize(1u << 20);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qvx_sim_stress LOOPBACK-ADDRESS SIMULATOR-PID\n");
    return 2;
  }
  const std::string address = argv[1];
  const std::string pid = argv[2];
  std::atomic<bool> sampling{true};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (sampling) {
      const long rss = StatusKib(pid, "VmRSS");
      if (rss > peak) peak = rss;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const long before = StatusKib(pid, "VmRSS");

  auto start = Clock::now();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> failed{0};
  std::vector<std::thread> workers;
  for (std::size_t w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (std::size_t c = next++; c < kClients; c = next++) {
        qvx::test::RawClient client;
        if (!client.Connect(address) || !client.Send(Payload(c))) ++failed;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  const double flood_s = std::chrono::duration<double>(Clock::now() - start).count();

  start = Clock::now();
  qvx::test::RawClient talker;
  std::string line = ":" + std::string(65534, 'z') + "\n";  // 64 KiB with its LF
  bool sent = talker.Connect(address);
  for (std::size_t i = 0; sent && i < kLongLines; ++i) sent = talker.Send(line);
  const double lines_s = std::chrono::duration<double>(Clock::now() - start).count();

  start = Clock::now();
  const auto idn = talker.Query("*IDN?");
  const double idn_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  sampling = false;
  sampler.join();

  const long hwm = StatusKib(pid, "VmHWM");
  const long after = StatusKib(pid, "VmRSS");
  std::printf("clients: %zu x 1 MiB in %.1f s, %zu failed\n", kClients, flood_s, failed.load());
  std::printf("long lines: %zu x 64 KiB in %.1f s%s\n", kLongLines, lines_s, sent ? "" : " (a send failed)");
  std::printf("*IDN? answered in %.1f ms: %s\n", idn_ms, idn ? idn->c_str() : "(no answer)");
  std::printf("simulator RSS: %ld KiB before, %ld KiB peak sampled, %ld KiB high-water mark, %ld KiB after\n", before,
              peak.load(), hwm, after);
  const bool ok = failed == 0 && sent && idn && idn_ms < 1000 && hwm > 0 && hwm < kLimitKib;
  std::printf("%s\n", ok ? "PASS: under 64 MiB and answering" : "FAIL");
  return ok ? 0 : 1;
}
