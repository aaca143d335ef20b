// Costs of the spectrum path that do not involve the screen or the network.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "core/working_state.h"
#include "spectrum/chart_model.h"
#include "spectrum/clipboard_text.h"
#include "spectrum/filters.h"
#include "spectrum/plot.h"
#include "spectrum/trace.h"

namespace {

std::array<unsigned char, qvx::SPEC_POINTS> TraceBytes() {
  std::array<unsigned char, qvx::SPEC_POINTS> data{};
  unsigned v = 12345;
  for (auto& b : data) {
    v = v * 1103515245u + 12345u;
    b = static_cast<unsigned char>(96 + (v >> 16) % 64);
  }
  return data;
}

qvx::WorkingState TraceState() {
  qvx::WorkingState s;
  s.Startf = 0;
  // The program's default set-up: levels of a few tens of nV/sqrt(Hz), as measured.
  s.Endf = 100000;
  s.FftScale = 1e-8;
  s.FftOffset = -7e-8;
  s.Fs = 1e7;
  s.Rbw = 9.5367431640625;
  s.LvInc = 10;
  qvx::ConvertTrace(TraceBytes(), s);
  return s;
}

void BM_ConvertTrace(benchmark::State& state) {
  const auto data = TraceBytes();
  qvx::WorkingState s = TraceState();
  for (auto _ : state) {
    qvx::ConvertTrace(data, s);
    benchmark::DoNotOptimize(s.SpecData.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * qvx::SPEC_POINTS);
}
BENCHMARK(BM_ConvertTrace);

// One pass over the buffer through the filter of the list index (0 none .. 4 M8).
void BM_FilterPass(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const qvx::WorkingState s = TraceState();
  for (auto _ : state) {
    qvx::ResetAllFilters();
    double sum = 0.0;
    for (const auto& p : s.SpecData) {
      double y = 0.0;
      qvx::FilterLevel(index, p.Level, y);
      sum += y;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * qvx::SPEC_POINTS);
  static const char* const kNames[] = {"none", "A4", "A8", "M4", "M8"};
  state.SetLabel(kNames[index]);
}
BENCHMARK(BM_FilterPass)->DenseRange(0, 4);

void BM_BuildClipboardText(benchmark::State& state) {
  const qvx::WorkingState s = TraceState();
  const bool freqList = state.range(0) != 0;
  const int filterIndex = static_cast<int>(state.range(1));
  for (auto _ : state) {
    std::string text = qvx::BuildClipboardText(s.SpecData, filterIndex, freqList);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetLabel(std::string(freqList ? "with frequency" : "level only") + (filterIndex ? ", M4" : ""));
}
BENCHMARK(BM_BuildClipboardText)->Args({0, 0})->Args({1, 0})->Args({1, 3});

void BM_PlotSpectrum(benchmark::State& state) {
  const qvx::WorkingState s = TraceState();
  const qvx::PlotInputs in{static_cast<int>(state.range(0)), "M8", "16", "0", "100"};
  qvx::ChartModel chart;
  for (auto _ : state) {
    qvx::PlotSpectrum(s, in, chart);
    benchmark::DoNotOptimize(chart.Series1.data());
  }
  state.SetItemsProcessed(state.iterations() * qvx::SPEC_POINTS);
}
BENCHMARK(BM_PlotSpectrum)->Arg(0)->Arg(4);

}  // namespace
