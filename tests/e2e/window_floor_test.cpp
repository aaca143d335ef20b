// What the window reads of a simulator that shows a real instrument's FFT: the white floor
// sqrt(ENBW) above the density, and a 1/f corner lifting the low points.
#include <cmath>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace qvx::test {
namespace {

constexpr int kTraces = 3;

class WindowFloor : public EndToEnd {
 protected:
  // A source with a white floor and a corner, no tones.
  void SetSource(double white, double corner) {
    auto noise = sim_->Noise();
    noise.white_nv = white;
    noise.corner_hz = corner;
    noise.tones.clear();
    sim_->SetNoise(noise);
  }

  // Each point's rms level over kTraces traces fetched by the window.
  std::vector<double> RmsLevels() {
    std::vector<double> power(SPEC_POINTS, 0.0);
    for (int t = 0; t < kTraces; ++t) {
      Click(form_->BtnGetFFTData);
      for (int i = 0; i < SPEC_POINTS; ++i) {
        const double level = form_->State().SpecData[static_cast<std::size_t>(i)].Level;
        power[static_cast<std::size_t>(i)] += level * level / kTraces;
      }
    }
    for (double& p : power) p = std::sqrt(p);
    return power;
  }
};

double Rms(const std::vector<double>& levels) {
  double power = 0.0;
  for (double level : levels) power += level * level;
  return std::sqrt(power / static_cast<double>(levels.size()));
}

TEST_F(WindowFloor, TheFloorReadsTheDensityTimesTheRootOfTheWindowsEnbw) {
  Connect();
  Click(form_->BtnSetFFT);
  struct Case {
    const char* window;  // sent after Set Param; null: the set-up's Hann
    double white;
    double expected;
    double tolerance;
  };
  const Case cases[] = {{nullptr, 20, 20 * std::sqrt(1.5), 0.04},
                        {":MATH1:FFT:WINDow RECT", 20, 20, 0.04},
                        {":MATH1:FFT:WINDow FLAT", 10, 10 * std::sqrt(3.77), 0.05}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window ? c.window : "Hann");
    SetSource(c.white, 0);
    if (c.window) channel_.SendCommand(c.window);
    EXPECT_NEAR(Rms(RmsLevels()), c.expected, c.tolerance * c.expected);
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(WindowFloor, BelowTheCornerTheLevelsRiseAsTheRootOfOnePlusCornerOverF) {
  SetSource(20, 200);
  Connect();
  Click(form_->BtnSetFFT);
  // A coarser scale keeps the low points (about 42 nV/sqrt(Hz) at 100 Hz) inside the bytes; the
  // window reads scale and offset back before it converts.
  channel_.SendCommand(":MATH1:FFT:SCALe 2E-8");
  channel_.SendCommand(":MATH1:FFT:OFFSet -1E-7");
  const auto levels = RmsLevels();
  const double floor = 20 * std::sqrt(1.5);
  double mean_ratio = 0.0;
  for (int i = 1; i < 10; ++i) {  // 100 ... 900 Hz
    const double f = form_->State().SpecData[static_cast<std::size_t>(i)].Freq;
    const double ratio = levels[static_cast<std::size_t>(i)] / (floor * std::sqrt(1.0 + 200.0 / f));
    EXPECT_NEAR(ratio, 1.0, 0.2) << f << " Hz";
    mean_ratio += ratio / 9;
  }
  EXPECT_NEAR(mean_ratio, 1.0, 0.06);
  EXPECT_NEAR(Rms({levels.begin() + 300, levels.end()}), floor, 0.04 * floor);
}

}  // namespace
}  // namespace qvx::test
