// qvx71-noise capture --cross against the simulator's two channels: a circuit below each
// channel's own noise, a ground loop of either sign, the plan, and the records read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/noise_files.h"
#include "cli/noise_cli_fixture.h"

namespace qvx::test {
namespace {

class CrossCli : public NoiseCli {
 protected:
  // 5 nV/sqrt(Hz) with a 10 Hz corner behind two channels of 20 nV/sqrt(Hz) each.
  void StartTwoChannels(double common_nv = 0.0, double common_sign = 1.0) {
    sim::SimOptions opts;
    opts.noise.white_nv = 5.0;
    opts.noise.corner_hz = 10.0;
    opts.noise.tones.clear();
    opts.noise.frontend_nv = 20.0;
    opts.noise.common_nv = common_nv;
    opts.noise.common_sign = common_sign;
    opts.noise.time_scale = 0.01;
    sim_ = StartSimulatorOnLoopback(opts);
    ASSERT_TRUE(sim_) << "no free loopback address for the simulator";
  }
  static double Truth(double hz) { return 5.0 * std::sqrt(1.0 + 10.0 / hz); }
};

TEST_F(CrossCli, TheCircuitUnderBothChannelsOwnNoiseAndItsRecordsReadBack) {
  StartTwoChannels();
  const ProgramRun run = Noise({"capture", "--cross", "--addr", sim_->Address(), "--from", "100", "--to", "100000",
                                "--seconds", "60", "--out", "run", "--format", "csv,json,png,npy", "--quiet"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto j = Json(Read("run.json"));
  EXPECT_EQ(j["method"], "cross-spectrum");
  EXPECT_EQ(j["cross"]["records"], 30);
  EXPECT_GT(j["cross"]["floor_drop_db"].get<double>(), 6.0) << "30 records: 5 log10 30 = 7.4 dB";
  const SpectrumReadResult csv = ReadNoiseCsv(Read("run.csv"));
  ASSERT_TRUE(csv.ok()) << csv.error;
  const NoiseSpectrum& s = csv.spectrum;
  int above = 0, resolved = 0, covered = 0;
  std::vector<double> ch1, ch2;
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    const double hz = s.points[i].freq_hz;
    const CrossPointFigures& c = s.cross_points[i];
    covered += c.ci_lo_nv <= Truth(hz) && Truth(hz) <= c.ci_hi_nv;
    ch1.push_back(c.ch1_nv);
    ch2.push_back(c.ch2_nv);
    if (hz < 1000) continue;
    ++above;
    if (s.points[i].flags & kFlagUpperLimit) continue;
    ++resolved;
    EXPECT_NEAR(s.points[i].density_nv, Truth(hz), 0.15 * Truth(hz)) << hz;
  }
  EXPECT_GE(resolved, 0.7 * above);
  EXPECT_GE(covered, 0.85 * static_cast<double>(s.points.size()));
  for (std::vector<double>* ch : {&ch1, &ch2}) {
    std::nth_element(ch->begin(), ch->begin() + static_cast<std::ptrdiff_t>(ch->size() / 2), ch->end());
    EXPECT_NEAR((*ch)[ch->size() / 2], std::hypot(5.0, 20.0), 0.03 * 20.6);
  }
  const auto lines = sim_->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], ":CHANnel2:DISPlay 0");
  EXPECT_EQ(lines.back(), ":RUN");
  EXPECT_GT(Read("run.30.npy").size(), 8000000u) << "1 M pairs of float32";

  const ProgramRun again = Noise({"analyze", "run.npy", "--json", "-", "--no-store"});
  ASSERT_EQ(again.code, 0) << again.err;
  const auto k = Json(again.out);
  for (const char* key : {"white_nv", "white_ci_nv", "bands", "spots", "log_points", "method"})
    EXPECT_EQ(k[key], j[key]) << key;
  for (const char* key : {"averages", "floor_drop_db", "points", "unresolved_hz", "collapse_points"})
    EXPECT_EQ(k["cross"][key], j["cross"][key]) << key;
}

// A ground loop both channels pick up: of opposite sign it cancels the circuit and is
// warned of; of the same sign it is what the channels share, and reads as the circuit's.
TEST_F(CrossCli, AGroundLoopOfEitherSign) {
  for (double sign : {-1.0, 1.0}) {
    SCOPED_TRACE(sign);
    StartTwoChannels(10.0, sign);
    const ProgramRun run = Noise({"capture", "--cross", "--addr", sim_->Address(), "--from", "100", "--to", "100000",
                                  "--records", "10", "--json", "run.json", "--quiet", "--no-store"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto j = Json(Read("run.json"));
    if (sign < 0) {
      EXPECT_NE(run.out.find("warning     collapse"), std::string::npos) << run.out;
      EXPECT_GT(j["cross"]["collapse_points"].get<int>(), 20);
      EXPECT_TRUE(j["white_nv"].is_null());
    } else {
      EXPECT_EQ(j["cross"]["collapse_points"], 0);
      EXPECT_NEAR(j["white_nv"].get<double>(), std::hypot(5.0, 10.0), 0.05 * 11.2) << run.out;
      EXPECT_NE(run.out.find("reads as the circuit's"), std::string::npos) << run.out;
    }
    sim_->Stop();
  }
}

TEST_F(CrossCli, PlansAreSaidAndWhatCannotApplyIsRefusedBeforeConnecting) {
  ProgramRun run = Noise({"plan", "--capture", "100:100000", "--cross", "--seconds", "60"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("2 s at 500 kSa/s, both channels"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("records: 30"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("below each channel's own density"), std::string::npos) << run.out;
  Write("gain.txt", "10 40\n100000 40\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--to", "100000", "--gain-file", "gain.txt"}, "--gain-file is one preamplifier's curve"},
      {{"--to", "100000", "--average", "median"}, "leave out --average median"},
      {{"--to", "300000000"}, "give --to 200000000 or less"},
  };
  for (const auto& [extra, message] : refused) {
    std::vector<std::string> args{"capture", "--cross", "--addr", "127.0.0.253", "--from", "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    run = Noise(args);
    EXPECT_EQ(run.code, 2) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 4.0) << "nothing connected";
  }
  run = Noise({"capture", "--records", "3", "--addr", "127.0.0.253", "--from", "100", "--to", "100000"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("add --cross"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace qvx::test
