#pragma once
// A measured noise spectrum: the window's levels, the true density behind them, and
// what is known about how they were measured.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/cross_spectrum.h"
#include "core/working_state.h"
#include "psd/estimator.h"
#include "spectrum/trace.h"

namespace qvx {

// Per-point flags; the CSV writes them as letters (R, C, W, Q, F, G, T, U).
enum PointFlag : unsigned {
  kFlagRepeatedBin = 1u,   // R: shows the same FFT bin as the point before it
  kFlagClipped = 2u,       // C: its byte was 0 or 255, so the value is only a bound
  kFlagCoarseRbw = 4u,     // W: the RBW of its acquisition is wider than its log bin
  kFlagQuantisation = 8u,  // Q: within 3 dB of the converter's quantisation floor
  kFlagFloor = 16u,        // F: less than 3 dB above the subtracted floor: an upper bound
  kFlagGainOutside = 32u,  // G: beyond the gain file's range, its end value taken
  kFlagTone = 64u,         // T: part of a spectral line (mains, ripple, a spur), not of the noise
  kFlagUpperLimit = 128u,  // U: a cross-spectrum's point whose interval reaches zero: only its upper end is known
};

struct NoisePoint {
  double freq_hz = 0.0;     // the instrument's FFT: lower edge of its step; the time record: its bin's centre
  double level_nv = 0.0;    // the window's level, nV/sqrt(Hz) (the time record: the density at the converter)
  double density_nv = 0.0;  // true density: level / sqrt(ENBW), then corrected
  unsigned flags = 0;
  double dof = 0.0;       // equivalent degrees of freedom; 0 when not known
  double quant_nv = 0.0;  // the 8-bit converter's own density at the point; 0 when not known
};

// An FFT window as the instrument names it, with its equivalent noise bandwidth in bins.
struct FftWindow {
  std::string name;  // short SCPI form: RECT, HANN, HAMM, BLAC, FLAT
  double enbw = 1.0;
};

// Short or long SCPI form in any case ("hann", "HANNing"); nothing for other names.
std::optional<FftWindow> FindFftWindow(std::string_view name);
// Hann, the window the set-up selects.
FftWindow HannWindow();

inline constexpr double kNotKnown = std::numeric_limits<double>::quiet_NaN();

// The 8-bit converter's quantisation floor in nV/sqrt(Hz): one step (8 divisions x scale /
// 256) squared over 12, spread over fs / 2, so step / sqrt(6 fs). Not known without both.
double ConverterFloorNv(double ch1_scale_v, double fs_hz);

struct NoisePoint;
// Flags Q the points (at `indices`, rising, of one acquisition or record) whose surroundings
// lie within 3 dB of the converter's floor.
void FlagConverterFloor(std::vector<NoisePoint>& points, const std::vector<std::size_t>& indices, double floor_nv);

// One instrument acquisition of a measurement.
struct AcquisitionInfo {
  double start_hz = 0.0;
  double end_hz = 0.0;
  double tdiv_s = 0.0;
  double fs_hz = 0.0;
  double rbw_hz = 0.0;
  double fft_scale = 0.0;
  double fft_offset = 0.0;
  int clipped_points = 0;
  double seconds = 0.0;
  double ch1_scale = kNotKnown;           // V/div of the channel, when known
  double converter_floor_nv = kNotKnown;  // the 8-bit converter's density at that scale
};

// One record of the channel's time record, as captured.
struct RecordInfo {
  double fs_hz = 0.0;
  std::size_t points = 0;
  double seconds = 0.0;  // its length, points / fs
  double tdiv_s = 0.0;
  double ch1_scale = 0.0;
  double ch1_offset = 0.0;
  int clipped_points = 0;
  double converter_floor_nv = kNotKnown;
  double lo_hz = 0.0;  // the range of the spectrum it gave
  double hi_hz = 0.0;
  std::string file;  // its raw record's file name, when one was written
  std::uintmax_t file_bytes = 0;
};

// The 0.1-10 Hz noise of data sheets, from the record filtered in time.
struct LfFigures {
  double rms_nv = kNotKnown;
  double pp_median_nv = kNotKnown;
  double pp_max_nv = kNotKnown;
  int windows = 0;
  double psd_rms_nv = kNotKnown;  // the density weighted by the filter's response, as a check
  double rate_hz = 0.0;
  std::vector<double> first_window_v;  // the first 10 s window, for the plot
  // Six windows or more and the density down to 0.1 Hz; anything less is given as it is,
  // with its interval, and said to be short.
  bool covered = false;
  double dof = 0.0;  // of the rms over the filtered record; 0 when not known
  double ci_lo_nv = kNotKnown;
  double ci_hi_nv = kNotKnown;
  bool floor_subtracted = false;  // the rms less a floor run's own, in power
};

// One averaging time of the Allan or Hadamard deviation.
struct DeviationFigure {
  double tau_s = 0.0;
  double dev_v = 0.0;
  double ci_lo_v = 0.0;  // 95 %
  double ci_hi_v = 0.0;
  double edf = 0.0;
  std::string noise;  // "white", "1/f", ...
};

// Random telegraph steps (popcorn noise) in the record.
struct BurstFigures {
  bool detected = false;
  int steps = 0;
  std::vector<double> levels_v;
  double amplitude_v = 0.0;
  double rate_hz = 0.0;  // transitions a second
  std::vector<double> dwell_s;
  std::vector<double> fraction;
};

// The record in time: the longest record's Allan and Hadamard deviations, its drift and its
// bursts, and an envelope of it for a picture.
struct TimeRecordFigures {
  double fs_hz = 0.0;
  double seconds = 0.0;
  std::vector<DeviationFigure> allan;
  std::vector<DeviationFigure> hadamard;
  bool drift_known = false;
  double drift_v_per_s = 0.0;
  double drift_lo_v_per_s = 0.0;
  double drift_hi_v_per_s = 0.0;
  BurstFigures bursts;
  struct Block {
    double t_s, mean_v, lo_v, hi_v;
  };
  std::vector<Block> envelope;
};

// How a spectrum was measured.
enum class SpectrumMethod { kInstrumentFft, kTimeRecord, kCrossSpectrum };
inline constexpr SpectrumMethod kMethodFft = SpectrumMethod::kInstrumentFft;
inline constexpr SpectrumMethod kMethodRecord = SpectrumMethod::kTimeRecord;
inline constexpr SpectrumMethod kMethodCross = SpectrumMethod::kCrossSpectrum;
// "instrument FFT", "time record", "cross-spectrum": as the files and the summary name it.
const char* MethodName(SpectrumMethod method);
std::optional<SpectrumMethod> MethodFromName(std::string_view name);
// "mean", "median".
const char* AveragingName(psd::Averaging averaging);

struct NoiseSpectrum {
  std::vector<NoisePoint> points;  // rising frequency
  double end_hz = 0.0;             // upper edge of the last point's step

