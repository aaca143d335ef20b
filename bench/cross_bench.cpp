// The cross-spectral estimator on a two-channel record of 5 M float pairs (the deepest a
// record goes with both channels on), pushed in the chunks a transfer delivers, beside the
// Welch estimator on one channel of it; and reading its log points.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "psd/cross.h"
#include "psd/estimator.h"

namespace {

constexpr std::size_t kPairs = 5000000;
constexpr std::size_t kChunk = 250000;
constexpr double kFs = 5e6;

struct Record {
  std::vector<float> x, y;
};

const Record& FiveMillionPairs() {
  static const Record record = [] {
    std::mt19937_64 rng(1);
    std::normal_distribution<float> gauss(0.0f, 1e-3f);
    Record r{std::vector<float>(kPairs), std::vector<float>(kPairs)};
    for (std::size_t i = 0; i < kPairs; ++i) {
      const float shared = gauss(rng);
      r.x[i] = shared + gauss(rng);
      r.y[i] = shared + gauss(rng);
    }
    return r;
  }();
  return record;
}

void BM_CrossFiveMillionFloatPairs(benchmark::State& state) {
  const Record& record = FiveMillionPairs();
  for (auto _ : state) {
    qvx::psd::CrossEstimator estimator(kFs, {.segment = 4096, .record_samples = kPairs});
    for (std::size_t at = 0; at < kPairs; at += kChunk)
      estimator.Push(record.x.data() + at, record.y.data() + at, kChunk);
    estimator.EndRecord();
    benchmark::DoNotOptimize(estimator.Read());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_CrossFiveMillionFloatPairs)->Unit(benchmark::kMillisecond)->UseRealTime();

// One channel of the same record through the Welch estimator, for scale.
void BM_WelchFiveMillionFloats(benchmark::State& state) {
  const Record& record = FiveMillionPairs();
  for (auto _ : state) {
    qvx::psd::Estimator estimator(kFs, {.segment = 4096, .expected_samples = kPairs, .lf_noise = false});
    for (std::size_t at = 0; at < kPairs; at += kChunk) estimator.Push(record.x.data() + at, kChunk);
    benchmark::DoNotOptimize(estimator.Read());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_WelchFiveMillionFloats)->Unit(benchmark::kMillisecond)->UseRealTime();

// The log points of a record (the intervals below 30 averages are the costly part).
void BM_CrossReadLog(benchmark::State& state) {
  const Record& record = FiveMillionPairs();
  qvx::psd::CrossEstimator estimator(kFs, {.segment = 4096, .record_samples = kPairs});
  estimator.Push(record.x.data(), record.y.data(), kPairs);
  estimator.EndRecord();
  for (auto _ : state) benchmark::DoNotOptimize(estimator.ReadLog(10, 1.0, 1.0));
}
BENCHMARK(BM_CrossReadLog)->Unit(benchmark::kMillisecond);

}  // namespace
