#include "setup/rbw.h"

#include "core/conversions.h"

namespace qvx {

double FftPointCount(double samplesOnScreen) {
  // Ends even for an infinite count: doubling reaches infinity after ~1024 steps.
  double points = 2.0;
  while (points < samplesOnScreen) points *= 2.0;
  return points;
}

double ComputeRbw(double tdivSeconds, double fs) { return fs / FftPointCount(tdivSeconds * 10.0 * fs); }

double CalcRbw(InstrumentChannel& ch, WorkingState& s, const LogSink& log) {
  s.TDiv = FloatToStr(StrToFloat(ch.QueryInstrument(kTimebaseScaleQuery)));
  // The depth enters no formula, but a reply that is not a number still stops here.
  static_cast<void>(StrToFloat(ch.QueryInstrument(kMemoryDepthQuery)));
  s.Fs = StrToFloat(ch.QueryInstrument(kSampleRateQuery));

  // The stored text, not the reply, is what the bandwidth is computed from.
  const double points = FftPointCount(StrToFloat(s.TDiv) * 10.0 * s.Fs);
  s.Rbw = s.Fs / points;
  if (log) {
    log("FFT Pts: " + FloatToStr(points));
    log("Calc RBW: " + FormatFloat("0.000", s.Rbw) + "Hz");
  }
  return s.Rbw;
}

}  // namespace qvx
