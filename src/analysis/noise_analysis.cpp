#include "analysis/noise_analysis.h"

#include "analysis/cross_files.h"
#include "analysis/noise_files.h"
#include "psd/chi_squared.h"
#include "psd/estimator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace qvx {
namespace {

bool Usable(const NoisePoint& p) { return (p.flags & kFlagClipped) == 0 && std::isfinite(p.density_nv); }
// Of the noise: usable and no part of a line.
bool Noise(const NoisePoint& p) { return Usable(p) && (p.flags & kFlagTone) == 0; }

// The slope of log D^2 against log f around point i (its usable neighbours within four
// points), so a point's power can be spread over its cell as a power law.
double LocalSlope(const NoiseSpectrum& s, std::size_t i) {
  const std::size_t n = s.points.size();
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int count = 0;
  for (std::size_t k = i >= 4 ? i - 4 : 0; k < n && k <= i + 4; ++k) {
    const NoisePoint& p = s.points[k];
    if (!(p.freq_hz > 0) || !(p.density_nv > 0) || !Noise(p)) continue;
    const double x = std::log(p.freq_hz);
    const double y = 2.0 * std::log(p.density_nv);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
    ++count;
  }
  if (count < 3) return 0.0;
  const double det = count * sxx - sx * sx;
  if (!(det > 1e-12)) return 0.0;
  return std::clamp((count * sxy - sx * sy) / det, -4.0, 4.0);
}

// The integral of the power law through (f, power) with exponent `alpha` over [lo, hi].
double PowerLawIntegral(double f, double power, double alpha, double lo, double hi) {
  if (!(f > 0) || !(lo > 0)) return power * (hi - lo);
  if (std::fabs(alpha + 1.0) < 1e-9) return power * f * std::log(hi / lo);
  const double a1 = alpha + 1.0;
  return power * f * (std::pow(hi / f, a1) - std::pow(lo / f, a1)) / a1;
}

double Power(const NoisePoint& p) { return p.density_nv * p.density_nv; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

struct Sample {
  double x;          // 1/f
  double y;          // D^2
  double nu = 0.0;   // degrees of freedom of y; 0 when not known
  double bin = 0.0;  // where the point's bin lies, in bins, to tell neighbouring bins; NaN when not known
};

// Power correlation of two Hann bins `lag` bins apart (|-2/3|^2, |1/6|^2, none beyond).
double HannPowerCorrelation(double lag) {
  const double d = std::fabs(lag);
  if (std::fabs(d - 1.0) < 0.25) return 4.0 / 9.0;
  if (std::fabs(d - 2.0) < 0.25) return 1.0 / 36.0;
  return 0.0;
}

// Bin numbers of the points, so that the fit can allow for neighbouring bins' correlation: on
// the instrument's FFT the bin each point shows; on the time record, counted along each run of
// evenly spaced points (one resolution), a new run starting far away.
std::vector<double> BinNumbers(const NoiseSpectrum& s) {
  std::vector<double> bins(s.points.size(), std::numeric_limits<double>::quiet_NaN());
  if (s.method == kMethodRecord) {
    double at = 0.0;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
      if (i > 0) {
        const double gap = s.points[i].freq_hz - s.points[i - 1].freq_hz;
        const double before = i > 1 ? s.points[i - 1].freq_hz - s.points[i - 2].freq_hz : gap;
        const double after = i + 1 < s.points.size() ? s.points[i + 1].freq_hz - s.points[i].freq_hz : gap;
        const bool even = std::fabs(gap - before) <= 1e-6 * gap || std::fabs(gap - after) <= 1e-6 * gap;
        at += even ? 1.0 : 10.0;
      }
      bins[i] = at;
    }
    return bins;
  }
  for (const AcquisitionInfo& a : s.acquisitions) {
    if (!(a.rbw_hz > 0)) continue;
    for (std::size_t i = 0; i < s.points.size(); ++i) {
      const double f = s.points[i].freq_hz;
      if (f >= a.start_hz && f < a.end_hz) bins[i] = std::round(f / a.rbw_hz);
    }
  }
  return bins;
}

struct Line {
  double a = 0.0;  // w^2
  double b = 0.0;  // w^2 fc
  bool ok = false;
};

// Weighted least squares of y on (1, x) with weights 1/m^2, m the model of the previous
// pass: `start`'s when given, else the data itself, floored. A negative slope falls back
// to a constant.
Line FitRelative(const std::vector<Sample>& samples, const std::vector<char>& use, const Line* start) {
  std::vector<double> model(samples.size());
  int passes = 2;
  if (start && start->ok) {
    for (std::size_t i = 0; i < samples.size(); ++i) model[i] = start->a + start->b * samples[i].x;
  } else {
    std::vector<double> ys;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (use[i]) ys.push_back(samples[i].y);
    }
    if (ys.size() < 2) return {};
    const double floor = std::max(Median(ys) * 1e-3, 1e-300);
    for (std::size_t i = 0; i < samples.size(); ++i) model[i] = std::max(samples[i].y, floor);
    passes = 4;
  }

