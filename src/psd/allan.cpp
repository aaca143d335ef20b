#include "psd/allan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace qvx::psd {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The running sum of y from 0: N + 1 phase points.
std::vector<double> Phase(const double* y, std::size_t n) {
  std::vector<double> x(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) x[i + 1] = x[i] + y[i];
  return x;
}

// Greenhall's generalized autocovariance of the second integral of power-law frequency noise
// (its polynomial part dropped, which the differences below remove).
double Sw(double t, int alpha) {
  const double a = std::fabs(t);
  const double log = a > 0 ? std::log(a) : 0.0;
  switch (alpha) {
    case 2:
      return -a;
    case 1:
      return t * t * log;
    case 0:
      return a * a * a;
    case -1:
      return -t * t * t * t * log;
    case -2:
      return -a * a * a * a * a;
    case -3:
      return t * t * t * t * t * t * log;
    default:
      return a * a * a * a * a * a * a;
  }
}

// The phase sampled at tau / F (F = infinity: continuous).
double Sx(double t, double f, int alpha) {
  if (std::isinf(f)) return Sw(t, alpha + 2);
  return f * f * (2.0 * Sw(t, alpha) - Sw(t - 1.0 / f, alpha) - Sw(t + 1.0 / f, alpha));
}

// The d-th difference at lag tau.
double Sz(double t, double f, int alpha, int d) {
  double binomial = 1.0;  // C(2d, d + k) from k = d down
  double sum = 0.0;
  for (int k = d; k >= 0; --k) {
    const double sign = (k % 2 == 0) ? 1.0 : -1.0;
    sum += sign * binomial * (k == 0 ? Sx(t, f, alpha) : Sx(t - k, f, alpha) + Sx(t + k, f, alpha));
    binomial = binomial * (d + k) / (d - k + 1);
  }
  return sum;
}

double BasicSum(double j_terms, double m_terms, double s, double f, int alpha, int d) {
  const double z0 = Sz(0.0, f, alpha, d);
  double sum = z0 * z0;
  const double zj = Sz(j_terms / s, f, alpha, d);
  sum += (1.0 - j_terms / m_terms) * zj * zj;
  for (int j = 1; j < static_cast<int>(j_terms); ++j) {
    const double z = Sz(j / s, f, alpha, d);
    sum += 2.0 * (1.0 - j / m_terms) * z * z;
  }
  return sum;
}

struct Pair {
  double a = 0.0;
  double b = 0.0;
};

// Greenhall and Riley's asymptotic coefficients for unmodified variances, d = 2 and 3.
Pair Table2(int alpha, int d) {
  static constexpr Pair kTable[5][2] = {
      {{35.0 / 18.0, 1.0}, {231.0 / 100.0, 1.5}},  // alpha 2
      {{790.0, 410.0}, {9950.0, 6520.0}},          // 1
      {{2.0 / 3.0, 1.0 / 3.0}, {7.0 / 9.0, 0.5}},  // 0
      {{0.852, 0.375}, {0.997, 0.617}},            // -1
      {{1.079, 0.368}, {1.033, 0.607}},            // -2
  };
  return kTable[2 - alpha][d - 2];
}

Pair Table3(int d) { return d == 2 ? Pair{15.23, 12.0} : Pair{47.8, 40.0}; }

}  // namespace

std::string_view NoiseTypeName(NoiseType type) {
  switch (type) {
    case NoiseType::kF2:
      return "f^2";
    case NoiseType::kF:
      return "f";
    case NoiseType::kWhite:
      return "white";
    case NoiseType::kInvF:
      return "1/f";
    case NoiseType::kInvF2:
      return "1/f^2";
  }
  return "white";
}

NoiseType NoiseFromAlpha(double alpha) {
  if (!std::isfinite(alpha)) return NoiseType::kWhite;
  return static_cast<NoiseType>(static_cast<int>(std::clamp(std::round(alpha), -2.0, 2.0)));
}

double OverlappingAllanVariance(const double* y, std::size_t n, std::size_t m) {
  if (m == 0 || n + 1 <= 2 * m) return kNaN;
  const auto x = Phase(y, n);
  double sum = 0.0;
  const std::size_t terms = n + 1 - 2 * m;
  for (std::size_t i = 0; i < terms; ++i) {
    const double d = x[i + 2 * m] - 2.0 * x[i + m] + x[i];
    sum += d * d;
  }
  const auto md = static_cast<double>(m);
  return sum / (2.0 * md * md * static_cast<double>(terms));
}

