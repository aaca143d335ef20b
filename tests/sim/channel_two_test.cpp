// Channel 2 beside channel 1: its commands and limits, one :SINGle recording both channels
// from one realisation of the circuit, the ground loop, the telegraph signal and the drift.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "instrument.h"
#include "time_record.h"

namespace {

using namespace std::chrono_literals;

// Everything a reply sends, as bytes.
std::string Bytes(const qvx::sim::Reply& reply) {
  std::string bytes;
  for (const auto& piece : reply.pieces) {
    bytes += piece.bytes;
    if (piece.shared) bytes += piece.shared->substr(piece.shared_offset, piece.shared_length);
  }
  return bytes;
}

std::string Ask(qvx::sim::Instrument& instrument, std::string_view line) { return Bytes(instrument.Execute(line)); }

bool WaitForStop(qvx::sim::Instrument& instrument) {
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until) {
    if (Ask(instrument, ":TRIG:STAT?") == "STOP\n") return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

constexpr const char* kNoError = "0,\"No error\"\n";

// A record's volts, read as a client reads them: the preamble, then blocks of 250 000 points.
std::vector<double> ReadVolts(qvx::sim::Instrument& instrument, const char* source) {
  instrument.Execute(std::string(":WAV:SOUR ") + source);
  std::vector<double> field;
  std::stringstream preamble(Ask(instrument, ":WAV:PRE?"));
  for (std::string item; std::getline(preamble, item, ',');) field.push_back(std::stod(item));
  std::vector<double> volts;
  if (field.size() != 10) return volts;
  const auto total = static_cast<std::size_t>(field[2]);
  for (std::size_t first = 1; first <= total; first += 250000) {
    instrument.Execute(":WAV:STAR " + std::to_string(first));
    instrument.Execute(":WAV:STOP " + std::to_string(std::min(total, first + 249999)));
    const std::string block = Ask(instrument, ":WAV:DATA?");
    for (std::size_t i = 11; i + 1 < block.size(); ++i) {
      volts.push_back((static_cast<unsigned char>(block[i]) - field[8] - field[9]) * field[7]);
    }
  }
  return volts;
}

std::vector<double> Volts(const std::string& codes, double scale, double offset) {
  std::vector<double> volts;
  for (const char c : codes) volts.push_back((static_cast<unsigned char>(c) - 128.0) * scale / 32.0 - offset);
  return volts;
}

// Welch (Hann, 50 % overlap, segment means removed) of two records at once: one-sided
// Sxx, Syy and Sxy = X conj(Y), V^2/Hz, at df = fs / nperseg.
struct Cross {
  double df;
  std::vector<double> xx, yy;
  std::vector<std::complex<double>> xy;
  // The mean over the bins in [lo, hi] of value(k, f).
  double Band(double lo, double hi, const std::function<double(std::size_t, double)>& value) const {
    double sum = 0;
    int count = 0;
    for (std::size_t k = 1; k < xx.size(); ++k) {
      if (k * df < lo || k * df > hi) continue;
      sum += value(k, k * df);
      ++count;
    }
    return count > 0 ? sum / count : NAN;
  }
};
Cross Welch(const std::vector<double>& x, const std::vector<double>& y, double fs, std::size_t nperseg) {
  const std::size_t bins = nperseg / 2 + 1;
  std::vector<double> window(nperseg);
  double sum_w2 = 0;
  for (std::size_t n = 0; n < nperseg; ++n) {
    window[n] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / nperseg);
    sum_w2 += window[n] * window[n];
  }
  std::unique_ptr<double, decltype(&fftw_free)> in(fftw_alloc_real(nperseg), fftw_free);
  std::unique_ptr<fftw_complex, decltype(&fftw_free)> out(fftw_alloc_complex(2 * bins), fftw_free);
  std::unique_ptr<fftw_plan_s, decltype(&fftw_destroy_plan)> plan(
      fftw_plan_dft_r2c_1d(static_cast<int>(nperseg), in.get(), out.get(), FFTW_ESTIMATE), fftw_destroy_plan);
  const auto* bin = reinterpret_cast<const std::complex<double>*>(out.get());
  Cross s{fs / nperseg, std::vector<double>(bins), std::vector<double>(bins), std::vector<std::complex<double>>(bins)};
  std::vector<std::complex<double>> a(bins);
  std::size_t segments = 0;
  for (std::size_t at = 0; at + nperseg <= std::min(x.size(), y.size()); at += nperseg / 2, ++segments) {
    for (const auto* v : {&x, &y}) {
      const double mean = std::accumulate(v->begin() + at, v->begin() + at + nperseg, 0.0) / nperseg;
      for (std::size_t n = 0; n < nperseg; ++n) in.get()[n] = ((*v)[at + n] - mean) * window[n];
      fftw_execute(plan.get());
      if (v == &x) std::copy(bin, bin + bins, a.begin());
    }
    for (std::size_t k = 0; k < bins; ++k) {
      s.xx[k] += std::norm(a[k]);
      s.yy[k] += std::norm(bin[k]);
      s.xy[k] += a[k] * std::conj(bin[k]);
    }
  }
  const double norm = 2.0 / (fs * sum_w2 * static_cast<double>(segments));
  for (std::size_t k = 0; k < bins; ++k) {
    s.xx[k] *= norm;
    s.yy[k] *= norm;
    s.xy[k] *= norm;
  }
  return s;
}

qvx::sim::NoiseModel Quiet() {
  qvx::sim::NoiseModel noise;
  noise.tones.clear();
  return noise;
}

std::uint64_t Fnv1a(const std::string& bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// Channel 1 alone, at a fixed seed: two records (tones, DC, gain, front end), their preambles
// and an FFT trace after them, hashed as a client receives them. The value was taken before
// channel 2 existed; with channel 2 off nothing may change by a byte.
TEST(ChannelTwo, ChannelOneAloneIsByteForByteWhatItWas) {
  qvx::sim::NoiseModel noise;
  noise.gain = 10;
  noise.frontend_nv = 50;
  noise.dc_v = 1e-3;
  noise.seed = 42;
  qvx::sim::Instrument instrument(noise);
  std::uint64_t hash = Fnv1a("");
  for (const char* line : {":WAV:SOUR CHAN1", ":WAV:MODE RAW", ":ACQ:MDEP 100000", ":TIM:MAIN:SCAL 1e-3",
                           ":CHAN1:SCAL 2e-3", ":CHAN1:OFFS -1e-2", ":SINGle"}) {
    instrument.Execute(line);
  }
  ASSERT_TRUE(WaitForStop(instrument));
  const std::string first_record = Ask(instrument, ":WAV:DATA?");
  ASSERT_EQ(first_record.size(), 11u + 100000u + 1u);
  hash = Fnv1a(first_record, hash);
  hash = Fnv1a(Ask(instrument, ":WAV:PRE?"), hash);
  for (const char* line : {":ACQ:MDEP 1000000", ":TIM:MAIN:SCAL 1e-1", ":CHAN1:SCAL 1e-3", ":SINGle"}) {
    instrument.Execute(line);
  }
  ASSERT_TRUE(WaitForStop(instrument));
  for (int first = 1; first <= 1000000; first += 250000) {
    instrument.Execute(":WAV:STAR " + std::to_string(first));
    instrument.Execute(":WAV:STOP " + std::to_string(first + 249999));
    const std::string chunk = Ask(instrument, ":WAV:DATA?");
    ASSERT_EQ(chunk.size(), 11u + 250000u + 1u);
    hash = Fnv1a(chunk, hash);
  }
  hash = Fnv1a(Ask(instrument, ":WAV:PRE?"), hash);
  instrument.Execute(":WAV:MODE NORM");
  hash = Fnv1a(Ask(instrument, ":WAV:DATA?"), hash);
  EXPECT_EQ(hash, 17934508052707089797ull);
}

TEST(ChannelTwo, CommandsAndTheMemoryTheChannelsShare) {
  qvx::sim::Instrument instrument;
  // {command (empty: none), query, reply, error the command queues (empty: none)}
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"", ":CHANnel2:DISPlay?", "0", ""},
      {":CHANnel2:SCALe 0.5", ":CHAN2:SCAL?", "5.000000E-01", ""},
      {"chan2:scal 50", ":CHANnel2:SCALe?", "1.000000E+01", ""},  // clamped, as channel 1
      {":CHAN2:SCAL 1e-9", ":CHAN2:SCAL?", "1.000000E-04", ""},
      {":CHAN2:OFFSet -0.25", ":chan2:offs?", "-2.500000E-01", ""},
      {":CHAN2:OFFS 2000", ":CHAN2:OFFS?", "-2.500000E-01", "-222"},
      {"", ":CHAN1:SCAL?", "2.000000E-04", ""},  // channel 1 untouched
      {":ACQ:MDEP 5000000", ":ACQ:MDEP?", "1000000", "-224"},
      {":ACQ:MDEP 10000000", ":ACQ:MDEP?", "10000000", ""},
      {":TIM:MAIN:SCAL 1e-4", ":ACQ:SRAT?", "1.000000E+09", ""},
      {":CHANnel2:DISPlay ON", ":ACQ:MDEP?", "5000000", ""},  // the deepest setting halves
      {"", ":ACQuire:SRATe?", "5.000000E+08", ""},
      {"", ":CHAN2:DISP?", "1", ""},
      {":ACQ:MDEP 10000000", ":ACQ:MDEP?", "5000000", "-224"},
      {":ACQ:MDEP 1M", ":ACQ:MDEP?", "1000000", ""},
      {":chan2:disp off", ":ACQ:MDEP?", "1000000", ""},  // other depths stay
      {":CHAN2:DISP 1", ":CHAN2:DISP?", "1", ""},
      {":ACQ:MDEP 5M", ":ACQ:MDEP?", "5000000", ""},
      {":CHAN2:DISP 0", ":ACQ:MDEP?", "10000000", ""},  // and doubles back
      {":CHAN2:DISP 2", ":CHAN2:DISP?", "0", "-224"},
      {":WAV:SOUR chan2", ":WAVeform:SOURce?", "CHAN2", ""},
      {":WAVeform:SOURce CHANnel1", ":WAV:SOUR?", "CHAN1", ""},
      {":WAVeform:SOURce CHANnel2", ":WAV:SOUR?", "CHAN2", ""},
      {":CHAN2:DISP ON", ":CHAN2:DISP?", "1", ""},
      {"*RST", ":CHAN2:DISP?", "0", ""},
  };
  for (const auto& [command, query, reply, error] : rows) {
    if (*command) instrument.Execute(command);
    EXPECT_EQ(Ask(instrument, query), std::string(reply) + "\n") << command;
    const std::string queued = Ask(instrument, ":SYST:ERR?");
    EXPECT_EQ(queued.substr(0, *error ? 4 : std::string::npos), *error ? error : kNoError) << command;
  }
}

