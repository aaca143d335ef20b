// The channel's time record as a plain socket client sees it: records read in chunks,
// converted with the preamble, and checked with a Welch estimate made here (Hann, 50 %
// overlap, mean of periodograms), not with the program's own estimator.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <numeric>
#include <sstream>
#include <thread>

#include "core/conversions.h"
#include "noise_model.h"
#include "time_record.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::sim::Fault;
constexpr const char* kEmptyBlock = "#9000000000";

struct Record {
  std::vector<double> volts;
  double fs = 0;
  std::vector<unsigned char> codes;
};

// One-sided density, V^2/Hz, at df = fs / nperseg.
std::vector<double> Welch(const std::vector<double>& x, double fs, std::size_t nperseg) {
  std::vector<double> window(nperseg);
  double sum_w2 = 0;
  for (std::size_t n = 0; n < nperseg; ++n) {
    window[n] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / nperseg);
    sum_w2 += window[n] * window[n];
  }
  std::unique_ptr<double, decltype(&fftw_free)> in(fftw_alloc_real(nperseg), fftw_free);
  std::unique_ptr<fftw_complex, decltype(&fftw_free)> out(fftw_alloc_complex(nperseg / 2 + 1), fftw_free);
  std::unique_ptr<fftw_plan_s, decltype(&fftw_destroy_plan)> plan(
      fftw_plan_dft_r2c_1d(static_cast<int>(nperseg), in.get(), out.get(), FFTW_ESTIMATE), fftw_destroy_plan);
  std::vector<double> psd(nperseg / 2 + 1, 0.0);
  std::size_t segments = 0;
  for (std::size_t at = 0; at + nperseg <= x.size(); at += nperseg / 2, ++segments) {
    const double mean = std::accumulate(x.begin() + at, x.begin() + at + nperseg, 0.0) / nperseg;
    for (std::size_t n = 0; n < nperseg; ++n) in.get()[n] = (x[at + n] - mean) * window[n];
    fftw_execute(plan.get());
    for (std::size_t k = 0; k < psd.size(); ++k)
      psd[k] += std::norm(std::complex<double>(out.get()[k][0], out.get()[k][1]));
  }
  for (double& p : psd) p *= 2.0 / (fs * sum_w2 * segments);
  return psd;
}

// Mean of measured over expected density across [lo, hi].
double BandRatio(const std::vector<double>& psd, double df, double lo, double hi,
                 const std::function<double(double)>& expected) {
  double sum = 0;
  int bins = 0;
  for (std::size_t k = 1; k < psd.size(); ++k) {
    const double f = k * df;
    if (f < lo || f > hi) continue;
    sum += psd[k] / expected(f);
    ++bins;
  }
  return bins > 0 ? sum / bins : 0.0;
}

class TimeRecord : public ::testing::Test {
 protected:
  void Start(const qvx::sim::NoiseModel& noise) {
    qvx::sim::SimOptions options;
    options.noise = noise;
    sim_ = qvx::test::StartSimulatorOnLoopback(options);
    ASSERT_NE(sim_, nullptr);
    ASSERT_TRUE(client_.Connect(sim_->Address()));
  }

  std::string Ask(std::string_view line) { return client_.Query(line).value_or("<no reply>"); }

  void Setup(double points, double tdiv, double scale, double offset = 0.0) {
    for (const std::string& line :
         {std::string(":WAVeform:SOURce CHANnel1"), std::string(":WAV:MODE RAW"), std::string(":WAV:FORM BYTE"),
          ":ACQ:MDEP " + qvx::FloatToStr(points), ":TIM:MAIN:SCAL " + qvx::FloatToStr(tdiv),
          ":CHAN1:SCAL " + qvx::FloatToStr(scale), ":CHAN1:OFFS " + qvx::FloatToStr(offset)}) {
      client_.SendLine(line);
    }
  }

  bool WaitForStop(std::chrono::milliseconds deadline = 20s) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
      if (Ask(":TRIGger:STATus?") == "STOP") return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // The data of one block; nothing when it is malformed or short.
  std::optional<std::string> ReadBlock(std::chrono::milliseconds deadline = 5s) {
    const auto header = client_.ReadBytes(11, deadline);
    if (!header || header->compare(0, 2, "#9") != 0) return std::nullopt;
    auto data = client_.ReadBytes(static_cast<std::size_t>(qvx::StrToInt(header->substr(2))), deadline);
    return data && client_.ReadBytes(1, deadline) == "\n" ? data : std::nullopt;
  }

