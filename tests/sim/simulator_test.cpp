// The simulated instrument answering a raw SCPI client over loopback TCP.
#include "simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>
#include <thread>
#include <tuple>

#include "core/conversions.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::sim::Fault;
using qvx::sim::kIdentification;
constexpr const char* kNoError = "0,\"No error\"";

// The q-quantile of the white part of a trace: points 500..999, far above the 1/f corner.
double WhiteQuantile(std::vector<double> levels, double q) {
  if (levels.size() != 1000) return 0.0;
  std::sort(levels.begin() + 500, levels.end());
  return levels[500 + static_cast<std::size_t>(q * 499)];
}

class SimAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = qvx::test::StartSimulatorOnLoopback();
    ASSERT_NE(sim_, nullptr);
    ASSERT_TRUE(client_.Connect(sim_->Address()));
  }

  std::string Ask(std::string_view line) { return client_.Query(line).value_or("<no reply>"); }

  void SetFaults(Fault fault, const std::function<void(qvx::sim::FaultSettings&)>& change = {}) {
    qvx::sim::FaultSettings faults;
    faults.fault = fault;
    if (change) change(faults);
    sim_->SetFaults(faults);
  }

  // The data bytes of one "#9nnnnnnnnn<data>\n" block; nothing when it is malformed.
  std::optional<std::string> ReadBlock() {
    const auto header = client_.ReadBytes(11);
    if (!header || header->compare(0, 2, "#9") != 0) return std::nullopt;
    auto data = client_.ReadBytes(static_cast<std::size_t>(qvx::StrToInt(header->substr(2))));
    return data && client_.ReadBytes(1) == "\n" ? data : std::nullopt;
  }

  // One trace in nV/sqrt(Hz), decoded as the program does at the default set-up: scale 1E-8,
  // offset -7E-8, and 1M points over 10 ms, so an RBW of 1E7 / 2^20 Hz.
  std::vector<double> ReadLevels() {
    client_.SendLine(":WAV:DATA?");
    std::vector<double> levels;
    for (const char c : ReadBlock().value_or("")) {
      const double volts = 1e-8 * 0.03125 * static_cast<unsigned char>(c) - 4e-8 + 7e-8;
      levels.push_back(volts * 1e9 / std::sqrt(1e7 / 1048576.0));
    }
    return levels;
  }

  std::unique_ptr<qvx::sim::Simulator> sim_;
  qvx::test::RawClient client_;
};

TEST_F(SimAnswers, SettingsChangeWhatQueriesReportInAnySpelling) {
  EXPECT_EQ(Ask("*IDN?"), kIdentification);
  // {command (empty: none), query, reply text (null: a number the program converts), number}
  const std::tuple<const char*, const char*, const char*, double> rows[] = {
      {":MATH1:DISPlay ON", ":MATH1:DISP?", "1", 0},
      {":MATH1:FFT:SOURce CHANnel1", ":MATH:FFT:SOUR?", "CHAN1", 0},
      {"math1:operator fft", ":MATH1:OPERator?", "FFT", 0},
      {":MATH1:FFT:WINDow RECTangle", ":MATH1:FFT:WIND?", "RECT", 0},
      {"math1:fft:wind hamm", ":MATH1:FFT:WINDow?", "HAMM", 0},
      {":MATH1:FFT:WINDow Blackman", ":MATH1:FFT:WIND?", "BLAC", 0},
      {":MATH1:FFT:WINDow FLAT", ":MATH1:FFT:WIND?", "FLAT", 0},
      {":MATH1:FFT:WINDow HANNing", ":MATH1:FFT:WIND?", "HANN", 0},
      {":MATH1:FFT:AVCNt 007", ":MATH1:FFT:AVCN?", "7", 0},
      {":MATH1:FFT:FREQuency:STARt 1000", "math1:fft:freq:star?", nullptr, 1000},
      {":MATH:FFT:FREQ:END 5E4", ":MATH1:FFT:FREQuency:END?", nullptr, 50000},
      {":MATH1:FFT:UNIT VRMS", ":MATH1:FFT:UNIT?", "VRMS", 0},
      {":MATH1:FFT:SCALe 2E-8", ":MATH1:FFT:SCAL?", nullptr, 2e-8},
      {":MATH1:FFT:OFFSet -5E-8", ":MATH1:FFT:OFFS?", nullptr, -5e-8},
      {":CHANnel1:SCALe 0.0005", ":CHAN1:SCAL?", nullptr, 5e-4},
      {":CHANnel1:PROBe 1", ":CHANnel:PROB?", nullptr, 1},
      {":CHANnel1:IMPedance FIFTy", ":CHAN1:IMP?", "FIFT", 0},
      {":TIMebase:MAIN:SCALe 0.001", ":TIM:MAIN:SCAL?", nullptr, 0.001},
      {":ACQuire:MDEPth 1M", ":ACQ:MDEP?", "1000000", 0},
      {"", ":ACQuire:SRATe?", nullptr, 1e8},  // 1M points over 10 ms
      {":acq:mdep 100k", ":ACQuire:MDEPth?", "100000", 0},
      {":WAV:SOUR MATH1", ":WAVeform:SOURce?", "MATH1", 0},
      // The end frequency answers at most Fs/2, and comes back once the timebase allows it.
      {":TIMebase:MAIN:SCALe 10", ":MATH1:FFT:FREQuency:END?", nullptr, 500},
      {":TIMebase:MAIN:SCALe 0.001", ":MATH1:FFT:FREQuency:END?", nullptr, 50000},
  };
  for (const auto& [command, query, text, number] : rows) {
    if (*command) client_.SendLine(command);
    const std::string reply = Ask(query);
    EXPECT_TRUE(text ? reply == text : std::abs(qvx::StrToFloat(reply) - number) <= std::abs(number) * 1e-9)
        << query << " -> " << reply;
  }
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), kNoError);
}

