#include "spectrum/trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/pause.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using Bytes = std::array<unsigned char, SPEC_POINTS>;

// Data bytes 0, 1, 2, ... 255, 0, 1, ...
std::string Ramp(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i & 0xFF);
  return s;
}

std::string Digits(long long n) {
  std::string d = std::to_string(n);
  return std::string(9 - d.size(), '0') + d;
}

// A block as the instrument sends it, in the three pieces the reader expects.
FakeChannel& Block(FakeChannel& ch, const std::string& data) {
  return ch.Data("#9").Data(Digits(static_cast<long long>(data.size()))).Data(data).Data("\n");
}

Bytes Sentinel() {
  Bytes b;
  b.fill(0xAB);
  return b;
}

// ---- conversion ----------------------------------------------------------------

TEST(TraceConversion, BytesToVoltsAndDensity) {
  EXPECT_EQ(ByteToVolts(128, 1.0, 0.0), 0.0);
  EXPECT_EQ(ByteToVolts(0, 1.0, 0.0), -4.0);
  EXPECT_EQ(ByteToVolts(255, 1.0, 0.0), 3.96875);
  EXPECT_EQ(ByteToVolts(128, 0.5, 0.25), -0.25);
  EXPECT_EQ(VoltsToDensity(-4e9, 1.0), -4e9);
  EXPECT_EQ(VoltsToDensity(3.0, 9.0), 1.0);
  EXPECT_EQ(VoltsToDensity(5.0, 0.0), 0.0);
  EXPECT_EQ(VoltsToDensity(5.0, NAN), 0.0);
}

TEST(TraceConversion, FillsAllPointsOnTheLowerEdgeOfEachStep) {
  WorkingState s;
  s.Startf = 0;
  s.Endf = 1000000;
  s.FftScale = 1;
  s.Rbw = 1;
  Bytes data{};
  data[0] = 0;
  data[1] = 128;
  data[2] = 255;
  ConvertTrace(data, s);
  EXPECT_EQ(s.SpecData[0].Level, -4e9);
  EXPECT_EQ(s.SpecData[1].Level, 0.0);
  EXPECT_EQ(s.SpecData[2].Level, 3.96875e9);
  for (int i = 0; i < SPEC_POINTS; ++i) EXPECT_DOUBLE_EQ(s.SpecData[i].Freq, i * 1000.0) << i;

  s.Startf = 2000;
  s.Endf = 1000;
  s.Rbw = 0;
  ConvertTrace(data, s);
  EXPECT_EQ(s.SpecData[0].Freq, 2000.0);
  EXPECT_DOUBLE_EQ(s.SpecData[999].Freq, 1001.0);
  EXPECT_LT(s.SpecData[1].Freq, s.SpecData[0].Freq);
  for (const SpecPoint& p : s.SpecData) EXPECT_EQ(p.Level, 0.0);
}

// ---- block reader --------------------------------------------------------------

TEST(TraceBlock, KeepsTheFirstThousandBytesOfACompleteBlock) {
  for (std::size_t n : {1000u, 1200u, 70000u}) {
    FakeChannel ch;
    Block(ch, Ramp(n)).Data("NEXT");
    Bytes got = Sentinel();
    ASSERT_TRUE(ReadTraceBlock(ch, got)) << n;
    const std::string want = Ramp(SPEC_POINTS);
    EXPECT_EQ(std::string(got.begin(), got.end()), want) << n;
    EXPECT_EQ(ch.PendingText(), "NEXT") << "stream out of step for " << n;
    EXPECT_LE(ch.receives.back().timeoutMs, 2000);
  }
}

TEST(TraceBlock, DataMayArriveInManyPieces) {
  FakeChannel ch;
  ch.Data("#9").Data("000001000");
  const std::string data = Ramp(1000);
  for (std::size_t at = 0; at < data.size(); at += 7) ch.Data(data.substr(at, 7));
  ch.Data("\n");
  Bytes got{};
  ASSERT_TRUE(ReadTraceBlock(ch, got));
  EXPECT_EQ(std::string(got.begin(), got.end()), data);
  EXPECT_EQ(ch.PendingPieces(), 0u);
}

