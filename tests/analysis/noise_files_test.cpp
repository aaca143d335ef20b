// Files and traces: CSV round trips, the window's clipboard export, malformed input with
// line numbers, the JSON keys, and the flags a trace gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "analysis/noise_files.h"
#include "spectrum/clipboard_text.h"
#include "spectrum/trace.h"

namespace qvx {
namespace {

// The window's state after a trace of `bytes` with the default span, scale and offset.
WorkingState Traced(const std::array<unsigned char, SPEC_POINTS>& bytes, double rbw) {
  WorkingState s;
  s.Startf = 0;
  s.Endf = 100000;
  s.FftScale = 1e-8;
  s.FftOffset = -7e-8;
  s.Rbw = rbw;
  ConvertTrace(bytes, s);
  return s;
}

std::array<unsigned char, SPEC_POINTS> Ramp() {
  std::array<unsigned char, SPEC_POINTS> b{};
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) b[i] = static_cast<unsigned char>(i % 256);
  return b;
}

TEST(NoiseCsv, RoundTripsEveryDoubleAndFlag) {
  const auto bytes = Ramp();
  const WorkingState ws = Traced(bytes, 9.5367431640625);
  NoiseSpectrum s;
  AppendTrace(s, TraceOf(ws), LevelsOf(ws.SpecData), bytes);
  s.points[3].flags = kFlagRepeatedBin | kFlagClipped | kFlagCoarseRbw;
  s.points[4].level_nv = 1.0 / 3.0;
  s.points[4].density_nv = 2.5e-300;

  const SpectrumReadResult r = ReadNoiseCsv(WriteNoiseCsv(s));
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_EQ(r.spectrum.points.size(), s.points.size());
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    const NoisePoint& a = s.points[i];
    const NoisePoint& b = r.spectrum.points[i];
    // Bit for bit: the CSV's texts read back as the very doubles written.
    ASSERT_EQ(std::memcmp(&a.freq_hz, &b.freq_hz, sizeof(double)), 0) << "point " << i;
    ASSERT_EQ(std::memcmp(&a.level_nv, &b.level_nv, sizeof(double)), 0) << "point " << i;
    ASSERT_EQ(std::memcmp(&a.density_nv, &b.density_nv, sizeof(double)), 0) << "point " << i;
    ASSERT_EQ(a.flags, b.flags) << "point " << i;
  }
  EXPECT_DOUBLE_EQ(r.spectrum.end_hz, 100000);
  EXPECT_TRUE(IsNoiseCsv(WriteNoiseCsv(s)));
}