  Line line;
  for (int pass = 0; pass < passes; ++pass) {
    double s = 0, sx = 0, sxx = 0, sy = 0, sxy = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (!use[i]) continue;
      // y scatters by model x sqrt(2 / nu): the weight is the inverse of that variance.
      const Sample& p = samples[i];
      const double w = (p.nu > 0 ? p.nu : 1.0) / (model[i] * model[i]);
      s += w;
      sx += w * p.x;
      sxx += w * p.x * p.x;
      sy += w * p.y;
      sxy += w * p.x * p.y;
    }
    const double det = s * sxx - sx * sx;
    line.ok = true;
    if (det > 1e-12 * s * sxx) {
      line.a = (sy * sxx - sx * sxy) / det;
      line.b = (s * sxy - sx * sy) / det;
    } else {
      line.b = -1.0;
    }
    if (line.b < 0 || line.a <= 0) {
      line.a = sy / s;
      line.b = 0.0;
    }
    if (!(line.a > 0) || !std::isfinite(line.a)) return {};
    for (std::size_t i = 0; i < samples.size(); ++i) model[i] = line.a + line.b * samples[i].x;
  }
  return line;
}

}  // namespace

std::vector<LogPoint> LogPoints(const NoiseSpectrum& s, int ppd) {
  std::vector<LogPoint> out;
  if (ppd <= 0) return out;
  double sum = 0.0;
  double nu = 0.0;
  double converter = 0.0;
  double quant = 0.0;
  bool clean = true;
  int count = 0;
  int distinct = 0;  // points with degrees of freedom of their own (a repeated bin has none)
  int bin = 0;
  const double root = s.method == kMethodRecord || s.method == kMethodCross ? 1.0 : std::sqrt(s.window.enbw);
  auto flush = [&] {
    if (count > 0) {
      LogPoint p{std::pow(10.0, (bin + 0.5) / ppd), std::sqrt(sum / count), count};
      p.converter_nv = std::sqrt(converter / count);
      p.quant_nv = std::sqrt(quant / count);
      p.clean = clean;
      if (nu > 0) {
        // Neighbouring fine points of one resolution are correlated Hann bins.
        p.dof = psd::CombinedDof(nu, distinct);
        const psd::Interval ci = psd::PowerInterval(p.dof, s.confidence);
        p.ci_lo_nv = p.nv * std::sqrt(ci.lo);
        p.ci_hi_nv = p.nv * std::sqrt(ci.hi);
      }
      out.push_back(p);
    }
    sum = 0.0;
    nu = 0.0;
    converter = 0.0;
    quant = 0.0;
    clean = true;
    count = 0;
    distinct = 0;
  };
  // Points rise in frequency, so each log bin's points are consecutive and the bin needs
  // working out only near its upper edge.
  double nearEdge = -1.0;
  for (const NoisePoint& p : s.points) {
    if (!(p.freq_hz > 0) || !Noise(p)) continue;
    if (p.freq_hz >= nearEdge || count == 0) {
      const int j = LogBinIndex(p.freq_hz, ppd);
      if (count > 0 && j != bin) flush();
      bin = j;
      nearEdge = LogBinLow(j + 1, ppd) * (1 - 1e-6);
    }
    sum += Power(p);
    nu += p.dof;
    distinct += p.dof > 0;
    converter += (p.level_nv / root) * (p.level_nv / root);
    quant += p.quant_nv * p.quant_nv;
    clean = clean && (p.flags & (kFlagQuantisation | kFlagFloor | kFlagGainOutside | kFlagUpperLimit)) == 0;
    ++count;
  }
  flush();
  return out;
}

