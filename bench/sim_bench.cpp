// Costs of the simulator: one trace of the FFT model, and parsing the longest line it takes.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "instrument.h"
#include "noise_model.h"

namespace {

// One trace at the default set-up (0..100 kHz at 0.01 s/div, 1M points, Hann, K = 32, the
// built-in tones); range(0) = 1 draws frame by frame instead of each average at once.
void BM_GenerateTrace(benchmark::State& state) {
  const qvx::sim::NoiseModel model;
  const qvx::sim::SimState set_up;
  const auto path = state.range(0) == 0 ? qvx::sim::TracePath::Auto : qvx::sim::TracePath::Frames;
  std::mt19937_64 rng(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qvx::sim::TraceLevels(model, set_up, 1000, set_up.avcnt, rng, path));
  }
}
BENCHMARK(BM_GenerateTrace)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A 64 KiB line (the longest taken) of colon-separated mnemonics that match no header.
void BM_ExecuteLongestLine(benchmark::State& state) {
  qvx::sim::Instrument instrument;
  std::string line;
  while (line.size() + 5 <= 65536) line += ":MATH";
  for (auto _ : state) {
    benchmark::DoNotOptimize(instrument.Execute(line));
    instrument.Execute("*CLS");
  }
}
BENCHMARK(BM_ExecuteLongestLine)->Unit(benchmark::kMicrosecond);

}  // namespace
