// The simulated instrument's SCPI text rules and its noise model, without a network.
#include "scpi.h"

#include <gtest/gtest.h>

#include <random>

#include "core/conversions.h"
#include "noise_model.h"

namespace {

using namespace qvx::sim;

TEST(SimScpi, MnemonicsMatchShortAndLongFormsInAnyCase) {
  for (const char* token : {"FREQ", "freq", "Frequency", "FREQUENCY"}) {
    EXPECT_TRUE(MatchMnemonic("FREQuency", token)) << token;
  }
  for (const char* token : {"FRE", "FREQU", "FREQUENCYX", "", "1"}) {
    EXPECT_FALSE(MatchMnemonic("FREQuency", token)) << token;
  }
  EXPECT_TRUE(MatchMnemonic("CHANnel1", "CHAN1"));
  EXPECT_TRUE(MatchMnemonic("CHANnel1", "channel"));  // suffix 1 may be left out
  EXPECT_FALSE(MatchMnemonic("CHANnel1", "CHAN2"));
  EXPECT_FALSE(MatchMnemonic("CHANnel2", "CHAN"));
  EXPECT_EQ(ShortForm("AVCNt"), "AVCN");
  EXPECT_EQ(ShortForm("CHANnel1"), "CHAN1");
}

TEST(SimScpi, HeadersMatchTokenByTokenWithOptionalLeadingColon) {
  EXPECT_TRUE(MatchHeader(":MATH1:FFT:FREQuency:END", "MATH1:FFT:FREQ:END"));
  EXPECT_TRUE(MatchHeader(":MATH1:FFT:FREQuency:END", ":math:fft:frequency:end"));
  EXPECT_FALSE(MatchHeader(":MATH1:FFT:FREQuency:END", "MATH1:FFT:FREQ"));
  EXPECT_FALSE(MatchHeader(":MATH1:FFT:FREQuency:END", "MATH1:FFT:FREQ:END:X"));
  EXPECT_TRUE(MatchHeader("*IDN", "*idn"));
  const ParsedLine parsed = ParseLine("  :WAV:SOUR?   ");
  EXPECT_EQ(parsed.header, "WAV:SOUR");
  EXPECT_TRUE(parsed.query);
  EXPECT_EQ(ParseLine(":MATH1:FFT:AVCNt  007 ").argument, "007");
}

TEST(SimScpi, NumbersArePlainDecimalsOnly) {
  EXPECT_EQ(ParseNumber("1E-8"), 1e-8);
  EXPECT_EQ(ParseNumber("-7E-8"), -7e-8);
  EXPECT_EQ(ParseNumber("+5"), 5.0);
  EXPECT_EQ(ParseNumber(".5"), 0.5);
  EXPECT_EQ(ParseNumber("5."), 5.0);
  for (const char* bad : {"", "1e", "abc", " 1", "1 ", "1,5", "inf", "nan", "0x10", "1..2", "-", "."}) {
    EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
  }
  EXPECT_EQ(ParseQuantity("1M"), 1e6);
  EXPECT_EQ(ParseQuantity("10M"), 1e7);
  EXPECT_EQ(ParseQuantity("100k"), 1e5);
  EXPECT_EQ(ParseQuantity("1000000"), 1e6);
  EXPECT_FALSE(ParseQuantity("M").has_value());
}

TEST(SimScpi, RepliesUseTheExponentStyleTheProgramConverts) {
  EXPECT_EQ(FormatExponent(100000.0), "1.000000E+05");
  EXPECT_EQ(FormatExponent(-7e-8), "-7.000000E-08");
  EXPECT_EQ(FormatExponent(0.0), "0.000000E+00");
  for (double value : {100000.0, -7e-8, 1e-8, 0.01, 1e7, 0.0, 9.5367431640625}) {
    EXPECT_NEAR(qvx::StrToFloat(FormatExponent(value)), value, std::abs(value) * 1e-6);
  }
}

TEST(SimNoiseModel, SampleRateAndBinWidthFollowDepthAndTimebase) {
  SimState state;
  EXPECT_DOUBLE_EQ(SampleRate(state), 1e7);
  EXPECT_DOUBLE_EQ(FftPoints(state), 1048576.0);
  EXPECT_DOUBLE_EQ(BinWidth(state), 9.5367431640625);
  state.tdiv = 0.001;
  state.mdepth_points = 1e7;
  EXPECT_DOUBLE_EQ(SampleRate(state), 1e9);
  EXPECT_DOUBLE_EQ(FftPoints(state), 16777216.0);
  state.mdepth_points = 1e8;  // would be 10 GSa/s
  EXPECT_DOUBLE_EQ(SampleRate(state), 1e9);
  state.tdiv = 1e-9;
  state.mdepth_points = 1;
  EXPECT_DOUBLE_EQ(FftPoints(state), 2.0);
}

TEST(SimNoiseModel, BytesEncodeAndDecodeLikeTheProgramAndClamp) {
  for (int b = 0; b <= 255; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    EXPECT_EQ(EncodeByte(DecodeByte(byte, 1e-8, -7e-8), 1e-8, -7e-8), byte);
  }
  EXPECT_DOUBLE_EQ(DecodeByte(128, 1.0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(DecodeByte(0, 1.0, 0.0), -4.0);
  EXPECT_DOUBLE_EQ(DecodeByte(255, 1.0, 0.0), 3.96875);
  EXPECT_EQ(EncodeByte(1.0, 1e-8, -7e-8), 255);
  EXPECT_EQ(EncodeByte(-1.0, 1e-8, -7e-8), 0);
  EXPECT_EQ(EncodeByte(std::nan(""), 1e-8, -7e-8), 0);
}

TEST(SimNoiseModel, DefaultFloorSitsInsideTheByteRangeAndSpursInTheirPoint) {
  const NoiseModel model;
  const SimState state;
  const std::uint8_t floor = EncodeByte(TruePointVrms(model, state, 750), state.fft_scale, state.fft_offset);
  EXPECT_GE(floor, 90);
  EXPECT_LE(floor, 110);
  // The 25 kHz spur falls in point 250's step (25000..25100 Hz), not in its neighbours.
  const double noise = TruePointVrms(model, state, 249);
  EXPECT_GT(TruePointVrms(model, state, 250), 1.3 * noise);
  EXPECT_NEAR(TruePointVrms(model, state, 251), noise, noise * 0.01);
  for (const Spur& spur : model.spurs) {
    const double total = std::hypot(TruePointVrms(model, state, 999), spur.vrms);
    EXPECT_LT(EncodeByte(total, state.fft_scale, state.fft_offset), 255);
  }
}

TEST(SimNoiseModel, TraceHasTheRequestedLengthAndFreshDraws) {
  std::mt19937_64 rng(7);
  const NoiseModel model;
  const SimState state;
  const std::string a = GenerateTrace(model, state, 1200, rng);
  const std::string b = GenerateTrace(model, state, 1200, rng);
  EXPECT_EQ(a.size(), 1200u);
  EXPECT_NE(a, b);
}

}  // namespace