// Failures before the data: nothing is read past the failing step.
TEST(TraceBlock, BadHeaderStopsBeforeTheData) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::size_t receives;
  };
  const std::vector<Case> cases = {
      {"split header", {"#", "9000001000"}, 1},
      {"short digits", {"#9", "00001"}, 2},
      {"zero length", {"#9", "000000000"}, 2},
      {"negative length", {"#9", "-00001000"}, 2},
      {"not numeric", {"#9", "abcdefghi"}, 2},
  };
  for (const Case& c : cases) {
    FakeChannel ch;
    for (const auto& p : c.pieces) ch.Data(p);
    ch.Data(Ramp(1000)).Data("\n");
    Bytes got = Sentinel();
    EXPECT_FALSE(ReadTraceBlock(ch, got)) << c.name;
    EXPECT_EQ(got, Sentinel()) << c.name;
    EXPECT_EQ(ch.receives.size(), c.receives) << c.name;
  }
  FakeChannel silent;
  Bytes got{};
  EXPECT_FALSE(ReadTraceBlock(silent, got));
  ASSERT_EQ(silent.receives.size(), 1u);
  EXPECT_EQ(silent.receives[0].timeoutMs, 2000);
}

TEST(TraceBlock, LengthFieldFollowsTheTextToIntegerRules) {
  FakeChannel ch;
  ch.Data("#9").Data("  +1000xy").Data(Ramp(1000)).Data("\n");
  Bytes got{};
  EXPECT_TRUE(ReadTraceBlock(ch, got));
}

// Failures in the data: the line-end receive still happens, nothing is kept.
TEST(TraceBlock, IncompleteDataFailsAfterReadingTheLineEnd) {
  struct Case {
    const char* name;
    void (*script)(FakeChannel&);
  };
  const Case cases[] = {
      {"short block read whole", [](FakeChannel& c) { Block(c, Ramp(999)).Data("NEXT"); }},
      {"closed mid-block", [](FakeChannel& c) { c.Data("#9").Data("000001000").Data(Ramp(600)).Closed(); }},
      {"stalled", [](FakeChannel& c) { c.Data("#9").Data("000001000").Data(Ramp(600)).Timeout().Data("\n"); }},
      {"closed in the tail", [](FakeChannel& c) { c.Data("#9").Data("000005000").Data(Ramp(3000)).Closed(); }},
  };
  for (const Case& c : cases) {
    FakeChannel ch;
    c.script(ch);
    Bytes got = Sentinel();
    EXPECT_FALSE(ReadTraceBlock(ch, got)) << c.name;
    EXPECT_EQ(got, Sentinel()) << c.name;
    ASSERT_FALSE(ch.receives.empty());
    EXPECT_EQ(ch.receives.back().maxBytes, 1u) << c.name;
  }
  FakeChannel shortBlock;
  Block(shortBlock, Ramp(10)).Data("NEXT");
  Bytes got{};
  EXPECT_FALSE(ReadTraceBlock(shortBlock, got));
  EXPECT_EQ(shortBlock.PendingText(), "NEXT");
}

TEST(TraceBlock, HugeAnnouncedSizeIsReadThroughSmallScratch) {
  static_assert(kBlockScratchBytes <= 64 * 1024);
  constexpr long long kHuge = 999999999;
  FakeChannel ch;
  ch.Data("#9").Data(Digits(kHuge)).Data(Ramp(1000)).Fill(kHuge - 1000, 0x55).Data("\n").Data("NEXT");
  Bytes got{};
  BlockLimits roomy;
  roomy.whole_block_ms = 600000;  // only the stream, not the clock, is under test
  ASSERT_TRUE(ReadTraceBlock(ch, got, roomy));
  EXPECT_EQ(std::string(got.begin(), got.end()), Ramp(1000));
  EXPECT_EQ(ch.PendingText(), "NEXT");
  unsigned largest = 0;
  for (const auto& r : ch.receives) largest = std::max(largest, r.maxBytes);
  EXPECT_LE(largest, kBlockScratchBytes);

  // Cut short, the reader has still never asked for more than its scratch holds.
  FakeChannel cut;
  cut.Data("#9").Data(Digits(kHuge)).Fill(50000).Closed();
  EXPECT_FALSE(ReadTraceBlock(cut, got));
  EXPECT_LT(cut.bytesRequested, 50000u + 4 * kBlockScratchBytes);
}

