#include "settings/noise_settings.h"

#include <cmath>
#include <tuple>

#include "core/text.h"
#include "core/conversions.h"

namespace qvx {
namespace {

constexpr const char* kAbsent = "\x01";  // no INI value can hold it

std::string Trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string NoiseNumberText(double value) {
  const std::string text = FloatToStr(value);
  const auto back = ParseDecimal(text);
  return back && *back == value ? text : ShortestNumber(value);
}

NoiseSettingsRead ReadNoiseSettings(const TIniFile& ini) {
  NoiseSettingsRead read;
  NoiseSettings& s = read.settings;
  const NoiseSettings defaults;
  auto value = [&](const char* key) { return ini.ReadString(kSettingsSectionNoise, key, kAbsent); };
  auto bad = [&](const char* key, const std::string& text, const std::string& used) {
    read.problems.push_back(std::string(key) + "=" + text + " in [NOISE] is not usable; " + used + " is used");
  };
  auto choice = [&](const char* key, std::string& field, const char* a, const char* b, const char* c = nullptr) {
    const std::string text = value(key);
    if (text == kAbsent) return;
    if (text == a || text == b || (c && text == c))
      field = text;
    else
      bad(key, text, field);
  };
  auto number = [&](const char* key, double& field, double above) {
    const std::string text = value(key);
    if (text == kAbsent) return;
    const auto v = ParseDecimal(Trimmed(text));
    if (v && *v > above && std::isfinite(*v))
      field = *v;
    else
      bad(key, text, FloatToStr(field));
  };
  auto whole = [&](const char* key, int& field, int lo, int hi) {
    const std::string text = value(key);
    if (text == kAbsent) return;
    int v = 0;
    if (TryParseIniInteger(text, v) && v >= lo && v <= hi)
      field = v;
    else
      bad(key, text, std::to_string(field));
  };
  choice("METHOD", s.method, "record", "fft", "cross");
  number("FROM", s.from_hz, 0.0);
  number("TO", s.to_hz, 0.0);
  if (!(s.to_hz > s.from_hz)) {
    read.problems.push_back("TO=" + FloatToStr(s.to_hz) + " in [NOISE] is not above FROM=" + FloatToStr(s.from_hz) +
                            "; " + FloatToStr(defaults.from_hz) + " Hz to " + FloatToStr(defaults.to_hz) +
                            " Hz are used");
    s.from_hz = defaults.from_hz;
    s.to_hz = defaults.to_hz;
  }
  whole("PPD", s.ppd, 1, 100);
  whole("AVERAGES", s.averages, 1, 64);
  if (const std::string text = value("SECONDS"); text != kAbsent) {
    const auto v = ParseDecimal(Trimmed(text));
    if (Trimmed(text).empty() || (v && *v > 0 && std::isfinite(*v)))
      s.seconds = Trimmed(text);
    else
      bad("SECONDS", text, "the plan's own length");
  }
  choice("AVERAGING", s.averaging, "mean", "median");
  for (auto [key, field, used] :
       {std::tuple{"GAIN", &s.gain, "no gain"}, std::tuple{"GAIN2", &s.gain2, "channel 1's"}}) {
    if (const std::string text = value(key); text != kAbsent) {
      if (ParseGainText(text, nullptr))
        *field = Trimmed(text);
      else
        bad(key, text, used);
    }
  }
  for (auto [key, field] : {std::pair{"GAINFILE", &s.gain_file}, std::pair{"FLOORFILE", &s.floor_file},
                            std::pair{"LIMITFILE", &s.limit_file}}) {
    if (const std::string text = value(key); text != kAbsent) *field = text;
  }
  return read;
}

void WriteNoiseSettings(TIniFile& ini, const NoiseSettings& s) {
  ini.WriteString(kSettingsSectionNoise, "METHOD", s.method);
  ini.WriteString(kSettingsSectionNoise, "FROM", NoiseNumberText(s.from_hz));
  ini.WriteString(kSettingsSectionNoise, "TO", NoiseNumberText(s.to_hz));
  ini.WriteInteger(kSettingsSectionNoise, "PPD", s.ppd);
  ini.WriteInteger(kSettingsSectionNoise, "AVERAGES", s.averages);
  ini.WriteString(kSettingsSectionNoise, "SECONDS", s.seconds);
  ini.WriteString(kSettingsSectionNoise, "AVERAGING", s.averaging);
  ini.WriteString(kSettingsSectionNoise, "GAIN", s.gain);
  ini.WriteString(kSettingsSectionNoise, "GAIN2", s.gain2);
  ini.WriteString(kSettingsSectionNoise, "GAINFILE", s.gain_file);
  ini.WriteString(kSettingsSectionNoise, "FLOORFILE", s.floor_file);
  ini.WriteString(kSettingsSectionNoise, "LIMITFILE", s.limit_file);
}

}  // namespace qvx
