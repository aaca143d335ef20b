// qvx71-noise as a user runs it: its own process, a simulator on a loopback address of the
// test's own, and the exit codes, files and numbers it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "analysis/noise_files.h"
#include "cli/noise_cli_fixture.h"
#include "link/socket_channel.h"
#include "setup/status_read.h"
#include "spectrum/clipboard_text.h"
#include "spectrum/trace.h"
#include "support/sim_fixture.h"

namespace qvx::test {
namespace {

// 10 Hz .. 100 kHz of 20 nV/sqrt(Hz) with a 200 Hz corner: 20 nV sqrt(99990 + 200 ln 10^4) Hz.
const double kBandUv = 20e-3 * std::sqrt(99990 + 200 * std::log(1e4));

TEST_F(NoiseCli, SweepRecoversFloorCornerAndBandAndDrawsThem) {
  StartSim(20, 200, {}, 0.01);
  const ProgramRun run =
      Noise({"measure", "--addr", sim_->Address(), "--setup", "--sweep", "10:100000", "--ppd", "10", "--band",
             "10:100000", "--out", "run", "--format", "csv,json,png,svg", "--time-scale", "0.01"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("planned time"), std::string::npos) << run.err;
  const auto j = Json(Read("run.json"));
  EXPECT_NEAR(j["white_nv"].get<double>(), 20, 0.05 * 20) << run.out;
  EXPECT_NEAR(j["corner_hz"].get<double>(), 200, 0.2 * 200) << run.out;
  EXPECT_NEAR(j["bands"][0]["rms_uv"].get<double>(), kBandUv, 0.05 * kBandUv) << run.out;
  EXPECT_EQ(j["window"], "HANN");
  EXPECT_EQ(j["window_source"], "instrument");
  ASSERT_EQ(j["acquisitions"].size(), 4u);
  EXPECT_EQ(j["flags"]["clipped"], 0);
  EXPECT_NE(run.out.find("white floor"), std::string::npos);
  EXPECT_TRUE(ReadNoiseCsv(Read("run.csv")).ok());
  // Its own CSV analysed again gives the run's figures exactly.
  const ProgramRun again = Noise({"analyze", "run.csv", "--band", "10:100000", "--json", "-"});
  ASSERT_EQ(again.code, 0) << again.err;
  const auto k = Json(again.out);
  for (const char* key : {"white_nv", "corner_hz", "bands", "spots", "range", "log_points"})
    EXPECT_EQ(k[key], j[key]) << key;
  EXPECT_GT(Read("run.png").size(), 10000u);
  EXPECT_NE(Read("run.svg").find("<svg"), std::string::npos);

  // Each average had K frames x record time x 0.01 between the set-up's last command and
  // the data query: 0.64 s for the first decade's 0.2 s/div.
  const auto commands = sim_->Commands();
  Clock::time_point setUp{};
  bool first = true;
  for (const auto& c : commands) {
    if (c.line == ":ACQuire:MDEPth 1M") setUp = c.at;
    if (c.line == ":WAV:DATA?" && first) {
      EXPECT_GE(std::chrono::duration<double>(c.at - setUp).count(), 0.64);
      first = false;
    }
  }
}

TEST_F(NoiseCli, TonesShowInThePointsAndLeaveTheFitAlone) {
  StartSim(20, 200, {{50, 2e-7}, {3000, 2e-6}, {20000, 5e-6}});
  const ProgramRun run = Noise(
      {"measure", "--addr", sim_->Address(), "--sweep", "10:100000", "--out", "run", "--quiet", "--time-scale", "0"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto j = Json(Read("run.json"));
  EXPECT_NEAR(j["white_nv"].get<double>(), 20, 0.05 * 20);
  EXPECT_GT(j["fit_rejected"].get<int>(), 0);
  const SpectrumReadResult csv = ReadNoiseCsv(Read("run.csv"));
  ASSERT_TRUE(csv.ok()) << csv.error;
  for (double tone : {50.0, 3000.0, 20000.0}) {
    double peak = 0;
    for (const NoisePoint& p : csv.spectrum.points) {
      if (std::fabs(p.freq_hz - tone) < 0.01 * tone) peak = std::max(peak, p.density_nv);
    }
    EXPECT_GT(peak, 5 * 20 * std::sqrt(1 + 200 / tone)) << tone << " Hz";
  }
}

TEST_F(NoiseCli, OneSpanAsLeftReadsTheWindowsLevelsAndAnalyzeOfItsExportAgrees) {
  StartSim(20, 200, {});
  sim::SimState state = sim_->State();
  state.window = "HANN";
  sim_->SetState(state);
  Write("QVX71CONT.INI", "[QVX71]\r\nADDR=" + sim_->Address() + "\r\n");
  const ProgramRun run = Noise({"measure", "--no-setup", "--out", "one", "--format", "csv", "--json", "-"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto j = Json(run.out);
  EXPECT_EQ(j["instrument"]["addr"], sim_->Address());

  // Only the acquisition's own commands, the status queries, *IDN? and the window query.
  for (const std::string& line : sim_->Lines()) {
    const bool query = line.back() == '?';
    EXPECT_TRUE(query || line.rfind(":WAV:", 0) == 0) << "sent " << line;
  }

  // The same trace again (the simulator's draws restart), read by the window's own code.
  sim_->SetNoise(sim_->Noise());
  SocketChannel channel;
  channel.SetAddress(sim_->Address());
  ASSERT_EQ(channel.ConnectInstrument(), 1);
  WorkingState ws;
  bool read = false;
  FetchTrace(
      channel, ws, [&] { ReadStatus(channel, ws, {}); }, [&] { read = true; });
  ASSERT_TRUE(read);
  const SpectrumReadResult csv = ReadNoiseCsv(Read("one.csv"));
  ASSERT_TRUE(csv.ok()) << csv.error;
  ASSERT_EQ(csv.spectrum.points.size(), static_cast<std::size_t>(SPEC_POINTS));
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) {
    ASSERT_EQ(csv.spectrum.points[i].level_nv, ws.SpecData[i].Level) << i;
    ASSERT_EQ(csv.spectrum.points[i].freq_hz, ws.SpecData[i].Freq) << i;
    // The density: the level through Hann's ENBW, less the converter's own floor in power
    // where the point stands clear of it (Q points keep theirs as an upper bound).
    const double raw = ws.SpecData[i].Level / std::sqrt(1.5);
    const double q = j["acquisitions"][0]["converter_floor_nv"].get<double>();
    const bool atFloor = (csv.spectrum.points[i].flags & kFlagQuantisation) != 0;
    ASSERT_NEAR(csv.spectrum.points[i].density_nv, atFloor ? raw : std::sqrt(std::max(0.0, raw * raw - q * q)),
                1e-12 * raw)
        << i;
  }

  Write("export.txt", BuildClipboardText(ws.SpecData, 0, true));
  const ProgramRun analyzed = Noise({"analyze", "export.txt", "--json", "-"});
  ASSERT_EQ(analyzed.code, 0) << analyzed.err;
  const double white = j["white_nv"].get<double>();
  EXPECT_NEAR(Json(analyzed.out)["white_nv"].get<double>(), white, 1e-3 * white);
}

// A single span ranges until only its 0 Hz point clips, so the few points below the corner
// count; a coarse channel scale puts a sweep's lower decades on the converter's floor, which
// is said and kept out of the fit instead of read as 1/f noise.
TEST_F(NoiseCli, RangingAndTheConvertersFloorKeepTheCornerHonest) {
  StartSim(20, 200, {});
  Write("QVX71CONT.INI", "[QVX71]\r\nADDR=" + sim_->Address() + "\r\n");
  for (std::uint64_t seed : {1, 2, 3}) {
    auto noise = sim_->Noise();
    noise.seed = seed;
    sim_->SetNoise(noise);
    const ProgramRun run =
        Noise({"measure", "--setup", "--span", "0:100000", "--time-scale", "0", "--json", "-", "--quiet"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto j = Json(run.out);
    EXPECT_NEAR(j["corner_hz"].get<double>(), 200, 0.25 * 200) << "seed " << seed;
    EXPECT_LE(j["flags"]["clipped"].get<int>(), 1) << "only the 0 Hz point may stay clipped";
  }
  Write("QVX71CONT.INI", "[QVX71]\r\nADDR=" + sim_->Address() + "\r\nCH1SCALE=0.02\r\n");
  const ProgramRun coarse =
      Noise({"measure", "--sweep", "10:100000", "--averages", "4", "--time-scale", "0", "--out", "q", "--quiet"});
  ASSERT_EQ(coarse.code, 0) << coarse.err;
  const auto q = Json(Read("q.json"));
  EXPECT_TRUE(q["corner_hz"].is_null() || q["corner_hz"].get<double>() < 1000) << coarse.out;
  EXPECT_GT(q["flags"]["quantisation"].get<int>(), 1000);
  EXPECT_NEAR(q["acquisitions"][0]["converter_floor_nv"].get<double>(), 8 * 0.02 / 256 / std::sqrt(6 * 5e5) * 1e9,
              1e-6);
  EXPECT_NE(coarse.out.find("use a smaller channel scale or a preamplifier"), std::string::npos) << coarse.out;
}

TEST_F(NoiseCli, FullyClippedTraceEndsWithCode4AfterRanging) {
  StartSim(1e16, 0, {});  // far beyond the largest FFT scale
  const ProgramRun run = Noise({"measure", "--addr", sim_->Address(), "--setup", "--time-scale", "0"});
  EXPECT_EQ(run.code, 4) << run.err;
  EXPECT_NE(run.err.find("every point is clipped"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("FFT scale"), std::string::npos) << "it ranged first: " << run.err;
}

TEST_F(NoiseCli, BadInputEndsWithItsCodeAndSaysWhy) {
  StartSim(20, 200, {});
  sim_->SetFault(sim::Fault::Silent);
  const auto unanswered = UnansweredListener::Start();
  ASSERT_TRUE(unanswered);
  std::string nobody;
  {
    const auto stopped = StartSimulatorOnLoopback();
    ASSERT_TRUE(stopped);
    nobody = stopped->Address();
  }
  Write("bad.txt", "0.000,1.000\r\n0.100,2.000\r\n0.200,x\r\n");
  Write("neg.csv", std::string(kNoiseCsvHeader) + "\n1,1,1,\n2,-1,-1,\n");
  struct Case {
    std::vector<std::string> args;
    const char* ini;  // nullptr: no settings file
    int code;
    const char* says;
  } cases[] = {
      {{"measure", "--addr", nobody}, nullptr, 3, "cannot connect"},
      {{"measure", "--addr", unanswered->address}, nullptr, 3, "cannot connect"},
      {{"measure", "--addr", sim_->Address()}, nullptr, 3, "did not answer"},
      {{"measure"}, nullptr, 2, "no instrument address"},
      {{"measure", "--setup"}, "[QVX71]\r\nSTART=0\r\n", 2, "no instrument address"},
      {{"measure", "--addr", "instrument.local"}, nullptr, 2, "dotted IPv4"},
      {{"measure", "--addr", nobody, "--no-setup", "--sweep", "10:100"}, nullptr, 2, "always sets"},
      {{"measure", "--addr", nobody, "--band", "100:10"}, nullptr, 2, "--band"},
      {{"measure", "--addr", nobody, "--sweep", "1:100000", "--max-minutes", "1"}, nullptr, 2, "max-minutes"},
      {{"measure", "--bogus"}, nullptr, 2, "bogus"},
      {{"analyze", "bad.txt"}, nullptr, 4, "line 3"},
      {{"analyze", "none.csv"}, nullptr, 2, "cannot read none.csv"},
      {{"analyze", "."}, nullptr, 2, "it is a folder"},
      {{"analyze", "neg.csv"}, nullptr, 4, "line 3: a level below 0"},
      {{"bogus"}, nullptr, 2, "no command 'bogus'; the commands are measure, capture, analyze, plot, plan and history"},
      {{"measure", "--averages", "abc"}, nullptr, 2, "abc is not a number"},
      {{"plan", "--sweep", "1e6:1e9"}, nullptr, 2, "500 MHz"},
      {{"plan", "--sweep", "1e-5:10"}, nullptr, 2, "try --sweep 0.01:10"},
      {{"measure", "--addr", nobody, "--out", "dir/"}, nullptr, 2, "names a folder"},
      {{"measure", "--addr", nobody, "--out", "missing/run"}, nullptr, 2, "does not exist"},
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    std::filesystem::remove(dir_ + "/QVX71CONT.INI", ignored);
    if (c.ini) Write("QVX71CONT.INI", c.ini);
    const ProgramRun run = Noise(c.args, std::chrono::seconds(60));
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 20) << "connects and queries are bounded";
  }
  EXPECT_EQ(sim_->AcceptedConnections(), 1u) << "only the silent simulator's own case connected to it";

  // A write that fails after the analysis still leaves the results on standard output.
  Write("good.txt", "0.000,20.000\r\n0.100,21.000\r\n0.200,19.000\r\n0.300,20.000\r\n");
  const ProgramRun lost = Noise({"analyze", "good.txt", "--json", "missing/run.json"});
  EXPECT_EQ(lost.code, 2) << lost.err;
  EXPECT_NE(lost.err.find("cannot write missing/run.json"), std::string::npos) << lost.err;
  EXPECT_NE(lost.out.find("white floor"), std::string::npos) << lost.out;
  EXPECT_NE(lost.out.find("\"version\""), std::string::npos) << lost.out;
}

// Replies read as whole lines, and what went wrong named by its query.
TEST_F(NoiseCli, SplitRepliesAreWholeAndLostRepliesAreNamed) {
  StartSim(20, 200, {});
  struct Case {
    sim::Fault fault;
    int code;
    const char* says;
  } cases[] = {
      {sim::Fault::SplitReply, 0, ""},
      {sim::Fault::SilentQuery, 3, "no answer to :MATH1:FFT:SCALe? within 1 s"},
      {sim::Fault::CloseOnQuery, 3, "closed it at *IDN?"},
  };
  for (const Case& c : cases) {
    sim::FaultSettings faults;
    faults.fault = c.fault;
    faults.split_ms = 0;
    faults.silent_query = ":MATH1:FFT:SCALe?";
    sim_->SetFaults(faults);
    const ProgramRun run = Noise({"measure", "--addr", sim_->Address(), "--setup", "--time-scale", "0", "--quiet"},
                                 std::chrono::seconds(60));
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (c.code == 0) {
      EXPECT_NE(run.out.find("white floor"), std::string::npos) << run.out;
    }
  }
}

// An instrument lost mid-sweep: the decades measured are kept as a partial run, beside the
// files of the complete run before it, and the exit says why.
TEST_F(NoiseCli, AFailureMidSweepKeepsWhatWasMeasuredBesideTheLastCompleteRun) {
  StartSim(20, 200, {});
  Write("run.json", "complete\n");
  ProgramRun run;
  std::thread sweep([&] {
    run = Noise({"measure", "--addr", sim_->Address(), "--sweep", "10:100000", "--averages", "1", "--time-scale", "0",
                 "--out", "run", "--quiet"});
  });
  // Silent once the second decade is being set up.
  const auto until = Clock::now() + std::chrono::seconds(60);
  auto setUps = [&] {
    std::size_t n = 0;
    for (const std::string& line : sim_->Lines()) n += line == ":ACQuire:MDEPth 1M";
    return n;
  };
  while (setUps() < 2 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  sim_->SetFault(sim::Fault::Silent);
  sweep.join();
  EXPECT_EQ(run.code, 3) << run.err;
  EXPECT_NE(run.err.find("no complete trace block in answer to :WAV:DATA?"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("run.partial.*"), std::string::npos) << run.err;
  EXPECT_EQ(Read("run.json"), "complete\n");
  const auto j = Json(Read("run.partial.json"));
  EXPECT_TRUE(j["partial"].get<bool>());
  EXPECT_EQ(j["acquisitions"].size(), 1u);
  EXPECT_NE(run.out.find("PARTIAL"), std::string::npos) << run.out;
  EXPECT_TRUE(ReadNoiseCsv(Read("run.partial.csv")).ok());
}

TEST_F(NoiseCli, PlanNeedsNoInstrument) {
  const ProgramRun run = Noise({"plan", "--sweep", "10:100000", "--averages", "16"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("4. 10 kHz - 100 kHz: 200 \u00B5s/div"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("planned time: 50.5 s for 4 acquisitions"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace qvx::test

namespace qvx::test {
namespace {

// The time record behind a preamplifier: 2 uV/sqrt(Hz) white, a 20 Hz corner.
class Capture : public NoiseCli {
 protected:
  void StartRecordSim(double white, double corner, double timeScale, sim::Fault fault = sim::Fault::None) {
    sim::SimOptions opts;
    opts.noise.white_nv = white;
    opts.noise.corner_hz = corner;
    opts.noise.tones.clear();
    opts.noise.time_scale = timeScale;
    sim_ = StartSimulatorOnLoopback(opts);
    ASSERT_TRUE(sim_);
    sim_->SetFault(fault);
  }
};

TEST_F(Capture, FromTenthOfAHertzToAHundredKilohertzWithTheDataSheetFigure) {
  StartRecordSim(2000, 20, 0.05);
  const ProgramRun run = Noise({"capture", "--addr", sim_->Address(), "--from", "0.1", "--to", "100000", "--band",
                                "10:100000", "--out", "run", "--format", "csv,json,png,svg,npy", "--quiet"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto j = Json(Read("run.json"));
  EXPECT_EQ(j["method"], "time record");
  EXPECT_NEAR(j["white_nv"].get<double>(), 2000, 0.03 * 2000) << run.out;
  EXPECT_NEAR(j["corner_hz"].get<double>(), 20, 0.15 * 20) << run.out;
  const double band = 2e-3 * std::sqrt(99990 + 20 * std::log(1e4)) * 1e3;  // uV
  EXPECT_NEAR(j["bands"][0]["rms_uv"].get<double>(), band, 0.03 * band);
  const double lf = 2000 * std::sqrt(10.15 + 20 * std::log(100.0));
  const auto& lfNoise = j["lf_noise"];
  EXPECT_NEAR(lfNoise["rms_nv"].get<double>(), lf, 0.1 * lf);
  const double ratio = lfNoise["pp_median_nv"].get<double>() / lfNoise["rms_nv"].get<double>();
  EXPECT_GT(ratio, 4.5);
  EXPECT_LT(ratio, 7.0);
  int inside = 0;
  for (const auto& p : j["log_points"]) {
    const double truth = 2000 * std::sqrt(1 + 20 / p["hz"].get<double>());
    inside += p["ci_lo_nv"].get<double>() <= truth && truth <= p["ci_hi_nv"].get<double>();
  }
  EXPECT_GE(inside, 0.85 * static_cast<double>(j["log_points"].size()));
  EXPECT_EQ(j["records"].size(), 2u);
  for (const char* file : {"run.1.npy", "run.2.npy", "run.png", "run.svg", "run-lf.png", "run.csv"}) {
    EXPECT_GT(Read(file).size(), 1000u) << file;
  }
  EXPECT_EQ(sim_->Lines().back(), ":RUN") << "the instrument is left running";

  // The raw records give the same figures again.
  const ProgramRun again = Noise({"analyze", "run.npy", "--band", "10:100000", "--json", "-"});
  ASSERT_EQ(again.code, 0) << again.err;
  const auto k = Json(again.out);
  for (const char* key : {"white_nv", "corner_hz", "bands", "lf_noise", "log_points"}) EXPECT_EQ(k[key], j[key]) << key;

  // And NumPy reads them: scipy's Welch of the slow record agrees with the CSV.
  if (std::system("/usr/bin/python3 -c 'import scipy' 2>/dev/null") != 0) GTEST_SKIP() << "no scipy here";
  Write("check.py",
        "import csv, json, numpy as np\n"
        "from scipy import signal\n"
        "x = np.load('run.2.npy'); fs = json.load(open('run.json'))['records'][1]['fs_hz']\n"
        "f, p = signal.welch(x, fs, nperseg=65536)\n"
        "rows = np.array([[float(r['freq_hz']), float(r['density_nv'])] for r in csv.DictReader(open('run.csv'))])\n"
        "worst = 0\n"
        "for lo in 10 ** np.arange(1, 4.5, 0.1):\n"
        "    s = p[(f >= lo) & (f < lo * 1.2589)]; o = rows[(rows[:, 0] >= lo) & (rows[:, 0] < lo * 1.2589)]\n"
        "    if len(s) >= 20 and len(o) >= 3: worst = max(worst, abs((o[:, 1] ** 2).mean() / (s.mean() * 1e18) - 1))\n"
        "print(worst); raise SystemExit(0 if worst < 0.03 and x.dtype == np.float32 else 1)\n");
  EXPECT_EQ(std::system(("cd " + dir_ + " && /usr/bin/python3 check.py > check.txt").c_str()), 0) << Read("check.txt");
}

// Every fault of the record's queries ends with exit 3 (the data's: 4) and its cause.
TEST_F(Capture, FaultsEndWithAClearMessageWithinTheirBound) {
  struct Case {
    sim::Fault fault;
    bool zeroYinc;
    std::vector<std::string> extra;
    int code;
    const char* says;
  } cases[] = {
      {sim::Fault::RecordNeverCompletes, false, {}, 3, "did not complete"},
      {sim::Fault::ShortChunk, false, {}, 3, "closed the connection in the middle of a data block"},
      {sim::Fault::StalledChunk, false, {}, 3, "stopped sending in the middle of a data block"},
      {sim::Fault::BadPreamble, false, {}, 3, "preamble's field 5 ('****') is not a number"},
      {sim::Fault::BadPreamble, true, {}, 3, "no usable conversion"},
      {sim::Fault::CloseOnQuery, false, {}, 3, "closed"},
  };
  StartRecordSim(20, 0, 0.0);
  for (const Case& c : cases) {
    auto faults = sim_->Faults();
    faults.fault = c.fault;
    faults.bad_preamble_zero = c.zeroYinc;
    sim_->SetFaults(faults);
    const ProgramRun run =
        Noise({"capture", "--addr", sim_->Address(), "--from", "10", "--to", "1000", "--seconds", "2", "--quiet"},
              std::chrono::seconds(60));
    EXPECT_EQ(run.code, c.code) << sim::FaultName(c.fault) << ": " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 30) << sim::FaultName(c.fault);
  }
  // Noise beyond 8 divisions of the largest scale: the data's fault.
  sim_->SetFault(sim::Fault::None);
  auto noise = sim_->Noise();
  noise.white_nv = 1e11;
  sim_->SetNoise(noise);
  const ProgramRun loud =
      Noise({"capture", "--addr", sim_->Address(), "--from", "10", "--to", "1000", "--seconds", "2", "--quiet"});
  EXPECT_EQ(loud.code, 4) << loud.err;
  EXPECT_NE(loud.err.find("still clips at the largest channel scale"), std::string::npos) << loud.err;
  // A smaller read limit, as other instruments have, is followed.
  noise.white_nv = 20;
  sim_->SetNoise(noise);
  auto faults = sim_->Faults();
  faults.max_read_points = 30000;
  sim_->SetFaults(faults);
  EXPECT_EQ(
      Noise({"capture", "--addr", sim_->Address(), "--from", "10", "--to", "1000", "--seconds", "2", "--quiet"}).code,
      0);
}

TEST_F(Capture, CtrlCEndsWithinASecondLeavingTheInstrumentRunningAndTheOldFiles) {
  StartRecordSim(20, 200, 1.0);  // real time: the record takes 20 s
  Write("run.json", "complete\n");
  const pid_t pid =
      Start({"capture", "--addr", sim_->Address(), "--from", "1", "--to", "1000", "--seconds", "20", "--out", "run"});
  ASSERT_TRUE(sim_->WaitForLine(":SINGle", std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // into the long record
  const auto interrupted = Clock::now();
  ::kill(pid, SIGINT);
  const ProgramRun run = Wait(pid, std::chrono::seconds(60));
  EXPECT_EQ(run.code, 130) << run.err;
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - interrupted).count(), 1.5);
  EXPECT_EQ(Read("run.json"), "complete\n");
  EXPECT_TRUE(sim_->WaitForLine(":RUN", std::chrono::seconds(5)));

  // A sweep stops as soon, in the middle of its first decade's 64 s of averaging.
  sim_->ClearCommands();
  const pid_t sweep = Start({"measure", "--addr", sim_->Address(), "--sweep", "10:100000", "--out", "run"});
  ASSERT_TRUE(sim_->WaitForLine(":ACQuire:MDEPth 1M", std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto stopped = Clock::now();
  ::kill(sweep, SIGINT);
  EXPECT_EQ(Wait(sweep, std::chrono::seconds(60)).code, 130);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - stopped).count(), 1.5);
  EXPECT_EQ(Read("run.json"), "complete\n");
}

TEST_F(Capture, PlansAreSaidBeforeConnectingAndImpossibleOnesRefused) {
  const ProgramRun plan = Noise({"plan", "--capture", "0.1:100000"});
  ASSERT_EQ(plan.code, 0) << plan.err;
  EXPECT_NE(plan.out.find("2. 10000000 points at 10 s/div: 100 s at 100 kSa/s"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("degrees of freedom"), std::string::npos) << plan.out;
  for (const auto& args :
       {std::vector<std::string>{"plan", "--capture", "0.001:10"},
        {"plan", "--capture", "1:1e9"},
        {"capture", "--addr", "127.0.0.1", "--from", "0.1", "--to", "100000", "--max-minutes", "1"}}) {
    const ProgramRun refused = Noise(args, std::chrono::seconds(30));
    EXPECT_EQ(refused.code, 2) << refused.err;
  }
}

}  // namespace
}  // namespace qvx::test

namespace qvx::test {
namespace {

// A mask of `factor` x the input-referred density of 20 nV/sqrt(Hz), a 200 Hz corner and the
// channel's 300 nV/sqrt(Hz) behind 40 dB.
std::string Mask(double factor) {
  std::string text = "# hz nV/sqrt(Hz)\n";
  for (double f = 10; f <= 100000; f *= 1.5) {
    text += std::to_string(f) + " " + std::to_string(factor * std::sqrt(400 * (1 + 200 / f) + 9)) + "\n";
  }
  return text;
}

TEST_F(NoiseCli, InputReferredThroughAGainWithTheFloorTakenOutOnBothPaths) {
  StartSim(0, 200, {});
  auto noise = sim_->Noise();
  noise.gain = 100;
  noise.frontend_nv = 300;
  sim_->SetNoise(noise);  // the input shorted: the channel's own noise alone
  const std::vector<std::string> sweep = {"measure",    "--addr", sim_->Address(), "--sweep", "10:100000",
                                          "--averages", "8",      "--time-scale",  "0",       "--gain-db",
                                          "40",         "--quiet"};
  auto with = [](std::vector<std::string> args, std::initializer_list<std::string> more) {
    args.insert(args.end(), more);
    return args;
  };
  ASSERT_EQ(Noise(with(sweep, {"--out", "floor"})).code, 0);
  noise.white_nv = 20;
  sim_->SetNoise(noise);
  const ProgramRun dut = Noise(with(sweep, {"--out", "dut"}));
  ASSERT_EQ(dut.code, 0) << dut.err;
  const auto j = Json(Read("dut.json"));
  EXPECT_TRUE(j["input_referred"].get<bool>());
  EXPECT_NEAR(j["white_nv"].get<double>(), std::hypot(20.0, 3.0), 0.03 * 20.2);
  const ProgramRun subtracted =
      Noise({"analyze", "dut.csv", "--gain-db", "40", "--floor", "floor.json", "--json", "-"});
  ASSERT_EQ(subtracted.code, 0) << subtracted.err;
  EXPECT_NEAR(Json(subtracted.out)["white_nv"].get<double>(), 20.0, 0.03 * 20);

  Write("m13.txt", Mask(1.3));
  Write("m07.txt", Mask(0.7));
  const ProgramRun passes = Noise({"analyze", "dut.csv", "--gain-db", "40", "--limit", "m13.txt"});
  EXPECT_EQ(passes.code, 0) << passes.out << passes.err;
  EXPECT_NE(passes.out.find("PASS"), std::string::npos);
  const ProgramRun fails = Noise({"analyze", "dut.csv", "--gain-db", "40", "--limit", "m07.txt", "--json", "-"});
  EXPECT_EQ(fails.code, 5) << fails.err;
  const double margin = Json(fails.out)["limit"]["worst_margin_db"].get<double>();
  EXPECT_GT(margin, -6.0);
  EXPECT_LT(margin, -3.0);

  // The run, its floor and a data sheet's curve in one figure.
  Write("sheet.csv", "# data sheet\n10,60\n100,30\n1000,22\n100000,20\n");
  const ProgramRun overlay = Noise({"plot", "dut.json", "floor.json", "sheet.csv", "--label", "amplifier", "--out",
                                    "overlay", "--format", "png,svg", "--limit", "m13.txt"});
  EXPECT_EQ(overlay.code, 0) << overlay.err;
  EXPECT_GT(Read("overlay.png").size(), 10000u);
  EXPECT_NE(Read("overlay.svg").find("amplifier"), std::string::npos);

  // The time record, the same two runs.
  const std::vector<std::string> capture = {"capture", "--addr", sim_->Address(), "--from", "10",
                                            "--to",    "100000", "--seconds",     "1",      "--gain-db",
                                            "40",      "--quiet"};
  noise.white_nv = 0;
  sim_->SetNoise(noise);
  ASSERT_EQ(Noise(with(capture, {"--out", "rfloor"})).code, 0);
  noise.white_nv = 20;
  sim_->SetNoise(noise);
  const ProgramRun record = Noise(with(capture, {"--floor", "rfloor.json", "--json", "-"}));
  ASSERT_EQ(record.code, 0) << record.err;
  EXPECT_NEAR(Json(record.out)["white_nv"].get<double>(), 20.0, 0.03 * 20);

  // Bad corrections: the option's fault (2) or the file's (4, with its line).
  Write("bad-gain.txt", "10 40\n100 forty\n");
  const std::tuple<std::vector<std::string>, int, const char*> bad[] = {
      {{"analyze", "dut.csv", "--gain", "0"}, 2, "above 0"},
      {{"analyze", "dut.csv", "--gain-file", "bad-gain.txt"}, 4, "line 2"},
      {{"analyze", "dut.csv", "--limit", "bad-gain.txt"}, 4, "line 2"},
      {{"analyze", "dut.csv", "--gain-db", "40", "--floor", "rfloor.json"}, 2, "measured by time record"},
      {{"analyze", "dut.csv", "--gain-db", "40", "--floor", "rfloor.json", "--floor-any"}, 0, "warning"},
  };
  for (const auto& [args, code, says] : bad) {
    const ProgramRun run = Noise(args);
    EXPECT_EQ(run.code, code) << args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace qvx::test
