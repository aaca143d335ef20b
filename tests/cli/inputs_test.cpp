// Files that are not what analyze takes get a message that names the file and says what to
// do, and an exit code; none is read without bound or analysed into a plausible wrong figure.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "psd/npy.h"
#include "support/program_run.h"
#include "support/temp_work_dir.h"

namespace qvx::test {
namespace {

std::string Npy(const std::vector<float>& v) { return psd::NpyBytes(v); }

TEST(AnalyzeInputs, RefusesWhatIsNoRecordOrSpectrumAndSaysWhy) {
  TempWorkDir dir;
  std::vector<float> ok(20000);
  for (std::size_t i = 0; i < ok.size(); ++i)
    ok[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)) * 1e-3);
  std::vector<float> nan = ok;
  nan[12] = std::numeric_limits<float>::quiet_NaN();
  nan[40] = std::numeric_limits<float>::infinity();
  dir.Write("nan.npy", Npy(nan));
  dir.Write("one.npy", Npy({1.0f}));
  std::string int16 = Npy(ok);
  int16.replace(int16.find("<f4"), 3, "<i2");
  dir.Write("int16.npy", int16);
  dir.Write("run.json", "{\"version\": 1}\n");
  // A record left from another run beside a JSON that names its own.
  dir.Write("stale.npy", Npy(ok));
  dir.Write("stale.json", R"({"records": [{"fs_hz": 1000, "file": "stale.npy", "file_bytes": 12}]})");
  ASSERT_EQ(::mkfifo((dir.Path() + "/fifo.csv").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  } cases[] = {
      {{"analyze", "nan.npy", "--fs", "1000"}, 4, "2 samples are not finite"},
      {{"analyze", "one.npy", "--fs", "1000"}, 4, "has no spectrum"},
      {{"analyze", "int16.npy", "--fs", "1000"}, 4, "float"},
      {{"analyze", "run.json"}, 2, "analyze its CSV (run.csv)"},
      {{"analyze", "stale.npy"}, 4, "left from another run"},
      {{"analyze", "fifo.csv"}, 2, "not a regular file"},
      {{"analyze", "/dev/zero"}, 2, "not a regular file"},
      {{"analyze", "nan.npy", "--fs", "1000", "--floor", "/dev/zero"}, 2, "not a regular file"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), QVX71_NOISE_PATH);
    argv.push_back("--no-store");
    const ProgramRun run = RunProgram(argv, std::chrono::seconds(60));
    EXPECT_EQ(run.code, c.code) << c.args[1] << ": " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[1] << ": " << run.err;
  }
}

}  // namespace
}  // namespace qvx::test