double OverlappingHadamardVariance(const double* y, std::size_t n, std::size_t m) {
  if (m == 0 || n + 1 <= 3 * m) return kNaN;
  const auto x = Phase(y, n);
  double sum = 0.0;
  const std::size_t terms = n + 1 - 3 * m;
  for (std::size_t i = 0; i < terms; ++i) {
    const double d = x[i + 3 * m] - 3.0 * x[i + 2 * m] + 3.0 * x[i + m] - x[i];
    sum += d * d;
  }
  const auto md = static_cast<double>(m);
  return sum / (6.0 * md * md * static_cast<double>(terms));
}

double AllanEdf(NoiseType type, std::size_t phase_points, std::size_t m) {
  const auto n = static_cast<double>(phase_points);
  const auto md = static_cast<double>(m);
  if (m == 0 || n <= 2.0 * md + 1.0) return kNaN;
  double edf = kNaN;
  switch (type) {
    case NoiseType::kF2:
      edf = (n + 1.0) * (n - 2.0 * md) / (2.0 * (n - md));
      break;
    case NoiseType::kF:
      edf = std::exp(std::sqrt(std::log((n - 1.0) / (2.0 * md)) * std::log((2.0 * md + 1.0) * (n - 1.0) / 4.0)));
      break;
    case NoiseType::kWhite:
      edf = (3.0 * (n - 1.0) / (2.0 * md) - 2.0 * (n - 2.0) / n) * 4.0 * md * md / (4.0 * md * md + 5.0);
      break;
    case NoiseType::kInvF:
      edf = m == 1 ? 2.0 * (n - 2.0) * (n - 2.0) / (2.3 * n - 4.9) : 5.0 * n * n / (4.0 * md * (n + 3.0 * md));
      break;
    case NoiseType::kInvF2:
      edf = (n - 2.0) / md * ((n - 1.0) * (n - 1.0) - 3.0 * md * (n - 1.0) + 4.0 * md * md) / ((n - 3.0) * (n - 3.0));
      break;
  }
  return edf;
}

double OverlappedEdf(NoiseType type, int d, std::size_t phase_points, std::size_t m) {
  const int alpha = Alpha(type);
  const auto n = static_cast<double>(phase_points);
  const auto md = static_cast<double>(m);
  if ((d != 2 && d != 3) || m == 0 || n <= md * d + 1.0) return kNaN;
  // Stride S = m and filter factor F = m: every phase point starts a term.
  constexpr double kJmax = 100.0;
  const double terms = n - md * d;  // M
  const double j_terms = std::min(terms, (d + 1) * md);
  const double r = terms / md;
  const double inf = std::numeric_limits<double>::infinity();
  double inverse = kNaN;
  if (alpha == 2) {
    double c4d = 1.0, c2d = 1.0;  // C(4d, 2d) and C(2d, d)
    for (int i = 1; i <= 2 * d; ++i) c4d = c4d * (2 * d + i) / i;
    for (int i = 1; i <= d; ++i) c2d = c2d * (d + i) / i;
    inverse = (c4d / (c2d * c2d) - d / 2.0 / std::max(r, d + 1.0)) / terms;
  } else if (alpha == 1) {
    const Pair b = Table3(d);
    const double lead = b.a + b.b * std::log(md);
    if (j_terms <= kJmax) {
      const double z0 = Sz(0.0, md, 1, d);
      inverse = BasicSum(j_terms, terms, md, md, 1, d) / (terms * z0 * z0);
    } else if (r > d + 1) {
      const Pair a = Table2(1, d);
      inverse = (a.a - a.b / r) / (r * lead * lead);
    } else {
      const double mp = kJmax / r;
      inverse = BasicSum(kJmax, kJmax, mp, mp, 1, d) / (kJmax * lead * lead);
    }
  } else {
    if (j_terms <= kJmax) {
      const double mp = md * (d + 1) <= kJmax ? md : inf;
      const double z0 = Sz(0.0, mp, alpha, d);
      inverse = BasicSum(j_terms, terms, md, mp, alpha, d) / (terms * z0 * z0);
    } else if (r > d + 1) {
      const Pair a = Table2(alpha, d);
      inverse = (a.a - a.b / r) / r;
    } else {
      const double mp = kJmax / r;
      const double z0 = Sz(0.0, inf, alpha, d);
      inverse = BasicSum(kJmax, kJmax, mp, inf, alpha, d) / (kJmax * z0 * z0);
    }
  }
  return inverse > 0 ? 1.0 / inverse : kNaN;
}

