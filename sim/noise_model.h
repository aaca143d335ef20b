#pragma once
// The physics behind the simulated FFT trace: what a real instrument's FFT, calibrated for
// sine waves, shows of a noise source with a white floor, a 1/f corner and a few tones.
//
// Rectangular-window bins Z_k of stationary Gaussian noise are independent complex Gaussians
// with E|Z_k|^2 = S(f_k) Fs/N, S the one-sided density (source plus the converter's
// quantisation). The window turns them into X_k = sum c_m Z_(k+m) (fft_window.h), so noise
// reads sqrt(ENBW) high while an on-bin sine reads its Vrms. Tones add their rectangular
// response sinc(j - f0/df) e^(-i pi (j - f0/df)) with a fresh random phase every frame. The
// instrument averages the power of K frames. Only the bins that the displayed points need
// are generated.
#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim_state.h"

namespace qvx::sim {

inline constexpr int kTracePoints = 1000;  // displayed points across the span
inline constexpr double kMaxSampleRate = 1e9;
inline constexpr double kMaxSampleRateTwoChannels = 5e8;
inline constexpr int kMaxAverages = 64;

struct Tone {
  double freq_hz = 0.0;
  double vrms = 0.0;
};

struct NoiseModel {
  double white_nv = 20.0;    // white density, nV/sqrt(Hz)
  double corner_hz = 200.0;  // 1/f corner frequency
  // Inside the default 0..100 kHz span, at levels the default scale and offset can show.
  std::vector<Tone> tones = {{10000.0, 5e-8}, {25000.0, 7e-8}, {60000.0, 6e-8}};
  std::uint64_t seed = 1;
  // Frames arrive one per record time x time_scale after the average restarts, and a single
  // record fills in its record time x time_scale; 0: at once.
  double time_scale = 0.0;
  double gain = 1.0;         // a preamplifier in front of the channel: the source, tones and DC times this
  double frontend_nv = 0.0;  // the channel's own white input noise, nV/sqrt(Hz), after the gain
  double dc_v = 0.0;         // a DC level of the source, V
  // Channel 2 sees the same circuit through its own preamplifier and adds its own front end;
  // unset, each is channel 1's.
  std::optional<double> gain2;
  std::optional<double> frontend2_nv;
  // A white noise both channels pick up after their preamplifiers (a ground loop), nV/sqrt(Hz);
  // channel 2 sees it times common_sign (+1 or -1).
  double common_nv = 0.0;
  double common_sign = 1.0;
  // A random telegraph signal of the circuit between -rts_v/2 and +rts_v/2, leaving each level
  // at rts_rate_hz (exponential dwells of mean 1 / rate), before the preamplifiers.
  double rts_v = 0.0;
  double rts_rate_hz = 0.0;
  // A linear drift of the circuit, V/s, before the preamplifiers: 0 at each record's first
  // sample. Time records only; the FFT trace leaves it out.
  double drift_v_per_s = 0.0;
};

// The preamplifier's gain and the front end's white noise (nV/sqrt(Hz)) of channel 1 or 2.
double ChannelGain(const NoiseModel& model, int channel);
double FrontendNv(const NoiseModel& model, int channel);

// Samples per second: memory depth over ten divisions of the timebase, at most 1 GSa/s, or
// 500 MSa/s with channel 2 on.
double SampleRate(const SimState& state);

// The FFT length: the smallest power of two not below the samples on screen, at least 2.
double FftPoints(const SimState& state);

// Width of one FFT bin, Hz.
double BinWidth(const SimState& state);

// Time of one record (one FFT frame): ten divisions of the timebase, s.
double RecordTime(const SimState& state);

// The end frequency a trace shows: the one set, but at most Fs/2.
double DisplayedEnd(const SimState& state);

// Noise density of the source in nV/sqrt(Hz) at frequency f (f below 1 Hz counts as 1 Hz).
double NoiseDensity(const NoiseModel& model, double freq_hz);

// One-sided density of a symmetric telegraph signal between -v/2 and +v/2 that leaves each
// level at `rate` a second, V^2/Hz: its autocorrelation (v/2)^2 e^(-2 rate |tau|) gives
// 2 v^2 rate / (4 rate^2 + (2 pi f)^2), whose integral over f >= 0 is (v/2)^2.
double TelegraphDensity(double v, double rate_hz, double freq_hz);

// The circuit's Gaussian density, V^2/Hz, white^2 (1 + corner / f) taken at f itself (the
// time record resolves far below 1 Hz).
double SourceDensity(const NoiseModel& model, double freq_hz);

// One-sided density at channel 1's (or 2's) converter, V^2/Hz: gain^2 (source + telegraph)
// + frontend^2 + common^2.
double ConverterDensity(const NoiseModel& model, double freq_hz, int channel = 1);

// The two converters' cross-spectral density (real: both see the same signals in phase),
// gain1 gain2 (source + telegraph) + common_sign common^2.
double CrossDensity(const NoiseModel& model, double freq_hz);

// The 8-bit converter's noise: one step (8 divisions x channel-1 scale / 256) squared over 12,
// spread over Fs/2, in V^2/Hz.
double QuantisationDensity(const SimState& state);

// The FFT bin that trace point i shows: the one nearest to start + i (end - start) / 1000.
double PointBin(const SimState& state, std::size_t index);

// The rms reading of trace point i over many frames: noise through the window plus tones.
double TruePointVrms(const NoiseModel& model, const SimState& state, std::size_t index);

// One frame's windowed, sine-calibrated bins X_first ... X_(first+count-1), each as the
// complex value whose magnitude the instrument shows (the 0 Hz and Fs/2 bins show |X|/sqrt 2).
std::vector<std::complex<double>> FrameBins(const NoiseModel& model, const SimState& state, double first,
                                            std::size_t count, std::mt19937_64& rng);

// Auto draws each point's K-frame power average straight from its distribution where the
// displayed bins share no rectangular bin, frame by frame elsewhere; Frames always draws
// frame by frame (to check the two against each other).
enum class TracePath { Auto, Frames };

// The Vrms readings of `points` trace points averaged over `frames` frames (1..64).
std::vector<double> TraceLevels(const NoiseModel& model, const SimState& state, std::size_t points, int frames,
                                std::mt19937_64& rng, TracePath path = TracePath::Auto);

// Byte encoding of the trace: b = 128 + 32 (V + offset) / scale, rounded, clamped to 0..255.
std::uint8_t EncodeByte(double vrms, double scale, double offset);
double DecodeByte(std::uint8_t byte, double scale, double offset);

// One trace of `points` bytes with fresh random draws, averaged over `frames` frames
// (0: the state's averaging count).
std::string GenerateTrace(const NoiseModel& model, const SimState& state, std::size_t points, std::mt19937_64& rng,
                          int frames = 0);

}  // namespace qvx::sim
