#include "psd/cross_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace qvx::psd {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Gauss-Kronrod 7-15 nodes and weights (the Kronrod nodes from the outside in; every second
// one is a Gauss node).
constexpr double kNode[8] = {0.991455371120812639, 0.949107912342758525, 0.864864423359769073, 0.741531185599394440,
                             0.586087235467691130, 0.405845151377397167, 0.207784955007898468, 0.0};
constexpr double kKronrod[8] = {0.022935322010529225, 0.063092092629978553, 0.104790010322250184, 0.140653259715525919,
                                0.169004726639267903, 0.190350578064785410, 0.204432940075298892, 0.209482141084727828};
constexpr double kGauss[4] = {0.129484966168869693, 0.279705391489276668, 0.381830050505118945, 0.417959183673469388};

// The integral of f over [lo, hi] to an absolute error of about `tolerance`, halving a
// panel until its two rules agree.
template <class F>
double Integrate(const F& f, double lo, double hi, double tolerance, int depth = 40) {
  const double centre = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
  const double fc = f(centre);
  double kronrod = kKronrod[7] * fc, gauss = kGauss[3] * fc;
  for (int j = 0; j < 7; ++j) {
    const double sum = f(centre - half * kNode[j]) + f(centre + half * kNode[j]);
    kronrod += kKronrod[j] * sum;
    if (j % 2 == 1) gauss += kGauss[j / 2] * sum;
  }
  if (std::fabs((kronrod - gauss) * half) <= tolerance || depth == 0) return kronrod * half;
  return Integrate(f, lo, centre, tolerance / 2, depth - 1) + Integrate(f, centre, hi, tolerance / 2, depth - 1);
}

// Student's t on nu degrees of freedom through the regularized incomplete beta function
// I_x(nu / 2, 1 / 2), its continued fraction by Lentz's method.
class Student {
 public:
  explicit Student(double nu)
      : nu_(nu), a_(nu / 2.0), log_norm_(std::lgamma(a_ + 0.5) - std::lgamma(a_) - std::lgamma(0.5)) {}

  // P(T >= t).
  double Upper(double t) const {
    if (std::isinf(t)) return t > 0 ? 0.0 : 1.0;
    const double tail = 0.5 * BetaI(nu_ / (nu_ + t * t), t * t / (nu_ + t * t));
    return t >= 0 ? tail : 1.0 - tail;
  }

 private:
  // I_x(a, 1/2), with y = 1 - x given exactly.
  double BetaI(double x, double y) const {
    if (x <= 0.0) return 0.0;
    if (y <= 0.0) return 1.0;
    const double front = std::exp(log_norm_ + a_ * std::log(x) + 0.5 * std::log(y));
    if (x < (a_ + 1.0) / (a_ + 2.5)) return front * Fraction(a_, 0.5, x) / a_;
    return 1.0 - front * Fraction(0.5, a_, y) / 0.5;
  }
  static double Fraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300;
    auto clamp = [](double v) { return std::fabs(v) < kTiny ? kTiny : v; };
    double c = 1.0, d = 1.0 / clamp(1.0 - (a + b) * x / (a + 1.0));
    double h = d;
    for (int m = 1; m < 10000; ++m) {
      const double m2 = 2.0 * m;
      double step = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
      d = 1.0 / clamp(1.0 + step * d);
      c = clamp(1.0 + step / c);
      h *= d * c;
      step = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
      d = 1.0 / clamp(1.0 + step * d);
      c = clamp(1.0 + step / c);
      const double delta = d * c;
      h *= delta;
      if (std::fabs(delta - 1.0) < 1e-15) break;
    }
    return h;
  }

  double nu_, a_, log_norm_;
};

// P(V >= v) and P(V <= v) for V ~ Gamma(m, 1).
double GammaLower(double v, double m) { return v <= 0.0 ? 0.0 : ChiSquaredCdf(2.0 * v, 2.0 * m); }

