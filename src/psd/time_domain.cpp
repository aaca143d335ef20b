#include "psd/time_domain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

#include "psd/chi_squared.h"

namespace qvx::psd {
namespace {

// Samples are processed in chunks that start at multiples of kChunk, so the order of every
// sum is fixed by the record alone.
constexpr std::size_t kChunk = 4096;
// m = 1, 2, 4, 8, 16 come from exact running sums over every phase point.
constexpr std::size_t kExactLevels = 5;
constexpr std::size_t kBack = 48;  // samples the exact Hadamard terms reach back: 3 x 16
// Past m = 16 the phase is kept as moments of blocks of s = m / 8 points (mean, slope and the
// residual about that line). A term of the blocks j, j + 8, j + 16 (and j + 24) is
//   s dA^2 + Srr dB^2 + sum of the residuals' squares,
// which is the exact sum of the s overlapping terms starting in block j but for the products
// of residuals of different blocks: their mean is zero where the noise is uncorrelated from
// block to block at these lags, and small beside the rest where it is not (the residual is
// the part of a block a line does not follow). Dropping them lowers the estimate's scatter if
// anything (measured over power-law records: as the exact overlapping estimate for white, 1/f
// and 1/f^2 noise, less for f and f^2), so the exact estimate's degrees of freedom stay
// honest for it.
constexpr std::size_t kPerTau = 8;
constexpr std::size_t kHeld = 3 * kPerTau;               // blocks a level keeps for its next terms
constexpr std::size_t kMeanBlock = 8;                    // samples per mean kept for the bursts
constexpr std::size_t kMaxMeans = std::size_t{1} << 17;  // points the burst analysis runs on
constexpr std::size_t kEdge = 6;                         // sums kept at either end of a series, for its edge terms

// Four doubles at a time: two SSE2 operations each on plain x86-64, one AVX2 operation where
// the processor has it (the hot loops are built for both and chosen when the program starts).
// Each lane sees the same operations in the same order either way and the lanes are summed in
// a fixed order, so the results do not depend on the machine.
using V4 = double __attribute__((vector_size(32)));
inline void Load(V4& v, const double* p) { std::memcpy(&v, p, sizeof v); }
inline void Store(double* p, const V4& v) { std::memcpy(p, &v, sizeof v); }
inline double Total(const V4& v) { return (v[0] + v[1]) + (v[2] + v[3]); }
// Clones are picked by an ifunc resolver, which runs before ThreadSanitizer's runtime is up:
// under it, the one baseline build (the same bits).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__SANITIZE_THREAD__)
#define QVX_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define QVX_WIDE
#endif

// Over J in [from_a, end): sum of (s[J] - s[J-m])^2 into *allan, and over J in [from_h, end)
// (from_h >= from_a) the same differenced again at lag m into *hadamard. On the way, the sums
// of 2m: next[J] = s[J] + s[J-m] for J in [2m, end) (next may be null).
QVX_WIDE void DifferenceSums(const double* s, std::size_t m, std::size_t from_a, std::size_t from_h, std::size_t end,
                             double* next, double* allan, double* hadamard) {
  if (next != nullptr) {
    for (std::size_t j = 2 * m; j < std::min(from_h, end); ++j) next[j] = s[j] + s[j - m];
  }
  double lead = 0.0;
  for (std::size_t j = from_a; j < std::min(from_h, end); ++j) {
    const double a = s[j] - s[j - m];
    lead += a * a;
  }
  V4 sa = {}, sh = {};
  std::size_t j = from_h;
  for (; j + 4 <= end; j += 4) {
    V4 p, q, r;
    Load(p, s + j);
    Load(q, s + j - m);
    Load(r, s + j - 2 * m);
    const V4 x = p - q;
    const V4 y = x - (q - r);
    sa += x * x;
    sh += y * y;
    if (next != nullptr) Store(next + j, p + q);
  }
  double ta = 0.0, th = 0.0;
  for (; j < end; ++j) {
    const double x = s[j] - s[j - m];
    const double y = x - (s[j - m] - s[j - 2 * m]);
    ta += x * x;
    th += y * y;
    if (next != nullptr) next[j] = s[j] + s[j - m];
  }
  *allan += lead + Total(sa) + ta;
  *hadamard += Total(sh) + th;
}

// Into out: the sum of v[k] and of k v[k] over k in [0, len).
QVX_WIDE void SumAndMoment(const double* v, std::size_t len, double* out) {
  V4 sum = {}, moment = {}, index = {0.0, 1.0, 2.0, 3.0};
  std::size_t k = 0;
  for (; k + 4 <= len; k += 4, index += 4.0) {
    V4 x;
    Load(x, v + k);
    sum += x;
    moment += index * x;
  }
  double ts = 0.0, tm = 0.0;
  for (; k < len; ++k) {
    ts += v[k];
    tm += static_cast<double>(k) * v[k];
  }
  out[0] += Total(sum) + ts;
  out[1] += Total(moment) + tm;
}

// Into out[0 .. 4]: the sum of z[i] and of z[i] z[i - k], k = 0 ... 3, over i in [from, count).
QVX_WIDE void LagSums(const double* z, std::size_t from, std::size_t count, double* out) {
  V4 s = {}, l0 = {}, l1 = {}, l2 = {}, l3 = {};
  std::size_t i = from;
  for (; i + 4 <= count; i += 4) {
    V4 a, b, c, d;
    Load(a, z + i);
    Load(b, z + i - 1);
    Load(c, z + i - 2);
    Load(d, z + i - 3);
    s += a;
    l0 += a * a;
    l1 += a * b;
    l2 += a * c;
    l3 += a * d;
  }
  double t = 0.0, t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
  for (; i < count; ++i) {
    t += z[i];
    t0 += z[i] * z[i];
    t1 += z[i] * z[i - 1];
    t2 += z[i] * z[i - 2];
    t3 += z[i] * z[i - 3];
  }
  out[0] += Total(s) + t;
  out[1] += Total(l0) + t0;
  out[2] += Total(l1) + t1;
  out[3] += Total(l2) + t2;
  out[4] += Total(l3) + t3;
}

// The terms of one level's new blocks, at [kHeld, kHeld + count) of its arrays (the held
// blocks before them), as kPerTau describes: Allan's from from_a, Hadamard's from from_h.
QVX_WIDE void BlockSums(const double* mean, const double* slope, const double* residual, std::size_t from_a,
                        std::size_t from_h, std::size_t count, double s, double srr, double* allan, double* hadamard) {
  constexpr std::size_t k = kPerTau;
  double lead = 0.0;
  for (std::size_t i = from_a; i < from_h; ++i) {
    const std::size_t at = kHeld + i;
    const double da = mean[at] - 2.0 * mean[at - k] + mean[at - 2 * k];
    const double db = slope[at] - 2.0 * slope[at - k] + slope[at - 2 * k];
    lead += s * da * da + srr * db * db + residual[at] + 4.0 * residual[at - k] + residual[at - 2 * k];
  }
  V4 sa = {}, sh = {};
  std::size_t i = from_h;
  for (; i + 4 <= count; i += 4) {
    const std::size_t at = kHeld + i;
    V4 m0, m1, m2, m3, b0, b1, b2, b3, e0, e1, e2, e3;
    Load(m0, mean + at - 3 * k);
    Load(m1, mean + at - 2 * k);
    Load(m2, mean + at - k);
    Load(m3, mean + at);
    Load(b0, slope + at - 3 * k);
    Load(b1, slope + at - 2 * k);
    Load(b2, slope + at - k);
    Load(b3, slope + at);
    Load(e0, residual + at - 3 * k);
    Load(e1, residual + at - 2 * k);
    Load(e2, residual + at - k);
    Load(e3, residual + at);
    const V4 da = m3 - 2.0 * m2 + m1, db = b3 - 2.0 * b2 + b1;
    const V4 ha = da - (m2 - 2.0 * m1 + m0), hb = db - (b2 - 2.0 * b1 + b0);
    sa += s * da * da + srr * db * db + e3 + 4.0 * e2 + e1;
    sh += s * ha * ha + srr * hb * hb + e3 + 9.0 * (e2 + e1) + e0;
  }
  double ta = 0.0, th = 0.0;
  for (; i < count; ++i) {
    const std::size_t at = kHeld + i;
    const double m0 = mean[at - 3 * k], m1 = mean[at - 2 * k], m2 = mean[at - k];
    const double b0 = slope[at - 3 * k], b1 = slope[at - 2 * k], b2 = slope[at - k];
    const double e1 = residual[at - 2 * k], e2 = residual[at - k], e3 = residual[at];
    const double da = mean[at] - 2.0 * m2 + m1, db = slope[at] - 2.0 * b2 + b1;
    const double ha = da - (m2 - 2.0 * m1 + m0), hb = db - (b2 - 2.0 * b1 + b0);
    ta += s * da * da + srr * db * db + e3 + 4.0 * e2 + e1;
    th += s * ha * ha + srr * hb * hb + e3 + 9.0 * (e2 + e1) + residual[at - 3 * k];
  }
  *allan += lead + Total(sa) + ta;
  *hadamard += Total(sh) + th;
}

// Blocks of phase points, as arrays: the mean, the sum of (r - centre) (x - mean) and the sum
// of (x - mean)^2.
struct Blocks {
  std::vector<double> mean, sr, m2;
  std::size_t count = 0;
  void Resize(std::size_t n) {
    if (mean.size() < n) {
      mean.resize(n);
      sr.resize(n);
      m2.resize(n);
    }
    count = n;
  }
};

// m = 32 << level: blocks of s = m / 8 = 4 << level phase points.
struct Level {
  std::size_t blocks = 0;
  // The last kHeld blocks, oldest first: mean, slope and residual.
  std::array<double, kHeld> mean{}, slope{}, residual{};
  double half_mean = 0.0, half_sr = 0.0, half_m2 = 0.0;  // a block waiting for its partner
  bool has_half = false;
  double allan = 0.0;
  double hadamard = 0.0;
  std::size_t allan_terms = 0;
  std::size_t hadamard_terms = 0;
};

// The non-overlapping sums z_0 ... z_(n-1) of m = 2^level samples, kept as their lag sums
// L_k = sum z_j z_(j-k) (k = 0 ... 3), their total and a few at either end: enough for the
// lag-1 autocorrelation of the sums differenced up to twice.
struct Averages {
  std::size_t count = 0;
  double sum = 0.0;
  std::array<double, 4> lag{};
  std::array<double, kEdge> head{};  // z_0 ... z_5
  std::array<double, kEdge> tail{};  // z_(n-6) ... z_(n-1)
  double half = 0.0;                 // a sum waiting for its partner
  bool has_half = false;