BandResult IntegratedNoise(const NoiseSpectrum& s, const Band& band, const std::vector<ToneResult>& tones) {
  BandResult r{band.lo_hz, band.hi_hz};
  if (s.points.empty()) return r;
  double power = 0.0;  // nV^2
  double noise = 0.0;  // ... with the lines' own power left out
  double dofPower = 0.0, dofWeight = 0.0;
  bool dofKnown = true;
  // The noise under a line is its local noise.
  std::vector<double> under(s.points.size(), -1.0);
  for (const ToneResult& t : tones) {
    for (std::size_t i = t.first; i <= t.last && i < under.size(); ++i) under[i] = t.noise_nv * t.noise_nv;
  }
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    const double lo = std::max(CellLow(s, i), band.lo_hz);
    const double hi = std::min(CellHigh(s, i), band.hi_hz);
    if (!(hi > lo)) continue;
    ++r.points;
    const NoisePoint& p = s.points[i];
    if (!Usable(p)) {
      ++r.clipped_points;
      continue;
    }
    r.quantised_points += (p.flags & kFlagQuantisation) != 0;
    // A point is its cell's mean; a band that takes part of a cell takes the part a power
    // law through the neighbours puts there, so a slope is not counted as a step.
    const double cellLo = CellLow(s, i), cellHi = CellHigh(s, i);
    double share = (hi - lo) / (cellHi - cellLo);
    if (share < 1.0) {
      const double alpha = LocalSlope(s, i);
      const double whole = PowerLawIntegral(p.freq_hz, 1.0, alpha, cellLo, cellHi);
      if (whole > 0 && std::isfinite(whole)) share = PowerLawIntegral(p.freq_hz, 1.0, alpha, lo, hi) / whole;
    }
    const double c = Power(p) * (cellHi - cellLo) * share;
    power += c;
    noise += under[i] >= 0 ? under[i] * (cellHi - cellLo) * share : c;
    if (p.dof > 0) {
      dofPower += c;
      dofWeight += c * c / p.dof;
    } else if (!(p.flags & kFlagRepeatedBin)) {
      dofKnown = false;  // a repeated bin adds no measurement; any other point without dof is unknown
    }
  }
  for (const ToneResult& t : tones) r.tones += t.hz >= band.lo_hz && t.hz < band.hi_hz;
  const double tolerance = 1e-9 * std::max(std::fabs(s.end_hz), 1.0);
  if (band.lo_hz >= CellLow(s, 0) - tolerance && band.hi_hz <= CellHigh(s, s.points.size() - 1) + tolerance &&
      band.hi_hz > band.lo_hz) {
    r.rms_uv = std::sqrt(power) * 1e-3;
    r.noise_uv = std::sqrt(noise) * 1e-3;
    if (dofKnown && dofWeight > 0) {
      // Satterthwaite, less the correlation of neighbouring Hann bins.
      r.dof = dofPower * dofPower / dofWeight / (1.0 + 2.0 * 4.0 / 9.0);
      const psd::Interval ci = psd::PowerInterval(r.dof, s.confidence);
      r.ci_lo_uv = r.rms_uv * std::sqrt(ci.lo);
      r.ci_hi_uv = r.rms_uv * std::sqrt(ci.hi);
    }
  }
  return r;
}

