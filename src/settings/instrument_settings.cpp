#include "settings/instrument_settings.h"

#include "core/conversions.h"

namespace qvx {

InstrumentSettings ReadInstrumentSettings(const TIniFile& ini, std::string_view defaultAddress) {
  const char* section = kSettingsSectionInstrument;
  InstrumentSettings s;
  s.Addr = ini.ReadString(section, "ADDR", defaultAddress);
  s.Startf = ini.ReadFloat(section, "START", 0.0);
  s.Endf = ini.ReadFloat(section, "END", 100000.0);
  s.FftScale = ini.ReadFloat(section, "SCALE", 1e-8);
  s.Ch1Scale = ini.ReadString(section, "CH1SCALE", FloatToStr(0.0002));
  s.FftOffset = ini.ReadFloat(section, "OFFSET", -7e-8);
  s.TDiv = ini.ReadString(section, "TDIV", FloatToStr(0.01));
  s.Fs = ini.ReadFloat(section, "MDEPTH", 5e7);
  s.AveText = ini.ReadString(section, "AVE", "32");
  return s;
}

}  // namespace qvx