  // z_j for j in the head or the tail.
  double At(std::size_t j) const { return j < kEdge ? head[j] : tail[kEdge - (count - j)]; }
};

// Statistics of the d-th difference of the sums: its lag-1 autocorrelation and its variance.
struct Differenced {
  double lag1 = 0.0;
  double variance = 0.0;
  double mean_square = 0.0;
};

Differenced Difference(const Averages& a, int d) {
  const std::size_t n = a.count;
  Differenced out;
  if (n < kEdge) return out;
  static constexpr double kCoef[3][3] = {{1, 0, 0}, {1, -1, 0}, {1, -2, 1}};
  const double* c = kCoef[d];
  auto z = [&](std::size_t j) { return a.At(j); };
  // sum over j in [lo, hi] of z_j z_(j-k): L_k less the few terms outside.
  auto lag_range = [&](std::size_t k, std::size_t lo, std::size_t hi) {
    double s = a.lag[k];
    for (std::size_t j = k; j < lo; ++j) s -= z(j) * z(j - k);
    for (std::size_t j = hi + 1; j < n; ++j) s -= z(j) * z(j - k);
    return s;
  };
  auto range = [&](std::size_t lo, std::size_t hi) {
    double s = a.sum;
    for (std::size_t j = 0; j < lo; ++j) s -= z(j);
    for (std::size_t j = hi + 1; j < n; ++j) s -= z(j);
    return s;
  };
  auto w = [&](std::size_t i) {
    double s = 0.0;
    for (int p = 0; p <= d; ++p) s += c[p] * z(i - p);
    return s;
  };
  const auto dd = static_cast<std::size_t>(d);
  const double count = static_cast<double>(n - dd);
  double sum = 0.0, sum2 = 0.0, lag = 0.0;
  for (std::size_t p = 0; p <= dd; ++p) {
    sum += c[p] * range(dd - p, n - 1 - p);
    for (std::size_t q = 0; q <= dd; ++q) {
      // w_i w_i over i in [d, n-1]: z_(i-p) z_(i-q).
      const std::size_t lo = std::min(p, q), hi = std::max(p, q);
      sum2 += c[p] * c[q] * lag_range(hi - lo, dd - lo, n - 1 - lo);
      // w_i w_(i-1) over i in [d+1, n-1]: z_(i-p) z_(i-1-q).
      const std::size_t a1 = p, b1 = q + 1;
      const std::size_t l1 = std::min(a1, b1), h1 = std::max(a1, b1);
      lag += c[p] * c[q] * lag_range(h1 - l1, dd + 1 - l1, n - 1 - l1);
    }
  }
  const double first = w(dd), last = w(n - 1);
  const double mean = sum / count;
  const double den = sum2 - count * mean * mean;
  const double num = lag - mean * (2.0 * sum - first - last) + (count - 1.0) * mean * mean;
  out.lag1 = den > 0 ? num / den : 0.0;
  out.variance = count > 1 ? den / (count - 1.0) : 0.0;
  out.mean_square = sum2 / count;
  return out;
}

// Student's t: the regularized incomplete beta I_x(a, b) by its continued fraction.
double IncompleteBeta(double a, double b, double x) {
  if (x <= 0) return 0.0;
  if (x >= 1) return 1.0;
  if (x > (a + 1.0) / (a + b + 2.0)) return 1.0 - IncompleteBeta(b, a, 1.0 - x);
  const double lead =
      std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log(1.0 - x)) / a;
  constexpr double kTiny = 1e-300;
  double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
  d = 1.0 / (std::fabs(d) < kTiny ? kTiny : d);
  double h = d;
  for (int m = 1; m < 500; ++m) {
    for (int even = 1; even >= 0; --even) {
      const double num = even ? m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m))
                              : -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1));
      d = 1.0 + num * d;
      d = 1.0 / (std::fabs(d) < kTiny ? kTiny : d);
      c = 1.0 + num / c;
      if (std::fabs(c) < kTiny) c = kTiny;
      h *= d * c;
    }
    if (std::fabs(d * c - 1.0) < 1e-15) break;
  }
  return lead * h;
}