SpotResult SpotNoise(const NoiseSpectrum& s, double hz) {
  SpotResult r{hz};
  const std::size_t n = s.points.size();
  if (n == 0 || !(hz >= CellLow(s, 0)) || !(hz < CellHigh(s, n - 1))) return r;
  // The point whose cell holds hz, and up to five on either side of it whose cells stay
  // within hz/2 ... 2 hz (beyond that the trace does not resolve hz).
  std::size_t c =
      static_cast<std::size_t>(std::upper_bound(s.points.begin(), s.points.end(), hz,
                                                [](double f, const NoisePoint& p) { return f < p.freq_hz; }) -
                               s.points.begin());
  c = c > 0 ? c - 1 : 0;
  if (c + 1 < n && CellHigh(s, c) <= hz) ++c;
  auto inside = [&](std::size_t i) { return CellLow(s, i) >= hz / 2 && CellHigh(s, i) <= hz * 2; };
  if (!inside(c)) return r;
  std::size_t first = c, last = c;
  while (first > 0 && c - first < 5 && inside(first - 1)) --first;
  while (last + 1 < n && last - c < 5 && inside(last + 1)) ++last;
  // A point that repeats the bin before it adds no new measurement: each distinct bin
  // counts once. The lines are no part of the noise.
  double sum = 0.0;
  double nu = 0.0;
  bool known = true;
  for (std::size_t i = first; i <= last; ++i) {
    if (!Noise(s.points[i])) continue;
    ++r.points;
    r.quantised_points += (s.points[i].flags & kFlagQuantisation) != 0;
    if (i > first && (s.points[i].flags & kFlagRepeatedBin) && Usable(s.points[i - 1])) continue;
    sum += Power(s.points[i]);
    nu += s.points[i].dof > 0 ? s.points[i].dof : (known = false, 0.0);
    ++r.bins;
  }
  if (r.bins > 0) r.nv = std::sqrt(sum / r.bins);
  if (r.bins > 0 && known && nu > 0) {
    r.dof = psd::CombinedDof(nu, r.bins);
    const psd::Interval ci = psd::PowerInterval(r.dof, s.confidence);
    r.ci_lo_nv = r.nv * std::sqrt(ci.lo);
    r.ci_hi_nv = r.nv * std::sqrt(ci.hi);
  }
  return r;
}

static FloorFit FitNoiseModel(const NoiseSpectrum& s);

// Where the white floor would show, most points at the converter's floor: it is below the
// converter's own, a bound and no number.
void CheckConverterFloor(const NoiseSpectrum& s, FloorFit& fit) {
  const double from = std::isfinite(fit.corner_hz) && fit.corner_hz > 0 ? std::max(fit.corner_hz, fit.lo_hz) : 0.0;
  int fitted = 0, quantised = 0;
  double power = 0.0;
  for (const NoisePoint& p : s.points) {
    if (!(p.freq_hz > from) || !Noise(p) || (p.flags & kFlagRepeatedBin)) continue;
    if (p.flags & kFlagQuantisation) {
      ++quantised;
      power += Power(p);
    } else if (!(p.flags & (kFlagFloor | kFlagUpperLimit))) {
      ++fitted;
    }
  }
  fit.quantised = quantised;
  if (quantised == 0 || quantised < fitted) return;
  fit.at_converter_floor = true;
  fit.white_upper_nv = std::sqrt(power / quantised);
  fit.white_nv = kNotMeasured;
  fit.white_lo_nv = fit.white_hi_nv = kNotMeasured;
  fit.corner_resolved = false;
  fit.corner_lo_hz = fit.corner_hi_hz = kNotMeasured;
}

FloorFit FitWhiteAndCorner(const NoiseSpectrum& s) {
  FloorFit fit = FitNoiseModel(s);
  CheckConverterFloor(s, fit);
  return fit;
}

