// The simulated instrument answering a raw SCPI client over loopback TCP.
#include "simulator.h"

#include <gtest/gtest.h>

#include <cctype>

#include "sim_test_fixture.h"

namespace {

using namespace std::chrono_literals;
using qvx::sim::kIdentification;
using qvx::test::SimClientTest;

using SimAnswers = SimClientTest;

// "-d.ddddddE+dd": an optional minus, one digit, six decimals, a signed exponent.
bool IsExponentStyle(const std::string& text) {
  std::size_t i = text.rfind('-', 0) == 0 ? 1 : 0;
  auto digits = [&](std::size_t count) {
    for (std::size_t k = 0; k < count; ++k, ++i) {
      if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
  };
  if (!digits(1) || text.compare(i++, 1, ".") != 0 || !digits(6)) return false;
  if (text.compare(i, 1, "E") != 0 || i + 1 >= text.size() || (text[i + 1] != '+' && text[i + 1] != '-')) {
    return false;
  }
  i += 2;
  const std::size_t exponent = text.size() - i;
  return (exponent == 2 || exponent == 3) && digits(exponent);
}

TEST_F(SimAnswers, IdentificationAndDefaultsInTheInstrumentsNumberStyle) {
  EXPECT_EQ(Ask("*IDN?"), kIdentification);
  const std::vector<std::pair<const char*, double>> numbers = {
      {":MATH1:FFT:FREQuency:STARt?", 0.0}, {":MATH1:FFT:FREQuency:END?", 100000.0},
      {":MATH1:FFT:SCALe?", 1e-8},          {":MATH1:FFT:OFFSet?", -7e-8},
      {":TIMebase:MAIN:SCALe?", 0.01},      {":ACQuire:SRATe?", 1e7}};
  for (const auto& [query, expected] : numbers) {
    const std::string reply = Ask(query);
    EXPECT_TRUE(IsExponentStyle(reply)) << query << " -> " << reply;
    EXPECT_NEAR(qvx::StrToFloat(reply), expected, std::abs(expected) * 1e-6) << query;
  }
  EXPECT_EQ(Ask(":ACQuire:MDEPth?"), "1000000");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "0,\"No error\"");
}

TEST_F(SimAnswers, SetUpCommandsChangeTheState) {
  for (const char* command :
       {":MATH1:DISPlay ON", ":MATH1:FFT:SOURce CHANnel1", ":MATH1:OPERator FFT", ":MATH1:FFT:WINDow HANNing",
        ":MATH1:FFT:AVCNt 007", ":MATH1:FFT:FREQuency:STARt 1000", ":MATH1:FFT:FREQuency:END 50000",
        ":MATH1:FFT:UNIT VRMS", ":MATH1:FFT:SCALe 2E-8", ":MATH1:FFT:OFFSet -5E-8", ":CHANnel1:SCALe 0.0005",
        ":CHANnel1:PROBe 1", ":CHANnel1:IMPedance FIFTy", ":TIMebase:MAIN:SCALe 0.001", ":ACQuire:MDEPth 1M",
        ":WAV:SOUR MATH1", ":WAV:MODE NORMal", ":WAV:FORM BYTE"}) {
    ASSERT_TRUE(client_.SendLine(command));
  }
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "0,\"No error\"");
  const auto s = sim_->State();
  EXPECT_TRUE(s.math_display);
  EXPECT_EQ(s.fft_source, "CHAN1");
  EXPECT_EQ(s.math_operator, "FFT");
  EXPECT_EQ(s.window, "HANN");
  EXPECT_EQ(s.avcnt, 7);
  EXPECT_EQ(s.start_hz, 1000.0);
  EXPECT_EQ(s.end_hz, 50000.0);
  EXPECT_EQ(s.unit, "VRMS");
  EXPECT_EQ(s.fft_scale, 2e-8);
  EXPECT_EQ(s.fft_offset, -5e-8);
  EXPECT_EQ(s.ch1_scale, 0.0005);
  EXPECT_EQ(s.probe, 1.0);
  EXPECT_EQ(s.impedance, "FIFT");
  EXPECT_EQ(s.tdiv, 0.001);
  EXPECT_EQ(s.mdepth_points, 1e6);
  EXPECT_EQ(Ask(":WAV:SOUR?"), "MATH1");
  EXPECT_EQ(Ask(":WAV:MODE?"), "NORM");
  EXPECT_EQ(Ask(":WAV:FORM?"), "BYTE");
  // 1M points over 10 ms.
  EXPECT_DOUBLE_EQ(AskNumber(":ACQuire:SRATe?"), 1e8);
}

