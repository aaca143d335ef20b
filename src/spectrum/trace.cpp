#include "spectrum/trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "core/pause.h"

namespace qvx {

double ByteToVolts(int b, double FftScale, double FftOffset) {
  return FftScale * 0.03125 * b - 4.0 * FftScale - FftOffset;
}

double VoltsToDensity(double nanovolts, double Rbw) {
  if (Rbw == 0.0 || std::isnan(Rbw)) return 0.0;
  return nanovolts / std::sqrt(Rbw);
}

namespace {

// The length field by the usual text-to-integer rules: leading white space, an
// optional sign, digits up to the first non-digit; no digits gives 0. Nine digits
// cannot overflow.
std::int64_t ParseBlockLength(const char* text, std::size_t size) {
  std::size_t i = 0;
  auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  while (i < size && space(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t n = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) n = n * 10 + (text[i] - '0');
  return negative ? -n : n;
}

using Clock = std::chrono::steady_clock;

// The wait for the next data receive: per_receive_ms, cut to what is left of the
// whole-block bound; never negative.
int NextWaitMs(const BlockLimits& limits, Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>(std::max(limits.per_receive_ms, 0), left));
}

}  // namespace

bool ReadTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& first,
                    const BlockLimits& limits) {
  char header[2];
  if (ch.ReceiveWithTimeout(header, sizeof header, limits.first_header_ms) < 2) return false;
  char digits[9];
  if (ch.ReceiveWithTimeout(digits, sizeof digits, limits.digits_ms) < 9) return false;
  const std::int64_t n = ParseBlockLength(digits, sizeof digits);
  if (n <= 0) return false;

  // The first points go to a local copy so a failed read leaves `first` as it was;
  // the rest of the block only passes through the scratch buffer.
  std::array<unsigned char, SPEC_POINTS> kept{};
  std::array<char, kBlockScratchBytes> scratch;
  const std::int64_t keep = std::min<std::int64_t>(n, SPEC_POINTS);
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(limits.whole_block_ms, 0));

  std::int64_t received = 0;
  while (received < n) {
    const int wait = NextWaitMs(limits, deadline);
    if (wait <= 0) break;
    char* into;
    std::int64_t room;
    if (received < keep) {
      into = reinterpret_cast<char*>(kept.data()) + received;
      room = keep - received;
    } else {
      into = scratch.data();
      room = std::min<std::int64_t>(n - received, static_cast<std::int64_t>(scratch.size()));
    }
    const int got = ch.ReceiveWithTimeout(into, static_cast<unsigned>(room), wait);
    if (got <= 0) break;
    // A channel never hands out more than asked; should one, the block is not trusted.
    if (got > room) {
      received = -1;
      break;
    }
    received += got;
  }

  // The block's line end, read whatever happened above so a complete block leaves
  // the stream in step.
  char lineEnd;
  ch.ReceiveWithTimeout(&lineEnd, 1, NextWaitMs(limits, deadline));

  if (received != n || n < SPEC_POINTS) return false;
  first = kept;
  return true;
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

bool RequestTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& data,
                       const BlockLimits& limits) {
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