static FloorFit FitNoiseModel(const NoiseSpectrum& s) {
  std::vector<Sample> samples;
  samples.reserve(s.points.size());
  const std::vector<double> bins = BinNumbers(s);
  int lines = 0;  // points of lines, spurs the fit never sees
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    const NoisePoint& p = s.points[i];
    // A power of 0 is no measurement for a fit with relative weights, a repeated bin only the
    // one before it again, and a line no part of the noise.
    if (p.freq_hz > 0 && p.density_nv > 0 && Usable(p) &&
        !(p.flags & (kFlagQuantisation | kFlagFloor | kFlagUpperLimit | kFlagRepeatedBin))) {
      if (p.flags & kFlagTone) {
        ++lines;
        continue;
      }
      samples.push_back({1.0 / p.freq_hz, Power(p), p.dof, bins[i]});
    }
  }
  FloorFit fit;
  if (samples.size() < 3) return fit;

  std::vector<char> use(samples.size(), 1);
  Line line;
  // A power estimate of nu degrees of freedom is chi-squared: a spur is a point the fit's
  // model makes improbable (above its 1 - 1e-4 quantile), not one above a spread that
  // one-sided cuts would pull low at few averages. Points of unknown degrees of freedom
  // keep the robust cut on their relative residuals.
  constexpr double kSpurTail = 1e-4;
  std::vector<double> ceiling(samples.size(), 0.0);
  {
    std::vector<std::pair<double, double>> known;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (!(samples[i].nu > 0)) continue;
      auto it = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == samples[i].nu; });
      if (it == known.end()) {
        known.emplace_back(samples[i].nu, psd::ChiSquaredQuantile(1.0 - kSpurTail, samples[i].nu) / samples[i].nu);
        it = known.end() - 1;
      }
      ceiling[i] = it->second;
    }
  }
  std::vector<double> residual(samples.size());
  std::vector<double> kept;
  for (int round = 0; round < 10; ++round) {
    line = FitRelative(samples, use, round > 0 ? &line : nullptr);
    if (!line.ok) return fit;
    kept.clear();
    for (std::size_t i = 0; i < samples.size(); ++i) {
      residual[i] = samples[i].y / (line.a + line.b * samples[i].x) - 1.0;
      if (use[i] && !(samples[i].nu > 0)) kept.push_back(residual[i]);
    }
    const double centre = Median(kept);
    for (double& r : kept) r = std::fabs(r - centre);
    const double limit = 3.0 * 1.4826 * Median(kept) + 1e-9;
    std::size_t changed = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const char keep = samples[i].nu > 0 ? residual[i] + 1.0 <= ceiling[i] : residual[i] - centre <= limit;
      changed += keep != use[i];
      use[i] = keep;
    }
    // Points at the limit may flip back and forth; a handful of them moves nothing.
    if (changed <= samples.size() / 1000) break;
  }
  fit.points = static_cast<int>(std::count(use.begin(), use.end(), 1));
  fit.rejected = static_cast<int>(samples.size()) - fit.points + lines;
  if (fit.points < 3) return FloorFit{};
  line = FitRelative(samples, use, &line);
  if (!line.ok) return FloorFit{};
  fit.white_nv = std::sqrt(line.a);
  fit.corner_hz = line.b / line.a;
  bool any = false;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!use[i]) continue;
    const double f = 1.0 / samples[i].x;
    fit.lo_hz = any ? std::min(fit.lo_hz, f) : f;
    fit.hi_hz = any ? std::max(fit.hi_hz, f) : f;
    any = true;
  }
  fit.corner_resolved = std::isfinite(fit.corner_hz) && fit.corner_hz >= fit.lo_hz && fit.corner_hz <= fit.hi_hz;

  // The intervals from the covariance of (w^2, w^2 fc): each point's variance is 2 m^2 / nu,
  // or m^2 times the relative residuals' own variance where nu is not known. Neighbouring
  // Hann bins are not independent (their powers correlate 4/9, and 1/36 two bins apart): the
  // covariance is the sandwich of the weighted fit with that correlation, widened further
  // by the scatter about the model where it exceeds what the points' own variances give.
  double relative = 0.0;
  int unknown = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!use[i] || samples[i].nu > 0) continue;
    const double r = samples[i].y / (line.a + line.b * samples[i].x) - 1.0;
    relative += r * r;
    ++unknown;
  }
  relative = unknown > 2 ? relative / (unknown - 2) : 1.0;
  std::vector<std::size_t> used;
  std::vector<double> var;
  double chi2 = 0.0;
  double m00 = 0, m01 = 0, m11 = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!use[i]) continue;
    const double m = line.a + line.b * samples[i].x;
    const double v = samples[i].nu > 0 ? 2.0 * m * m / samples[i].nu : relative * m * m;
    used.push_back(i);
    var.push_back(v);
    m00 += 1.0 / v;
    m01 += samples[i].x / v;
    m11 += samples[i].x * samples[i].x / v;
    chi2 += (samples[i].y - m) * (samples[i].y - m) / v;
  }
  double b00 = m00, b01 = m01, b11 = m11;
  for (std::size_t k = 0; k < used.size(); ++k) {
    for (std::size_t l = k + 1; l < used.size() && l <= k + 2; ++l) {
      const Sample& p = samples[used[k]];
      const Sample& q = samples[used[l]];
      const double rho = std::isfinite(p.bin) && std::isfinite(q.bin) ? HannPowerCorrelation(q.bin - p.bin) : 0.0;
      if (rho == 0.0) continue;
      const double c = rho / std::sqrt(var[k] * var[l]);  // w_k w_l rho sqrt(v_k v_l)
      b00 += 2.0 * c;
      b01 += c * (p.x + q.x);
      b11 += 2.0 * c * p.x * q.x;
    }
  }
  const double det = m00 * m11 - m01 * m01;
  if (det > 0 && std::isfinite(det)) {
    // A^-1 B A^-1 with A = [[m00, m01], [m01, m11]].
    const double i00 = m11 / det, i01 = -m01 / det, i11 = m00 / det;
    const double t00 = i00 * b00 + i01 * b01, t01 = i00 * b01 + i01 * b11;
    const double t10 = i01 * b00 + i11 * b01, t11 = i01 * b01 + i11 * b11;
    const double scatter = used.size() > 2 ? std::max(1.0, chi2 / static_cast<double>(used.size() - 2)) : 1.0;
    const double caa = (t00 * i00 + t01 * i01) * scatter;
    const double cab = (t00 * i01 + t01 * i11) * scatter;
    const double cbb = (t10 * i01 + t11 * i11) * scatter;
    const double z = std::sqrt(psd::ChiSquaredQuantile(s.confidence, 1.0));
    fit.white_lo_nv = std::sqrt(std::max(0.0, line.a - z * std::sqrt(caa)));
    fit.white_hi_nv = std::sqrt(line.a + z * std::sqrt(caa));
    if (line.b > 0) {
      const double fc = fit.corner_hz;
      const double sfc = std::sqrt(std::max(0.0, cbb - 2.0 * fc * cab + fc * fc * caa)) / line.a;
      fit.corner_lo_hz = std::max(0.0, fc - z * sfc);
      fit.corner_hi_hz = fc + z * sfc;
    }
  }
  return fit;
}

