// Reading the FFT block, converting it, and the whole acquisition.
#include "spectrum/trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using Bytes = std::array<unsigned char, SPEC_POINTS>;

constexpr int kNever = 1 << 30;  // a delay that no receive waits out

// The status values that make byte b read (b - 128) / 32 * 1e9 and point i stand at i kHz.
void UnitStatus(WorkingState& s) {
  s.Startf = 0;
  s.Endf = 1000000;
  s.FftScale = 1;
  s.FftOffset = 0;
  s.Rbw = 1;
}

// Data bytes 0, 1, 2, ... 255, 0, 1, ...
std::string Ramp(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i & 0xFF);
  return s;
}

std::string Digits(std::size_t n) {
  const std::string d = std::to_string(n);
  return std::string(9 - d.size(), '0') + d;
}

// The block header as the reader asks for it: "#9", then the nine length digits.
FakeChannel& Head(FakeChannel& ch, std::size_t n) { return ch.Data("#9").Data(Digits(n)); }

Bytes Untouched() {
  Bytes b;
  b.fill(0xAB);
  return b;
}

// Whatever a block announces, no receive may ask for more than the scratch holds.
bool Read(FakeChannel& ch, Bytes& got, const BlockLimits& limits = {}) {
  static_assert(kBlockScratchBytes <= 64 * 1024);
  const bool ok = ReadTraceBlock(ch, got, limits);
  for (const auto& r : ch.receives) EXPECT_LE(r.maxBytes, kBlockScratchBytes);
  return ok;
}

TEST(TraceConversion, LevelsAndFrequencyGrid) {
  EXPECT_EQ(ByteToVolts(128, 0.5, 0.25), -0.25);  // the offset moves the centre
  EXPECT_EQ(VoltsToDensity(3.0, 9.0), 1.0);
  EXPECT_EQ(VoltsToDensity(5.0, NAN), 0.0);

  WorkingState s;
  UnitStatus(s);
  Bytes data{};
  data[1] = 128;
  data[2] = 255;
  ConvertTrace(data, s);
  EXPECT_EQ(s.SpecData[0].Level, -4e9);
  EXPECT_EQ(s.SpecData[1].Level, 0.0);
  EXPECT_EQ(s.SpecData[2].Level, 3.96875e9);
  EXPECT_EQ(s.SpecData[1].Freq, 1000.0);  // each point on the lower edge of its step
  EXPECT_DOUBLE_EQ(s.SpecData[999].Freq, 999000.0);

  // A descending span gives a descending grid; no bandwidth yet gives no levels.
  s.Startf = 2000;
  s.Endf = 1000;
  s.Rbw = 0;
  ConvertTrace(data, s);
  EXPECT_EQ(s.SpecData[0].Freq, 2000.0);
  EXPECT_DOUBLE_EQ(s.SpecData[999].Freq, 1001.0);
  for (const SpecPoint& p : s.SpecData) EXPECT_EQ(p.Level, 0.0);
}

TEST(TraceBlock, KeepsTheFirstThousandBytesAndConsumesTheWholeBlock) {
  struct Case {
    std::string digits;
    std::size_t size, piece, headerPiece;
  };
  const Case cases[] = {
      {Digits(1000), 1000, 1000, 11},    {Digits(1200), 1200, 1200, 11},
      {Digits(70000), 70000, 70000, 11}, {Digits(1000), 1000, 7, 1},  // header and data in many small segments
      {Digits(1000), 1000, 1000, 3},                                  // segments that straddle the header's parts
      {"  +1000xy", 1000, 1000, 11},  // the length field by the usual text-to-integer rules
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits + " in pieces of " + std::to_string(c.headerPiece) + ", " + std::to_string(c.piece));
    FakeChannel ch;
    const std::string header = "#9" + c.digits;
    for (std::size_t at = 0; at < header.size(); at += c.headerPiece) ch.Data(header.substr(at, c.headerPiece));
    const std::string data = Ramp(c.size);
    for (std::size_t at = 0; at < data.size(); at += c.piece) ch.Data(data.substr(at, c.piece));
    ch.Data("\n").Data("NEXT");
    Bytes got = Untouched();
    ASSERT_TRUE(Read(ch, got));
    EXPECT_EQ(std::string(got.begin(), got.end()), Ramp(SPEC_POINTS));
    EXPECT_EQ(ch.Pending(), "NEXT");  // the stream is still in step
  }
}

// Short waits for the failure cases; "NEXT" stands for the reply to a later query.
BlockLimits ShortLimits() {
  BlockLimits limits;
  limits.first_header_ms = limits.digits_ms = limits.per_receive_ms = 30;
  limits.drain_quiet_ms = 20;
  return limits;
}

