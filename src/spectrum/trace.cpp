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
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (i < size && space(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t n = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) n = n * 10 + (text[i] - '0');
  return negative ? -n : n;
}

using Clock = std::chrono::steady_clock;

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(std::max(ms, 0)); }

// A wait of at most capMs that ends by the deadline; never negative.
int WaitMs(Clock::time_point deadline, int capMs) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::max(capMs, 0)));
}

// The wait for the next data receive: per_receive_ms, cut to what is left of the
// whole-block bound.
int NextWaitMs(const BlockLimits& limits, Clock::time_point deadline) {
  return WaitMs(deadline, limits.per_receive_ms);
}

// Receives exactly `size` bytes over as many receives as arrive within `boundMs`.
// Returns how many arrived; fewer than `size` when the bound passed, the peer
// closed or the channel failed.
std::size_t Gather(InstrumentChannel& ch, char* into, std::size_t size, int boundMs) {
  const auto deadline = After(boundMs);
  std::size_t got = 0;
  while (got < size) {
    const int n = ch.ReceiveWithTimeout(into + got, static_cast<unsigned>(size - got), WaitMs(deadline, boundMs));
    if (n <= 0 || static_cast<std::size_t>(n) > size - got) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// After a failed read: whatever the instrument still sends of its reply would
// otherwise be read as the answer to the next query. Discards bytes until a quiet
// gap, within a bound, so a chattering peer cannot hold the window.
void Drain(InstrumentChannel& ch, const BlockLimits& limits) {
  std::array<char, kBlockScratchBytes> scratch;
  const auto deadline = After(limits.drain_max_ms);
  for (;;) {
    const int wait = WaitMs(deadline, limits.drain_quiet_ms);
    if (wait <= 0) return;
    if (ch.ReceiveWithTimeout(scratch.data(), static_cast<unsigned>(scratch.size()), wait) <= 0) return;
  }
}

// The block proper; false when it failed, wherever the stream then stands.
bool ReadBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& first, const BlockLimits& limits) {
  char header[2];
  if (Gather(ch, header, sizeof header, limits.first_header_ms) < sizeof header) return false;
  char digits[9];
  if (Gather(ch, digits, sizeof digits, limits.digits_ms) < sizeof digits) return false;
  const std::int64_t n = ParseBlockLength(digits, sizeof digits);
  // A length of 0 or less has no data; its line end goes with the drain.
  if (n <= 0) return false;

  // The first points go to a local copy so a failed read leaves `first` as it was;
  // the rest of the block only passes through the scratch buffer.
  std::array<unsigned char, SPEC_POINTS> kept{};
  std::array<char, kBlockScratchBytes> scratch;
  const std::int64_t keep = std::min<std::int64_t>(n, SPEC_POINTS);
  const auto deadline = After(limits.whole_block_ms);

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

}  // namespace

bool ReadTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& first, const BlockLimits& limits) {
  if (ReadBlock(ch, first, limits)) return true;
  Drain(ch, limits);
  return false;
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