std::string CornerText(const FloorFit& fit) {
  if (!std::isfinite(fit.corner_hz) || !std::isfinite(fit.white_nv)) return "not found";
  if (fit.corner_resolved) return FormatHz(fit.corner_hz);
  if (fit.corner_hz < fit.lo_hz)
    return "not resolved (the fit puts it below " + FormatHz(fit.lo_hz) + ", the lowest point it used)";
  return "not resolved (the fit puts it above " + FormatHz(fit.hi_hz) + ", the highest point it used)";
}

FlagCounts CountFlags(const NoiseSpectrum& s) {
  FlagCounts c;
  for (const NoisePoint& p : s.points) {
    c.repeated_bin += (p.flags & kFlagRepeatedBin) != 0;
    c.clipped += (p.flags & kFlagClipped) != 0;
    c.coarse_rbw += (p.flags & kFlagCoarseRbw) != 0;
    c.quantisation += (p.flags & kFlagQuantisation) != 0;
    c.floor += (p.flags & kFlagFloor) != 0;
    c.gain_outside += (p.flags & kFlagGainOutside) != 0;
    c.tone += (p.flags & kFlagTone) != 0;
    c.upper_limit += (p.flags & kFlagUpperLimit) != 0;
  }
  return c;
}

std::vector<ToneResult> FindTones(const NoiseSpectrum& s) {
  std::vector<ToneResult> tones;
  const std::size_t n = s.points.size();
  if (n < 8) return tones;
  // The local noise: the median power over a third of a decade, taken on a grid of sixtieths
  // of a decade (the median of chi-squared powers, divided by its own bias).
  constexpr int kGrid = 60;
  constexpr int kHalfWindow = 10;  // a sixth of a decade each side
  auto gridOf = [](double f) { return static_cast<int>(std::floor(std::log10(f) * kGrid)); };
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < n; ++i) {
    const NoisePoint& p = s.points[i];
    if (p.freq_hz > 0 && Usable(p) && !(p.flags & kFlagRepeatedBin)) order.push_back(i);
  }
  if (order.size() < 8) return tones;
  const int lowGrid = gridOf(s.points[order.front()].freq_hz);
  const int highGrid = gridOf(s.points[order.back()].freq_hz);
  std::vector<std::vector<double>> byGrid(static_cast<std::size_t>(highGrid - lowGrid + 1));
  std::vector<double> nuByGrid(byGrid.size(), 0.0);
  for (std::size_t i : order) {
    const auto g = static_cast<std::size_t>(gridOf(s.points[i].freq_hz) - lowGrid);
    byGrid[g].push_back(Power(s.points[i]));
    nuByGrid[g] = std::max(nuByGrid[g], s.points[i].dof);
  }
  std::vector<double> localNoise(byGrid.size(), 0.0);
  std::vector<double> values;
  for (std::size_t g = 0; g < byGrid.size(); ++g) {
    values.clear();
    double nu = 0.0;
    for (std::size_t k = g >= kHalfWindow ? g - kHalfWindow : 0; k < byGrid.size() && k <= g + kHalfWindow; ++k) {
      values.insert(values.end(), byGrid[k].begin(), byGrid[k].end());
      nu = std::max(nu, nuByGrid[k]);
    }
    if (values.size() < 8 || !(nu > 0)) continue;
    const double bias = psd::ChiSquaredQuantile(0.5, nu) / nu;
    localNoise[g] = Median(values) / bias;
  }
  const std::vector<double> bins = BinNumbers(s);
  auto noiseAt = [&](std::size_t i) {
    return localNoise[static_cast<std::size_t>(gridOf(s.points[i].freq_hz) - lowGrid)];
  };
  // The tail of one point: 1e-4, or less where the spectrum has so many points that noise alone
  // would pass it somewhere: a false line in about one spectrum of a hundred.
  const double tail = std::min(1e-4, 0.01 / static_cast<double>(order.size()));
  std::vector<double> ceilingFor;  // by dof, cached
  std::vector<double> ceilingNu;
  auto ceiling = [&](double nu) {
    for (std::size_t k = 0; k < ceilingNu.size(); ++k) {
      if (ceilingNu[k] == nu) return ceilingFor[k];
    }
    ceilingNu.push_back(nu);
    ceilingFor.push_back(psd::ChiSquaredQuantile(1.0 - tail, nu) / nu);
    return ceilingFor.back();
  };
  std::vector<char> line(n, 0);
  for (std::size_t i : order) {
    const NoisePoint& p = s.points[i];
    const double noise = noiseAt(i);
    if (p.dof > 0 && noise > 0 && Power(p) > noise * ceiling(p.dof)) line[i] = 1;
  }
  const double rbwOf = [&] {
    double rbw = 0.0;
    for (const AcquisitionInfo& a : s.acquisitions) rbw = std::max(rbw, a.rbw_hz);
    return rbw;
  }();
  const double z = std::sqrt(psd::ChiSquaredQuantile(s.confidence, 1.0));
  for (std::size_t i = 0; i < n;) {
    if (!line[i]) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j + 1 < n && (line[j + 1] || (s.points[j + 1].flags & kFlagRepeatedBin))) ++j;
    // The main lobe: two neighbouring bins beyond the points that stand out, on each side.
    std::size_t first = i, last = j;
    for (int k = 0; k < 2 && first > 0 && std::fabs(bins[first] - bins[first - 1]) < 1.5; ++k) --first;
    for (int k = 0; k < 2 && last + 1 < n && std::fabs(bins[last + 1] - bins[last]) < 1.5; ++k) ++last;
    ToneResult t;
    t.first = first;
    t.last = last;
    const double noise = noiseAt(i);
    t.noise_nv = std::sqrt(noise);
    double power = 0.0, variance = 0.0, moment = 0.0, peak = 0.0, above = 0.0;
    bool everyBin = true;
    for (std::size_t k = first; k <= last; ++k) {
      const NoisePoint& p = s.points[k];
      if (!Usable(p) || (p.flags & kFlagRepeatedBin)) continue;
      if (k > first && std::fabs(bins[k] - bins[k - 1]) > 1.5) everyBin = false;
      const double excess = std::max(0.0, Power(p) - noise);
      const double width = s.method == kMethodRecord ? PointWidth(s, k) : (rbwOf > 0 ? rbwOf : PointWidth(s, k));
      power += excess * width;
      above += excess;
      moment += excess * p.freq_hz;
      peak = std::max(peak, excess);
      if (p.dof > 0) variance += 2.0 * (2.0 * excess * noise + noise * noise) / p.dof * width * width;
    }
    if (s.method != kMethodRecord && !everyBin && rbwOf > 0) {
      // Bins between the points are not shown: the peak's own, calibrated for a sine.
      power = peak * rbwOf * s.window.enbw;
    }
    if (power > 0 && above > 0) {
      t.hz = moment / above;
      if (s.method != kMethodRecord) t.hz += 0.5 * PointWidth(s, i);  // a point stands for its step
      t.uv = std::sqrt(power) * 1e-3;
      const double sd = std::sqrt(variance);
      t.ci_lo_uv = std::sqrt(std::max(0.0, power - z * sd)) * 1e-3;
      t.ci_hi_uv = std::sqrt(power + z * sd) * 1e-3;
      tones.push_back(t);
    }
    i = last + 1;
  }
  return tones;
}

