// Costs of the noise analysis, of one chart image, and of a sweep against the simulator
// beyond its physical minimum.
#include <benchmark/benchmark.h>

#include <QChart>
#include <QDir>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>

#include "analysis/noise_analysis.h"
#include "link/socket_channel.h"
#include "plot/noise_plot.h"
#include "simulator.h"
#include "sweep/measurement.h"

namespace {

// Five decades of 1000 points each, as a sweep from 1 Hz to 100 kHz leaves them.
qvx::NoiseSpectrum FiveDecades() {
  std::mt19937_64 rng(3);
  std::gamma_distribution<double> scatter(32, 1.0 / 32);
  qvx::NoiseSpectrum s;
  for (int k = 0; k < 5; ++k) {
    const double start = std::pow(10.0, k);
    for (int i = 0; i < 1000; ++i) {
      qvx::NoisePoint p;
      p.freq_hz = start + i * 9 * start / 1000;
      p.density_nv = 20 * std::sqrt((1 + 200 / p.freq_hz) * scatter(rng));
      p.level_nv = p.density_nv * std::sqrt(1.5);
      s.points.push_back(p);
    }
  }
  s.end_hz = 1e5;
  return s;
}

void BM_AnalyzeFiveDecades(benchmark::State& state) {
  const qvx::NoiseSpectrum s = FiveDecades();
  for (auto _ : state) {
    qvx::NoiseReport r = qvx::AnalyzeNoise(s, {});
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_AnalyzeFiveDecades)->Unit(benchmark::kMicrosecond);

void BM_NoisePlotPng(benchmark::State& state) {
  qvx::EnsureGuiApplication();
  const qvx::NoiseSpectrum s = FiveDecades();
  const qvx::NoiseReport r = qvx::AnalyzeNoise(s, {});
  const QString path = QDir::temp().filePath(QStringLiteral("qvx-noise-bench.png"));
  for (auto _ : state) {
    std::unique_ptr<QChart> chart(qvx::BuildNoiseChart(s, r));
    if (!qvx::SaveChartImage(*chart, path, QSize(1200, 800), nullptr)) state.SkipWithError("no image");
  }
  QFile::remove(path);
}
BENCHMARK(BM_NoisePlotPng)->Unit(benchmark::kMillisecond);

// A 10 Hz .. 100 kHz sweep with averaging at 0.01 of real time on both sides, on a loopback
// address of its own. "over_minimum" is the time beyond K frames x record time x 0.01 and the
// set-up and read pauses of the reads made, as a share of that minimum; "over_plan" the same
// against the plan's one read per decade (the extra reads are the ranging of the FFT scale).
void BM_SweepBeyondPhysicalMinimum(benchmark::State& state) {
  using namespace qvx;
  sim::SimOptions options;
  options.noise.time_scale = 0.01;
  std::unique_ptr<sim::Simulator> simulator;
  for (int n = 200; n < 250 && !simulator; ++n) {
    options.listen_address = "127.0.0." + std::to_string(n);
    simulator = std::make_unique<sim::Simulator>(options);
    if (!simulator->Start()) simulator.reset();
  }
  if (!simulator) {
    state.SkipWithError("no free loopback address for the simulator");
    return;
  }
  SocketChannel channel;
  channel.SetAddress(simulator->Address());
  if (channel.ConnectInstrument() != 1) {
    state.SkipWithError("could not connect to the simulator");
    return;
  }
  MeasureSettings settings;
  settings.acquisitions = PlanSweep(10, 100000, 10, 32, 0.01).acquisitions;
  settings.time_scale = 0.01;
  double over = 0;
  double overPlan = 0;
  for (auto _ : state) {
    simulator->ClearCommands();
    const auto started = std::chrono::steady_clock::now();
    const MeasureOutcome outcome = RunMeasurement(channel, settings, {});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (outcome.status != MeasureStatus::kOk) state.SkipWithError(outcome.message.c_str());
    double minimum = 0;
    for (const auto& a : settings.acquisitions) minimum += a.average_s + SetupPauseSeconds();
    for (const auto& line : simulator->Lines()) minimum += line == ":WAV:DATA?" ? TracePauseSeconds() : 0.0;
    over = seconds / minimum - 1;
    double planned = 0;
    for (const auto& a : settings.acquisitions) planned += a.average_s + SetupPauseSeconds() + TracePauseSeconds();
    overPlan = seconds / planned - 1;
  }
  state.counters["over_minimum"] = over;
  state.counters["over_plan"] = overPlan;
}
BENCHMARK(BM_SweepBeyondPhysicalMinimum)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
