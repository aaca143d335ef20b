#pragma once
// Reading the instrument's FFT trace and turning it into the spectrum buffer.
#include <array>
#include <cstddef>
#include <functional>

#include "core/working_state.h"
#include "link/instrument_channel.h"

namespace qvx {

// Trace value in volts of one data byte: 128 is the display centre, 32 steps
// are one division of the FFT scale.
double ByteToVolts(int b, double FftScale, double FftOffset);

// nV -> nV/sqrt(Hz). 0 when Rbw is 0 or not a number.
double VoltsToDensity(double nanovolts, double Rbw);

// Waits of the block read. The two header bytes and the nine length digits may
// come in any number of pieces within first_header_ms and digits_ms. A data
// receive waits at most per_receive_ms and never past whole_block_ms from the
// start of the data; reaching either counts as a receive that got nothing. After a
// failed read, bytes are discarded until drain_quiet_ms pass without one, for at
// most drain_max_ms.
struct BlockLimits {
  int first_header_ms = 2000;
  int digits_ms = 1000;
  int per_receive_ms = 2000;
  int whole_block_ms = 30000;
  int drain_quiet_ms = 200;
  int drain_max_ms = 5000;
};

// Bytes past the first SPEC_POINTS are read through this much scratch, so memory
// does not grow with the size a block announces.
inline constexpr std::size_t kBlockScratchBytes = 16 * 1024;

// Reads one definite-length block ("#9", nine length digits, n data bytes, one
// line end) and keeps its first SPEC_POINTS data bytes in `first`. The whole
// block and its line end are consumed even when it is longer than needed, or
// shorter than SPEC_POINTS. Returns false, leaving `first` untouched, for a short
// header, a length that is not positive, a block that did not arrive complete in
// time, or one with fewer than SPEC_POINTS data bytes; then what the instrument
// still sends is discarded, so the next query reads the instrument's own reply.
bool ReadTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& first,
                    const BlockLimits& limits = {});

// One trace as the window holds it, apart from the rest of the window's state: its points,
// the span, scale and offset it was converted with, and the acquisition behind it.
struct Trace {
  double start_hz = 0.0;
  double end_hz = 0.0;
  double rbw_hz = 0.0;
  double fs_hz = 0.0;
  double fft_scale = 0.0;
  double fft_offset = 0.0;
  double tdiv_s = 0.0;     // 0 when not known
  double ch1_scale = 0.0;  // V/div; 0 when not known
  SpectrumBuffer points{};
};
Trace TraceOf(const WorkingState& s);

// Converts all SPEC_POINTS bytes into s.SpecData with s's current Startf, Endf,
// FftScale, FftOffset and Rbw. Each point gets the lower edge of its frequency step.
void ConvertTrace(const std::array<unsigned char, SPEC_POINTS>& data, WorkingState& s);

// The pauses of an acquisition: before the data query, and between it and the read.
inline constexpr int kTraceQueryPauseMs = 500;
inline constexpr int kTraceReadPauseMs = 1000;

// Selects MATH1 as the byte trace source, asks for the data and reads the block into
// `data` (see ReadTraceBlock). Programs that need the bytes themselves start here.
bool RequestTraceBlock(InstrumentChannel& ch, std::array<unsigned char, SPEC_POINTS>& data,
                       const BlockLimits& limits = {});

// The whole acquisition: RequestTraceBlock, then the status and the conversion. A failed read returns silently with
// nothing changed. Otherwise readStatus() refreshes the status values (an exception from it leaves SpecData unchanged),
// the trace is converted with them, and plot() draws it.
void FetchTrace(InstrumentChannel& ch, WorkingState& s, const std::function<void()>& readStatus,
                const std::function<void()>& plot, const BlockLimits& limits = {});

}  // namespace qvx
