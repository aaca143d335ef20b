#include "settings/noise_settings.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/temp_work_dir.h"

namespace qvx {
namespace {

TEST(GainText, RatiosAndDecibelsAndWhatIsNeither) {
  struct Case {
    const char* text;
    double ratio;  // 0: refused
  };
  const Case cases[] = {
      {"", 1.0},     {"100", 100.0}, {"40 dB", 100.0}, {" 20dB ", 10.0}, {"-6 dB", std::pow(10.0, -0.3)},
      {"0 dB", 1.0}, {"0", 0.0},     {"-3", 0.0},      {"400 dB", 0.0},  {"forty", 0.0}};
  for (const Case& c : cases) {
    std::string error;
    const auto ratio = ParseGainText(c.text, &error);
    if (c.ratio == 0) {
      EXPECT_FALSE(ratio) << c.text;
      EXPECT_NE(error.find(c.text), std::string::npos) << error;
    } else {
      ASSERT_TRUE(ratio) << c.text;
      EXPECT_NEAR(*ratio, c.ratio, 1e-9 * c.ratio) << c.text;
    }
  }
}

// Each bad value falls back alone and is named; a range upside down falls back whole.
TEST(NoiseSettingsRead, BadValuesFallBackOneByOne) {
  test::TempWorkDir dir;
  dir.Write("QVX71CONT.INI",
            "[NOISE]\r\nMETHOD=sweep\r\nFROM=500\r\nTO=50\r\nAVERAGES=65\r\nSECONDS=-1\r\nAVERAGING=median\r\n");
  const NoiseSettingsRead read = ReadNoiseSettings(TIniFile("./QVX71CONT.INI"));
  const NoiseSettings defaults;
  EXPECT_EQ(read.settings.method, defaults.method);
  EXPECT_EQ(read.settings.from_hz, defaults.from_hz);
  EXPECT_EQ(read.settings.to_hz, defaults.to_hz);
  EXPECT_EQ(read.settings.averages, defaults.averages);
  EXPECT_EQ(read.settings.seconds, "");
  EXPECT_EQ(read.settings.averaging, "median");
  ASSERT_EQ(read.problems.size(), 4u);
  EXPECT_EQ(read.problems[0], "METHOD=sweep in [NOISE] is not usable; record is used");
}

}  // namespace
}  // namespace qvx

namespace qvx {
namespace {

// What the window writes reads back as the same numbers, even where 15 digits would not
// tell FROM from TO.
TEST(NoiseSettingsWrite, FrequenciesReadBackExactly) {
  test::TempWorkDir dir;
  TIniFile ini("./QVX71CONT.INI");
  NoiseSettings s;
  s.from_hz = 1.0000000000000002;
  s.to_hz = 1.0000000000000004;
  WriteNoiseSettings(ini, s);
  const NoiseSettingsRead read = ReadNoiseSettings(ini);
  EXPECT_TRUE(read.problems.empty());
  EXPECT_EQ(read.settings.from_hz, s.from_hz);
  EXPECT_EQ(read.settings.to_hz, s.to_hz);
  EXPECT_EQ(NoiseNumberText(100000), "100000");
}

}  // namespace
}  // namespace qvx