void MarkTones(NoiseSpectrum& s, const std::vector<ToneResult>& tones) {
  for (NoisePoint& p : s.points) p.flags &= ~kFlagTone;
  for (const ToneResult& t : tones) {
    for (std::size_t i = t.first; i <= t.last && i < s.points.size(); ++i) s.points[i].flags |= kFlagTone;
  }
}

NoiseReport AnalyzeNoise(const NoiseSpectrum& measured, const AnalysisRequest& request) {
  if (!measured.cross_points.empty()) return AnalyzeCrossSpectrum(measured, request);
  NoiseReport report;
  // The lines first: every noise figure leaves them out.
  report.tones = FindTones(measured);
  NoiseSpectrum marked;
  const bool mark = std::any_of(measured.points.begin(), measured.points.end(),
                                [](const NoisePoint& p) { return (p.flags & kFlagTone) != 0; }) ||
                    !report.tones.empty();
  if (mark) {
    marked = measured;
    MarkTones(marked, report.tones);
  }
  const NoiseSpectrum& s = mark ? marked : measured;
  report.flags = CountFlags(s);
  report.log_points = LogPoints(s, s.ppd);
  report.fit = FitWhiteAndCorner(s);
  if (s.points.empty()) return report;
  report.first_hz = CellLow(s, 0);
  report.end_hz = CellHigh(s, s.points.size() - 1);

  std::vector<Band> bands = request.bands;
  if (bands.empty()) {
    // The 0 Hz point is left out: a real offset would decide the band.
    double lowest = report.first_hz;
    if (!(lowest > 0) && s.points.size() > 1) lowest = CellLow(s, 1);
    if (lowest < report.end_hz) bands.push_back({lowest, report.end_hz});
    // Whole decades inside the range that hold at least one point.
    // Counted in exponents, so a range that ends beyond the largest double cannot loop for ever.
    if (lowest > 0 && std::isfinite(report.end_hz) && report.end_hz > lowest) {
      const int first = static_cast<int>(std::ceil(std::log10(lowest) - 1e-9));
      const int last = static_cast<int>(std::floor(std::log10(report.end_hz) + 1e-12));
      for (int k = first; k < last; ++k) {
        const Band decade{std::pow(10.0, k), std::pow(10.0, k + 1)};
        const bool holdsPoint = std::any_of(s.points.begin(), s.points.end(), [&](const NoisePoint& p) {
          return p.freq_hz >= decade.lo_hz && p.freq_hz < decade.hi_hz;
        });
        const bool isWhole = decade.lo_hz == lowest && decade.hi_hz == report.end_hz;
        if (holdsPoint && !isWhole) bands.push_back(decade);
      }
    }
  }
  for (const Band& b : bands) report.bands.push_back(IntegratedNoise(s, b, report.tones));

  if (request.spots_hz.empty()) {
    for (double hz : {10.0, 100.0, 1000.0, 10000.0}) {
      const SpotResult spot = SpotNoise(s, hz);
      if (std::isfinite(spot.nv)) report.spots.push_back(spot);
    }
  } else {
    for (double hz : request.spots_hz) report.spots.push_back(SpotNoise(s, hz));
  }
  return report;
}

}  // namespace qvx
