#pragma once
// The measurement window's fields in the settings file, section [NOISE]: read with their
// defaults (a bad value falls back to its default and is reported), written as they stand.
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "settings/ini_file.h"

namespace qvx {

inline constexpr const char* kSettingsSectionNoise = "NOISE";

struct NoiseSettings {
  std::string method = "record";  // "record" (the time record), "fft" (the instrument's FFT sweep) or "cross"
  double from_hz = 1.0;
  double to_hz = 100000.0;
  int ppd = 10;
  int averages = 32;
  std::string seconds;             // the slowest record's length; empty: the plan's own
  std::string averaging = "mean";  // or "median"
  std::string gain;                // a ratio ("100") or dB ("40 dB"); empty: none
  std::string gain2;               // channel 2's, for the cross-spectrum; empty: as channel 1's
  std::string gain_file;
  std::string floor_file;
  std::string limit_file;
};

struct NoiseSettingsRead {
  NoiseSettings settings;
  std::vector<std::string> problems;  // one line a bad value: what it was and what is used
};

NoiseSettingsRead ReadNoiseSettings(const TIniFile& ini);

// Every key; throws EIniFileException when the file cannot be written.
void WriteNoiseSettings(TIniFile& ini, const NoiseSettings& settings);

// A frequency as the section and the window show it: plain ("100000", "0.1") where that
// reads back exactly, else the shortest text that does, so no value changes on its way.
std::string NoiseNumberText(double value);

}  // namespace qvx
