// The white floor's and the corner's intervals hold the truth over many seeds, on the time
// record and on the instrument's FFT at few and many averages: neighbouring Hann bins are
// not independent, and a fit that took them so would claim too much.
#include <gtest/gtest.h>

#include <cmath>

#include "analysis/corrections.h"
#include "analysis/noise_analysis.h"
#include "capture/capture.h"
#include "noise_model.h"
#include "time_record.h"

namespace qvx {
namespace {

constexpr int kSeeds = 20;

struct Coverage {
  int white = 0, corner = 0, runs = 0;
  void Add(const FloorFit& fit, double white_nv, double corner_hz) {
    ++runs;
    white += fit.white_lo_nv <= white_nv && white_nv <= fit.white_hi_nv;
    corner += fit.corner_lo_hz <= corner_hz && corner_hz <= fit.corner_hi_hz;
  }
};

TEST(Coverage, TheTimeRecordsFitHoldsTheTruth) {
  sim::NoiseModel model;
  model.white_nv = 2000;
  model.corner_hz = 20;
  model.tones.clear();
  const sim::RecordLayout layout{50e3, 1000000, 2e-3, 0.0};
  const double yinc = sim::YIncrement(layout.scale_v);
  Coverage c;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    const std::string codes = sim::GenerateRecord(model, layout, static_cast<std::uint64_t>(seed));
    std::vector<CapturedRecord> records;
    records.push_back(MakeCapturedRecord(layout.fs_hz, layout.points, psd::Averaging::Mean));
    CapturedRecord& r = records.back();
    r.info.fs_hz = layout.fs_hz;
    r.info.points = layout.points;
    r.info.seconds = 20.0;
    r.info.ch1_scale = layout.scale_v;
    r.info.converter_floor_nv = yinc / std::sqrt(6 * layout.fs_hz) * 1e9;
    r.info.lo_hz = 1.0;
    r.info.hi_hz = 10000.0;
    std::vector<float> volts(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i)
      volts[i] = static_cast<float>((static_cast<unsigned char>(codes[i]) - 128.0) * yinc);
    r.estimator->Push(volts.data(), volts.size());
    NoiseSpectrum s = StitchRecords(records, 10);
    ApplyCorrections(s, Gain{}, nullptr);
    c.Add(FitWhiteAndCorner(s), model.white_nv, model.corner_hz);
  }
  EXPECT_GE(c.white, 0.9 * c.runs) << c.white << " of " << c.runs;
  EXPECT_GE(c.corner, 0.9 * c.runs) << c.corner << " of " << c.runs;
}

TEST(Coverage, TheInstrumentsFftFitHoldsTheTruthAtFewAndManyAverages) {
  sim::NoiseModel model;
  model.white_nv = 20;
  model.corner_hz = 200;
  model.tones.clear();
  sim::SimState state;
  state.start_hz = 0;
  state.end_hz = 1000;
  state.tdiv = 0.1;  // 1 M points over 1 s: bins of 0.95 Hz under points 1 Hz apart
  const double df = sim::BinWidth(state);
  for (int k : {1, 4, 16}) {
    Coverage c;
    for (int seed = 1; seed <= kSeeds; ++seed) {
      std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
      const auto levels = sim::TraceLevels(model, state, 1000, k, rng);
      NoiseSpectrum s;
      AcquisitionInfo a;
      a.start_hz = 0;
      a.end_hz = 1000;
      a.rbw_hz = df;
      s.acquisitions.push_back(a);
      for (int i = 0; i < 1000; ++i) {
        const double level = levels[static_cast<std::size_t>(i)] * 1e9 / std::sqrt(df);
        s.points.push_back({i * 1.0, level, level / std::sqrt(1.5), 0, 2.0 * k});
      }
      s.end_hz = 1000;
      c.Add(FitWhiteAndCorner(s), model.white_nv, model.corner_hz);
    }
    EXPECT_GE(c.white, 0.9 * c.runs) << "K = " << k << ": " << c.white << " of " << c.runs;
    EXPECT_GE(c.corner, 0.9 * c.runs) << "K = " << k << ": " << c.corner << " of " << c.runs;
  }
}

}  // namespace
}  // namespace qvx