TEST(TraceBlock, ATricklingBlockStopsAtTheWholeBlockBound) {
  FakeChannel ch;
  ch.Data("#9").Data("000001000");
  for (int i = 0; i < 100; ++i) ch.Data(std::string(10, 'x'), 20);
  ch.Data("\n");
  BlockLimits limits;
  limits.per_receive_ms = 100;
  limits.whole_block_ms = 150;
  Bytes got{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReadTraceBlock(ch, got, limits));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // All 100 pieces would take 2 s; the bound cuts it well short of that.
  EXPECT_GT(ch.PendingPieces(), 50u);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
  for (std::size_t i = 2; i < ch.receives.size(); ++i) EXPECT_LE(ch.receives[i].timeoutMs, 100);
  EXPECT_EQ(ch.receives.back().maxBytes, 1u);
}

TEST(TraceBlock, AStalledReceiveWaitsOnlyItsPerReceiveBound) {
  FakeChannel ch;
  ch.Data("#9").Data("000001000").Data(Ramp(500)).Stall().Stall();
  BlockLimits limits;
  limits.per_receive_ms = 30;
  Bytes got{};
  EXPECT_FALSE(ReadTraceBlock(ch, got, limits));
  ASSERT_EQ(ch.receives.size(), 5u);  // header, digits, data, stalled data, line end
  EXPECT_EQ(ch.receives[3].timeoutMs, 30);
  EXPECT_EQ(ch.receives[4].maxBytes, 1u);
}

// ---- the whole acquisition -------------------------------------------------------

class FetchTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetPauseFunction([this](int ms) { events_.push_back("pause " + std::to_string(ms)); });
    ch_.onSend = [this](std::string_view c) { events_.push_back("send " + std::string(c)); };
    for (auto& p : s_.SpecData) p = {1.0, 2.0};
  }
  void TearDown() override { SetPauseFunction(previous_); }

  // ReadStatus stand-in: the values it brings must be the ones converted with.
  void FreshStatus() {
    events_.push_back("status");
    s_.Startf = 0;
    s_.Endf = 1000000;
    s_.FftScale = 1;
    s_.FftOffset = 0;
    s_.Rbw = 1;
  }

  FakeChannel ch_;
  WorkingState s_;
  std::vector<std::string> events_;
  PauseFunction previous_;
};

TEST_F(FetchTraceTest, SendsPausesReadsThenStatusConvertAndPlot) {
  std::string data = Ramp(1000);
  data[0] = 0;
  data[1] = static_cast<char>(128);
  Block(ch_, data);
  FetchTrace(
      ch_, s_, [&] { FreshStatus(); },
      [&] {
        events_.push_back("plot");
        EXPECT_EQ(s_.SpecData[0].Level, -4e9);  // converted before drawing
      });
  const std::vector<std::string> want = {
      "send :WAV:SOUR MATH1", "send :WAV:MODE NORMal", "send :WAV:FORM BYTE", "pause 500",
      "send :WAV:DATA?",      "pause 1000",            "status",              "plot"};
  EXPECT_EQ(events_, want);
  EXPECT_EQ(s_.SpecData[1].Level, 0.0);
  EXPECT_EQ(s_.SpecData[999].Freq, 999000.0);
}

TEST_F(FetchTraceTest, FailedReadChangesNothing) {
  ch_.Data("#9").Data("000000000");
  const auto before = s_.SpecData;
  FetchTrace(ch_, s_, [&] { FreshStatus(); }, [&] { events_.push_back("plot"); });
  EXPECT_EQ(events_.back(), "pause 1000");
  EXPECT_EQ(s_.SpecData[0].Freq, before[0].Freq);
  EXPECT_EQ(s_.SpecData[999].Level, before[999].Level);
}

TEST_F(FetchTraceTest, StatusErrorLeavesSpecDataPlotErrorComesAfterIt) {
  Block(ch_, Ramp(1000));
  EXPECT_THROW(FetchTrace(ch_, s_, [] { throw std::runtime_error("status"); }, [] {}),
               std::runtime_error);
  EXPECT_EQ(s_.SpecData[5].Level, 2.0);

  Block(ch_, Ramp(1000));
  EXPECT_THROW(FetchTrace(ch_, s_, [&] { FreshStatus(); }, [] { throw std::runtime_error("plot"); }),
               std::runtime_error);
  EXPECT_EQ(s_.SpecData[128].Level, 0.0);
  EXPECT_EQ(s_.SpecData[5].Freq, 5000.0);
}

}  // namespace
}  // namespace qvx