  SpectrumMethod method = kMethodFft;
  std::vector<RecordInfo> records;        // the time record's
  psd::Averaging averaging = psd::Averaging::Mean;         // of the time record's periodograms
  double confidence = 0.95;               // of every interval
  std::optional<LfFigures> lf;            // when the capture covers 0.1-10 Hz
  std::optional<TimeRecordFigures> time;  // the time record's, where there is one
  // A cross-spectrum's: one entry a point, and the run's figures.
  std::vector<CrossPointFigures> cross_points;
  std::optional<CrossFigures> cross;

  // The corrections that made the densities input-referred.
  bool input_referred = false;
  bool converter_floor_subtracted = false;  // the converter's own noise taken out in power
  std::string gain_text;                    // "gain 40 dB (x100)", "" without a gain
  double gain_ratio_1hz = 1.0;              // the gain at 1 Hz (the 0.1-10 Hz figures use it)
  std::string floor_source;                 // the floor file subtracted, "" for none
  int floor_under_3db = 0;                  // points less than 3 dB above that floor (flagged F)
  int floor_under_10db = 0;                 // ... and less than 10 dB above it

  FftWindow window = HannWindow();
  std::string window_source = "assumed";  // "instrument" when the instrument said so
  int averages = 0;                       // 0: not known
  int ppd = 10;                           // log points per decade (also for the W flag)
  std::string filter;                     // video filter of the levels, "" when none/unknown
  std::vector<AcquisitionInfo> acquisitions;
  // A measurement that stopped before its end: what was measured, and why it stopped.
  bool partial = false;
  std::string partial_reason;
  std::string date;  // when it was measured, "2026-12-09 04:10", "" when not known
  std::string idn;   // instrument identification, "" when not measured here
  std::string addr;  // the address the user gave
  std::string source_file;
};

// Width of the frequency step point i stands for: up to the next point, the last up to end_hz.
double PointWidth(const NoiseSpectrum& s, std::size_t i);

// The cell of frequencies point i stands for: on the instrument's FFT from its frequency up
// to the next point; on the time record, a bin centred on it, halfway to its neighbours; on a
// cross-spectrum, its log bin.
double CellLow(const NoiseSpectrum& s, std::size_t i);
double CellHigh(const NoiseSpectrum& s, std::size_t i);

// Recomputes every density from its level with `window`'s ENBW.
void SetFftWindow(NoiseSpectrum& s, const FftWindow& window);

// Log bin j of P per decade is [10^(j/P), 10^((j+1)/P)); the bin of f > 0.
int LogBinIndex(double freq_hz, int ppd);
double LogBinLow(int j, int ppd);

// Appends one trace in the window's layout: its SPEC_POINTS points, with `levels` (the window's
// levels, or a filtered copy) and flags from the trace `bytes` and its RBW. Sets end_hz to
// the trace's end.
void AppendTrace(NoiseSpectrum& out, const Trace& t, const std::array<double, SPEC_POINTS>& levels,
                 const std::array<unsigned char, SPEC_POINTS>& bytes);

// The window's buffer as a spectrum: its 1000 points with `levels` (the buffer's own, or
// through the video filter named `filter`), clipping found from the unfiltered buffer, and
// how they were measured.
NoiseSpectrum SpectrumFromWindow(const Trace& t, const std::array<double, SPEC_POINTS>& levels, const FftWindow& window,
                                 int averages, std::string filter);

// The levels of the window's buffer.
std::array<double, SPEC_POINTS> LevelsOf(const SpectrumBuffer& data);

// The bytes the window's unfiltered levels were converted from (the conversion run
// backwards with the trace's scale, offset and RBW); all 128 when the RBW is not positive.
std::array<unsigned char, SPEC_POINTS> TraceBytesOf(const Trace& t);

}  // namespace qvx