TEST(ChannelTwo, PreamblePointsCountTheRecordOrTheReadWindow) {
  auto faults = qvx::sim::FaultSettings{};
  qvx::sim::Instrument instrument(Quiet());
  for (const char* line : {":WAV:MODE RAW", ":ACQ:MDEP 1000", ":SINGle"}) instrument.Execute(line);
  ASSERT_TRUE(WaitForStop(instrument));
  // {STARt, STOP, points in window mode}; the record mode always says 1000.
  const std::tuple<int, int, int> rows[] = {{1, 1000, 1000}, {101, 300, 200}, {901, 5000, 100}, {500, 499, 0}};
  for (const auto& [start, stop, window] : rows) {
    instrument.Execute(":WAV:STAR " + std::to_string(start));
    instrument.Execute(":WAV:STOP " + std::to_string(stop));
    for (const auto mode : {qvx::sim::PreamblePoints::Record, qvx::sim::PreamblePoints::Window}) {
      faults.preamble_points = mode;
      instrument.SetFaults(faults);
      const std::string preamble = Ask(instrument, ":WAV:PRE?");
      const int expected = mode == qvx::sim::PreamblePoints::Record ? 1000 : window;
      EXPECT_EQ(preamble.substr(0, preamble.find(',', 4)), "0,2," + std::to_string(expected)) << start << ".." << stop;
    }
  }
  // The record was taken with channel 2 off: it has no channel 2.
  instrument.Execute(":WAV:SOUR CHAN2");
  EXPECT_EQ(Ask(instrument, ":WAV:DATA?"), "#9000000000\n");
  EXPECT_EQ(Ask(instrument, ":SYST:ERR?"), "-221,\"Settings conflict;channel not recorded\"\n");
}

