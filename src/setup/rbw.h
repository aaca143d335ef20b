#pragma once
// Resolution bandwidth of the instrument's FFT, computed from the timebase and
// the sample rate rather than asked for.
#include "core/log_sink.h"
#include "core/working_state.h"
#include "link/instrument_channel.h"

namespace qvx {

inline constexpr const char* kTimebaseScaleQuery = ":TIMebase:MAIN:SCALe?";
inline constexpr const char* kMemoryDepthQuery = ":ACQuire:MDEPth?";
inline constexpr const char* kSampleRateQuery = ":ACQuire:SRATe?";

// The smallest power of two, at least 2, that is not below samplesOnScreen.
double FftPointCount(double samplesOnScreen);

// Fs over the point count of ten divisions of tdivSeconds sampled at fs.
double ComputeRbw(double tdivSeconds, double fs);

// Queries timebase, memory depth and sample rate; stores TDiv (in FloatToStr
// form), Fs and Rbw, each as soon as its reply converts, and logs the point
// count and the bandwidth. A reply that is not a number throws EConvertError
// and leaves the later fields and the log untouched. Returns Rbw.
double CalcRbw(InstrumentChannel& ch, WorkingState& s, const LogSink& log);

}  // namespace qvx