TEST(NoiseCsv, MalformedLinesAreNamed) {
  const std::string h = std::string(kNoiseCsvHeader) + "\n";
  struct Case {
    std::string text;
    int line;
    const char* says;
  } cases[] = {
      {"", 1, "header"},
      {"freq_hz,level_nv\n1,2\n", 1, "header"},
      {h, 2, "no points"},
      {h + "1,2,3,\n2,3,4\n", 3, "4 fields"},
      {h + "1,2,3,\n2,x,4,\n", 3, "level 'x'"},
      {h + "1,2,inf,\n", 2, "density"},
      {h + "1,2,nan,\n", 2, "density"},
      {h + "1,2,1e999,\n", 2, "density"},
      {h + "1,2,3,X\n", 2, "unknown flag"},
      {h + "5,2,3,\n4,2,3,\n", 3, "below"},
      {h + "1,2,3,\n\n3,2,3,\n", 3, "4 fields"},
      {h + "-1e308,1,1,\n1e308,1,1,\n", 3, "span more"},  // a range no double holds
      {h + "1,2,3,\n2,-2,3,\n", 3, "below 0"},
      {h + "5,2,3,\n5,2,3,\n", 3, "every point has the frequency 5 Hz"},
      {"\xEF\xBB\xBF" + h + "1,2,3,\n2,2,3,\n", 0, nullptr},  // a byte-order mark
      {h + "1,2,3,R\r\n2,2,3,\r\n3,2,3,", 0, nullptr},        // CR LF and a last line without its end
  };
  for (const Case& c : cases) {
    const SpectrumReadResult r = ReadNoiseCsv(c.text);
    if (!c.says) {
      EXPECT_TRUE(r.ok()) << r.error;
      continue;
    }
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
    EXPECT_EQ(r.error.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << r.error;
  }
}

TEST(ClipboardExport, BothFormsReadBackTheWindowsBuffer) {
  const auto bytes = Ramp();
  const WorkingState ws = Traced(bytes, 9.5367431640625);
  for (int form : {0, 1, 2}) {
    const bool freqList = form != 1;
    std::string text = BuildClipboardText(ws.SpecData, 0, freqList);
    if (form == 2) {  // as a spreadsheet saves it: a byte-order mark, tabs
      std::replace(text.begin(), text.end(), ',', '\t');
      text.insert(0, "\xEF\xBB\xBF");
    }
    const SpectrumReadResult r =
        ReadClipboardExport(text, freqList ? std::nullopt : std::optional(std::pair(0.0, 100000.0)));
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.spectrum.points.size(), static_cast<std::size_t>(SPEC_POINTS));
    for (std::size_t i = 0; i < SPEC_POINTS; ++i) {
      EXPECT_NEAR(r.spectrum.points[i].freq_hz, ws.SpecData[i].Freq, 1e-6);
      EXPECT_NEAR(r.spectrum.points[i].level_nv, ws.SpecData[i].Level, 0.0005 + 1e-9);
      EXPECT_DOUBLE_EQ(r.spectrum.points[i].density_nv, r.spectrum.points[i].level_nv / std::sqrt(1.5));
    }
    EXPECT_DOUBLE_EQ(r.spectrum.end_hz, 100000);
  }
}

TEST(ClipboardExport, MalformedOrIncompleteInputIsNamed) {
  struct Case {
    std::string text;
    bool span;
    int line;
    const char* says;
  } cases[] = {
      {"", true, 1, "empty"},
      {"1.000\r\n2.000\r\n", false, 1, "--span"},
      {"0.000,1.000\r\n0.100,\r\n", false, 2, "level ''"},  // the window's export with no filter chosen
      {"0.000,1.000\r\n0.100,2.000,3\r\n", false, 2, "freq_kHz,level"},
      {"0.000,1.000\r\n0.100,1,0\r\n", false, 2, "freq_kHz,level"},  // a comma-decimal level
      {"1.000\r\n\r\n2.000\r\n", true, 2, "level ''"},
      {"0.200,1.000\r\n0.100,2.000\r\n", false, 2, "below"},
      {"abc\r\n", true, 1, "level 'abc'"},
      {"\r\n", true, 1, "no levels"},
      {"0.000,1.000\r\n1E+306,2.000\r\n", false, 2, "out of range"},  // kHz beyond a double in Hz
      {"0.000,1.000\r\n0.100,-2.000\r\n", false, 2, "below 0"},
      {"0.100,1.000\r\n0.100,2.000\r\n", false, 2, "every point"},
  };
  for (const Case& c : cases) {
    const SpectrumReadResult r =
        ReadClipboardExport(c.text, c.span ? std::optional(std::pair(0.0, 1000.0)) : std::nullopt);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
  }
}

TEST(AppendTrace, FlagsRepeatsClipsAndCoarseBins) {
  auto bytes = Ramp();
  // 100 Hz steps over 400 Hz bins: three of every four points repeat the bin before.
  WorkingState ws = Traced(bytes, 400);
  NoiseSpectrum s;
  s.ppd = 10;
  AppendTrace(s, TraceOf(ws), LevelsOf(ws.SpecData), bytes);
  const FlagCounts c = CountFlags(s);
  EXPECT_NEAR(c.repeated_bin, 750, 2);
  EXPECT_EQ(c.clipped, 7) << "the ramp's bytes 0 and 255";
  EXPECT_TRUE(s.points[256].flags & kFlagClipped);
  // A log bin at f is f (10^0.1 - 1) wide.
  EXPECT_TRUE(s.points[10].flags & kFlagCoarseRbw);   // 1 kHz: log bin 259 Hz
  EXPECT_FALSE(s.points[20].flags & kFlagCoarseRbw);  // 2 kHz: log bin 518 Hz
  EXPECT_EQ(s.points[0].flags & kFlagCoarseRbw, 0u);  // 0 Hz has no log bin
}

