#pragma once
// The chi-squared distribution for confidence intervals of spectral estimates: an estimate
// S with nu degrees of freedom of a true density T has nu S / T ~ chi^2(nu).
namespace qvx::psd {

// P(X <= x) for X ~ chi^2(nu), nu > 0 (need not be whole).
double ChiSquaredCdf(double x, double nu);

// The x with ChiSquaredCdf(x, nu) = p, 0 < p < 1.
double ChiSquaredQuantile(double p, double nu);

// The interval of the true density, as factors of the estimate: [lo, hi] x S holds T with
// the given confidence (0.95: nu / chi^2_0.975 ... nu / chi^2_0.025).
struct Interval {
  double lo = 0.0;
  double hi = 0.0;
};
Interval PowerInterval(double nu, double confidence);

}  // namespace qvx::psd
