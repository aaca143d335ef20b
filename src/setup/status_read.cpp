#include "setup/status_read.h"

#include "core/conversions.h"
#include "setup/rbw.h"

namespace qvx {
namespace {
constexpr const char* kSystemErrorQuery = ":SYSTem:ERRor?";
}  // namespace

void ReadStatus(InstrumentChannel& ch, WorkingState& s, const LogSink& log) {
  ch.SendCommand(kWaveSourceMath1Command);
  ch.SendCommand(kWaveModeNormalCommand);
  // These replies only pace the sequence; their text does not matter.
  ch.QueryInstrument(kSystemErrorQuery);
  ch.QueryInstrument(kWaveSourceQuery);
  ch.QueryInstrument(kSystemErrorQuery);

  s.Startf = StrToFloat(ch.QueryInstrument(kStartFrequencyQuery));
  s.Endf = StrToFloat(ch.QueryInstrument(kEndFrequencyQuery));
  s.FftScale = StrToFloat(ch.QueryInstrument(kFftScaleQuery));
  s.FftOffset = StrToFloat(ch.QueryInstrument(kFftOffsetQuery));
  CalcRbw(ch, s, log);
}

void LogStatusLines(const WorkingState& s, const LogSink& log) {
  if (!log) return;
  log("startf " + FloatToStr(s.Startf));
  log("endf " + FloatToStr(s.Endf));
  log("Y Scale " + FloatToStr(s.FftScale));
  log("Y offset " + FloatToStr(s.FftOffset));
}

}  // namespace qvx
