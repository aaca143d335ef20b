#pragma once
// The settings of the simulated instrument that commands change and queries report.
#include <string>

namespace qvx::sim {

// Enumerated settings hold the short upper-case form the instrument reports ("HANN").
struct SimState {
  double start_hz = 0.0;       // FFT start frequency
  double end_hz = 100000.0;    // FFT end frequency
  int avcnt = 32;              // FFT averaging count, 1..64
  double fft_scale = 1e-8;     // FFT vertical scale, V/div
  double fft_offset = -7e-8;   // FFT vertical offset, V
  double ch1_scale = 0.0002;   // channel 1 vertical scale, V/div (100 uV ... 10 V)
  double ch1_offset = 0.0;     // channel 1 offset, V added to the input before the converter
  bool ch2_display = false;    // channel 2 on: it records beside channel 1
  double ch2_scale = 0.0002;   // channel 2 vertical scale, V/div
  double ch2_offset = 0.0;     // channel 2 offset, V
  double tdiv = 0.01;          // timebase, s/div
  double mdepth_points = 1e6;  // memory depth, points
  double probe = 10.0;         // channel 1 probe ratio
  std::string impedance = "OMEG";
  bool math_display = false;
  std::string math_operator = "ADD";
  std::string fft_source = "CHAN1";
  std::string window = "HANN";
  std::string unit = "DB";
  std::string wav_source = "CHAN1";
  std::string wav_mode = "NORM";
  std::string wav_format = "BYTE";
  double wav_start = 1.0;      // first record point a raw read returns, 1-based
  double wav_stop = 250000.0;  // last one, inclusive
};

}  // namespace qvx::sim