NoiseId NoiseFromLag1(const std::array<double, 3>& r1, std::size_t averages) {
  NoiseId id;
  for (int d = 0; d < 3; ++d) {
    const double r = std::clamp(r1[d], -0.999, 0.999);
    const double delta = r / (1.0 + r);
    if (delta < 0.25 || d == 2) {
      const double alpha = -2.0 * (delta + d);
      // r1 of n values scatters by about 1 / sqrt(n); delta by that over (1 + r1)^2.
      const double n = std::max(1.0, static_cast<double>(averages) - d);
      const double reach = 4.0 / std::sqrt(n) / ((1.0 + r) * (1.0 + r));
      id.type = NoiseFromAlpha(-std::round(2.0 * delta) - 2.0 * d);
      id.alpha_min = std::min(Alpha(id.type), static_cast<int>(std::clamp(std::ceil(alpha - reach), -2.0, 2.0)));
      id.alpha_max = std::max(Alpha(id.type), static_cast<int>(std::clamp(std::floor(alpha + reach), -2.0, 2.0)));
      return id;
    }
  }
  return id;
}

double B1Expected(std::size_t averages, double mu) {
  const auto n = static_cast<double>(averages);
  if (std::fabs(mu) < 1e-12) return n * std::log(n) / (2.0 * (n - 1.0) * std::numbers::ln2);
  return n * (1.0 - std::pow(n, mu)) / (2.0 * (n - 1.0) * (1.0 - std::pow(2.0, mu)));
}

NoiseId NoiseFromB1(double b1, std::size_t averages, NoiseType finer) {
  NoiseId id;
  id.type = finer;
  if (b1 > 0 && averages >= 3) {
    // mu = -2 (f^2 or f), -1 (white), 0 (1/f), 1 (1/f^2); the boundaries lie at the
    // geometric means of neighbouring expectations.
    int mu = -2;
    while (mu < 1 && b1 > std::sqrt(B1Expected(averages, mu) * B1Expected(averages, mu + 1))) ++mu;
    if (mu == -2) {
      id.type = finer == NoiseType::kF2 ? NoiseType::kF2 : NoiseType::kF;
    } else {
      id.type = static_cast<NoiseType>(-1 - mu);
    }
  }
  id.alpha_min = std::max(-2, std::min(Alpha(id.type), Alpha(finer)) - 1);
  id.alpha_max = std::min(2, std::max(Alpha(id.type), Alpha(finer)) + 1);
  return id;
}

double AllanEdfFor(const NoiseId& id, std::size_t phase_points, std::size_t m) {
  double edf = std::numeric_limits<double>::infinity();
  for (int alpha = id.alpha_min; alpha <= id.alpha_max; ++alpha) {
    const auto type = static_cast<NoiseType>(alpha);
    edf = std::min({edf, AllanEdf(type, phase_points, m), OverlappedEdf(type, 2, phase_points, m)});
  }
  return std::isinf(edf) ? kNaN : edf;
}

double HadamardEdfFor(const NoiseId& id, std::size_t phase_points, std::size_t m) {
  double edf = std::numeric_limits<double>::infinity();
  for (int alpha = id.alpha_min; alpha <= id.alpha_max; ++alpha) {
    edf = std::min(edf, OverlappedEdf(static_cast<NoiseType>(alpha), 3, phase_points, m));
  }
  return std::isinf(edf) ? kNaN : edf;
}

double AllanVarianceWhiteFlicker(double white_v_rthz, double corner_hz, double tau_s) {
  const double w2 = white_v_rthz * white_v_rthz;
  return w2 / (2.0 * tau_s) + kAllanFlicker * w2 * corner_hz;
}

}  // namespace qvx::psd
