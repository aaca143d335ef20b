// The record in time: pushing a 10 M-sample record through the accumulator (in the 250 000-point
// blocks a capture reads) beside the spectrum estimator on the same record, and reading the
// figures out, with and without bursts to fit.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "psd/estimator.h"
#include "psd/time_domain.h"

namespace {

constexpr std::size_t kSamples = 10000000;
constexpr std::size_t kBlock = 250000;
constexpr double kRate = 1e5;

// White noise of 2 uV/sqrt(Hz) at 100 kSa/s on a 2.5 V reference, with or without a 50 uV
// telegraph of 0.5 s mean dwells.
const std::vector<float>& Record(bool telegraph) {
  static const auto make = [](bool with) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> noise(0.0, 2e-6 * std::sqrt(kRate / 2.0));
    std::exponential_distribution<double> dwell(2.0);
    std::vector<float> x(kSamples);
    double next = dwell(rng);
    double level = 0.0;
    for (std::size_t i = 0; i < kSamples; ++i) {
      if (with && static_cast<double>(i) / kRate >= next) {
        level = 50e-6 - level;
        next += dwell(rng);
      }
      x[i] = static_cast<float>(2.5 + level + noise(rng));
    }
    return x;
  };
  static const std::vector<float> plain = make(false), bursts = make(true);
  return telegraph ? bursts : plain;
}

void BM_TimeDomainPush(benchmark::State& state) {
  const auto& x = Record(false);
  for (auto _ : state) {
    qvx::psd::TimeDomain td(kRate, kSamples);
    for (std::size_t at = 0; at < kSamples; at += kBlock) td.Push(x.data() + at, kBlock);
    benchmark::DoNotOptimize(td.Samples());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
BENCHMARK(BM_TimeDomainPush)->Unit(benchmark::kMillisecond);

void BM_EstimatorPushSameRecord(benchmark::State& state) {
  const auto& x = Record(false);
  for (auto _ : state) {
    qvx::psd::Options options;
    options.expected_samples = kSamples;
    qvx::psd::Estimator estimator(kRate, options);
    for (std::size_t at = 0; at < kSamples; at += kBlock) estimator.Push(x.data() + at, kBlock);
    benchmark::DoNotOptimize(estimator.Samples());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
BENCHMARK(BM_EstimatorPushSameRecord)->Unit(benchmark::kMillisecond);

// Arg 0: Gaussian noise only (the detector finds nothing); 1: with bursts (the two-state fit
// runs).
void BM_TimeDomainRead(benchmark::State& state) {
  const auto& x = Record(state.range(0) != 0);
  qvx::psd::TimeDomain td(kRate, kSamples);
  td.Push(x.data(), kSamples);
  for (auto _ : state) benchmark::DoNotOptimize(td.Read());
}
BENCHMARK(BM_TimeDomainRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
