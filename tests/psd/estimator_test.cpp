// The streaming estimator against closed forms and the simulator's records of known density.
#include "psd/estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "psd/chi_squared.h"
#include "time_record.h"

namespace qvx::psd {
namespace {

using std::numbers::pi;

std::vector<double> White(std::size_t n, double sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, sigma);
  std::vector<double> x(n);
  for (double& v : x) v = gauss(rng);
  return x;
}

TEST(ChiSquared, QuantilesMatchTables) {
  EXPECT_NEAR(ChiSquaredQuantile(0.975, 2), 7.377759, 1e-5);
  EXPECT_NEAR(ChiSquaredQuantile(0.025, 2), 0.050636, 1e-5);
  EXPECT_NEAR(ChiSquaredQuantile(0.975, 20), 34.16961, 1e-4);
  EXPECT_NEAR(ChiSquaredQuantile(0.025, 21), 10.28290, 1e-4);
  EXPECT_NEAR(ChiSquaredCdf(ChiSquaredQuantile(0.3, 7.3), 7.3), 0.3, 1e-9) << "degrees of freedom need not be whole";
  EXPECT_NEAR(MedianBias(1), 1.0, 1e-12);
  EXPECT_NEAR(MedianBias(5), 1.0 - 1.0 / 2 + 1.0 / 3 - 1.0 / 4 + 1.0 / 5, 1e-12);
  EXPECT_NEAR(MedianBias(100001), std::log(2.0), 1e-5);
}

// White noise of variance s^2 has the one-sided density 2 s^2 / fs at every stage, by mean
// and by median alike, and its log points' intervals hold that about 95 % of the time.
TEST(Estimator, WhiteNoiseReadsItsDensityAtEveryStageWithHonestIntervals) {
  const double fs = 1e5;
  const std::size_t n = 1 << 21;
  const auto x = White(n, 1e-3, 7);
  const double truth = 2.0 * 1e-6 / fs;
  for (Averaging averaging : {Averaging::Mean, Averaging::Median}) {
    Options options;
    options.averaging = averaging;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    for (std::size_t at = 0; at < n; at += 250000) estimator.Push(x.data() + at, std::min<std::size_t>(250000, n - at));
    const auto fine = estimator.Read();
    ASSERT_FALSE(fine.empty());
    EXPECT_LE(fine.back().hz, 0.4 * fs);
    EXPECT_LT(fine.front().hz, 0.2) << "the record resolves down to a few over its length";
    const auto bins = LogBins(fine, 10, 0.95);
    int inside = 0;
    for (const LogBin& b : bins) {
      inside += b.lo_psd <= truth && truth <= b.hi_psd;
      if (b.dof > 1000) {
        EXPECT_NEAR(b.psd / truth, 1.0, 4 * std::sqrt(2 / b.dof)) << b.hz << " Hz";
      }
    }
    EXPECT_GE(inside, 0.85 * static_cast<double>(bins.size())) << static_cast<int>(averaging);
  }
}

TEST(Estimator, ATonesPowerAndABandEdge) {
  const double fs = 1e4;
  const std::size_t n = 1 << 20;
  auto x = White(n, 1e-6, 3);
  for (std::size_t i = 0; i < n; ++i) x[i] += 1e-3 * std::numbers::sqrt2 * std::sin(2 * pi * 1234.5 * i / fs);
  Options options;
  options.expected_samples = n;
  Estimator estimator(fs, options);
  estimator.Push(x.data(), n);
  double power = 0;
  for (const FinePoint& p : estimator.Read()) {
    if (std::fabs(p.hz - 1234.5) < 20) power += p.psd * p.width_hz;
  }
  EXPECT_NEAR(std::sqrt(power), 1e-3, 1e-3 * 0.01) << "the tone's Vrms";
}

// The decimating stages: a tone at the top of a lower stage's band keeps its power (under
// 0.05 dB off), and one just beyond the band's alias edge lands at least 100 dB down.
TEST(Estimator, DecimationKeepsItsBandAndRefusesAliases) {
  const double fs = 1e6;
  const double quarter = fs / kDecimation;
  const std::size_t n = 1 << 21;
  const double inBand = 0.38 * quarter;   // stage 1 shows 0.1 ... 0.4 of its rate
  const double aliased = 0.62 * quarter;  // folds to 0.38 of it
  for (const auto& [tone, most, least] : {std::tuple{inBand, 1.0116, 0.9886}, {aliased, 1e-10, 0.0}}) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(2 * pi * tone * i / fs);  // 0.5 V^2
    Options options;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    estimator.Push(x.data(), n);
    double power = 0;
    for (const FinePoint& p : estimator.Read()) {
      if (p.stage == 1 && std::fabs(p.hz - inBand) < 5 * p.width_hz) power += p.psd * p.width_hz;
    }
    EXPECT_LE(power / 0.5, most) << tone;
    EXPECT_GE(power / 0.5, least) << tone;
  }
}