// The t with P(|T| < t) = p for Student's t of nu degrees of freedom.
double StudentQuantile(double p, double nu) {
  auto two_sided = [&](double t) { return 1.0 - IncompleteBeta(0.5 * nu, 0.5, nu / (nu + t * t)); };
  double lo = 0.0, hi = 1.0;
  while (two_sided(hi) < p && hi < 1e6) hi *= 2.0;
  for (int i = 0; i < 100; ++i) {
    const double mid = 0.5 * (lo + hi);
    (two_sided(mid) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// Non-negative weighted least squares of the Hadamard variances on h0 / (2 tau) + c1 h1 +
// c2 h2 tau + b / tau^2, weighted by their degrees of freedom (each variance scatters by
// sqrt(2 / edf) of the model), over the active sets, the fewest parts that fit; the weights
// follow the model. The last part takes what a bounded signal (a line, ripple) leaves at
// averaging times beyond its period, which would otherwise pass for noise.
constexpr int kNoiseParts = 4;
struct NoiseFit {
  std::array<double, kNoiseParts> h{};
  std::array<std::array<double, kNoiseParts>, kNoiseParts> cov{};
};

std::array<double, kNoiseParts> NoiseBasis(double tau) {
  return {0.5 / tau, kHadamardFlicker, kHadamardWalk * tau, 1.0 / (tau * tau)};
}

double ModelVariance(const std::array<double, kNoiseParts>& h, const std::array<double, kNoiseParts>& basis) {
  double m = 0.0;
  for (int p = 0; p < kNoiseParts; ++p) m += h[p] * basis[p];
  return m;
}

NoiseFit FitNoise(const std::vector<DeviationPoint>& points) {
  const std::size_t count = points.size();
  std::vector<std::array<double, kNoiseParts>> basis(count);
  std::vector<double> value(count), model(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double tau = points[i].tau_s;
    basis[i] = NoiseBasis(tau);
    value[i] = points[i].hdev_v * points[i].hdev_v;
    model[i] = value[i];
  }
  NoiseFit best;
  for (int round = 0; round < 4; ++round) {
    double best_chi2 = HUGE_VAL;
    NoiseFit chosen;
    for (int mask = 1; mask < (1 << kNoiseParts); ++mask) {
      std::array<int, kNoiseParts> idx{};
      int k = 0;
      for (int p = 0; p < kNoiseParts; ++p) {
        if (mask & (1 << p)) idx[k++] = p;
      }
      // Normal equations, scaled to unit diagonal for conditioning.
      std::array<std::array<double, kNoiseParts>, kNoiseParts> a{};
      std::array<double, kNoiseParts> rhs{};
      for (std::size_t i = 0; i < count; ++i) {
        const double w = points[i].hdev_edf / (2.0 * model[i] * model[i]);
        for (int r = 0; r < k; ++r) {
          rhs[r] += w * basis[i][idx[r]] * value[i];
          for (int c = 0; c < k; ++c) a[r][c] += w * basis[i][idx[r]] * basis[i][idx[c]];
        }
      }
      std::array<double, kNoiseParts> scale{};
      for (int r = 0; r < k; ++r) scale[r] = a[r][r] > 0 ? 1.0 / std::sqrt(a[r][r]) : 0.0;
      std::array<std::array<double, kNoiseParts>, kNoiseParts> inv{};
      std::array<std::array<double, 2 * kNoiseParts>, kNoiseParts> aug{};
      for (int r = 0; r < k; ++r) {
        for (int c = 0; c < k; ++c) aug[r][c] = a[r][c] * scale[r] * scale[c];
        aug[r][k + r] = 1.0;
      }
      bool singular = false;
      for (int c = 0; c < k && !singular; ++c) {
        int pivot = c;
        for (int r = c + 1; r < k; ++r) {
          if (std::fabs(aug[r][c]) > std::fabs(aug[pivot][c])) pivot = r;
        }
        if (std::fabs(aug[pivot][c]) < 1e-12) {
          singular = true;
          break;
        }
        std::swap(aug[c], aug[pivot]);
        const double d = aug[c][c];
        for (int j = 0; j < 2 * k; ++j) aug[c][j] /= d;
        for (int r = 0; r < k; ++r) {
          if (r == c) continue;
          const double f = aug[r][c];
          for (int j = 0; j < 2 * k; ++j) aug[r][j] -= f * aug[c][j];
        }
      }
      if (singular) continue;
      NoiseFit fit;
      bool feasible = true;
      for (int r = 0; r < k; ++r) {
        for (int c = 0; c < k; ++c) inv[r][c] = aug[r][k + c] * scale[r] * scale[c];
      }
      for (int r = 0; r < k; ++r) {
        double h = 0.0;
        for (int c = 0; c < k; ++c) h += inv[r][c] * rhs[c];
        if (!(h > 0)) feasible = false;
        fit.h[idx[r]] = h;
        for (int c = 0; c < k; ++c) fit.cov[idx[r]][idx[c]] = inv[r][c];
      }
      if (!feasible) continue;
      double chi2 = 0.0;
      for (std::size_t i = 0; i < count; ++i) {
        const double m = ModelVariance(fit.h, basis[i]);
        chi2 += points[i].hdev_edf / (2.0 * model[i] * model[i]) * (value[i] - m) * (value[i] - m);
      }
      // A part enters only where it lowers chi^2 by more than a 99 % test asks (6.63): a
      // random walk the data do not show would still reach far, to the record's length.
      const double score = chi2 + 6.63 * k;
      if (score < best_chi2 * (1.0 - 1e-12)) {
        best_chi2 = score;
        chosen = fit;
      }
    }
    if (best_chi2 == HUGE_VAL) break;
    best = chosen;
    for (std::size_t i = 0; i < count; ++i) {
      model[i] = std::max(ModelVariance(best.h, basis[i]), 1e-300);
    }
  }
  return best;
}

}  // namespace

// Working arrays, reused from chunk to chunk.
struct TimeDomain::Scratch {
  std::vector<double> u;                      // a spare slot, the last kBack samples, then the chunk's
  std::vector<double> s2, s4, s8, s16;        // moving sums of 2, 4, 8 and 16 samples
  Blocks blocks[2];                           // new blocks of one level and of the next
  std::vector<double> mean, slope, residual;  // held and new blocks of one level
  std::vector<double> sums[2];                // new sums of one level and of the next
};

struct TimeDomain::State {
  std::size_t n = 0;  // samples processed
  bool has_ref = false;
  double ref = 0.0;
  double phase = 0.0;                // P_n, the running sum of the samples less the reference
  std::array<double, kBack> back{};  // the last kBack samples less the reference
  std::array<double, kExactLevels> allan{};
  std::array<double, kExactLevels> hadamard{};
  std::vector<Level> levels;
  std::vector<Averages> averages;
  double st = 0.0;  // sum of i v_i, for the slope

  void Exact(Scratch& w, std::size_t len);
  void AddBlocks(Scratch& w);
  void AddSums(const double* v, std::size_t len, Scratch& w);
  void Process(const double* v, std::size_t len, std::vector<float>& means, Scratch& w);
};

// m = 1, 2, 4, 8, 16 over every phase point. With S_m(g) the sum of the m samples before phase
// point g, the Allan term ending at g is S_m(g) - S_m(g - m) and the Hadamard term
// S_m(g) - 2 S_m(g - m) + S_m(g - 2m).
void TimeDomain::State::Exact(Scratch& w, std::size_t len) {
  // Index J stands for phase point n - kBack + J; u[J] is the sample before it, S_1(J).
  const std::size_t end = kBack + len + 1;
  double* sums[kExactLevels] = {w.u.data(), w.s2.data(), w.s4.data(), w.s8.data(), w.s16.data()};  // S_m(J)
  for (std::size_t level = 0; level < kExactLevels; ++level) {
    const std::size_t m = std::size_t{1} << level;
    // A term ending at phase point g needs g >= 2m (Allan), 3m (Hadamard); sums of 2m samples
    // exist from J = 2m.
    const std::size_t start_a = kBack + 1 + (n + 1 < 2 * m ? 2 * m - n - 1 : 0);
    const std::size_t start_h = std::max(kBack + 1 + (n + 1 < 3 * m ? 3 * m - n - 1 : 0), 2 * m);
    double* next = level + 1 < kExactLevels ? sums[level + 1] : nullptr;
    DifferenceSums(sums[level], m, start_a, start_h, end, next, &allan[level], &hadamard[level]);
  }
}

// The new blocks of level 0 are in w.blocks[0]; each level's terms, then its pairs merged
// into the next level's new blocks.
void TimeDomain::State::AddBlocks(Scratch& w) {
  for (std::size_t index = 0, cur = 0; w.blocks[cur].count > 0; ++index, cur ^= 1) {
    if (index >= levels.size()) levels.emplace_back();
    Level& level = levels[index];
    const Blocks& in = w.blocks[cur];
    const std::size_t count = in.count;
    const double s = static_cast<double>(std::size_t{4} << index);
    const double srr = s * (s * s - 1.0) / 12.0;
    const double inv_srr = 1.0 / srr;
    const std::size_t total = kHeld + count;
    if (w.mean.size() < total) {
      w.mean.resize(total);
      w.slope.resize(total);
      w.residual.resize(total);
    }
    double* mean = w.mean.data();
    double* slope = w.slope.data();
    double* residual = w.residual.data();
    std::copy(level.mean.begin(), level.mean.end(), mean);
    std::copy(level.slope.begin(), level.slope.end(), slope);
    std::copy(level.residual.begin(), level.residual.end(), residual);
    std::copy(in.mean.begin(), in.mean.begin() + static_cast<std::ptrdiff_t>(count), mean + kHeld);
    for (std::size_t i = 0; i < count; ++i) slope[kHeld + i] = in.sr[i] * inv_srr;
    for (std::size_t i = 0; i < count; ++i) {
      residual[kHeld + i] = std::max(0.0, in.m2[i] - in.sr[i] * in.sr[i] * inv_srr);
    }
    const std::size_t first = level.blocks;  // the record's index of the first new block
    const std::size_t from_a = first >= 2 * kPerTau ? 0 : std::min(count, 2 * kPerTau - first);
    const std::size_t from_h = first >= 3 * kPerTau ? 0 : std::min(count, 3 * kPerTau - first);
    BlockSums(mean, slope, residual, from_a, from_h, count, s, srr, &level.allan, &level.hadamard);
    level.allan_terms += count - from_a;
    level.hadamard_terms += count - from_h;
    std::copy(mean + count, mean + total, level.mean.begin());
    std::copy(slope + count, slope + total, level.slope.begin());
    std::copy(residual + count, residual + total, level.residual.begin());
    level.blocks += count;

    // Blocks (2j, 2j + 1) make block j of the level above: its mean, its centred first
    // moment and its sum of squares.
    std::size_t i = 0;
    Blocks& out = w.blocks[cur ^ 1];
    out.Resize(count / 2 + 1);
    std::size_t made = 0;
    auto merge = [&](double ma, double sa, double qa, double mb, double sb, double qb) {
      const double delta = mb - ma;
      out.mean[made] = 0.5 * (ma + mb);
      out.sr[made] = sa + sb + 0.5 * s * s * delta;
      out.m2[made] = qa + qb + 0.5 * s * delta * delta;
      ++made;
    };
    if (level.has_half) {
      merge(level.half_mean, level.half_sr, level.half_m2, in.mean[0], in.sr[0], in.m2[0]);
      level.has_half = false;
      i = 1;
    }
    for (; i + 2 <= count; i += 2) merge(in.mean[i], in.sr[i], in.m2[i], in.mean[i + 1], in.sr[i + 1], in.m2[i + 1]);
    if (i < count) {
      level.half_mean = in.mean[i];
      level.half_sr = in.sr[i];
      level.half_m2 = in.m2[i];
      level.has_half = true;
    }
    out.count = made;
  }
}

// Sums of 1, 2, 4, ... samples: each level's lag sums, then its pairs.
void TimeDomain::State::AddSums(const double* v, std::size_t len, Scratch& w) {
  const double* z = v;
  std::size_t count = len;
  for (std::size_t index = 0, cur = 0; count > 0; ++index, cur ^= 1) {
    if (index >= averages.size()) averages.emplace_back();
    Averages& a = averages[index];
    // Products with the three sums before these (zeros before the record's first), then
    // the rest two at a time.
    double t = 0.0, t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
    const std::size_t lead = std::min<std::size_t>(3, count);
    auto before = [&](std::size_t i, std::size_t k) { return i >= k ? z[i - k] : a.tail[kEdge + i - k]; };
    for (std::size_t i = 0; i < lead; ++i) {
      t += z[i];
      t0 += z[i] * z[i];
      t1 += z[i] * before(i, 1);
      t2 += z[i] * before(i, 2);
      t3 += z[i] * before(i, 3);
    }
    double sums[5] = {t, t0, t1, t2, t3};
    LagSums(z, lead, count, sums);
    a.sum += sums[0];
    for (std::size_t k = 0; k < 4; ++k) a.lag[k] += sums[k + 1];
    for (std::size_t j = 0; j < count && a.count + j < kEdge; ++j) a.head[a.count + j] = z[j];
    if (count >= kEdge) {
      std::copy(z + count - kEdge, z + count, a.tail.begin());
    } else {
      std::copy(a.tail.begin() + static_cast<std::ptrdiff_t>(count), a.tail.end(), a.tail.begin());
      std::copy(z, z + count, a.tail.end() - static_cast<std::ptrdiff_t>(count));
    }
    a.count += count;

    std::vector<double>& pairs = w.sums[cur];
    if (pairs.size() < count / 2 + 1) pairs.resize(count / 2 + 1);
    std::size_t made = 0;
    std::size_t i = 0;
    if (a.has_half) {
      pairs[made++] = a.half + z[0];
      a.has_half = false;
      i = 1;
    }
    for (; i + 2 <= count; i += 2) pairs[made++] = z[i] + z[i + 1];
    if (i < count) {
      a.half = z[i];
      a.has_half = true;
    }
    z = pairs.data();
    count = made;
  }
}

void TimeDomain::State::Process(const double* v, std::size_t len, std::vector<float>& means, Scratch& w) {
  const std::size_t size = kBack + len + 1;
  if (w.u.size() < size) {
    for (auto* a : {&w.u, &w.s2, &w.s4, &w.s8, &w.s16}) a->resize(size);
  }
  std::copy(back.begin(), back.end(), w.u.begin() + 1);
  std::copy(v, v + len, w.u.begin() + 1 + kBack);
  Exact(w, len);

  // Blocks of four phase points P_4j ... P_4j+3; chunks start at multiples of 4 (only the
  // last may be short), so P_n = phase opens the first.
  const std::size_t quads = len >= 3 ? (len - 3) / 4 + 1 : 0;
  Blocks& blocks = w.blocks[0];
  blocks.Resize(quads);
  double p = phase;
  for (std::size_t j = 0; j < quads; ++j) {
    const double* x = v + 4 * j;
    const double x1 = x[0], x2 = x1 + x[1], x3 = x2 + x[2];  // P_4j+r - P_4j
    const double mean = 0.25 * ((x1 + x2) + x3);
    const double d0 = -mean, d1 = x1 - mean, d2 = x2 - mean, d3 = x3 - mean;
    blocks.mean[j] = p + mean;
    blocks.sr[j] = 1.5 * (x3 - 0.0) + 0.5 * (x2 - x1);
    blocks.m2[j] = (d0 * d0 + d1 * d1) + (d2 * d2 + d3 * d3);
    p += 4 * j + 3 < len ? x3 + x[3] : x3;
  }
  if (quads * 4 < len) {  // the phase at the end of a short last chunk
    for (std::size_t i = quads * 4; i < len; ++i) p += v[i];
  }
  AddBlocks(w);
  AddSums(v, len, w);

  double sums[2] = {0.0, 0.0};
  SumAndMoment(v, len, sums);
  st += static_cast<double>(n) * sums[0] + sums[1];

  for (std::size_t b = 0; b + kMeanBlock <= len; b += kMeanBlock) {
    V4 lo, hi;
    Load(lo, v + b);
    Load(hi, v + b + 4);
    means.push_back(static_cast<float>(Total(lo + hi) / kMeanBlock));
  }

  phase = p;
  std::copy(w.u.begin() + static_cast<std::ptrdiff_t>(1 + len),
            w.u.begin() + static_cast<std::ptrdiff_t>(1 + len + kBack), back.begin());
  n += len;
}

TimeDomain::TimeDomain(double fs_hz, std::size_t expected_samples) : fs_(fs_hz), expected_(expected_samples) {
  if (!std::isfinite(fs_hz) || !(fs_hz > 0)) {
    throw std::invalid_argument("fs_hz must be a positive finite sample rate");
  }
  if (expected_samples == 0 || expected_samples > kMaxTimeSamples) {
    throw std::invalid_argument("expected_samples must be between 1 and " + std::to_string(kMaxTimeSamples));
  }
  Reset();
}

TimeDomain::~TimeDomain() = default;

void TimeDomain::Reset() {
  state_ = std::make_unique<State>();
  scratch_ = std::make_unique<Scratch>();
  pending_.assign(kChunk, 0.0);
  pending_count_ = 0;
  means_.clear();
  means_.reserve(std::min<std::size_t>(expected_, 10000000) / kMeanBlock + 1);
}

std::size_t TimeDomain::Samples() const { return state_->n + pending_count_; }

template <typename T>
void TimeDomain::PushSamples(const T* samples, std::size_t n) {
  if (n == 0) return;
  if (samples == nullptr) throw std::invalid_argument("samples is null");
  // All or nothing: a record with a non-finite point is refused before any of it is taken.
  // x * 0 is NaN exactly when x is not finite; the sum of them tells in one pass.
  T lanes[4] = {0, 0, 0, 0};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    for (std::size_t l = 0; l < 4; ++l) lanes[l] += samples[k + l] * T{0};
  }
  for (; k < n; ++k) lanes[0] += samples[k] * T{0};
  if (!(lanes[0] + lanes[1] + lanes[2] + lanes[3] == T{0})) {
    const std::size_t at =
        static_cast<std::size_t>(std::find_if(samples, samples + n, [](T x) { return !std::isfinite(x); }) - samples);
    throw std::invalid_argument("samples must be finite (sample " + std::to_string(Samples() + at) + " is not)");
  }
  State& s = *state_;
  if (!s.has_ref) {
    s.ref = static_cast<double>(samples[0]);
    s.has_ref = true;
  }
  std::size_t at = 0;
  while (at < n) {
    const std::size_t take = std::min(n - at, kChunk - pending_count_);
    double* to = pending_.data() + pending_count_;
    for (std::size_t i = 0; i < take; ++i) to[i] = static_cast<double>(samples[at + i]) - s.ref;
    at += take;
    pending_count_ += take;
    if (pending_count_ == kChunk) {
      s.Process(pending_.data(), kChunk, means_, *scratch_);
      pending_count_ = 0;
    }
  }
}

void TimeDomain::Push(const float* samples, std::size_t n) { PushSamples(samples, n); }
void TimeDomain::Push(const double* samples, std::size_t n) { PushSamples(samples, n); }

// The drift's noise model starts from this many of the longest averaging times, and takes a
// shorter one while it lies within this many of its own standard errors of the model.
constexpr std::size_t kDriftFitPoints = 4;
constexpr double kDriftAgreementZ = 5.0;

double SlopeVariance(double h0, double h1, double h2, double duration_s) {
  const double t = duration_s;
  return 6.0 * h0 / (t * t * t) + 9.0 * h1 / (t * t) + 2.4 * std::numbers::pi * std::numbers::pi * h2 / t;
}

TimeFigures TimeDomain::Read() const {
  // The samples short of a chunk go through a copy, so reading changes nothing.
  State s = *state_;
  std::vector<float> tail;
  if (pending_count_ > 0) {
    Scratch scratch;
    s.Process(pending_.data(), pending_count_, tail, scratch);
  }

  TimeFigures figures;
  const std::size_t n = s.n;
  const auto nd = static_cast<double>(n);
  figures.samples = n;
  figures.fs_hz = fs_;
  figures.duration_s = nd / fs_;
  if (n == 0) return figures;
  const double s1 = s.averages[0].sum, s2 = s.averages[0].lag[0];
  figures.mean_v = s.ref + s1 / nd;
  figures.std_v = n > 1 ? std::sqrt(std::max(0.0, (s2 - s1 * s1 / nd) / (nd - 1.0))) : 0.0;

  NoiseType finer = NoiseType::kWhite;
  for (std::size_t level = 0; (std::size_t{10} << level) <= n; ++level) {
    const std::size_t m = std::size_t{1} << level;
    const auto md = static_cast<double>(m);
    DeviationPoint p;
    p.m = m;
    p.tau_s = md / fs_;
    p.averages = n / m;
    double allan = 0.0, hadamard = 0.0;
    std::size_t allan_points = 0, hadamard_points = 0;  // phase points the terms span
    if (level < kExactLevels) {
      allan = s.allan[level] / (2.0 * md * md * static_cast<double>(n + 1 - 2 * m));
      hadamard = s.hadamard[level] / (6.0 * md * md * static_cast<double>(n + 1 - 3 * m));
      allan_points = hadamard_points = n + 1;
    } else {
      const Level& l = s.levels[level - kExactLevels];
      const std::size_t block = m / kPerTau;
      allan = l.allan / (2.0 * md * md * static_cast<double>(block * l.allan_terms));
      hadamard = l.hadamard / (6.0 * md * md * static_cast<double>(block * l.hadamard_terms));
      allan_points = block * l.allan_terms + 2 * m;
      hadamard_points = block * l.hadamard_terms + 3 * m;
      p.from_blocks = true;
    }
    const Averages& a = s.averages[level];
    const Differenced d0 = Difference(a, 0), d1 = Difference(a, 1);
    NoiseId id;
    if (a.count >= 30) {
      id = NoiseFromLag1({d0.lag1, d1.lag1, Difference(a, 2).lag1}, a.count);
    } else {
      // B1: the standard variance of the averages over their non-overlapping Allan variance.
      id = NoiseFromB1(d0.variance / (0.5 * d1.mean_square), a.count, finer);
    }
    p.noise = finer = id.type;
    p.adev_v = std::sqrt(allan);
    p.hdev_v = std::sqrt(hadamard);
    p.adev_edf = AllanEdfFor(id, allan_points, m);
    p.hdev_edf = HadamardEdfFor(id, hadamard_points, m);
    const Interval ai = PowerInterval(p.adev_edf, 0.95);
    const Interval hi = PowerInterval(p.hdev_edf, 0.95);
    p.adev_lo_v = p.adev_v * std::sqrt(ai.lo);
    p.adev_hi_v = p.adev_v * std::sqrt(ai.hi);
    p.hdev_lo_v = p.hdev_v * std::sqrt(hi.lo);
    p.hdev_hi_v = p.hdev_v * std::sqrt(hi.hi);
    figures.deviation.push_back(p);
  }

  // Drift: the least-squares slope; its scatter from the noise the Hadamard deviation sees.
  Drift& drift = figures.drift;
  if (n >= 3) {
    const double centre = 0.5 * (nd - 1.0);
    const double spread = nd * (nd * nd - 1.0) / 12.0;
    drift.slope_v_per_s = (s.st - centre * s1) / spread * fs_;
  }
  if (!figures.deviation.empty()) {
    // The slope is decided by the noise at the record's own time scale. The model is fitted
    // there first, then over ever shorter averaging times while each agrees with it: a line
    // or ripple lifts some far above any noise model, and the fit would take them for random
    // walk and widen the interval a thousandfold.
    const double t = figures.duration_s;
    const std::vector<DeviationPoint>& all = figures.deviation;
    std::size_t first = all.size() - std::min(kDriftFitPoints, all.size());
    std::vector<DeviationPoint> slow(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    NoiseFit fit = FitNoise(slow);
    while (first > 0) {
      const DeviationPoint& next = all[first - 1];
      const double model = ModelVariance(fit.h, NoiseBasis(next.tau_s));
      const double value = next.hdev_v * next.hdev_v;
      if (!(model > 0) || std::fabs(value / model - 1.0) * std::sqrt(0.5 * next.hdev_edf) > kDriftAgreementZ) break;
      slow.insert(slow.begin(), next);
      fit = FitNoise(slow);
      --first;
    }
    // White part exactly as sampled: 12 (h0 fs / 2) / (N (N^2 - 1)) per sample^2.
    // A bounded signal's part counts as the white noise it matches at the shortest averaging
    // time fitted: more than it adds to the slope, never less.
    const double white = 6.0 * fs_ * fs_ * fs_ / (nd * (nd * nd - 1.0));
    const std::array<double, kNoiseParts> g = {white, 9.0 / (t * t), 2.4 * std::numbers::pi * std::numbers::pi / t,
                                               white * 2.0 / slow.front().tau_s};
    double var = 0.0, var_of_var = 0.0;
    for (int i = 0; i < kNoiseParts; ++i) {
      var += g[i] * fit.h[i];
      for (int j = 0; j < kNoiseParts; ++j) var_of_var += g[i] * g[j] * fit.cov[i][j];
    }
    if (var > 0) {
      drift.valid = true;
      drift.h0_v2_per_hz = fit.h[0];
      drift.h1_v2 = fit.h[1];
      drift.h2_v2_hz = fit.h[2];
      drift.sigma_v_per_s = std::sqrt(var);
      drift.dof = var_of_var > 0 ? std::max(1.0, 2.0 * var * var / var_of_var) : 1.0;
      const double half = StudentQuantile(0.95, drift.dof) * drift.sigma_v_per_s;
      drift.lo_v_per_s = drift.slope_v_per_s - half;
      drift.hi_v_per_s = drift.slope_v_per_s + half;
    }
  }

  // Bursts on the means of 8 samples, combined further so at most kMaxMeans remain.
  const std::size_t stored = means_.size() + tail.size();
  std::size_t group = 1;
  while (stored / group > kMaxMeans) group *= 2;
  std::vector<double> grid(stored / group);
  for (std::size_t j = 0; j < grid.size(); ++j) {
    double sum = 0.0;
    for (std::size_t i = j * group; i < (j + 1) * group; ++i)
      sum += i < means_.size() ? means_[i] : tail[i - means_.size()];
    grid[j] = sum / static_cast<double>(group);
  }
  figures.bursts = FindBursts(grid, fs_ / static_cast<double>(kMeanBlock * group), s.ref);
  return figures;
}

}  // namespace qvx::psd
