// A cross-spectrum's analysis and files: U points kept but out of the fit and the spots, the
// CSV read back as written, and malformed lines named.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "analysis/cross_files.h"
#include "analysis/noise_files.h"

namespace qvx {
namespace {

constexpr double kZ = 1.959963984540054;  // the normal interval's 97.5 % point

// Log points of 10 a decade from 100 Hz to 100 kHz at 5 nV/sqrt(Hz), each with m averages of
// channels of 20 nV/sqrt(Hz); the point at 1.12 kHz an upper limit whose estimate is far off.
NoiseSpectrum Points() {
  NoiseSpectrum s;
  s.method = kMethodCross;
  s.ppd = 10;
  for (int j = 20; j < 50; ++j) {
    NoisePoint p;
    p.freq_hz = std::pow(10.0, (j + 0.5) / 10.0);
    p.density_nv = p.level_nv = 5.0;
    const double m = 100.0 * p.freq_hz;
    p.dof = 2.0 * m;
    CrossPointFigures c;
    c.averages = m;
    c.ch1_nv = c.ch2_nv = 20.6;
    const double sigma = std::sqrt((425.0 * 425.0 + 25.0 * 25.0) / (2.0 * m));  // nV^2/Hz
    c.equivalent_dof = 2.0 * 25.0 * 25.0 / (sigma * sigma);
    c.ci_lo_nv = std::sqrt(25.0 - kZ * sigma);
    c.ci_hi_nv = std::sqrt(25.0 + kZ * sigma);
    c.floor_nv = std::sqrt(425.0 / std::sqrt(2.0 * m));
    c.im_nv = -0.25;
    c.coherence = 0.0013;
    if (j == 30) {
      p.flags |= kFlagUpperLimit;
      p.density_nv = 40.0;
      c.ci_lo_nv = 0.0;
      c.ci_hi_nv = 55.0;
    }
    s.points.push_back(p);
    s.cross_points.push_back(c);
  }
  s.end_hz = CellHigh(s, s.points.size() - 1);
  return s;
}

TEST(CrossSpectrum, AnUpperLimitStaysOutOfTheFitAndTheSpotsButKeepsItsLogPoint) {
  const NoiseSpectrum s = Points();
  const NoiseReport r = AnalyzeNoise(s, {});
  EXPECT_NEAR(r.fit.white_nv, 5.0, 1e-9);
  EXPECT_EQ(r.fit.points, 29);
  EXPECT_EQ(r.fit.rejected, 0);
  EXPECT_EQ(r.flags.upper_limit, 1);
  ASSERT_EQ(r.spots.size(), 3u);  // 100 Hz, 1 kHz, 10 kHz
  for (const SpotResult& spot : r.spots) EXPECT_NEAR(spot.nv, 5.0, 1e-9) << spot.hz;
  // Each log point is the point itself, with its own interval and 2 m degrees of freedom.
  ASSERT_EQ(r.log_points.size(), s.points.size());
  EXPECT_EQ(r.log_points[10].ci_hi_nv, 55.0);
  EXPECT_EQ(r.log_points[3].dof, s.points[3].dof);
  EXPECT_FALSE(r.log_points[10].clean) << "a limit mask does not judge an upper limit";
  // Its cells are its log bins.
  EXPECT_NEAR(CellLow(s, 0), 100.0, 1e-9);
  EXPECT_NEAR(CellHigh(s, 0), std::pow(10.0, 2.1), 1e-9);
}

TEST(CrossSpectrum, TheCsvReadsBackAsWrittenAndNamesABadLine) {
  const NoiseSpectrum s = Points();
  const std::string text = WriteNoiseCsv(s);
  EXPECT_EQ(text.substr(0, text.find('\n')), kCrossCsvHeader);
  const SpectrumReadResult read = ReadNoiseCsv(text);
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(read.spectrum.method, kMethodCross);
  EXPECT_EQ(read.spectrum.ppd, 10);
  ASSERT_EQ(read.spectrum.points.size(), s.points.size());
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    EXPECT_EQ(read.spectrum.points[i].freq_hz, s.points[i].freq_hz);
    EXPECT_EQ(read.spectrum.points[i].density_nv, s.points[i].density_nv);
    EXPECT_EQ(read.spectrum.points[i].flags, s.points[i].flags);
    EXPECT_EQ(read.spectrum.cross_points[i].ci_hi_nv, s.cross_points[i].ci_hi_nv);
    EXPECT_EQ(read.spectrum.cross_points[i].im_nv, s.cross_points[i].im_nv);
    if (i != 10) {
      EXPECT_NEAR(read.spectrum.cross_points[i].equivalent_dof, s.cross_points[i].equivalent_dof,
                  1e-6 * s.cross_points[i].equivalent_dof);
    }
  }
  EXPECT_NEAR(AnalyzeNoise(read.spectrum, {}).fit.white_nv, AnalyzeNoise(s, {}).fit.white_nv, 1e-6);
  for (const auto& [line, why] :
       {std::pair{"100,5,4,6,10,X,1,1,1,0,0", "unknown flag 'X'"},
        std::pair{"100,5,4,6,10,U,1,1,1,0", "expected 11 fields"}, std::pair{"100,5,6,4,10,,1,1,1,0,0", "out of range"},
        std::pair{"100,five,4,6,10,,1,1,1,0,0", "field 2 is not a number"}}) {
    const SpectrumReadResult bad = ReadNoiseCsv(std::string(kCrossCsvHeader) + "\n" + line + "\n");
    EXPECT_EQ(bad.line, 2) << line;
    EXPECT_NE(bad.error.find(why), std::string::npos) << bad.error;
  }
}

}  // namespace
}  // namespace qvx
