// Benchmarks that need the Qt chart or the simulator, and the benchmark program's main.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "core/pause.h"
#include "core/working_state.h"
#include "link/socket_channel.h"
#include "setup/status_read.h"
#include "simulator.h"
#include "spectrum/chart_model.h"
#include "plot/chart_view.h"
#include "spectrum/plot.h"
#include "spectrum/trace.h"

namespace qvx {
namespace {

WorkingState NoisyState() {
  WorkingState s;
  s.Startf = 0;
  s.Endf = 100000;
  s.Fs = 1e7;
  s.Rbw = 9.5367431640625;
  s.LvInc = 10;
  for (int i = 0; i < SPEC_POINTS; ++i) {
    auto& p = s.SpecData[static_cast<std::size_t>(i)];
    p.Freq = i * 100.0;
    p.Level = 20.0 + 3.0 * std::sin(i * 0.37) + (i % 7);
  }
  return s;
}

// One plot of 1000 points into the Qt chart, drawn offscreen.
void BM_PlotSpectrumIntoChart(benchmark::State& state) {
  const WorkingState s = NoisyState();
  PlotInputs in{static_cast<int>(state.range(0)), "none", "32", "0", "100"};
  ChartModel model;
  ChartView view;
  view.resize(609, 417);
  for (auto _ : state) {
    PlotSpectrum(s, in, model);
    view.Render(model);
    view.grab();  // forces the scene to be painted
  }
}
BENCHMARK(BM_PlotSpectrumIntoChart)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond);

// A whole acquisition against the in-process simulator on loopback, reported as the
// time beyond the 1500 ms of pauses the acquisition must make.
void BM_AcquisitionBeyondPauses(benchmark::State& state) {
  sim::SimOptions options;
  options.listen_address = "127.0.0.1";
  sim::Simulator simulator(options);
  if (!simulator.Start()) {
    state.SkipWithError("the simulator could not listen on 127.0.0.1:5555");
    return;
  }
  SocketChannel channel;
  channel.SetAddress("127.0.0.1");
  if (channel.ConnectInstrument() != 1) {
    state.SkipWithError("no connection to the simulator");
    return;
  }
  WorkingState s = NoisyState();
  ChartModel model;
  const PlotInputs in{0, "none", "32", "0", "100"};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    FetchTrace(
        channel, s, [&] { ReadStatus(channel, s, {}); }, [&] { PlotSpectrum(s, in, model); });
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count() - 1.5);
  }
  simulator.Stop();
}
BENCHMARK(BM_AcquisitionBeyondPauses)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qvx

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