// A 0.1-10 Hz filter: -3 dB at both corners, flat between, 24 dB down an octave above.
TEST(LfFilter, ResponseAtItsCornersAndBeyond) {
  const LfFilter filter(400.0);
  EXPECT_NEAR(filter.PowerGain(0.1), 0.5, 0.005);
  EXPECT_NEAR(filter.PowerGain(1.0), 1.0, 0.005);
  EXPECT_NEAR(filter.PowerGain(10.0), 0.5, 0.005);
  EXPECT_NEAR(10 * std::log10(filter.PowerGain(20.0)), -24.1, 0.3);
  // And the samples through it: a 1 Hz sine passes whole.
  LfFilter run(400.0);
  double peak = 0;
  for (int i = 0; i < 400 * 60; ++i) {
    const double y = run.Next(std::sin(2 * pi * i / 400.0));
    if (i > 400 * 50) peak = std::max(peak, std::fabs(y));
  }
  EXPECT_NEAR(peak, 1.0, 0.01);
}

}  // namespace
}  // namespace qvx::psd

namespace qvx::psd {
namespace {

// Over five seeds of the simulator's records (white with a 1/f corner, 8-bit codes at a fine
// scale), at least 85 % of the log points' 95 % intervals hold the true density.
TEST(Estimator, IntervalsHoldTheTruthOnSimulatedRecords) {
  sim::NoiseModel model;
  model.white_nv = 2000;
  model.corner_hz = 20;
  model.tones.clear();
  const sim::RecordLayout layout{1e4, 1000000, 2e-3, 0.0};  // 100 s at 10 kSa/s
  int inside = 0, total = 0;
  const double yinc = sim::YIncrement(layout.scale_v);
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    const std::string codes = sim::GenerateRecord(model, layout, seed);
    std::vector<double> volts(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) volts[i] = (static_cast<unsigned char>(codes[i]) - 128.0) * yinc;
    Options options;
    options.expected_samples = volts.size();
    Estimator estimator(layout.fs_hz, options);
    estimator.Push(volts.data(), volts.size());
    for (const LogBin& b : LogBins(estimator.Read(), 10, 0.95)) {
      // The source and the converter's own steps, yinc^2 / 12 over fs / 2.
      const double truth = sim::ConverterDensity(model, b.hz) + yinc * yinc / (6.0 * layout.fs_hz);
      inside += b.lo_psd <= truth && truth <= b.hi_psd;
      ++total;
    }
  }
  EXPECT_GE(inside, 0.85 * total) << inside << " of " << total;
}

}  // namespace
}  // namespace qvx::psd

