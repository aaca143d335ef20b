#include "fft_window.h"

namespace qvx::sim {

const FftWindow& WindowByName(std::string_view name) {
  for (const FftWindow& window : kFftWindows) {
    if (window.name == name) return window;
  }
  return kFftWindows[1];
}

double Enbw(const FftWindow& window) {
  double sum = window.a[0] * window.a[0];
  for (std::size_t m = 1; m < window.a.size(); ++m) sum += window.a[m] * window.a[m] / 2.0;
  return sum / (window.a[0] * window.a[0]);
}

std::array<double, 5> CalibratedTaps(const FftWindow& window) {
  std::array<double, 5> taps{};
  for (std::size_t m = 0; m < taps.size(); ++m) {
    const double sign = m % 2 == 0 ? 1.0 : -1.0;
    taps[m] = m == 0 ? 1.0 : sign * window.a[m] / (2.0 * window.a[0]);
  }
  return taps;
}

}  // namespace qvx::sim
