#pragma once
// The instrument settings as the window loads them from its settings file: the same file,
// keys and defaults for the window and for programs without one.
#include <string>
#include <string_view>

#include "settings/ini_file.h"

namespace qvx {

inline constexpr const char* kSettingsFileName = "./QVX71CONT.INI";
inline constexpr const char* kSettingsSectionInstrument = "QVX71";
inline constexpr const char* kSettingsSectionDisplay = "DISP";
inline constexpr const char* kSettingsDefaultAddress = "192.168.1.21";

struct InstrumentSettings {
  std::string Addr;
  double Startf = 0.0;
  double Endf = 0.0;
  double FftScale = 0.0;
  std::string Ch1Scale;
  double FftOffset = 0.0;
  std::string TDiv;
  double Fs = 0.0;
  std::string AveText;
};

// The [QVX71] values with the window's defaults; ADDR defaults to `defaultAddress`.
InstrumentSettings ReadInstrumentSettings(const TIniFile& ini,
                                          std::string_view defaultAddress = kSettingsDefaultAddress);

}  // namespace qvx
