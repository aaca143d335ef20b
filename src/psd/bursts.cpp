#include "psd/bursts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>

#include "psd/chi_squared.h"

namespace qvx::psd {
namespace {

constexpr std::size_t kFinestWindow = 4;  // points either side at the finest scale
constexpr int kMaxIterations = 100;       // of the two-state fit

double UpperTail(double x) { return 0.5 * std::erfc(x / std::numbers::sqrt2); }

double Density(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }

// P(X < u <= Y) for standard normals of correlation rho: the integral over x = u - delta of
// phi(x) Q((u - rho x) / sqrt(1 - rho^2)), taken directly so no difference of near-equal
// tails is formed (Simpson's rule; the integrand is smooth).
double Upcrossing(double u, double rho) {
  rho = std::clamp(rho, 0.0, 1.0 - 1e-12);
  const double s = std::sqrt(1.0 - rho * rho);
  const double reach = std::min(u + 10.0, ((u + 10.0) * s - u * (1.0 - rho)) / std::max(rho, 1e-3));
  if (!(reach > 0)) return 0.0;
  constexpr int kIntervals = 400;
  const double h = reach / kIntervals;
  auto f = [&](double delta) {
    const double x = u - delta;
    return Density(x) * UpperTail((u - rho * x) / s);
  };
  double sum = f(0.0) + f(reach);
  for (int i = 1; i < kIntervals; ++i) sum += f(i * h) * (i % 2 == 1 ? 4.0 : 2.0);
  return sum * h / 3.0;
}

// The difference of the means of n points after and before position k, for all k in
// [n, L - n], from the prefix sums of the record.
inline double StepStatistic(const std::vector<double>& prefix, std::size_t k, std::size_t n) {
  return (prefix[k + n] - 2.0 * prefix[k] + prefix[k - n]) / static_cast<double>(n);
}

std::vector<double> Prefix(const std::vector<double>& x) {
  std::vector<double> prefix(x.size() + 1, 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) prefix[i + 1] = prefix[i] + x[i];
  return prefix;
}

double Median(std::vector<double>& v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The statistic's standard deviation at each scale of `scales` (powers of two up from
// kFinestWindow), from the median of its magnitude, raised to its one-sided 95 % upper bound:
// the median of M / (2n) roughly independent values has the precision of 0.37 of them.
// Positions whose windows hold a step the finer scales see (a statistic at n/2, n/4 or n/8
// beyond kFlag of its own deviation, its support wholly inside one of the two windows) are
// left out, so dense bursts do not swell the spread they are measured against. Those finer
// statistics are orthogonal to the one at the position: for white noise leaving them out
// biases nothing; for 1/f noise, whose neighbouring windows correlate a little, it leaves out
// a tenth of the positions to no measurable effect.
std::vector<double> NoiseBounds(const std::vector<double>& prefix, const std::vector<std::size_t>& scales) {
  constexpr double kFlag = 3.0;
  constexpr std::size_t kChildren = 3;
  const std::size_t length = prefix.size() - 1;
  // For the last kChildren scales: how many flagged positions lie below each index.
  std::vector<std::vector<std::uint32_t>> below;
  std::vector<double> bounds;
  for (std::size_t n = 1; n <= scales.back(); n *= 2) {
    const std::size_t stride = std::max<std::size_t>(1, n / 4);
    std::vector<double> magnitudes;
    magnitudes.reserve((length - 2 * n) / stride + 1);
    std::size_t positions = 0;
    for (std::size_t k = n; k + n <= length; k += stride) {
      ++positions;
      bool clean = true;
      std::size_t f = n / 2;
      for (auto it = below.rbegin(); it != below.rend() && f >= 1 && clean; ++it, f /= 2) {
        const auto& count = *it;  // scale f: centres c with [c - f, c + f) inside a window
        clean = count[k - f + 1] == count[k - n + f] && count[k + n - f + 1] == count[k + f];
      }
      if (clean) magnitudes.push_back(std::fabs(StepStatistic(prefix, k, n)));
    }
    const std::size_t kept = magnitudes.size();
    if (kept == 0) {  // bursts everywhere: the whole spread, which only overstates the noise
      for (std::size_t k = n; k + n <= length; k += stride)
        magnitudes.push_back(std::fabs(StepStatistic(prefix, k, n)));
    }
    const double sigma = Median(magnitudes) / 0.6744897501960817;
    std::vector<std::uint32_t> count(length + 2, 0);
    for (std::size_t k = 0; k <= length; ++k) {
      const bool flag = k >= n && k + n <= length && std::fabs(StepStatistic(prefix, k, n)) > kFlag * sigma;
      count[k + 1] = count[k] + (flag ? 1 : 0);
    }
    below.push_back(std::move(count));
    if (below.size() > kChildren) below.erase(below.begin());
    if (n >= scales.front()) {
      const double share = static_cast<double>(std::max<std::size_t>(kept, 1)) / static_cast<double>(positions);
      const double dof = std::max(1.0, 0.37 * share * static_cast<double>(length - 2 * n + 1) / static_cast<double>(n));
      bounds.push_back(sigma * std::sqrt(dof / ChiSquaredQuantile(0.05, dof)));
    }
  }
  return bounds;
}

struct Step {
  std::size_t k = 0;  // the first point of the new level
  std::size_t n = 0;  // the scale it was found at
  double z = 0.0;     // statistic over threshold
};

// Steps at one scale: the largest |statistic| of each run beyond the threshold, no two
// within n of each other.
std::vector<Step> StepsAtScale(const std::vector<double>& prefix, std::size_t n, double threshold) {
  const std::size_t length = prefix.size() - 1;
  std::vector<Step> runs;
  if (!(threshold > 0)) return runs;  // a record without spread at this scale has no steps either
  Step best;
  int sign = 0;
  for (std::size_t k = n; k + n <= length; ++k) {
    const double d = StepStatistic(prefix, k, n);
    const int s = d >= threshold ? 1 : (d <= -threshold ? -1 : 0);
    if (s != sign && sign != 0) runs.push_back(best);
    if (s != 0 && (s != sign || std::fabs(d) / threshold > best.z)) best = {k, n, std::fabs(d) / threshold};
    sign = s;
  }
  if (sign != 0) runs.push_back(best);
  std::sort(runs.begin(), runs.end(), [](const Step& a, const Step& b) { return a.z > b.z; });
  std::vector<Step> kept;
  for (const Step& c : runs) {
    const bool near =
        std::any_of(kept.begin(), kept.end(), [&](const Step& s) { return (c.k > s.k ? c.k - s.k : s.k - c.k) < n; });
    if (!near) kept.push_back(c);
  }
  return kept;
}

// Steps over all scales: the most significant first; one found again at another scale
// (within half the smaller window) is the same step.
std::vector<Step> FindSteps(const std::vector<double>& prefix, const std::vector<std::size_t>& scales,
                            const std::vector<double>& thresholds) {
  std::vector<Step> all;
  for (std::size_t j = 0; j < scales.size(); ++j) {
    const auto found = StepsAtScale(prefix, scales[j], thresholds[j]);
    all.insert(all.end(), found.begin(), found.end());
  }
  std::sort(all.begin(), all.end(), [](const Step& a, const Step& b) { return a.z > b.z; });
  std::vector<Step> steps;
  for (const Step& c : all) {
    const bool same = std::any_of(steps.begin(), steps.end(), [&](const Step& s) {
      return 2 * (c.k > s.k ? c.k - s.k : s.k - c.k) < std::min(c.n, s.n);
    });
    if (!same) steps.push_back(c);
  }
  std::sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.k < b.k; });
  return steps;
}

// The two levels: the means of the best split (least squares) of the levels either side of
// each step, weighted by their windows.
std::pair<double, double> TwoLevels(const std::vector<double>& prefix, const std::vector<Step>& steps) {
  std::vector<std::pair<double, double>> local;  // level, weight
  for (const Step& s : steps) {
    const auto n = static_cast<double>(s.n);
    local.push_back({(prefix[s.k] - prefix[s.k - s.n]) / n, n});
    local.push_back({(prefix[s.k + s.n] - prefix[s.k]) / n, n});
  }
  std::sort(local.begin(), local.end());
  double w_all = 0, x_all = 0;
  for (const auto& [x, w] : local) w_all += w, x_all += w * x;
  double best = -1.0, lo = x_all / w_all, hi = lo;
  double w_left = 0, x_left = 0;
  for (std::size_t i = 0; i + 1 < local.size(); ++i) {
    w_left += local[i].second;
    x_left += local[i].second * local[i].first;
    const double w_right = w_all - w_left;
    const double x_right = x_all - x_left;
    // Between-group sum of squares: the split that maximises it minimises the within-group one.
    const double between = x_left * x_left / w_left + x_right * x_right / w_right;
    if (between > best) best = between, lo = x_left / w_left, hi = x_right / w_right;
  }
  return {lo, hi};
}

struct TwoState {
  double mean[2] = {0.0, 0.0};
  double var = 0.0;
  double stay[2] = {0.0, 0.0};  // probability of staying in each state for one point
  double loglik = -HUGE_VAL;
  std::vector<double> upper;  // posterior probability of state 1 at each point
};

// Baum-Welch for two Gaussian states of a common variance, scaled forward-backward.
TwoState FitTwoState(const std::vector<double>& x, double lo, double hi, double var, double p_switch) {
  const std::size_t length = x.size();
  TwoState fit;
  fit.mean[0] = lo;
  fit.mean[1] = hi;
  fit.var = var;
  fit.stay[0] = fit.stay[1] = 1.0 - p_switch;
  std::vector<double> ratio(length);  // emission of state 1 over state 0
  std::vector<double> forward(length);
  fit.upper.assign(length, 0.0);
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const double inv = 1.0 / (2.0 * fit.var);
    const double a00 = fit.stay[0], a01 = 1.0 - a00, a11 = fit.stay[1], a10 = 1.0 - a11;
    // Forward: probability of state 0 given the points so far.
    double loglik = -0.5 * static_cast<double>(length) * std::log(2.0 * std::numbers::pi * fit.var);
    double p0 = 0.5;
    for (std::size_t t = 0; t < length; ++t) {
      const double e0 = -(x[t] - fit.mean[0]) * (x[t] - fit.mean[0]) * inv;
      const double e1 = -(x[t] - fit.mean[1]) * (x[t] - fit.mean[1]) * inv;
      ratio[t] = std::exp(std::clamp(e1 - e0, -700.0, 700.0));
      const double q0 = t == 0 ? p0 : p0 * a00 + (1.0 - p0) * a10;
      const double q1 = 1.0 - q0;
      const double c = q0 + q1 * ratio[t];
      loglik += std::log(c) + e0;
      p0 = q0 / c;
      forward[t] = p0;
    }
    // Backward, with the posteriors and the expected transitions.
    double b0 = 1.0, b1 = 1.0;
    double n00 = 0, n01 = 0, n10 = 0, n11 = 0;
    double w1 = 0, x0 = 0, x1 = 0;
    for (std::size_t t = length; t-- > 0;) {
      const double f0 = forward[t], f1 = 1.0 - f0;
      const double g0 = f0 * b0, g1 = f1 * b1;
      const double g1n = g1 / (g0 + g1);
      fit.upper[t] = g1n;
      w1 += g1n;
      x1 += g1n * x[t];
      x0 += (1.0 - g1n) * x[t];
      if (t > 0) {
        // Transitions from t - 1 into t, then the backward message at t - 1.
        const double e0 = b0, e1 = ratio[t] * b1;
        const double fp0 = forward[t - 1], fp1 = 1.0 - fp0;
        const double x00 = fp0 * a00 * e0, x01 = fp0 * a01 * e1, x10 = fp1 * a10 * e0, x11 = fp1 * a11 * e1;
        const double norm = x00 + x01 + x10 + x11;
        n00 += x00 / norm, n01 += x01 / norm, n10 += x10 / norm, n11 += x11 / norm;
        const double nb0 = a00 * e0 + a01 * e1, nb1 = a10 * e0 + a11 * e1;
        b0 = nb0 / (nb0 + nb1);
        b1 = nb1 / (nb0 + nb1);
      }
    }
    const double w0 = static_cast<double>(length) - w1;
    TwoState next;
    next.mean[0] = w0 > 0 ? x0 / w0 : fit.mean[0];
    next.mean[1] = w1 > 0 ? x1 / w1 : fit.mean[1];
    double ss = 0;
    for (std::size_t t = 0; t < length; ++t) {
      const double d0 = x[t] - next.mean[0], d1 = x[t] - next.mean[1];
      ss += (1.0 - fit.upper[t]) * d0 * d0 + fit.upper[t] * d1 * d1;
    }
    next.var = std::max(ss / static_cast<double>(length), 1e-30);
    next.stay[0] = n00 + n01 > 0 ? n00 / (n00 + n01) : fit.stay[0];
    next.stay[1] = n10 + n11 > 0 ? n11 / (n10 + n11) : fit.stay[1];
    const double change = std::max({std::fabs(next.stay[0] - fit.stay[0]) / (1.0 - fit.stay[0] + 1e-12),
                                    std::fabs(next.stay[1] - fit.stay[1]) / (1.0 - fit.stay[1] + 1e-12),
                                    std::fabs(next.mean[1] - next.mean[0] - fit.mean[1] + fit.mean[0]) /
                                        (std::fabs(fit.mean[1] - fit.mean[0]) + 1e-300)});
    fit.loglik = loglik;
    std::copy(next.mean, next.mean + 2, fit.mean);
    fit.var = next.var;
    std::copy(next.stay, next.stay + 2, fit.stay);
    if (change < 1e-5) break;
  }
  return fit;
}

}  // namespace