// The generalized pivot c* = (re - k T) m / V, k = sqrt(det / nu), nu = 2 m - 2.
class Pivot {
 public:
  Pivot(double re, double det, double m)
      : re_(re), m_(m), k_(std::sqrt(det / (2.0 * m - 2.0))), student_(2.0 * m - 2.0), log_gamma_m_(std::lgamma(m)) {
    // The integral over V runs between its quantiles at 1e-12 and 1 - 1e-12, starting from
    // panels with about equal shares of its probability.
    constexpr double kShares[] = {1e-12, 1e-3, 0.1, 0.5, 0.9, 0.999, 1.0 - 1e-12};
    for (double p : kShares) edges_.push_back(ChiSquaredQuantile(p, 2.0 * m) / 2.0);
  }

  // P(c* <= q).
  double Cdf(double q) const {
    if (k_ == 0.0) {
      // Nothing unshared: c* = re m / V.
      if (re_ == 0.0) return q >= 0.0 ? 1.0 : 0.0;
      if (re_ > 0.0) return q <= 0.0 ? 0.0 : 1.0 - GammaLower(re_ * m_ / q, m_);
      return q >= 0.0 ? 1.0 : GammaLower(re_ * m_ / q, m_);
    }
    // Over V: its density times P(k T >= re - q V / m), which turns over where re = q V / m.
    auto f = [&](double v) {
      const double density = std::exp((m_ - 1.0) * std::log(v) - v - log_gamma_m_);
      return density * student_.Upper((re_ - q * v / m_) / k_);
    };
    constexpr double kTolerance = 1e-10;
    const double turn = q != 0.0 ? re_ * m_ / q : -1.0;
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < edges_.size(); ++i) {
      const double lo = edges_[i], hi = edges_[i + 1];
      if (turn > lo && turn < hi) {
        sum += Integrate(f, lo, turn, kTolerance) + Integrate(f, turn, hi, kTolerance);
      } else {
        sum += Integrate(f, lo, hi, kTolerance);
      }
    }
    return std::clamp(sum, 0.0, 1.0);
  }

  // The q with Cdf(q) = p, from a guess and a step outward: the bracket widened until it
  // holds the root, then regula falsi (Illinois) on the log-odds, which are close to linear.
  double Quantile(double p, double guess, double step) const {
    const double target = std::log(p / (1.0 - p));
    auto g = [&](double q) {
      const double c = std::clamp(Cdf(q), 1e-300, 1.0 - 1e-16);
      return std::log(c / (1.0 - c)) - target;
    };
    double lo = guess, hi = guess;
    double g_lo = g(guess), g_hi = g_lo;
    for (int i = 0; g_lo > 0 && i < 200; ++i, step *= 2) hi = lo, g_hi = g_lo, lo -= step, g_lo = g(lo);
    for (int i = 0; g_hi < 0 && i < 200; ++i, step *= 2) lo = hi, g_lo = g_hi, hi += step, g_hi = g(hi);
    if (g_lo > 0 || g_hi < 0) return g_lo > 0 ? -kInf : kInf;
    int side = 0;
    for (int i = 0; i < 100 && hi - lo > 1e-9 * std::max({std::fabs(lo), std::fabs(hi), step}); ++i) {
      double x = g_hi != g_lo ? (lo * g_hi - hi * g_lo) / (g_hi - g_lo) : 0.5 * (lo + hi);
      if (!(x > lo && x < hi)) x = 0.5 * (lo + hi);
      const double gx = g(x);
      if (std::fabs(gx) < 1e-9) return x;
      if (gx < 0) {
        lo = x, g_lo = gx;
        if (side == -1) g_hi /= 2;
        side = -1;
      } else {
        hi = x, g_hi = gx;
        if (side == 1) g_lo /= 2;
        side = 1;
      }
    }
    return 0.5 * (lo + hi);
  }

 private:
  double re_, m_, k_;
  Student student_;
  double log_gamma_m_;
  std::vector<double> edges_;
};