TEST(SpectrumFromWindow, FindsClippingFromTheUnfilteredBuffer) {
  auto bytes = Ramp();
  for (double rbw : {9.5367431640625, 0.476837158203125}) {
    const WorkingState ws = Traced(bytes, rbw);
    EXPECT_EQ(TraceBytesOf(TraceOf(ws)), bytes) << "the conversion run backwards";
  }
  WorkingState ws = Traced(bytes, 9.5367431640625);
  ws.TDiv = "0.01";
  std::array<double, SPEC_POINTS> filtered{};
  filtered.fill(7.0);
  const NoiseSpectrum s = SpectrumFromWindow(TraceOf(ws), filtered, *FindFftWindow("FLATtop"), 32, "M4");
  EXPECT_EQ(s.points[256].level_nv, 7.0);
  EXPECT_TRUE(s.points[256].flags & kFlagClipped);
  EXPECT_DOUBLE_EQ(s.points[1].density_nv, 7.0 / std::sqrt(3.77));
  ASSERT_EQ(s.acquisitions.size(), 1u);
  EXPECT_EQ(s.acquisitions[0].clipped_points, 7);
  EXPECT_EQ(s.acquisitions[0].tdiv_s, 0.01);
}

TEST(NoiseJson, CarriesTheKeysScriptsUse) {
  NoiseSpectrum s;
  s.points = {{10, 1.5, 1.2, 0}, {20, 1.5, 1.2, kFlagClipped}};
  s.end_hz = 30;
  s.addr = "127.0.0.9";
  s.acquisitions.push_back({10, 30, 0.2, 5e5, 0.47, 1e-8, -4e-8, 1, 3.5});
  NoiseReport r = AnalyzeNoise(s, {{{10, 30}}, {15}});
  const auto j = nlohmann::json::parse(NoiseJsonText(s, r));
  for (const char* key : {"version", "instrument", "window", "window_source", "enbw_bins", "averages", "acquisitions",
                          "white_nv", "corner_hz", "fit_points", "bands", "spots", "flags"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_EQ(j["version"], 1);
  EXPECT_EQ(j["instrument"]["addr"], "127.0.0.9");
  EXPECT_TRUE(j["instrument"]["idn"].is_null());
  EXPECT_TRUE(j["white_nv"].is_null()) << "no fit from one usable point";
  EXPECT_EQ(j["acquisitions"][0]["clipped_points"], 1);
  for (const char* key : {"start_hz", "end_hz", "tdiv_s", "fs_hz", "rbw_hz", "fft_scale", "fft_offset", "seconds"}) {
    EXPECT_TRUE(j["acquisitions"][0].contains(key)) << key;
  }
  EXPECT_EQ(j["bands"][0]["lo_hz"], 10.0);
  EXPECT_TRUE(j["bands"][0].contains("rms_uv"));
  EXPECT_EQ(j["spots"][0]["hz"], 15.0);
  EXPECT_TRUE(j["spots"][0].contains("nv"));
  EXPECT_EQ(j["flags"]["clipped"], 1);
}

}  // namespace
}  // namespace qvx

namespace qvx {
namespace {

TEST(Formatting, EngineeringUnitsForPeople) {
  const std::pair<std::string, std::string> cases[] = {
      {FormatVolts(3.296e-2), "32.96 mV"},
      {FormatVolts(6.427e-6), "6.427 \u00B5V"},
      {FormatVolts(999.96e-6), "1 mV"},
      {FormatSeconds(1e-5), "10 \u00B5s"},
      {FormatSeconds(0.2), "200 ms"},
      {FormatSeconds(1000), "1000 s"},
      {FormatHz(1e9), "1 GHz"},
      {FormatHz(2.5e3), "2.5 kHz"},
      {Counted(1, "clipped point"), "1 clipped point"},
      {Counted(2, "point"), "2 points"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace qvx