TEST_F(SimAnswers, RefusedLinesQueueErrorsInOrderAndChangeNothing) {
  const std::pair<const char*, const char*> refused[] = {
      {":MATH1:FFT:AVCNt 65", "-222,\"Data out of range\""},
      {":MATH1:FFT:AVCNt ", "-222,\"Data out of range\""},
      {":MATH1:FFT:FREQU:END 5", "-113,\"Undefined header\""},  // neither short nor long form
      {":NOSuch:THING?", "-113,\"Undefined header\""},          // and no reply
      {":MATH1:FFT:WINDow TRIangle", "-224,\"Illegal parameter value\""},
      {":MATH1:FFT:FREQuency:STARt 1,5", "-104,\"Data type error\""},
      {":MATH1:FFT:OFFSet inf", "-104,\"Data type error\""},
      {":MATH1:FFT:SCALe 0", "-222,\"Data out of range\""},
  };
  for (const auto& [line, error] : refused) client_.SendLine(line);
  for (const auto& [line, error] : refused) EXPECT_EQ(Ask(":SYST:ERR?"), error) << line;
  EXPECT_EQ(Ask(":SYST:ERR?"), kNoError);
  EXPECT_EQ(Ask(":MATH1:FFT:AVCNt?"), "32");
  EXPECT_EQ(Ask(":MATH1:FFT:WINDow?"), "HANN");
  EXPECT_EQ(qvx::StrToFloat(Ask(":MATH1:FFT:SCALe?")), 1e-8);

  for (int i = 0; i < 30; ++i) client_.SendLine(":BOGus");
  for (std::size_t i = 0; i + 1 < qvx::sim::kErrorQueueSize; ++i)
    ASSERT_EQ(Ask(":SYST:ERR?"), "-113,\"Undefined header\"");
  EXPECT_EQ(Ask(":SYST:ERR?"), "-350,\"Queue overflow\"");
  EXPECT_EQ(Ask(":SYST:ERR?"), kNoError);
}

TEST_F(SimAnswers, LinesAreJoinedAcrossSegmentsAndSplitWithinOne) {
  ASSERT_TRUE(client_.Send("*ID"));
  EXPECT_FALSE(client_.ReadLine(200ms)) << "an unfinished line is not answered";
  ASSERT_TRUE(client_.Send("N?\r\n:ACQ:MDEP?\n:SYST:ERR?\n"));
  EXPECT_EQ(client_.ReadLine(), kIdentification);
  EXPECT_EQ(client_.ReadLine(), "1000000");
  EXPECT_EQ(client_.ReadLine(), kNoError);
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\r\n:ACQ:MDEP?\n:SYST:ERR?\n");
}

TEST_F(SimAnswers, DataBlockHasItsAnnouncedLengthAndKeepsTheStreamInStep) {
  for (std::size_t n : {1000u, 1200u, 999u}) {
    SetFaults(Fault::None, [n](auto& f) { f.block_bytes = n; });
    client_.SendLine(":WAV:DATA?");
    EXPECT_EQ(ReadBlock().value_or("<malformed>").size(), n);
  }
  EXPECT_EQ(Ask("*IDN?"), kIdentification);
}

TEST_F(SimAnswers, LateReplyComesLateWhileLaterLinesAreTakenOnTime) {
  SetFaults(Fault::LateReply, [](auto& f) { f.late_ms = 300; });
  client_.SendLine("*IDN?");
  client_.SendLine(":WAV:SOUR MATH1");
  ASSERT_EQ(client_.ReadLine(), kIdentification);
  const auto arrival = std::chrono::steady_clock::now();
  const auto commands = sim_->Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_GE(arrival - commands[0].at, 280ms);
  EXPECT_LT(commands[1].at, arrival) << "a line sent during the delay is recorded when it comes";
}

