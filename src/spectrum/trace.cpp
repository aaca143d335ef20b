#include "spectrum/trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "core/pause.h"
#include "core/text.h"
#include "link/block.h"

namespace qvx {

double ByteToVolts(int b, double FftScale, double FftOffset) {
  return FftScale * 0.03125 * b - 4.0 * FftScale - FftOffset;
}

double VoltsToDensity(double nanovolts, double Rbw) {
  if (Rbw == 0.0 || std::isnan(Rbw)) return 0.0;
  return nanovolts / std::sqrt(Rbw);
}

bool ReadTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& first, const BlockLimits& limits) {
  BlockRules rules;
  rules.lenient = true;
  rules.header_ms = limits.first_header_ms;
  rules.digits_ms = limits.digits_ms;
  rules.receive_ms = limits.per_receive_ms;
  rules.whole_block_ms = limits.whole_block_ms;
  // The first points go to a local copy so a failed read leaves `first` as it was; the rest
  // of the block only passes through the scratch buffer.
  std::array<unsigned char, SPEC_POINTS> kept{};
  std::array<char, kBlockScratchBytes> scratch;
  const BlockOutcome block = ReadDefiniteBlock(ch, rules, [&](std::int64_t received, std::int64_t length) {
    const std::int64_t keep = std::min<std::int64_t>(length, SPEC_POINTS);
    if (received < keep) {
      return BlockRoom{reinterpret_cast<char*>(kept.data()) + received, static_cast<std::size_t>(keep - received)};
    }
    return BlockRoom{scratch.data(), scratch.size()};
  });
  if (block.ok() && block.length >= SPEC_POINTS) {
    first = kept;
    return true;
  }
  DrainReplies(ch, limits.drain_quiet_ms, limits.drain_max_ms);
  return false;
}

Trace TraceOf(const WorkingState& s) {
  Trace t;
  t.start_hz = s.Startf;
  t.end_hz = s.Endf;
  t.rbw_hz = s.Rbw;
  t.fs_hz = s.Fs;
  t.fft_scale = s.FftScale;
  t.fft_offset = s.FftOffset;
  t.tdiv_s = ParseDecimal(s.TDiv).value_or(0.0);
  t.ch1_scale = ParseDecimal(s.Ch1Scale).value_or(0.0);
  t.points = s.SpecData;
  return t;
}

void ConvertTrace(const std::array<unsigned char, SPEC_POINTS>& data, WorkingState& s) {
  const double step = (s.Endf - s.Startf) * 0.001;
  for (int i = 0; i < SPEC_POINTS; ++i) {
    SpecPoint& p = s.SpecData[static_cast<std::size_t>(i)];
    p.Freq = i * step + s.Startf;
    const double volts = ByteToVolts(data[static_cast<std::size_t>(i)], s.FftScale, s.FftOffset);
    p.Level = VoltsToDensity(volts * 1000000000.0, s.Rbw);
  }
}

bool RequestTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& data, const BlockLimits& limits) {
  ch.SendCommand(":WAV:SOUR MATH1");
  ch.SendCommand(":WAV:MODE NORMal");
  ch.SendCommand(":WAV:FORM BYTE");
  Pause(kTraceQueryPauseMs);
  ch.SendCommand(":WAV:DATA?");
  Pause(kTraceReadPauseMs);
  return ReadTraceBlock(ch, data, limits);
}

void FetchTrace(InstrumentChannel& ch, WorkingState& s, const std::function<void()>& readStatus,
                const std::function<void()>& plot, const BlockLimits& limits) {
  std::array<unsigned char, SPEC_POINTS> data;
  if (!RequestTraceBlock(ch, data, limits)) return;
  if (readStatus) readStatus();
  ConvertTrace(data, s);
  if (plot) plot();
}

}  // namespace qvx