// One :SINGle, both channels: the circuit's noise through both gains is the cross-spectrum's
// real part, each channel's own front end stays out of it.
TEST(ChannelTwo, OneSingleRecordsTheCircuitCorrelatedAsTheGainsSay) {
  auto noise = Quiet();
  noise.corner_hz = 2000;
  noise.gain = 10;
  noise.gain2 = 20;
  noise.frontend_nv = 200;
  noise.frontend2_nv = 400;
  noise.dc_v = 1e-4;
  noise.tones = {{300e3, 1e-6}};
  qvx::sim::Instrument instrument(noise);
  for (const char* line :
       {":CHAN2:DISP ON", ":WAV:MODE RAW", ":ACQ:MDEP 1000000", ":TIM:MAIN:SCAL 0.1", ":CHAN1:SCAL 5e-4",
        ":CHAN1:OFFS -1e-3", ":CHAN2:SCAL 1e-3", ":CHAN2:OFFS -2e-3", ":SINGle"}) {
    instrument.Execute(line);
  }
  ASSERT_TRUE(WaitForStop(instrument));
  const std::vector<double> x = ReadVolts(instrument, "CHANnel1");
  const std::vector<double> y = ReadVolts(instrument, "chan2");
  ASSERT_EQ(x.size(), 1000000u);
  ASSERT_EQ(y.size(), 1000000u);
  // Channel 2's preamble carries its own scale and offset: the DC level reads gain x DC on each.
  EXPECT_NEAR(std::accumulate(x.begin(), x.end(), 0.0) / x.size(), 1e-3, 2e-5);
  EXPECT_NEAR(std::accumulate(y.begin(), y.end(), 0.0) / y.size(), 2e-3, 4e-5);

  const double fs = 1e6;
  const Cross s = Welch(x, y, fs, 4096);
  const auto circuit = [](double f) { return 400e-18 * (1 + 2000 / f); };  // 20 nV/sqrt(Hz), corner 2 kHz
  for (const auto& [lo, hi, tolerance] : {std::tuple{500.0, 2000.0, 0.1}, std::tuple{50e3, 200e3, 0.03}}) {
    EXPECT_NEAR(s.Band(lo, hi, [&](std::size_t k, double f) { return s.xy[k].real() / (10 * 20 * circuit(f)); }), 1.0,
                tolerance)
        << lo << " Hz";
    EXPECT_NEAR(s.Band(lo, hi, [&](std::size_t k, double f) { return s.xx[k] / (100 * circuit(f) + 4e-14); }), 1.0,
                tolerance);
    EXPECT_NEAR(s.Band(lo, hi, [&](std::size_t k, double f) { return s.yy[k] / (400 * circuit(f) + 16e-14); }), 1.0,
                tolerance);
  }
  // White band: circuit 200 and 400 nV at the converters beside front ends of 200 and 400 nV,
  // so the coherence is (200 x 400)^2 / (2 x 200^2 x 2 x 400^2) = 1/4; Im Sxy is only scatter.
  EXPECT_NEAR(s.Band(50e3, 200e3, [&](std::size_t k, double) { return std::norm(s.xy[k]) / (s.xx[k] * s.yy[k]); }),
              0.25, 0.02);
  EXPECT_NEAR(s.Band(50e3, 200e3, [&](std::size_t k, double) { return s.xy[k].imag() / std::sqrt(s.xx[k] * s.yy[k]); }),
              0.0, 0.01);

  double tone1 = 0;
  double tone2 = 0;
  for (std::size_t k = 1226; k <= 1232; ++k) {  // 300 kHz is bin 1228.8
    tone1 += s.xx[k];
    tone2 += s.yy[k];
  }
  EXPECT_NEAR(tone2 / tone1, 4.0, 0.1) << "the tone times each gain";

  const qvx::sim::RecordLayout small{1e4, 10000, 1e-3, 0.0};
  EXPECT_EQ(qvx::sim::GenerateRecordPair(noise, small, {2e-3, 0.0}, 9).channel1,
            qvx::sim::GenerateRecord(noise, small, 9))
      << "channel 1 is what it would be with channel 2 off";
}