// A failed read keeps nothing and discards the rest of the reply up to a quiet
// gap, so the next query does not read block bytes as its answer.
TEST(TraceBlock, AFailedBlockLeavesTheStreamInStep) {
  struct Case {
    const char* name;
    void (*script)(FakeChannel&);
    const char* pending;
  };
  const Case cases[] = {
      {"no reply", [](FakeChannel& c) { c.Data("NEXT", kNever); }, "NEXT"},
      {"header cut short", [](FakeChannel& c) { c.Data("#").Data("NEXT", kNever); }, "NEXT"},
      {"digits cut short", [](FakeChannel& c) { c.Data("#9").Data("00001").Data("NEXT", kNever); }, "NEXT"},
      {"zero length", [](FakeChannel& c) { c.Data("#9").Data("000000000").Data("\n").Data("NEXT", kNever); }, "NEXT"},
      {"negative length", [](FakeChannel& c) { c.Data("#9-00001000").Data(Ramp(1000) + "\n").Data("NEXT", kNever); },
       "NEXT"},
      {"not numeric", [](FakeChannel& c) { c.Data("#9abcdefghi").Data(Ramp(1000)).Data("\n").Data("NEXT", kNever); },
       "NEXT"},
      {"shorter than the points", [](FakeChannel& c) { Head(c, 999).Data(Ramp(999)).Data("\n").Data("NEXT", kNever); },
       "NEXT"},
      {"stalled, then the rest",
       [](FakeChannel& c) { Head(c, 1000).Data(Ramp(600)).Data(Ramp(400) + "\n", 45).Data("NEXT", kNever); }, "NEXT"},
      {"stalled for good", [](FakeChannel& c) { Head(c, 1000).Data(Ramp(600)).Data("NEXT", kNever); }, "NEXT"},
      {"closed mid-block", [](FakeChannel& c) { Head(c, 1000).Data(Ramp(600)).Closed(); }, ""},
      {"closed in the tail", [](FakeChannel& c) { Head(c, 5000).Data(Ramp(3000)).Closed(); }, ""},
      {"999999999 announced, cut short",
       [](FakeChannel& c) { Head(c, 999999999).Data(Ramp(1000) + std::string(50000, 'x')).Closed(); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeChannel ch;
    c.script(ch);
    Bytes got = Untouched();
    EXPECT_FALSE(Read(ch, got, ShortLimits()));
    EXPECT_EQ(got, Untouched());
    EXPECT_EQ(ch.Pending(), c.pending);
    for (const auto& r : ch.receives) EXPECT_LE(r.timeoutMs, 30);
  }
}

TEST(TraceBlock, ATricklingBlockStopsAtTheWholeBlockBound) {
  FakeChannel ch;
  Head(ch, 1000);
  for (int i = 0; i < 100; ++i) ch.Data(std::string(10, 'x'), 20);
  BlockLimits limits;
  limits.per_receive_ms = 100;
  limits.whole_block_ms = 150;
  limits.drain_max_ms = 100;  // the drain has its own bound against a peer that never pauses
  Bytes got{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Read(ch, got, limits));
  // All 100 pieces would take 2 s; the bounds cut it well short of that.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_GT(ch.Pending().size(), 500u);
  for (std::size_t i = 2; i < ch.receives.size(); ++i) EXPECT_LE(ch.receives[i].timeoutMs, 100);
}

// A status read that fails leaves the spectrum as it was; one that works is used for
// the conversion before the plot.
TEST(FetchTrace, SendsAndPausesThenReadsStatusConvertsAndPlots) {
  FakeChannel ch;
  test::RecordedPauses pauses(ch);
  WorkingState s;
  for (auto& p : s.SpecData) p = {1.0, 2.0};
  Head(ch, 1000).Data(Ramp(1000)).Data("\n");
  EXPECT_THROW(FetchTrace(
                   ch, s, [] { throw std::runtime_error("status"); }, [] { ADD_FAILURE() << "plotted"; }),
               std::runtime_error);
  EXPECT_TRUE(std::all_of(s.SpecData.begin(), s.SpecData.end(),
                          [](const SpecPoint& p) { return p.Freq == 1.0 && p.Level == 2.0; }));

  ch.sent.clear();
  Head(ch, 1000).Data(Ramp(1000)).Data("\n");
  auto status = [&] {
    ch.sent.push_back("status");
    UnitStatus(s);
  };
  auto plot = [&] {
    ch.sent.push_back("plot");
    EXPECT_EQ(s.SpecData[0].Level, -4e9);
    EXPECT_EQ(s.SpecData[999].Freq, 999000.0);
  };
  FetchTrace(ch, s, status, plot);
  EXPECT_THAT(ch.sent, ::testing::ElementsAre(":WAV:SOUR MATH1", ":WAV:MODE NORMal", ":WAV:FORM BYTE", "<pause 500>",
                                              ":WAV:DATA?", "<pause 1000>", "status", "plot"));
}

}  // namespace
}  // namespace qvx
