// One run from request to result: what is refused before anything is sent, and what a run
// that stops part way leaves behind.
#include "run/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "job/noise_job.h"
#include "link/socket_channel.h"
#include "psd/npy.h"
#include "support/sim_channel.h"
#include "support/sim_fixture.h"
#include "support/temp_work_dir.h"

namespace qvx {
namespace {

using test::SimChannel;

sim::NoiseModel Quiet() {
  sim::NoiseModel m;
  m.white_nv = 200.0;
  m.corner_hz = 0.0;
  m.tones.clear();
  return m;
}

// 100 000 points at 2 MSa/s, one record.
RunRequest SmallCapture() {
  RunRequest r;
  r.method = RunMethod::kRecord;
  r.addr = "127.0.0.1";
  r.from_hz = 1000;
  r.to_hz = 100000;
  r.seconds = 0.05;
  return r;
}

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(RunNoise, RefusesWhatItCanBeforeConnecting) {
  test::TempWorkDir dir;
  dir.Write("fft-floor.json", R"({"method": "instrument FFT", "log_points": [{"hz": 10, "nv": 20}]})");
  dir.Write("bad-gain.txt", "10 40\n100 forty\n");
  struct Case {
    const char* name;
    void (*change)(RunRequest&);
    ErrorKind kind;
    const char* says;
  } cases[] = {
      {"no such folder", [](RunRequest& r) { r.out_prefix = "missing/run"; }, ErrorKind::kUsage, "does not exist"},
      {"a floor of the FFT", [](RunRequest& r) { r.corrections.floor_file = "fft-floor.json"; }, ErrorKind::kUsage,
       "measured by instrument FFT"},
      {"a gain file with a word", [](RunRequest& r) { r.corrections.gain_file = "bad-gain.txt"; }, ErrorKind::kData,
       "line 2"},
      {"a range beyond the instrument", [](RunRequest& r) { r.to_hz = 1e9; }, ErrorKind::kUsage, "--to"},
      {"npy of the FFT",
       [](RunRequest& r) {
         r.method = RunMethod::kSweep;
         r.out_prefix = "run";
         r.formats.npy = true;
       },
       ErrorKind::kUsage, "npy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunRequest r = SmallCapture();
    c.change(r);
    SimChannel ch;
    const RunResult result = RunNoise(r, ch, {});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->kind(), c.kind);
    EXPECT_NE(std::string(result.error->what()).find(c.says), std::string::npos) << result.error->what();
    EXPECT_TRUE(ch.opened.empty() && ch.sent.empty()) << "nothing is connected or sent";
  }
}

// A record cut short: what was read becomes PREFIX.partial.*, marked partial, beside the
// earlier complete run's files, which stay as they were.
TEST(RunNoise, AFailureMidRecordWritesWhatWasReadAsPartial) {
  test::TempWorkDir dir;
  dir.Write("run.json", "complete\n");
  SimChannel ch(Quiet());
  sim::FaultSettings small;
  small.max_read_points = 30000;  // reads of 15 625 points, once halved
  ch.instrument.SetFaults(small);
  int singles = 0;
  ch.hook = [&](std::string_view command, std::size_t) {
    singles += command == ":SINGle";
    if (singles == 3 && command == ":WAVeform:STARt 46876") ch.Close();
  };
  RunRequest r = SmallCapture();
  r.out_prefix = "run";
  r.formats = {true, true, false, false, true};
  const RunResult result = RunNoise(r, ch, {});
  EXPECT_EQ(result.status, RunStatus::kFailed);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->kind(), ErrorKind::kInstrument);
  ASSERT_TRUE(result.finished);
  EXPECT_TRUE(result.finished->spectrum.partial);
  EXPECT_TRUE(result.files.problem.empty()) << result.files.problem;
  EXPECT_EQ(Read("run.json"), "complete\n");
  EXPECT_TRUE(nlohmann::json::parse(Read("run.partial.json"))["partial"].get<bool>());
  const psd::NpyRead npy = psd::ReadNpy(Read("run.partial.npy"));
  ASSERT_TRUE(npy.ok()) << npy.error;
  EXPECT_EQ(npy.samples.size(), 46875u) << "three reads came before the connection went";
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "no temporary file left: " << entry.path();
  }
}

// The window's worker and the CLI run the same request to the same result.
TEST(RunNoise, TheWindowsWorkerAndTheProgramGiveTheSameResult) {
  auto json = [](RunResult result) {
    EXPECT_EQ(result.status, RunStatus::kDone) << (result.error ? result.error->what() : "");
    nlohmann::json j = nlohmann::json::parse(result.json.empty() ? "{}" : result.json);
    j.erase("date");
    j["instrument"].erase("addr");  // two simulators, two addresses
    return j;
  };
  auto simulator = [] {
    sim::SimOptions options;
    options.noise = Quiet();
    return test::StartSimulatorOnLoopback(options);
  };
  RunRequest r = SmallCapture();
  const auto first = simulator();
  ASSERT_TRUE(first);
  r.addr = first->Address();
  SocketChannel channel;
  const nlohmann::json direct = json(RunNoise(r, channel, {}));
  first->Stop();

  const auto second = simulator();
  ASSERT_TRUE(second);
  r.addr = second->Address();
  NoiseJob job;
  ASSERT_TRUE(job.Start(r));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (job.State() == JobState::kRunning && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const nlohmann::json worker = json(job.TakeResult());
  EXPECT_EQ(direct["records"].size(), 1u);
  EXPECT_EQ(worker, direct);
}

}  // namespace
}  // namespace qvx
