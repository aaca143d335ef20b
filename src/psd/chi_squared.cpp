#include "psd/chi_squared.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qvx::psd {
namespace {

// The regularized lower incomplete gamma function P(a, x): its series below a + 1, its
// continued fraction (Lentz) above.
double RegularizedGammaP(double a, double x) {
  if (!(x > 0)) return 0.0;
  // Near x = a both need about sqrt(a) terms before they settle.
  const int most = 1000 + static_cast<int>(std::min(1e7, 20.0 * std::sqrt(a)));
  const double lead = a * std::log(x) - x - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < most && std::fabs(term) > 1e-16 * std::fabs(sum); ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return sum * std::exp(lead);
  }
  constexpr double kTiny = 1e-300;
  double b = x + 1.0 - a;
  double c = 1.0 / kTiny;
  double d = 1.0 / b;
  double h = d;
  for (int i = 1; i < most; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-16) break;
  }
  return 1.0 - std::exp(lead) * h;
}

// The standard normal quantile to about 1e-9 (Acklam's rational approximation): a start.
double NormalQuantile(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                                 1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01, -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
  const double low = 0.02425;
  if (p < low || p > 1 - low) {
    const double q = std::sqrt(-2 * std::log(p < low ? p : 1 - p));
    const double z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                     ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    return p < low ? z : -z;
  }
  const double q = p - 0.5, r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

}  // namespace

double ChiSquaredCdf(double x, double nu) { return RegularizedGammaP(nu / 2.0, x / 2.0); }

double ChiSquaredQuantile(double p, double nu) {
  if (!(p > 0) || !(p < 1) || !(nu > 0)) return std::numeric_limits<double>::quiet_NaN();
  // Newton's steps from Wilson and Hilferty's approximation, inside a bracket that always
  // holds the root: a step that would leave it halves the bracket instead. A few CDFs, where
  // bisection alone needs forty (and the log points of a record ask for hundreds of these).
  const double a = nu / 2.0;
  const double log_norm = -a * std::log(2.0) - std::lgamma(a);
  double lo = 0.0;
  double hi = std::max(1.0, nu);
  while (ChiSquaredCdf(hi, nu) < p) hi *= 2.0;
  const double h = 2.0 / (9.0 * nu);
  const double guess = nu * std::pow(std::max(0.0, 1.0 - h + NormalQuantile(p) * std::sqrt(h)), 3.0);
  double x = guess > lo && guess < hi ? guess : 0.5 * (lo + hi);
  for (int i = 0; i < 200 && hi - lo > 1e-12 * hi; ++i) {
    const double f = ChiSquaredCdf(x, nu) - p;
    if (f == 0.0) return x;
    (f < 0 ? lo : hi) = x;
    const double density = std::exp((a - 1.0) * std::log(x) - x / 2.0 + log_norm);
    const double next = density > 0 ? x - f / density : lo;
    if (std::fabs(next - x) <= 1e-13 * x) return next > lo && next < hi ? next : x;
    x = next > lo && next < hi ? next : 0.5 * (lo + hi);
  }
  return x;
}

Interval PowerInterval(double nu, double confidence) {
  if (!(nu > 0) || !std::isfinite(nu))
    return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  const double tail = (1.0 - confidence) / 2.0;
  return {nu / ChiSquaredQuantile(1.0 - tail, nu), nu / ChiSquaredQuantile(tail, nu)};
}

}  // namespace qvx::psd