// A ground loop both channels share adds to the cross-spectrum, or with opposite signs
// cancels the circuit's part of it.
TEST(ChannelTwo, AGroundLoopOfOppositeSignCancelsTheCorrelatedPart) {
  auto noise = Quiet();
  noise.corner_hz = 0;
  noise.gain = 10;        // 200 nV/sqrt(Hz) of circuit at each converter
  noise.common_nv = 200;  // as much again from the ground loop
  const qvx::sim::RecordLayout layout{1e6, 1000000, 5e-4, 0.0};
  for (const auto& [sign, ratio] : {std::pair{1.0, 2.0}, std::pair{-1.0, 0.0}}) {
    noise.common_sign = sign;
    const auto pair = qvx::sim::GenerateRecordPair(noise, layout, {5e-4, 0.0}, 3);
    const Cross s = Welch(Volts(pair.channel1, 5e-4, 0), Volts(pair.channel2, 5e-4, 0), 1e6, 4096);
    EXPECT_NEAR(s.Band(20e3, 200e3, [&](std::size_t k, double) { return s.xy[k].real() / 4e-14; }), ratio, 0.05)
        << "sign " << sign;
    EXPECT_NEAR(s.Band(20e3, 200e3, [&](std::size_t k, double) { return s.yy[k] / 8e-14; }), 1.0, 0.05);
  }
}

