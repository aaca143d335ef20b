#pragma once
// Allan and Hadamard statistics of a record of volts, treated as "frequency" data y_i with
// tau0 = 1 / fs: the overlapping variances computed directly, their equivalent degrees of
// freedom, the identification of the power-law noise that decides them, and the closed form
// for a white floor with a 1/f corner.
#include <array>
#include <cstddef>
#include <string_view>

namespace qvx::psd {

// Power-law noise by the exponent of the voltage density S(f) ~ f^alpha. For volts taken as
// frequency data these are white PM, flicker PM, white FM, flicker FM and random-walk FM.
enum class NoiseType { kF2 = 2, kF = 1, kWhite = 0, kInvF = -1, kInvF2 = -2 };

// "f^2", "f", "white", "1/f", "1/f^2".
std::string_view NoiseTypeName(NoiseType type);
inline int Alpha(NoiseType type) { return static_cast<int>(type); }
// The nearest type to an exponent, clamped to f^2 ... 1/f^2.
NoiseType NoiseFromAlpha(double alpha);

// The overlapping Allan and Hadamard variances of y_0 ... y_(n-1) at averaging factor m, in
// y's units squared, straight from the definitions (x the running sum of y, N = n + 1 phase
// points):
//   Allan:    sum (x[i+2m] - 2 x[i+m] + x[i])^2 / (2 m^2 (N - 2m))
//   Hadamard: sum (x[i+3m] - 3 x[i+2m] + 3 x[i+m] - x[i])^2 / (6 m^2 (N - 3m))
// NaN where the record is too short for one term.
double OverlappingAllanVariance(const double* y, std::size_t n, std::size_t m);
double OverlappingHadamardVariance(const double* y, std::size_t n, std::size_t m);

// Equivalent degrees of freedom of the overlapping Allan variance from N phase points at
// averaging factor m, by the approximations of NIST SP 1065 for each noise type.
double AllanEdf(NoiseType type, std::size_t phase_points, std::size_t m);

// Greenhall's equivalent degrees of freedom of a fully overlapped difference variance of
// order d (2: Allan, 3: Hadamard) from N phase points at averaging factor m.
double OverlappedEdf(NoiseType type, int d, std::size_t phase_points, std::size_t m);

// What the identification of the noise at one averaging time says: the type, and the range
// of exponents within about two standard errors of the evidence (at long averaging times a
// type is often off by one).
struct NoiseId {
  NoiseType type = NoiseType::kWhite;
  int alpha_min = 0;
  int alpha_max = 0;
};

// From the lag-1 autocorrelations r1[d] of the record's `averages` non-overlapping
// m-averages, differenced d = 0, 1, 2 times (the mean removed): the first d whose
// delta = r1 / (1 + r1) is below 0.25 gives alpha = -round(2 delta) - 2d. Sound from about
// 30 averages on.
NoiseId NoiseFromLag1(const std::array<double, 3>& r1, std::size_t averages);

// The bias ratio B1 (the standard variance of n averages over their Allan variance) expected
// for a variance growing as tau^mu.
double B1Expected(std::size_t averages, double mu);
// From a measured B1 over few averages; B1 cannot tell f^2 from f, so those follow `finer`
// (the type found at the next shorter tau). The range spans the neighbours of both.
NoiseId NoiseFromB1(double b1, std::size_t averages, NoiseType finer);

// The degrees of freedom to report for an identification: the least, over the types it
// allows, of SP 1065's approximation and Greenhall's value (for flicker PM SP 1065's reads up
// to twice what the data gives), so that a type misread at long taus does not make the
// interval narrower than the data warrant.
double AllanEdfFor(const NoiseId& id, std::size_t phase_points, std::size_t m);
double HadamardEdfFor(const NoiseId& id, std::size_t phase_points, std::size_t m);

// Allan variance of a one-sided density white^2 (1 + corner / f), V^2:
// white^2 / (2 tau) + 2 ln 2 white^2 corner.
double AllanVarianceWhiteFlicker(double white_v_rthz, double corner_hz, double tau_s);

// Power-law coefficients of the variances for a one-sided density h0 + h1 / f + h2 / f^2:
// Allan h0 / (2 tau) + 2 ln 2 h1 + (2 pi^2 / 3) h2 tau; Hadamard h0 / (2 tau) + kHadamardFlicker h1
// + (pi^2 / 3) h2 tau.
inline constexpr double kAllanFlicker = 1.3862943611198906;     // 2 ln 2
inline constexpr double kHadamardFlicker = 1.1247206077016474;  // (8 ln 2 - 3 ln 3) / 2
inline constexpr double kAllanWalk = 6.579736267392906;         // 2 pi^2 / 3
inline constexpr double kHadamardWalk = 3.289868133696453;      // pi^2 / 3

}  // namespace qvx::psd