TEST_F(SimAnswers, AnySpellingOfAHeaderIsTheSameCommand) {
  client_.SendLine("math1:fft:freq:star 5");
  client_.SendLine(":MATH:FFT:FREQUENCY:END 6E4");
  client_.SendLine(":acq:mdep 100k");
  EXPECT_DOUBLE_EQ(AskNumber(":Math1:Fft:Frequency:Start?"), 5.0);
  EXPECT_DOUBLE_EQ(AskNumber("MATH1:FFT:FREQ:END?"), 60000.0);
  EXPECT_EQ(Ask(":ACQuire:MDEPth?"), "100000");
  client_.SendLine(":ACQ:MDEP 10M");
  EXPECT_EQ(Ask(":ACQ:MDEP?"), "10000000");
}

TEST_F(SimAnswers, RefusedValuesQueueErrorsAndLeaveTheStateAlone) {
  for (const char* command : {":MATH1:FFT:AVCNt 65", ":MATH1:FFT:AVCNt ", ":MATH1:FFT:AVCNt 0", ":BOGus:COMMand 1",
                              ":MATH1:FFT:WINDow TRIangle", ":MATH1:FFT:FREQuency:STARt abc", ":MATH1:FFT:SCALe 0"}) {
    client_.SendLine(command);
  }
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-222,\"Data out of range\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-222,\"Data out of range\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-222,\"Data out of range\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-113,\"Undefined header\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-224,\"Illegal parameter value\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-104,\"Data type error\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "-222,\"Data out of range\"");
  EXPECT_EQ(Ask(":SYSTem:ERRor?"), "0,\"No error\"");
  const auto s = sim_->State();
  EXPECT_EQ(s.avcnt, 32);
  EXPECT_EQ(s.window, "RECT");
  EXPECT_EQ(s.start_hz, 0.0);
  EXPECT_EQ(s.fft_scale, 1e-8);
}

TEST_F(SimAnswers, UnknownQueryIsUnansweredAndTheQueueOverflowIsReported) {
  client_.SendLine(":NOSuch:THING?");
  EXPECT_EQ(client_.ReadFor(200ms), "");
  for (int i = 0; i < 30; ++i) client_.SendLine(":BOGus");
  for (std::size_t i = 0; i + 1 < qvx::sim::kErrorQueueSize; ++i) {
    ASSERT_EQ(Ask(":SYST:ERR?"), "-113,\"Undefined header\"") << i;
  }
  EXPECT_EQ(Ask(":SYST:ERR?"), "-350,\"Queue overflow\"");
  EXPECT_EQ(Ask(":SYST:ERR?"), "0,\"No error\"");
}

TEST_F(SimAnswers, LinesAreReassembledAcrossSegmentsAndSplitWithin) {
  ASSERT_TRUE(client_.Send("*ID"));
  EXPECT_EQ(client_.ReadFor(100ms), "") << "an unfinished line is not answered";
  ASSERT_TRUE(client_.Send("N?\r\n:ACQ:MDEP?\n:SYST:ERR?\n"));
  EXPECT_EQ(client_.ReadLine(), kIdentification);
  EXPECT_EQ(client_.ReadLine(), "1000000");
  EXPECT_EQ(client_.ReadLine(), "0,\"No error\"");
  const auto commands = sim_->Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].line, "*IDN?");
  EXPECT_EQ(commands[1].line, ":ACQ:MDEP?");
  EXPECT_EQ(commands[0].connection, 1);
  EXPECT_LE(commands[0].at, commands[2].at);
  EXPECT_EQ(sim_->RawBytes(1), "*IDN?\r\n:ACQ:MDEP?\n:SYST:ERR?\n");
  EXPECT_TRUE(sim_->WaitForLine(":SYST:ERR?", 1s));
  sim_->ClearCommands();
  EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(SimAnswers, DataBlockHasItsAnnouncedLength) {
  for (std::size_t n : {1000u, 1200u, 999u, 500u}) {
    ChangeFaults([n](auto& f) { f.block_bytes = n; });
    client_.SendLine(":WAV:DATA?");
    const auto header = client_.ReadBytes(11);
    ASSERT_TRUE(header.has_value());
    std::string digits = std::to_string(n);
    EXPECT_EQ(*header, "#9" + std::string(9 - digits.size(), '0') + digits);
    EXPECT_TRUE(client_.ReadBytes(n).has_value());
    EXPECT_EQ(client_.ReadBytes(1), "\n");
  }
  EXPECT_EQ(Ask("*IDN?"), kIdentification) << "the stream stays in step after the blocks";
}

// --- The trace's noise model, as the program reads it -------------------------------------

TEST_F(SimAnswers, FloorRecoversTheWhiteDensityWithinAFewPercent) {
  for (double white : {20.0, 15.0}) {
    auto noise = sim_->Noise();
    noise.white_nv = white;
    sim_->SetNoise(noise);
    const auto levels = ReadLevels();
    ASSERT_EQ(levels.size(), 1000u);
    const std::vector<double> upper(levels.begin() + 500, levels.end());
    EXPECT_NEAR(Quantile(upper, 0.5), white, white * 0.03);
  }
}