// The telegraph signal from a record: two levels V apart times each gain, switching at the same
// samples on both channels, at the rate and with the dwells and spectrum it was given.
TEST(ChannelTwo, TelegraphLevelsDwellsRateAndSpectrum) {
  auto noise = Quiet();
  noise.white_nv = 0;
  noise.gain = 2;
  noise.gain2 = 3;
  noise.rts_v = 1e-3;
  noise.rts_rate_hz = 100;
  const double fs = 1e4;
  const qvx::sim::RecordLayout layout{fs, 1000000, 1e-3, 0.0};  // 100 s, 32 codes to 1 mV
  const auto pair = qvx::sim::GenerateRecordPair(noise, layout, {2e-3, 0.0}, 5);
  const std::string& one = pair.channel1;
  std::vector<std::size_t> switches;
  for (std::size_t i = 1; i < one.size(); ++i) {
    if (one[i] != one[i - 1]) switches.push_back(i);
    ASSERT_TRUE(one[i] == 128 - 32 || one[i] == static_cast<char>(128 + 32)) << "+-1 mV at gain 2, sample " << i;
    ASSERT_EQ(pair.channel2[i] == 128 - 24, one[i] == 128 - 32) << "the same switching on channel 2, sample " << i;
  }
  const double seconds = one.size() / fs;
  EXPECT_NEAR(switches.size() / seconds, 100, 5) << "switches a second";
  std::array<double, 2> dwell{};
  std::array<double, 2> runs{};
  for (std::size_t i = 1; i < switches.size(); ++i) {
    const int level = one[switches[i - 1]] == 128 - 32 ? 0 : 1;
    dwell[level] += (switches[i] - switches[i - 1]) / fs;
    runs[level] += 1;
  }
  // On the grid a dwell is geometric with a mean of dt / p, p = (1 - e^(-2 rate dt)) / 2
  // (10.1 ms), and about as much spread: 4 sigma of the mean.
  const double expected = 2 / fs / -std::expm1(-2 * 100 / fs);
  for (const int level : {0, 1}) {
    EXPECT_NEAR(dwell[level] / runs[level], expected, 4 * expected / std::sqrt(runs[level])) << "level " << level;
  }

  std::vector<double> v = Volts(one, 1e-3, 0);
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
  double lag0 = 0;
  double lag50 = 0;  // 2 rate tau = 1
  for (std::size_t i = 0; i + 50 < v.size(); ++i) {
    lag0 += (v[i] - mean) * (v[i] - mean);
    lag50 += (v[i] - mean) * (v[i + 50] - mean);
  }
  EXPECT_NEAR(lag50 / lag0, std::exp(-1.0), 0.03) << "autocorrelation (V/2)^2 e^(-2 rate tau)";
  const Cross s = Welch(v, v, fs, 4096);
  EXPECT_NEAR(
      s.Band(5, 300, [&](std::size_t k, double f) { return s.xx[k] / (4 * qvx::sim::TelegraphDensity(1e-3, 100, f)); }),
      1.0, 0.05)
      << "the Lorentzian 2 V^2 rate / (4 rate^2 + (2 pi f)^2), times gain^2";

  // The FFT trace shows the same density, sine-calibrated through the Hann window (ENBW 1.5):
  // at 1 M points over 0.1 s a bin is 9.54 Hz, the corner rate / pi 3.2 kHz with rate 1e4.
  noise.white_nv = 1;
  noise.rts_rate_hz = 1e4;
  qvx::sim::SimState state;
  state.avcnt = 64;
  const double bin = qvx::sim::BinWidth(state);
  std::mt19937_64 rng(1);
  std::vector<double> power(1000, 0.0);
  for (int trace = 0; trace < 20; ++trace) {
    const auto levels = qvx::sim::TraceLevels(noise, state, 1000, 64, rng);
    for (std::size_t i = 0; i < 1000; ++i) power[i] += levels[i] * levels[i] / 20;
  }
  for (const std::size_t first : {10u, 30u, 100u, 600u}) {  // 1, 3, 10 and 60 kHz
    double ratio = 0;
    for (std::size_t i = first; i < first + 5; ++i) {
      const double f = qvx::sim::PointBin(state, i) * bin;
      const double density =
          4 * qvx::sim::TelegraphDensity(1e-3, 1e4, f) + 4e-18 * (1 + 200 / f) + qvx::sim::QuantisationDensity(state);
      ratio += power[i] / (1.5 * bin * density) / 5;
    }
    EXPECT_NEAR(ratio, 1.0, 0.05) << "point " << first;
  }
}

