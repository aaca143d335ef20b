#include "analysis/noise_analysis.h"

#include "analysis/noise_files.h"
#include "psd/chi_squared.h"
#include "psd/estimator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace qvx {
namespace {

bool Usable(const NoisePoint& p) { return (p.flags & kFlagClipped) == 0 && std::isfinite(p.density_nv); }

double Power(const NoisePoint& p) { return p.density_nv * p.density_nv; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

struct Sample {
  double x;         // 1/f
  double y;         // D^2
  double nu = 0.0;  // degrees of freedom of y; 0 when not known
};

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
  bool clean = true;
  int count = 0;
  int distinct = 0;  // points with degrees of freedom of their own (a repeated bin has none)
  int bin = 0;
  const double root = s.method == kMethodRecord ? 1.0 : std::sqrt(s.window.enbw);
  auto flush = [&] {
    if (count > 0) {
      LogPoint p{std::pow(10.0, (bin + 0.5) / ppd), std::sqrt(sum / count), count};
      p.converter_nv = std::sqrt(converter / count);
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
    clean = true;
    count = 0;
    distinct = 0;
  };
  // Points rise in frequency, so each log bin's points are consecutive and the bin needs
  // working out only near its upper edge.
  double nearEdge = -1.0;
  for (const NoisePoint& p : s.points) {
    if (!(p.freq_hz > 0) || !Usable(p)) continue;
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
    clean = clean && (p.flags & (kFlagQuantisation | kFlagFloor | kFlagGainOutside)) == 0;
    ++count;
  }
  flush();
  return out;
}

BandResult IntegratedNoise(const NoiseSpectrum& s, const Band& band) {
  BandResult r{band.lo_hz, band.hi_hz};
  if (s.points.empty()) return r;
  double power = 0.0;  // nV^2
  double dofPower = 0.0, dofWeight = 0.0;
  bool dofKnown = true;
  // From the point whose step holds the band's lower edge (steps never overlap) to its upper one.
  const auto from = std::upper_bound(s.points.begin(), s.points.end(), band.lo_hz,
                                     [](double f, const NoisePoint& p) { return f < p.freq_hz; });
  for (std::size_t i = from == s.points.begin() ? 0 : static_cast<std::size_t>(from - s.points.begin()) - 1;
       i < s.points.size() && s.points[i].freq_hz < band.hi_hz; ++i) {
    const double lo = s.points[i].freq_hz;
    const double hi = lo + PointWidth(s, i);
    const double overlap = std::min(hi, band.hi_hz) - std::max(lo, band.lo_hz);
    if (!(overlap > 0)) continue;
    ++r.points;
    if (!Usable(s.points[i])) {
      ++r.clipped_points;
      continue;
    }
    r.quantised_points += (s.points[i].flags & kFlagQuantisation) != 0;
    const double c = Power(s.points[i]) * overlap;
    power += c;
    if (s.points[i].dof > 0) {
      dofPower += c;
      dofWeight += c * c / s.points[i].dof;
    } else {
      dofKnown = false;
    }
  }
  const double tolerance = 1e-9 * std::max(std::fabs(s.end_hz), 1.0);
  if (band.lo_hz >= s.points.front().freq_hz - tolerance && band.hi_hz <= s.end_hz + tolerance &&
      band.hi_hz > band.lo_hz) {
    r.rms_uv = std::sqrt(power) * 1e-3;
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
  if (n == 0 || !(hz >= s.points.front().freq_hz) || !(hz < s.end_hz)) return r;
  // The point whose step holds hz.
  const auto it = std::upper_bound(s.points.begin(), s.points.end(), hz,
                                   [](double f, const NoisePoint& p) { return f < p.freq_hz; });
  const std::size_t c = static_cast<std::size_t>(it - s.points.begin()) - 1;
  const std::size_t first = c >= 5 ? c - 5 : 0;
  const std::size_t last = std::min(n - 1, c + 5);
  if (s.points[first].freq_hz < hz / 2 || s.points[last].freq_hz + PointWidth(s, last) > hz * 2) return r;
  // A point that repeats the bin before it adds no new measurement: each distinct bin
  // counts once.
  double sum = 0.0;
  double nu = 0.0;
  bool known = true;
  for (std::size_t i = first; i <= last; ++i) {
    if (!Usable(s.points[i])) continue;
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

FloorFit FitWhiteAndCorner(const NoiseSpectrum& s) {
  std::vector<Sample> samples;
  samples.reserve(s.points.size());
  for (const NoisePoint& p : s.points) {
    // A power of 0 is no measurement for a fit with relative weights, and a repeated bin
    // only the one before it again.
    if (p.freq_hz > 0 && p.density_nv > 0 && Usable(p) &&
        !(p.flags & (kFlagQuantisation | kFlagFloor | kFlagRepeatedBin))) {
      samples.push_back({1.0 / p.freq_hz, Power(p), p.dof});
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
  fit.rejected = static_cast<int>(samples.size()) - fit.points;
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
  // or m^2 times the relative residuals' own variance where nu is not known.
  double relative = 0.0;
  int unknown = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!use[i] || samples[i].nu > 0) continue;
    const double r = samples[i].y / (line.a + line.b * samples[i].x) - 1.0;
    relative += r * r;
    ++unknown;
  }
  relative = unknown > 2 ? relative / (unknown - 2) : 1.0;
  double m00 = 0, m01 = 0, m11 = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!use[i]) continue;
    const double m = line.a + line.b * samples[i].x;
    const double var = samples[i].nu > 0 ? 2.0 * m * m / samples[i].nu : relative * m * m;
    m00 += 1.0 / var;
    m01 += samples[i].x / var;
    m11 += samples[i].x * samples[i].x / var;
  }
  const double det = m00 * m11 - m01 * m01;
  if (det > 0 && std::isfinite(det)) {
    const double caa = m11 / det, cab = -m01 / det, cbb = m00 / det;
    const double z = 1.959963984540054;
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
  }
  return c;
}

NoiseReport AnalyzeNoise(const NoiseSpectrum& s, const AnalysisRequest& request) {
  NoiseReport report;
  report.flags = CountFlags(s);
  report.log_points = LogPoints(s, s.ppd);
  report.fit = FitWhiteAndCorner(s);
  if (s.points.empty()) return report;
  report.first_hz = s.points.front().freq_hz;
  report.end_hz = s.end_hz;

  std::vector<Band> bands = request.bands;
  if (bands.empty()) {
    // The 0 Hz point is left out: a real offset would decide the band.
    double lowest = report.first_hz;
    if (!(lowest > 0) && s.points.size() > 1) lowest = s.points[1].freq_hz;
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
  for (const Band& b : bands) report.bands.push_back(IntegratedNoise(s, b));

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