double NormalZ(double confidence) { return std::sqrt(ChiSquaredQuantile(confidence, 1.0)); }

bool Finite(double sxx, double syy, double re, double im, double m) {
  return std::isfinite(sxx) && std::isfinite(syy) && std::isfinite(re) && std::isfinite(im) && std::isfinite(m);
}

// Sxx Syy - |Sxy|^2, which the averages keep at or above zero up to rounding.
double Unshared(double sxx, double syy, double re, double im) { return std::max(0.0, sxx * syy - re * re - im * im); }

}  // namespace

double StudentCdf(double t, double nu) {
  if (!(nu > 0) || std::isnan(t)) return kNan;
  return 1.0 - Student(nu).Upper(t);
}

double CrossZeroTail(double part, double sxx, double syy, double re, double im, double m) {
  if (!Finite(sxx, syy, re, im, m) || std::isnan(part)) return kNan;
  if (m <= 1.0) return 1.0;
  const double det = Unshared(sxx, syy, re, im);
  const double nu = 2.0 * m - 2.0;
  if (det == 0.0) return part > 0 ? 0.0 : part < 0 ? 1.0 : 0.5;
  return Student(nu).Upper(part * std::sqrt(nu / det));
}

double CrossReSigma(double sxx, double syy, double re, double im, double m) {
  if (!(m > 0)) return kInf;
  return std::sqrt(std::max(0.0, sxx * syy + re * re - im * im) / (2.0 * m));
}

Interval CrossReInterval(double sxx, double syy, double re, double im, double m, double confidence) {
  if (!Finite(sxx, syy, re, im, m) || !(confidence > 0 && confidence < 1)) return {kNan, kNan};
  if (m <= 1.0) return {-kInf, kInf};
  const double sigma = CrossReSigma(sxx, syy, re, im, m);
  const double z = NormalZ(confidence);
  if (m >= kCrossNormalAverages) return {re - z * sigma, re + z * sigma};
  if (sigma == 0.0) return {re, re};
  const Pivot pivot(re, Unshared(sxx, syy, re, im), m);
  const double tail = (1.0 - confidence) / 2.0;
  return {pivot.Quantile(tail, re - z * sigma, z * sigma), pivot.Quantile(1.0 - tail, re + z * sigma, z * sigma)};
}

double CrossAveragesToResolve(double sxx, double syy, double re, double im, double m, double confidence) {
  if (!Finite(sxx, syy, re, im, m) || !(confidence > 0 && confidence < 1)) return kNan;
  if (!(re > 0)) return kInf;
  m = std::max(m, 0.0);
  // With the spectra as they are, the normal interval's lower end is above zero from
  // z^2 (Sxx Syy + Re^2 - Im^2) / (2 Re^2) averages on.
  const double z = NormalZ(confidence);
  const double normal = z * z * std::max(0.0, sxx * syy + re * re - im * im) / (2.0 * re * re);
  if (m >= kCrossNormalAverages) return std::max(m, normal);
  // Below 30 the interval's lower end is above zero exactly where Student's t rejects Re = 0.
  const double det = Unshared(sxx, syy, re, im);
  const double tail = (1.0 - confidence) / 2.0;
  auto resolved = [&](double averages) {
    if (averages <= 1.0) return false;
    if (det == 0.0) return true;
    const double nu = 2.0 * averages - 2.0;
    return Student(nu).Upper(re * std::sqrt(nu / det)) < tail;
  };
  if (resolved(m)) return m;
  if (!resolved(kCrossNormalAverages * (1 - 1e-12))) return std::max(kCrossNormalAverages, normal);
  double lo = std::max(m, 1.0), hi = kCrossNormalAverages;
  for (int i = 0; i < 60 && hi - lo > 1e-6 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (resolved(mid) ? hi : lo) = mid;
  }
  return hi;
}

}  // namespace qvx::psd