// A drift from each record's start, times each channel's gain.
TEST(ChannelTwo, DriftStartsAtZeroWithTheSlopeTimesTheGain) {
  auto noise = Quiet();
  noise.white_nv = 0;
  noise.gain = 2;
  noise.gain2 = 5;
  noise.drift_v_per_s = 1e-3;
  const double fs = 1e3;
  const qvx::sim::RecordLayout layout{fs, 10000, 5e-3, -1e-2};  // 10 s: 0 ... 20 mV on channel 1
  const auto pair = qvx::sim::GenerateRecordPair(noise, layout, {1e-2, -2.5e-2}, 8);
  for (const auto& [codes, scale, offset, slope] :
       {std::tuple{&pair.channel1, 5e-3, -1e-2, 2e-3}, std::tuple{&pair.channel2, 1e-2, -2.5e-2, 5e-3}}) {
    const std::vector<double> v = Volts(*codes, scale, offset);
    double st = 0, sv = 0, stt = 0, stv = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      const double t = i / fs;
      st += t;
      sv += v[i];
      stt += t * t;
      stv += t * v[i];
    }
    const double n = v.size();
    const double fitted = (n * stv - st * sv) / (n * stt - st * st);
    EXPECT_NEAR(fitted, slope, slope * 1e-3);
    EXPECT_NEAR((sv - fitted * st) / n, 0.0, scale / 32) << "0 at the first sample";
  }
}

}  // namespace
