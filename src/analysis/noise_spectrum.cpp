#include "analysis/noise_spectrum.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

#include "analysis/noise_files.h"
#include "psd/chi_squared.h"

namespace qvx {
namespace {

struct WindowName {
  const char* shortForm;
  const char* longForm;
  double enbw;
};

// ENBW in bins of the cosine-sum windows (Heinzel, Ruediger, Schilling 2002, table 1).
constexpr WindowName kWindows[] = {
    {"RECT", "RECTANGLE", 1.0},  {"HANN", "HANNING", 1.5},  {"HAMM", "HAMMING", 1.363},
    {"BLAC", "BLACKMAN", 1.727}, {"FLAT", "FLATTOP", 3.77},
};

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != static_cast<unsigned char>(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<FftWindow> FindFftWindow(std::string_view name) {
  for (const WindowName& w : kWindows) {
    if (SameLetters(name, w.shortForm) || SameLetters(name, w.longForm)) return FftWindow{w.shortForm, w.enbw};
  }
  return std::nullopt;
}

FftWindow HannWindow() { return {"HANN", 1.5}; }

const char* MethodName(SpectrumMethod method) {
  switch (method) {
    case SpectrumMethod::kInstrumentFft:
      return "instrument FFT";
    case SpectrumMethod::kTimeRecord:
      return "time record";
    case SpectrumMethod::kCrossSpectrum:
      return "cross-spectrum";
  }
  return "instrument FFT";
}

std::optional<SpectrumMethod> MethodFromName(std::string_view name) {
  for (SpectrumMethod m : {kMethodFft, kMethodRecord, kMethodCross}) {
    if (name == MethodName(m)) return m;
  }
  return std::nullopt;
}

const char* AveragingName(psd::Averaging averaging) { return averaging == psd::Averaging::Median ? "median" : "mean"; }

double PointWidth(const NoiseSpectrum& s, std::size_t i) {
  const double next = i + 1 < s.points.size() ? s.points[i + 1].freq_hz : s.end_hz;
  return std::max(0.0, next - s.points[i].freq_hz);
}

double CellLow(const NoiseSpectrum& s, std::size_t i) {
  if (s.method == kMethodCross) return LogBinLow(LogBinIndex(s.points[i].freq_hz, s.ppd), s.ppd);
  if (s.method != kMethodRecord) return s.points[i].freq_hz;
  const double below = i > 0 ? s.points[i - 1].freq_hz : s.points[i].freq_hz - PointWidth(s, i);
  return std::max(0.0, 0.5 * (below + s.points[i].freq_hz));
}

double CellHigh(const NoiseSpectrum& s, std::size_t i) {
  if (s.method == kMethodCross) return LogBinLow(LogBinIndex(s.points[i].freq_hz, s.ppd) + 1, s.ppd);
  if (s.method != kMethodRecord) return s.points[i].freq_hz + PointWidth(s, i);
  const double above = i + 1 < s.points.size() ? s.points[i + 1].freq_hz : s.end_hz;
  return 0.5 * (s.points[i].freq_hz + above);
}

void SetFftWindow(NoiseSpectrum& s, const FftWindow& window) {
  s.window = window;
  const double root = std::sqrt(window.enbw);
  for (NoisePoint& p : s.points) p.density_nv = p.level_nv / root;
}

int LogBinIndex(double freq_hz, int ppd) {
  // The small nudge keeps edges such as 1000 (log10 = 2.9999999999999996) in their own bin.
  return static_cast<int>(std::floor(std::log10(freq_hz) * ppd + 1e-9));
}

double LogBinLow(int j, int ppd) { return std::pow(10.0, static_cast<double>(j) / ppd); }

double ConverterFloorNv(double ch1_scale_v, double fs_hz) {
  if (!(ch1_scale_v > 0) || !(fs_hz > 0) || !std::isfinite(ch1_scale_v) || !std::isfinite(fs_hz)) return kNotKnown;
  return 8.0 * ch1_scale_v / 256.0 / std::sqrt(6.0 * fs_hz) * 1e9;
}

void AppendTrace(NoiseSpectrum& out, const Trace& s, const std::array<double, SPEC_POINTS>& levels,
                 const std::array<unsigned char, SPEC_POINTS>& bytes) {
  const double root = std::sqrt(out.window.enbw);
  // A point less than 3 dB above the converter's floor shows the converter, not the source.
  const double floor = ConverterFloorNv(s.ch1_scale, s.fs_hz);
  const double step = (s.end_hz - s.start_hz) / SPEC_POINTS;
  const bool binsKnown = s.rbw_hz > 0 && std::isfinite(s.rbw_hz);
  double previousBin = -1.0;
  out.points.reserve(out.points.size() + SPEC_POINTS);
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) {
    NoisePoint p;
    p.freq_hz = s.points[i].Freq;
    p.level_nv = levels[i];
    p.density_nv = levels[i] / root;
    if (bytes[i] == 0 || bytes[i] == 255) p.flags |= kFlagClipped;
    if (std::isfinite(floor) && floor > 0) p.quant_nv = floor;
    // The instrument averages the power of K frames: 2K degrees of freedom a distinct bin.
    if (out.averages > 0) p.dof = 2.0 * out.averages;
    if (binsKnown) {
      // The instrument shows the bin nearest to the point's frequency.
      const double bin = std::round((s.start_hz + static_cast<double>(i) * step) / s.rbw_hz);
      if (bin == previousBin) {
        p.flags |= kFlagRepeatedBin;
        p.dof = 0.0;  // a repeated bin adds no measurement
      }
      previousBin = bin;
      if (p.freq_hz > 0 && out.ppd > 0) {
        const int j = LogBinIndex(p.freq_hz, out.ppd);
        if (LogBinLow(j + 1, out.ppd) - LogBinLow(j, out.ppd) < s.rbw_hz) p.flags |= kFlagCoarseRbw;
      }
    }
    out.points.push_back(p);
  }
  out.end_hz = s.end_hz;
  std::vector<std::size_t> trace(SPEC_POINTS);
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) trace[i] = out.points.size() - SPEC_POINTS + i;
  FlagConverterFloor(out.points, trace, floor);
}

void FlagConverterFloor(std::vector<NoisePoint>& points, const std::vector<std::size_t>& indices, double floor_nv) {
  if (!std::isfinite(floor_nv) || !(floor_nv > 0)) return;
  const double quantised = 2.0 * floor_nv * floor_nv;
  // A point's own value scatters with the averaging, and picking points by it would keep the
  // high ones: the level around it decides, the median power of the unclipped points within
  // +/-50 of it (divided by the median's own bias), so a strong line nearby cannot lift it.
  const std::size_t n = indices.size();
  std::vector<double> window;
  for (std::size_t i = 0; i < n; ++i) {
    window.clear();
    double nu = 0.0;
    for (std::size_t k = i >= 50 ? i - 50 : 0; k <= std::min(n - 1, i + 50); ++k) {
      const NoisePoint& q = points[indices[k]];
      if (q.flags & kFlagClipped) continue;
      window.push_back(q.density_nv * q.density_nv);
      nu = std::max(nu, q.dof);
    }
    if (window.empty()) continue;
    const auto mid = window.begin() + static_cast<std::ptrdiff_t>(window.size() / 2);
    std::nth_element(window.begin(), mid, window.end());
    const double bias = psd::ChiSquaredQuantile(0.5, nu > 0 ? nu : 2.0) / (nu > 0 ? nu : 2.0);
    if (*mid / bias < quantised) points[indices[i]].flags |= kFlagQuantisation;
  }
}

NoiseSpectrum SpectrumFromWindow(const Trace& s, const std::array<double, SPEC_POINTS>& levels, const FftWindow& window,
                                 int averages, std::string filter) {
  NoiseSpectrum out;
  out.window = window;
  out.averages = averages;
  out.filter = std::move(filter);
  AppendTrace(out, s, levels, TraceBytesOf(s));
  // A video filter mixes neighbouring points: their scatter is no longer that of 2K.
  if (!out.filter.empty()) {
    for (NoisePoint& p : out.points) p.dof = 0.0;
  }
  AcquisitionInfo info;
  info.start_hz = s.start_hz;
  info.end_hz = s.end_hz;
  info.tdiv_s = s.tdiv_s;
  info.fs_hz = s.fs_hz;
  info.rbw_hz = s.rbw_hz;
  info.fft_scale = s.fft_scale;
  info.fft_offset = s.fft_offset;
  for (const NoisePoint& p : out.points) info.clipped_points += (p.flags & kFlagClipped) != 0;
  info.ch1_scale = s.ch1_scale > 0 ? s.ch1_scale : kNotKnown;
  info.converter_floor_nv = ConverterFloorNv(s.ch1_scale, s.fs_hz);
  out.acquisitions.push_back(info);
  return out;
}

std::array<double, SPEC_POINTS> LevelsOf(const SpectrumBuffer& data) {
  std::array<double, SPEC_POINTS> levels{};
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) levels[i] = data[i].Level;
  return levels;
}

std::array<unsigned char, SPEC_POINTS> TraceBytesOf(const Trace& s) {
  std::array<unsigned char, SPEC_POINTS> bytes;
  bytes.fill(128);
  if (!(s.rbw_hz > 0) || !std::isfinite(s.rbw_hz) || !(s.fft_scale != 0)) return bytes;
  const double root = std::sqrt(s.rbw_hz);
  for (std::size_t i = 0; i < SPEC_POINTS; ++i) {
    const double volts = s.points[i].Level * root * 1e-9;
    const double b = std::round((volts + s.fft_offset + 4.0 * s.fft_scale) / (s.fft_scale * 0.03125));
    bytes[i] = static_cast<unsigned char>(std::clamp(std::isfinite(b) ? b : 128.0, 0.0, 255.0));
  }
  return bytes;
}

}  // namespace qvx