  // A single record, read in chunks and converted with the preamble.
  Record Capture(double points, double tdiv, double scale, double offset = 0.0) {
    Setup(points, tdiv, scale, offset);
    client_.SendLine(":SINGle");
    Record record;
    if (!WaitForStop()) return record;
    std::vector<double> field;
    std::stringstream preamble(Ask(":WAV:PRE?"));
    for (std::string item; std::getline(preamble, item, ',');) field.push_back(qvx::StrToFloat(item));
    if (field.size() != 10) return record;
    const auto total = static_cast<std::size_t>(field[2]);
    for (std::size_t first = 1; first <= total; first += 250000) {
      client_.SendLine(":WAV:STAR " + std::to_string(first));
      client_.SendLine(":WAV:STOP " + std::to_string(std::min(total, first + 249999)));
      client_.SendLine(":WAV:DATA?");
      const auto data = ReadBlock();
      if (!data) return {};
      for (const char c : *data) {
        const auto code = static_cast<unsigned char>(c);
        record.codes.push_back(code);
        record.volts.push_back((code - field[8] - field[9]) * field[7]);
      }
    }
    record.fs = 1.0 / field[4];
    return record;
  }

  std::unique_ptr<qvx::sim::Simulator> sim_;
  qvx::test::RawClient client_;
};

qvx::sim::NoiseModel Quiet() {
  qvx::sim::NoiseModel noise;
  noise.tones.clear();
  return noise;
}

TEST_F(TimeRecord, ShowsTheDensityAtTheConverterBehindAGainAndTheChannelsOwnNoise) {
  auto noise = Quiet();
  noise.gain = 10;
  noise.frontend_nv = 100;
  Start(noise);
  const Record record = Capture(1e6, 1e-1, 2e-4);  // 1 MSa/s, 1 s
  ASSERT_EQ(record.volts.size(), 1000000u);
  EXPECT_DOUBLE_EQ(record.fs, 1e6);
  const auto expected = [&](double f) { return qvx::sim::ConverterDensity(noise, f); };
  const auto fine = Welch(record.volts, record.fs, 4096);
  EXPECT_NEAR(BandRatio(fine, record.fs / 4096, 20e3, 200e3, expected), 1.0, 0.05)
      << "white at the converter is sqrt((10 x 20)^2 + 100^2) nV/sqrt(Hz)";
  const auto slow = Welch(record.volts, record.fs, 65536);
  EXPECT_NEAR(BandRatio(slow, record.fs / 65536, 50, 200, expected), 1.0, 0.12);

  const Record again = Capture(1e6, 1e-1, 2e-4);
  ASSERT_EQ(again.codes.size(), record.codes.size());
  EXPECT_NE(again.codes, record.codes) << "every :SINGle draws fresh noise";
  const qvx::sim::RecordLayout small{1e3, 1000, 1e-3, 0.0};
  EXPECT_EQ(qvx::sim::GenerateRecord(noise, small, 7), qvx::sim::GenerateRecord(noise, small, 7)) << "reproducible";
}

TEST_F(TimeRecord, ASlowRecordResolvesTheOneOverFRiseBelowOneHertz) {
  auto noise = Quiet();
  noise.gain = 1000;
  Start(noise);
  const Record record = Capture(1e5, 10, 2e-3);  // 1 kSa/s, 100 s
  ASSERT_EQ(record.volts.size(), 100000u);
  const auto expected = [&](double f) { return qvx::sim::ConverterDensity(noise, f); };
  EXPECT_NEAR(BandRatio(Welch(record.volts, record.fs, 1024), record.fs / 1024, 100, 450, expected), 1.0, 0.05);
  EXPECT_NEAR(BandRatio(Welch(record.volts, record.fs, 20000), record.fs / 20000, 0.5, 2, expected), 1.0, 0.15);
}

TEST_F(TimeRecord, ToneDcOffsetAndClippingFollowTheConverter) {
  auto noise = Quiet();
  noise.white_nv = 1;
  noise.tones = {{1000.0, 100e-6}};
  noise.dc_v = 2e-3;
  Start(noise);
  const Record record = Capture(1e5, 1e-2, 1e-4, -2e-3);  // 1 MSa/s, 0.1 s; the offset cancels the DC
  ASSERT_EQ(record.volts.size(), 100000u);
  const std::size_t nperseg = 10000;
  const auto psd = Welch(record.volts, record.fs, nperseg);
  double power = 0;
  for (std::size_t k = 6; k <= 14; ++k) power += psd[k] * record.fs / nperseg;  // 1 kHz is bin 10
  EXPECT_NEAR(std::sqrt(power), 100e-6, 5e-6) << "the tone's Vrms after the Hann window's correction";
  const auto mean_code = [](const Record& r) {
    return std::accumulate(r.codes.begin(), r.codes.end(), 0.0) / static_cast<double>(r.codes.size());
  };
  EXPECT_NEAR(mean_code(record), 128.0, 0.5);
  EXPECT_NEAR(mean_code(Capture(1e5, 1e-2, 1e-4, -2e-3 + 1e-4)), 128.0 + 32.0, 0.5) << "one division is 32 codes";

  // 8 divisions of 100 uV cannot hold a 1 mV tone: its peaks sit at the end codes.
  noise.tones = {{1000.0, 1e-3}};
  sim_->SetNoise(noise);
  const Record clipped = Capture(1e5, 1e-2, 1e-6, -2e-3);
  EXPECT_EQ(Ask(":CHAN1:SCAL?"), "1.000000E-04") << "the scale is clamped to 100 uV/div";
  EXPECT_EQ(*std::max_element(clipped.codes.begin(), clipped.codes.end()), 255);
  EXPECT_EQ(*std::min_element(clipped.codes.begin(), clipped.codes.end()), 0);
  client_.SendLine(":CHAN1:SCAL 50");
  EXPECT_EQ(Ask(":CHANnel1:SCALe?"), "1.000000E+01");
}

