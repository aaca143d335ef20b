#pragma once
// Reads the MATH1 FFT's span, scale and offset back from the instrument.
#include "core/log_sink.h"
#include "core/working_state.h"
#include "link/instrument_channel.h"

namespace qvx {

inline constexpr const char* kWaveSourceMath1Command = ":WAV:SOUR MATH1";
inline constexpr const char* kWaveModeNormalCommand = ":WAV:MODE NORMal";
inline constexpr const char* kWaveSourceQuery = ":WAV:SOUR?";
inline constexpr const char* kStartFrequencyQuery = ":MATH1:FFT:FREQuency:STARt?";
inline constexpr const char* kEndFrequencyQuery = ":MATH1:FFT:FREQuency:END?";
inline constexpr const char* kFftScaleQuery = ":MATH1:FFT:SCALe?";
inline constexpr const char* kFftOffsetQuery = ":MATH1:FFT:OFFSet?";

// Selects MATH1 as the trace source, then fills Startf, Endf, FftScale and
// FftOffset (each as soon as its reply converts) and ends with CalcRbw.
// A reply that is not a number throws EConvertError at that step.
void ReadStatus(InstrumentChannel& ch, WorkingState& s, const LogSink& log);

// The four lines "ReadSTAT" adds after the status read.
void LogStatusLines(const WorkingState& s, const LogSink& log);

}  // namespace qvx