namespace qvx::psd {
namespace {

// 10 s settle, then whole 10 s windows; the cascade's delay must not cost a record of
// exactly settle + 10 s its one window.
TEST(Estimator, TheLowFrequencyWindowsOfARecordAreCountedWhole) {
  const double fs = 500e3;
  for (auto [seconds, windows] : {std::pair{19.0, 0}, std::pair{20.0, 1}, std::pair{35.0, 2}}) {
    const auto n = static_cast<std::size_t>(seconds * fs);
    const auto x = White(n, 1e-3, 3);
    Options options;
    options.expected_samples = n;
    Estimator estimator(fs, options);
    for (std::size_t at = 0; at < n; at += 250000) estimator.Push(x.data() + at, std::min<std::size_t>(250000, n - at));
    EXPECT_EQ(estimator.ReadLf().windows, windows) << seconds << " s";
  }
}

}  // namespace
}  // namespace qvx::psd

namespace qvx::psd {
namespace {

struct Result {
  std::vector<FinePoint> fine;
  LfNoise lf;
};

// Pushes x (as T) in pieces of the sizes given, the last repeated, into `e`.
template <class T>
Result Feed(Estimator& e, const std::vector<double>& x, std::vector<std::size_t> pieces) {
  const std::vector<T> samples(x.begin(), x.end());
  std::size_t at = 0;
  for (std::size_t i = 0; at < samples.size(); ++i) {
    const std::size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], samples.size() - at);
    e.Push(samples.data() + at, n);
    at += n;
  }
  return {e.Read(), e.ReadLf()};
}

template <class T>
Result RunRecord(double fs, const std::vector<double>& x, std::size_t expected, std::vector<std::size_t> pieces) {
  Options options;
  options.expected_samples = expected;
  Estimator e(fs, options);
  return Feed<T>(e, x, std::move(pieces));
}

// The same noise on 0 V, 10 mV, 0.5 V and 3.3 V gives the same fine points and 0.1-10 Hz
// figures. In double the level costs nothing; in float it costs the rounding of volts at
// 3.3 V (2.4e-7 V, far under an 8-bit step at any scale that holds 3.3 V).
TEST(Estimator, ADcLevelReachesNoFigure) {
  const double fs = 1e4;
  const std::size_t n = 250000;  // 25 s: one 0.1-10 Hz window after the settling
  const auto noise = White(n, 1e-3, 11);
  const double truth = 2.0 * 1e-6 / fs;
  auto check = [&](auto tag, double tolerance) {
    using T = decltype(tag);
    const Result zero = RunRecord<T>(fs, noise, n, {250000});
    ASSERT_TRUE(zero.lf.covered);
    for (double dc : {10e-3, 0.5, 3.3}) {
      std::vector<double> x = noise;
      for (double& v : x) v += dc;
      const Result r = RunRecord<T>(fs, x, n, {250000});
      ASSERT_EQ(r.fine.size(), zero.fine.size());
      double worst = 0.0;
      for (std::size_t i = 0; i < r.fine.size(); ++i)
        worst = std::max(worst, std::fabs(r.fine[i].psd - zero.fine[i].psd));
      EXPECT_LE(worst, tolerance * truth) << dc << " V, " << sizeof(T) << "-byte samples";
      EXPECT_NEAR(r.lf.rms_v, zero.lf.rms_v, tolerance * zero.lf.rms_v) << dc << " V";
      EXPECT_NEAR(r.lf.pp_max_v, zero.lf.pp_max_v, 6.6 * tolerance * zero.lf.rms_v) << dc << " V";
    }
  };
  check(double{}, 1e-9);
  check(float{}, 1e-3);
}

