#pragma once
// The statistics of a cross-spectrum's real part, the estimate of what two channels share.
//
// Over m independent averages of a circular complex Gaussian pair (X, Y) whose true spectra
// are a = E|X|^2, b = E|Y|^2, c = E[X conj Y], the mean Re Sxy of Re(X conj Y) is a
// Variance-Gamma variable: (mu+ G1 + mu- G2) / m, G1 and G2 independent Gamma(m, 1),
// mu+- = (Re c +- sqrt(a b - Im c^2)) / 2. Written as a normal variance-mean mixture,
//   Re Sxy = Re c W + sqrt(D W / (2 m)) Z,  W = Sxx / a ~ Gamma(m, 1) / m,  Z ~ N(0, 1),
// with D = a b - |c|^2 the part the channels do not share; and D's estimate
// Sxx Syy - |Sxy|^2 is D W W' with m W' ~ Gamma(m - 1, 1) independent of W and Z.
// Inverting both gives a generalized pivot for Re c:
//   c* = (Re Sxy - T sqrt(Dhat / (2 m - 2))) m / V,  T ~ Student(2 m - 2), V ~ Gamma(m, 1),
// whose quantiles are the interval below 30 averages. It is exact at both ends (the test of
// Re c = 0 is Student's t on 2 m - 2 degrees of freedom; identical channels give the
// auto-spectrum's chi-squared interval) and covers 94 to 97 % between them. Plugging the
// estimates into the Variance-Gamma itself does not: where the channels are coherent it
// covers well under 90 % at m = 4. From 30 averages on, the interval is the normal one.
#include "psd/chi_squared.h"

namespace qvx::psd {

// From this many averages on, the interval of Re Sxy is the normal one.
inline constexpr double kCrossNormalAverages = 30.0;

// Standard deviation of Re Sxy over m effective averages: sqrt((Sxx Syy + Re^2 - Im^2) / (2 m)).
double CrossReSigma(double sxx, double syy, double re, double im, double m);

// The interval that holds the true Re Sxy with the given confidence (0 to 1), V^2/Hz. One
// average or none says nothing: (-inf, +inf). NaN for a non-finite input.
Interval CrossReInterval(double sxx, double syy, double re, double im, double m, double confidence);

// The averages after which the interval's lower end would first be above zero, were the
// spectra to stay as they are: m itself when it already is, +inf when Re Sxy <= 0.
double CrossAveragesToResolve(double sxx, double syy, double re, double im, double m, double confidence);

// Were the true real (or imaginary) part of Sxy zero, the probability that its estimate
// reads `part` or more: Student's t on 2 m - 2 degrees of freedom of
// part sqrt(2 m - 2) / sqrt(Sxx Syy - |Sxy|^2), exact for any spectra. 1 where m <= 1.
double CrossZeroTail(double part, double sxx, double syy, double re, double im, double m);

// Student's t distribution with nu > 0 degrees of freedom (need not be whole): P(T <= t).
double StudentCdf(double t, double nu);

}  // namespace qvx::psd