double StepThreshold(double rho, double rate_hz, double crossings) {
  const double points = kFalseStepSeconds * rate_hz;
  auto expected = [&](double u) { return 2.0 * Upcrossing(u, rho) * points; };
  double lo = 1.0, hi = 40.0;
  if (expected(lo) <= crossings) return lo;
  for (int i = 0; i < 50; ++i) {
    const double mid = 0.5 * (lo + hi);
    (expected(mid) > crossings ? lo : hi) = mid;
  }
  return hi;
}

Bursts FindBursts(const std::vector<double>& means_v, double rate_hz, double offset_v) {
  Bursts result;
  result.analysis_hz = rate_hz;
  const std::size_t length = means_v.size();
  if (!(rate_hz > 0) || length < 8 * kFinestWindow) return result;

  std::vector<std::size_t> scales;
  for (std::size_t n = kFinestWindow; 8 * n <= length; n *= 2) scales.push_back(n);
  // The false-alarm budget is shared by the scales; the white-noise correlation of the
  // statistic is the least any noise of falling density gives it, so the most crossings.
  std::vector<double> units;
  for (std::size_t n : scales) {
    const double rho = 1.0 - 1.5 / static_cast<double>(n);
    units.push_back(StepThreshold(rho, rate_hz, 1.0 / static_cast<double>(scales.size())));
  }
  auto thresholds = [&](const std::vector<double>& noise_prefix) {
    std::vector<double> t = NoiseBounds(noise_prefix, scales);
    for (std::size_t j = 0; j < scales.size(); ++j) t[j] *= units[j];
    return t;
  };

  // First the record's own spread, steps and all: whatever it finds is beyond the noise.
  const auto prefix = Prefix(means_v);
  const auto first = FindSteps(prefix, scales, thresholds(prefix));
  if (first.empty()) return result;
  result.detected = true;

  // The steps' levels seed a two-state fit; the fit's residual is the noise without the
  // bursts, which sets the thresholds again for the steps that the bursts' own spread hid.
  std::vector<double> diffs(length - 1);
  for (std::size_t i = 0; i + 1 < length; ++i) diffs[i] = std::fabs(means_v[i + 1] - means_v[i]);
  const double white = Median(diffs) / 0.6744897501960817 / std::numbers::sqrt2;
  auto fit_from = [&](const std::vector<Step>& steps) {
    const auto [lo, hi] = TwoLevels(prefix, steps);
    const double p = std::clamp(4.0 * static_cast<double>(steps.size()) / static_cast<double>(length), 1e-6, 0.05);
    return FitTwoState(means_v, lo, hi, std::max(white * white, 1e-30), p);
  };
  TwoState fit = fit_from(first);
  result.steps = first.size();
  // A single step may be the noise's one in kFalseStepSeconds; a fit to noise takes some of
  // it (1/f wander most), so its residual sets thresholds only once two steps stand.
  if (first.size() >= 2) {
    std::vector<double> residual(length);
    for (std::size_t i = 0; i < length; ++i) {
      residual[i] = means_v[i] - (fit.mean[0] + fit.upper[i] * (fit.mean[1] - fit.mean[0]));
    }
    const auto second = FindSteps(prefix, scales, thresholds(Prefix(residual)));
    result.steps = std::max(first.size(), second.size());
    if (second.size() > first.size()) {
      TwoState refit = fit_from(second);
      if (refit.loglik > fit.loglik) fit = std::move(refit);
    }
  }

  const int lower = fit.mean[0] <= fit.mean[1] ? 0 : 1;
  const double dt = 1.0 / rate_hz;
  const double duration = static_cast<double>(length) * dt;
  double upper_share = 0;
  for (double p : fit.upper) upper_share += p;
  upper_share /= static_cast<double>(length);
  const double share[2] = {1.0 - upper_share, upper_share};
  for (int s : {lower, 1 - lower}) {
    const double stay = fit.stay[s];
    const double dwell = stay > 0 && stay < 1 ? std::min(duration, -dt / std::log(stay)) : duration;
    result.levels_v.push_back(fit.mean[s] + offset_v);
    result.dwell_s.push_back(dwell);
    result.fraction.push_back(share[s]);
    result.rate_hz += share[s] / dwell;
  }
  result.amplitude_v = result.levels_v[1] - result.levels_v[0];
  return result;
}

}  // namespace qvx::psd