TEST_F(TimeRecord, StatusFollowsTheFillTimeAndRefusedReadsGiveTheEmptyBlock) {
  auto noise = Quiet();
  noise.time_scale = 0.02;
  Start(noise);
  EXPECT_EQ(Ask(":TRIG:STAT?"), "RUN");
  Setup(1e5, 10, 1e-3);  // a 100 s record fills in 2 s
  client_.SendLine(":SINGle");
  const auto armed = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(":TRIGger:STATus?"), "WAIT");
  EXPECT_EQ(Ask(":WAV:DATA?"), kEmptyBlock);
  EXPECT_EQ(Ask(":SYST:ERR?"), "-221,\"Settings conflict;record not complete\"");
  ASSERT_TRUE(WaitForStop());
  const auto filled = std::chrono::steady_clock::now() - armed;
  EXPECT_GE(filled, 1900ms);
  EXPECT_LT(filled, 10s);

  client_.SendLine(":ACQ:MDEP 2000");
  EXPECT_EQ(Ask(":SYST:ERR?"), "-224,\"Illegal parameter value\"");
  EXPECT_EQ(Ask(":ACQ:MDEP?"), "100000");
  client_.SendLine(":ACQ:MDEP 1000");

  client_.SendLine(":SINGle");
  client_.SendLine(":STOP");  // halts the filling record: it is incomplete
  EXPECT_EQ(Ask(":TRIG:STAT?"), "STOP");
  EXPECT_EQ(Ask(":WAV:DATA?"), kEmptyBlock);
  EXPECT_EQ(Ask(":SYST:ERR?"), "-221,\"Settings conflict;record not complete\"");
  client_.SendLine(":RUN");
  EXPECT_EQ(Ask(":TRIG:STAT?"), "RUN");
}

TEST_F(TimeRecord, ReadsOfMoreThanTheLimitAreRefused) {
  Start(Quiet());
  ASSERT_EQ(Capture(1e6, 1e-1, 1e-3).volts.size(), 1000000u);
  client_.SendLine(":WAV:STAR 1");
  client_.SendLine(":WAV:STOP 300000");
  EXPECT_EQ(Ask(":WAV:DATA?"), kEmptyBlock);
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-222,\"Data out of range\"");

  auto faults = sim_->Faults();
  faults.max_read_points = 1000;
  sim_->SetFaults(faults);
  client_.SendLine(":WAV:STOP 1001");
  EXPECT_EQ(Ask(":WAV:DATA?"), kEmptyBlock);
  client_.SendLine(":WAV:STOP 1000");
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(ReadBlock().value_or("").size(), 1000u);
}

// The faults of the new queries, and the old ones applied to them.
TEST_F(TimeRecord, FaultsOfTheRecordQueries) {
  Start(Quiet());
  auto set_fault = [&](Fault fault, bool zero = false) {
    auto faults = sim_->Faults();
    faults.fault = fault;
    faults.bad_preamble_zero = zero;
    sim_->SetFaults(faults);
  };
  Setup(1e4, 1e-3, 1e-3);
  client_.SendLine(":WAV:STOP 10000");

  set_fault(Fault::BadPreamble);
  EXPECT_EQ(Ask(":WAV:PRE?").find("****"), 12u) << "xincrement is not a number";
  set_fault(Fault::BadPreamble, true);
  EXPECT_NE(Ask(":WAV:PRE?").find(",0.000000E+00,0.000000E+00,128"), std::string::npos) << "yincrement 0";

  set_fault(Fault::RecordNeverCompletes);
  client_.SendLine(":SINGle");
  std::this_thread::sleep_for(300ms);  // far beyond its 10 ms fill time
  EXPECT_EQ(Ask(":TRIG:STAT?"), "WAIT");

  set_fault(Fault::SplitReply);
  ASSERT_TRUE(WaitForStop()) << "the status comes in two pieces";
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(ReadBlock().value_or("").size(), 10000u) << "a split block is still whole";

  set_fault(Fault::StalledChunk);
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(11 + 5000).value_or("").substr(0, 11), "#9000010000");
  EXPECT_FALSE(client_.ReadBytes(1, 500ms).has_value()) << "the rest never comes";

  client_.Close();
  ASSERT_TRUE(client_.Connect(sim_->Address()));
  set_fault(Fault::ShortChunk);
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(client_.ReadBytes(11 + 5000).value_or("").size(), 11u + 5000u);
  EXPECT_TRUE(client_.WaitForClose());
}

}  // namespace
