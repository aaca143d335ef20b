// The time record end to end: a 10 M-point capture against the simulator (how long it takes
// beyond the record's own fill time, transfer and analysis overlapping), and the estimator's
// memory over records of 1 M and 10 M samples.
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "capture/capture.h"
#include "link/socket_channel.h"
#include "psd/estimator.h"
#include "simulator.h"

namespace {

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// One 10 M-point record of 10 s, filled at 0.1 of real time (1 s); "beyond_fill_s" is the
// capture's time beyond that fill, ranging included.
void BM_CaptureTenMillionPoints(benchmark::State& state) {
  qvx::sim::SimOptions options;
  options.noise.time_scale = 0.1;
  options.noise.tones.clear();
  std::unique_ptr<qvx::sim::Simulator> simulator;
  for (int n = 200; n < 250 && !simulator; ++n) {
    options.listen_address = "127.0.0." + std::to_string(n);
    simulator = std::make_unique<qvx::sim::Simulator>(options);
    if (!simulator->Start()) simulator.reset();
  }
  if (!simulator) {
    state.SkipWithError("no free loopback address for the simulator");
    return;
  }
  qvx::CapturePlan plan;
  plan.records.push_back({10000000, 1.0, 1e6, 10.0, 1.0, 4e5});
  double beyond = 0.0;
  for (auto _ : state) {
    qvx::SocketChannel channel;
    channel.SetAddress(simulator->Address());
    if (channel.ConnectInstrument() != 1) {
      state.SkipWithError("no connection");
      return;
    }
    const auto started = std::chrono::steady_clock::now();
    const qvx::CaptureOutcome outcome = qvx::RunCapture(channel, plan, {});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (outcome.error || outcome.records.empty()) {
      state.SkipWithError(outcome.error ? outcome.error->what() : "no record");
      return;
    }
    beyond = seconds - 10.0 * options.noise.time_scale;
  }
  state.counters["beyond_fill_s"] = beyond;
}
BENCHMARK(BM_CaptureTenMillionPoints)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The estimator's own memory: samples made and pushed in chunks, so only it can grow.
void BM_EstimatorMemory(benchmark::State& state) {
  const auto samples = static_cast<std::size_t>(state.range(0));
  long grew = 0;
  for (auto _ : state) {
    const long before = ResidentKb();
    qvx::psd::Options options;
    options.expected_samples = samples;
    qvx::psd::Estimator estimator(1e6, options);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> gauss(0.0, 1e-5);
    std::vector<double> chunk(250000);
    for (std::size_t done = 0; done < samples; done += chunk.size()) {
      for (double& v : chunk) v = gauss(rng);
      estimator.Push(chunk.data(), std::min(chunk.size(), samples - done));
    }
    benchmark::DoNotOptimize(estimator.Read());
    grew = ResidentKb() - before;  // with the estimator still alive
  }
  state.counters["rss_growth_kib"] = static_cast<double>(grew);
}
BENCHMARK(BM_EstimatorMemory)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