TEST_F(SimAnswers, OneOverFRisesAtLowFrequenciesAndSpursStandOut) {
  auto noise = sim_->Noise();
  noise.spurs = {{25000.0, 8e-8}};
  sim_->SetNoise(noise);
  // Means over several traces keep the comparisons well clear of the scatter.
  constexpr int kTraces = 8;
  double floor = 0.0, low = 0.0, spur = 0.0, neighbour = 0.0;
  std::vector<double> previous;
  for (int i = 0; i < kTraces; ++i) {
    const auto levels = ReadLevels();
    ASSERT_EQ(levels.size(), 1000u);
    EXPECT_NE(levels, previous) << "every data query draws afresh";
    floor += Quantile(std::vector<double>(levels.begin() + 500, levels.end()), 0.5) / kTraces;
    low += (levels[1] + levels[2] + levels[3]) / 3.0 / kTraces;  // 100..300 Hz, below the corner
    spur += levels[250] / kTraces;                                // holds the 25 kHz spur
    neighbour += levels[260] / kTraces;
    previous = levels;
  }
  EXPECT_GT(low, 1.25 * floor);
  EXPECT_GT(spur, 1.35 * floor);
  EXPECT_LT(neighbour, 1.15 * floor);
}

TEST_F(SimAnswers, AveragingNarrowsTheScatter) {
  auto spread = [&] {
    const auto levels = ReadLevels();
    const std::vector<double> upper(levels.begin() + 500, levels.end());
    return (Quantile(upper, 0.75) - Quantile(upper, 0.25)) / Quantile(upper, 0.5);
  };
  client_.SendLine(":MATH1:FFT:AVCNt 1");
  const double single = spread();
  client_.SendLine(":MATH1:FFT:AVCNt 32");
  const double averaged = spread();
  EXPECT_GT(single, 3.0 * averaged);
  EXPECT_LT(averaged, 0.2);
}

// --- Lifecycle ------------------------------------------------------------------------------

TEST(SimLifecycle, ListensOnLoopbackOnlyUnlessAllowed) {
  EXPECT_EQ(qvx::sim::ListenAddressError("127.0.0.1", false), "");
  EXPECT_EQ(qvx::sim::ListenAddressError("127.3.4.5", false), "");
  EXPECT_NE(qvx::sim::ListenAddressError("0.0.0.0", false), "");
  EXPECT_NE(qvx::sim::ListenAddressError("10.1.2.3", false), "");
  EXPECT_EQ(qvx::sim::ListenAddressError("10.1.2.3", true), "");
  EXPECT_NE(qvx::sim::ListenAddressError("localhost", true), "");
  EXPECT_NE(qvx::sim::ListenAddressError(std::string("127.0.0.1\0x", 11), false), "");
}

TEST(SimLifecycle, TakenAddressFailsToStartAndDistinctAddressesAreChosen) {
  auto first = qvx::test::StartSimulatorOnLoopback();
  auto second = qvx::test::StartSimulatorOnLoopback();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->Address(), second->Address());
  qvx::sim::SimOptions same;
  same.listen_address = first->Address();
  qvx::sim::Simulator clash(same);
  EXPECT_FALSE(clash.Start());
  EXPECT_NE(clash.LastError().find("cannot listen"), std::string::npos) << clash.LastError();
  qvx::test::RawClient client;
  ASSERT_TRUE(client.Connect(first->Address()));
  EXPECT_EQ(client.Query("*IDN?"), kIdentification);
}

TEST(SimLifecycle, StopClosesBusyConnectionsPromptlyAndCanRestart) {
  auto sim = qvx::test::StartSimulatorOnLoopback();
  ASSERT_NE(sim, nullptr);
  auto faults = sim->Faults();
  faults.fault = qvx::sim::Fault::LateReply;
  faults.late_ms = 60000;  // a reply that would be pending for a minute
  sim->SetFaults(faults);
  qvx::test::RawClient a;
  qvx::test::RawClient b;
  ASSERT_TRUE(a.Connect(sim->Address()));
  ASSERT_TRUE(b.Connect(sim->Address()));
  a.SendLine("*IDN?");
  ASSERT_TRUE(sim->WaitForCommandCount(1, 5s));
  const auto start = std::chrono::steady_clock::now();
  sim->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(sim->OpenConnections(), 0u);
  EXPECT_TRUE(a.WaitForClose());
  EXPECT_TRUE(b.WaitForClose());
  sim->Stop();  // twice is harmless
  ASSERT_TRUE(sim->Start()) << sim->LastError();
  sim->SetFault(qvx::sim::Fault::None);
  ASSERT_TRUE(a.Connect(sim->Address()));
  EXPECT_EQ(a.Query("*IDN?"), kIdentification);
}

}  // namespace