// A capture pushes 250 000 points at a time, a file's analysis other sizes: the same bits
// either way, for a record longer than the reference and for one read before it is known,
// and after a Reset() as from new.
TEST(Estimator, HowTheSamplesArePushedChangesNoBit) {
  const double fs = 1e4;
  const auto x = White(260000, 1e-3, 5);
  for (std::size_t n : {std::size_t{260000}, std::size_t{50000}}) {
    const std::vector<double> record(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
    auto same = [&](const Result& a, const Result& b, const char* how) {
      ASSERT_EQ(a.fine.size(), b.fine.size()) << how;
      for (std::size_t i = 0; i < a.fine.size(); ++i) {
        EXPECT_EQ(a.fine[i].psd, b.fine[i].psd) << how << " " << a.fine[i].hz << " Hz";
        EXPECT_EQ(a.fine[i].dof, b.fine[i].dof) << how;
      }
      EXPECT_EQ(a.lf.rms_v, b.lf.rms_v) << how;
      EXPECT_EQ(a.lf.pp_max_v, b.lf.pp_max_v) << how;
    };
    const Result whole = RunRecord<float>(fs, record, 260000, {250000});
    same(whole, RunRecord<float>(fs, record, 260000, {1, 7, 4096, 65537, 100003, 33333}), "float pieces");
    same(RunRecord<double>(fs, record, 260000, {n}), RunRecord<double>(fs, record, 260000, {3, 65535, 2, 40000}),
         "double");
    Options options;
    options.expected_samples = 260000;
    Estimator reused(fs, options);
    reused.Push(x.data(), 70000);
    reused.Reset();
    EXPECT_EQ(reused.Samples(), 0u);
    same(whole, Feed<float>(reused, record, {250000}), "after Reset()");
  }
}

// Bad parameters are refused at construction, by name; the plan refuses them alike.
TEST(Estimator, RefusesBadParametersByName) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& [fs, segment, averaging, name] : {std::tuple{0.0, 4096, 0, "fs_hz"},
                                                     {-1e3, 4096, 0, "fs_hz"},
                                                     {nan, 4096, 0, "fs_hz"},
                                                     {inf, 4096, 0, "fs_hz"},
                                                     {1e5, 8, 0, "segment"},
                                                     {1e5, 100, 0, "segment"},
                                                     {1e5, 1 << 21, 0, "segment"},
                                                     {1e5, 4096, 7, "averaging"}}) {
    Options options;
    options.segment = static_cast<std::size_t>(segment);
    options.averaging = static_cast<Averaging>(averaging);
    for (int plan = 0; plan < 2; ++plan) {
      try {
        if (plan) {
          PlannedFinePoints(fs, options, 1000);
        } else {
          Estimator e(fs, options);
        }
        ADD_FAILURE() << name << " accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      }
    }
  }
}

// The plan gives exactly the frequencies, widths, stages and degrees of freedom of Read()
// after that many samples, without the samples.
TEST(Estimator, PlannedFinePointsAreThoseOfRead) {
  for (const auto& [expected, samples, averaging] :
       {std::tuple{std::size_t{2000000}, std::size_t{2000000}, Averaging::Mean},
        {std::size_t{2000000}, std::size_t{1234567}, Averaging::Median},
        {std::size_t{0}, std::size_t{300001}, Averaging::Mean},
        {std::size_t{40000}, std::size_t{40000}, Averaging::Mean},
        {std::size_t{2000000}, std::size_t{1000}, Averaging::Mean}}) {
    Options options;
    options.expected_samples = expected;
    options.averaging = averaging;
    Estimator e(1e5, options);
    const std::vector<float> zeros(samples, 0.0f);
    e.Push(zeros.data(), zeros.size());
    const auto read = e.Read();
    const auto planned = PlannedFinePoints(1e5, options, samples);
    ASSERT_EQ(planned.size(), read.size()) << samples;
    for (std::size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(planned[i].hz, read[i].hz);
      EXPECT_EQ(planned[i].width_hz, read[i].width_hz);
      EXPECT_EQ(planned[i].stage, read[i].stage);
      EXPECT_EQ(planned[i].dof, read[i].dof);
      EXPECT_EQ(planned[i].psd, 0.0);
    }
    if (!read.empty()) {
      EXPECT_GE(read.front().stage, kTailOctaveStage) << "the lowest points are the tail's";
    }
  }
}

}  // namespace
}  // namespace qvx::psd
