#pragma once
// The FFT windows of the instrument as cosine sums, and what each does to the bins of a
// rectangular-window DFT once the result is calibrated for sine waves.
#include <array>
#include <cstddef>
#include <string_view>

namespace qvx::sim {

// w[n] = sum over m of (-1)^m a_m cos(2 pi m n / N), periodic over the N samples.
struct FftWindow {
  std::string_view name;      // the short form the window query answers ("HANN")
  std::array<double, 5> a{};  // a_0 ... a_4; unused ones are 0
  std::size_t reach = 0;      // the highest m with a_m != 0
};

inline constexpr std::array<FftWindow, 5> kFftWindows = {{
    {"RECT", {1.0, 0, 0, 0, 0}, 0},
    {"HANN", {0.5, 0.5, 0, 0, 0}, 1},
    {"HAMM", {0.54, 0.46, 0, 0, 0}, 1},
    {"BLAC", {0.42, 0.5, 0.08, 0, 0}, 2},
    {"FLAT", {0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368}, 4},
}};

// The window a short name stands for; Hann, the instrument's default, for any other name.
const FftWindow& WindowByName(std::string_view name);

// Equivalent noise bandwidth in bins: (a_0^2 + sum a_m^2 / 2) / a_0^2.
double Enbw(const FftWindow& window);

// The windowed, sine-calibrated bin as taps on rectangular bins:
// X_k = sum over m in -reach..reach of c[|m|] Z_(k+m), with c[0] = 1 and
// c[m] = (-1)^m a_m / (2 a_0). An on-bin sine therefore reads its amplitude.
std::array<double, 5> CalibratedTaps(const FftWindow& window);

}  // namespace qvx::sim
