#include "psd/chi_squared.h"

#include <cmath>
#include <limits>

namespace qvx::psd {
namespace {

// The regularized lower incomplete gamma function P(a, x): its series below a + 1, its
// continued fraction (Lentz) above.
double RegularizedGammaP(double a, double x) {
  if (!(x > 0)) return 0.0;
  const double lead = a * std::log(x) - x - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < 1000 && std::fabs(term) > 1e-16 * std::fabs(sum); ++n) {
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
  for (int i = 1; i < 1000; ++i) {
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

}  // namespace

double ChiSquaredCdf(double x, double nu) { return RegularizedGammaP(nu / 2.0, x / 2.0); }

double ChiSquaredQuantile(double p, double nu) {
  if (!(p > 0) || !(p < 1) || !(nu > 0)) return std::numeric_limits<double>::quiet_NaN();
  // Bisection on a bracket that always holds it, then a few Newton steps would do; the
  // bisection alone is exact enough and never wanders.
  double lo = 0.0;
  double hi = std::max(1.0, nu);
  while (ChiSquaredCdf(hi, nu) < p) hi *= 2.0;
  for (int i = 0; i < 200 && hi - lo > 1e-12 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (ChiSquaredCdf(mid, nu) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

Interval PowerInterval(double nu, double confidence) {
  if (!(nu > 0) || !std::isfinite(nu))
    return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  const double tail = (1.0 - confidence) / 2.0;
  return {nu / ChiSquaredQuantile(1.0 - tail, nu), nu / ChiSquaredQuantile(tail, nu)};
}

}  // namespace qvx::psd