TEST_F(SimAnswers, SplitLongAndNulIdentifications) {
  SetFaults(Fault::SplitReply, [](auto& f) { f.split_ms = 100; });
  const std::string whole = std::string(kIdentification) + "\n";
  client_.SendLine("*IDN?");
  EXPECT_EQ(client_.ReadSome(), whole.substr(0, whole.size() / 2));
  EXPECT_EQ(client_.ReadSome(), whole.substr(whole.size() / 2));

  SetFaults(Fault::LongReply, [](auto& f) { f.long_reply_chars = 1500; });
  const std::string longer = Ask("*IDN?");
  EXPECT_EQ(longer.size(), 1500u);
  EXPECT_EQ(longer.rfind(kIdentification, 0), 0u);
  SetFaults(Fault::NulReply);
  EXPECT_EQ(Ask("*IDN?"), std::string("QVX71-SIM,QVX71\0,SIM00001,1.0.0", 31));
}

// The default Hann window collects the noise of 1.5 bins, so the floor reads sqrt(1.5) high;
// behind a gain G with the channel's own noise F it is the density at the converter,
// sqrt((G white)^2 + F^2).
TEST_F(SimAnswers, FloorReadsTheWhiteDensityTimesTheRootOfTheHannEnbw) {
  for (const auto& [white, gain, frontend] : {std::tuple{20.0, 1.0, 0.0}, {15.0, 1.0, 0.0}, {2.0, 10.0, 10.0}}) {
    auto noise = sim_->Noise();
    noise.white_nv = white;
    noise.gain = gain;
    noise.frontend_nv = frontend;
    sim_->SetNoise(noise);
    const auto levels = ReadLevels();
    ASSERT_EQ(levels.size(), 1000u);
    const double converter = std::hypot(gain * white, frontend);
    EXPECT_NEAR(WhiteQuantile(levels, 0.5), converter * std::sqrt(1.5), converter * 0.03) << gain;
    EXPECT_NE(levels, ReadLevels()) << "every data query draws afresh";
  }
}

TEST_F(SimAnswers, AveragingNarrowsTheScatter) {
  auto spread = [&] {
    const auto levels = ReadLevels();
    return (WhiteQuantile(levels, 0.75) - WhiteQuantile(levels, 0.25)) / WhiteQuantile(levels, 0.5);
  };
  client_.SendLine(":MATH1:FFT:AVCNt 1");
  const double single = spread();
  client_.SendLine(":MATH1:FFT:AVCNt 32");
  const double averaged = spread();
  EXPECT_GT(single, 3.0 * averaged);
  EXPECT_LT(averaged, 0.2);
}

TEST(SimNoiseModel, OneOverFRisesBelowTheCornerAndSpursFallInTheirPoint) {
  const qvx::sim::NoiseModel model;
  const qvx::sim::SimState state;
  const double floor = qvx::sim::TruePointVrms(model, state, 750);
  EXPECT_GT(qvx::sim::TruePointVrms(model, state, 1), 1.25 * floor);    // 100 Hz, below the 200 Hz corner
  EXPECT_GT(qvx::sim::TruePointVrms(model, state, 250), 1.15 * floor);  // the 25 kHz spur's point
  EXPECT_NEAR(qvx::sim::TruePointVrms(model, state, 251), floor, floor * 0.01);
  // Mid-range in bytes, so the default trace neither clips nor underflows.
  EXPECT_NEAR(qvx::sim::EncodeByte(floor, state.fft_scale, state.fft_offset), 146, 10);
  // A DC level, times the gain, reads its volts in the 0 Hz point.
  auto with_dc = model;
  with_dc.dc_v = 1e-5;
  with_dc.gain = 10;
  EXPECT_NEAR(qvx::sim::TruePointVrms(with_dc, state, 0), 1e-4, 1e-6);
}

TEST(SimLifecycle, EveryFaultHasANameForTheCommandLine) {
  for (Fault fault : qvx::sim::AllFaults()) EXPECT_EQ(qvx::sim::FaultFromName(qvx::sim::FaultName(fault)), fault);
  EXPECT_FALSE(qvx::sim::FaultFromName("bogus").has_value());
}

TEST_F(SimAnswers, ListensOnLoopbackOnlyAndNeverOnATakenAddress) {
  const std::tuple<const char*, bool, bool> addresses[] = {{"127.3.4.5", false, true},
                                                           {"0.0.0.0", false, false},
                                                           {"10.1.2.3", false, false},
                                                           {"10.1.2.3", true, true},
                                                           {"localhost", true, false}};
  for (const auto& [address, allow_any, allowed] : addresses) {
    EXPECT_EQ(qvx::sim::ListenAddressError(address, allow_any).empty(), allowed) << address << " " << allow_any;
  }
  qvx::sim::SimOptions options;
  options.listen_address = "localhost";
  EXPECT_FALSE(qvx::sim::Simulator(options).Start());
  options.listen_address = sim_->Address();
  EXPECT_FALSE(qvx::sim::Simulator(options).Start());
  auto second = qvx::test::StartSimulatorOnLoopback();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->Address(), sim_->Address());
}

TEST_F(SimAnswers, StopClosesABusyConnectionPromptlyAndCanRestart) {
  SetFaults(Fault::LateReply, [](auto& f) { f.late_ms = 60000; });  // a reply pending for a minute
  client_.SendLine("*IDN?");
  ASSERT_TRUE(sim_->WaitForCommandCount(1, 5s));
  const auto start = std::chrono::steady_clock::now();
  sim_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(client_.WaitForClose());
  ASSERT_TRUE(sim_->Start()) << sim_->LastError();
  EXPECT_TRUE(client_.Connect(sim_->Address()));
}

// A trace read at once is a single frame (a Rayleigh scatter, CV 0.52) that waits for its
// frame; later it is the average of K frames (CV 1 / (2 sqrt K) = 0.09).
TEST_F(SimAnswers, WithATimeScaleTheAverageBuildsUpFrameByFrame) {
  auto noise = sim_->Noise();
  noise.corner_hz = 0;
  noise.tones.clear();
  noise.time_scale = 0.01;  // a 1 s/div record (10 s) arrives every 100 ms
  sim_->SetNoise(noise);
  // 1M points over 10 s: 0.095 Hz bins, so a finer scale and offset fit the trace in the bytes.
  for (const char* line :
       {":MATH1:FFT:SCALe 4E-9", ":MATH1:FFT:OFFSet -1.5E-8", ":MATH1:FFT:AVCNt 32", ":TIMebase:MAIN:SCALe 1"}) {
    client_.SendLine(line);
  }
  auto scatter = [&] {
    client_.SendLine(":WAV:DATA?");
    std::vector<double> volts;
    for (const char c : ReadBlock().value_or("")) volts.push_back(qvx::sim::DecodeByte(c, 4e-9, -1.5e-8));
    if (volts.size() != 1000) return 0.0;
    double sum = 0, sum2 = 0;
    for (std::size_t i = 1; i < volts.size(); ++i) sum += volts[i], sum2 += volts[i] * volts[i];
    const double mean = sum / 999;
    return std::sqrt(sum2 / 999 - mean * mean) / mean;
  };
  const auto asked = std::chrono::steady_clock::now();
  const double single = scatter();
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 50ms) << "the reply waits for the first frame";
  EXPECT_NEAR(single, 0.52, 0.08);
  std::this_thread::sleep_for(3500ms);  // the time the average needs is what is under test
  EXPECT_NEAR(scatter(), 0.09, 0.03);
  EXPECT_EQ(Ask(":SYST:ERR?"), kNoError);
}

// What a generic IEEE 488.2 client parser expects: LF-terminated lines without CR, numbers in
// plain or exponent decimal form, the block as "#9", nine digits, the data and LF.
TEST_F(SimAnswers, RepliesAreWhatAGenericIeee4882ParserAccepts) {
  const std::regex number(R"([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)");
  for (const char* query : {":ACQuire:SRATe?", ":ACQuire:MDEPth?", ":MATH1:FFT:AVCNt?", ":MATH1:FFT:SCALe?",
                            ":MATH1:FFT:OFFSet?", ":MATH1:FFT:FREQuency:END?", ":CHANnel1:SCALe?", "*OPC?"}) {
    const std::string reply = Ask(query);
    EXPECT_TRUE(std::regex_match(reply, number)) << query << " -> " << reply;
  }
  EXPECT_TRUE(std::regex_match(Ask("*IDN?"), std::regex(R"(([\x20-\x2B\x2D-\x7E]+,){3}[\x20-\x2B\x2D-\x7E]+)")));
  EXPECT_TRUE(std::regex_match(Ask(":SYSTem:ERRor?"), std::regex(R"([+-]?\d+,"[^"]*")")));
  client_.SendLine(":WAV:DATA?");
  EXPECT_EQ(ReadBlock().value_or("<malformed>").size(), 1000u);
  EXPECT_EQ(Ask("*IDN?"), kIdentification) << "nothing follows the block's LF";
}

}  // namespace
