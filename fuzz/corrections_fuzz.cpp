// The readers of gain files, limit masks and floor files: any bytes give a curve whose
// frequencies rise and are above 0 (its values above 0 where they must be), or an error that
// names a line; interpolation on what they accept stays finite.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "analysis/corrections.h"

namespace {

void CheckCurve(const qvx::Curve& curve, bool positive, bool log_value) {
  double last = 0.0;
  for (const auto& [hz, value] : curve.points) {
    if (!(hz > last) || !std::isfinite(hz) || !std::isfinite(value) || (positive && !(value > 0))) std::abort();
    last = hz;
  }
  for (double f : {1e-3, 1.0, 1e3, 1e9}) {
    if (!std::isfinite(curve.At(f, log_value))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool positive : {false, true}) {
    const qvx::CurveRead read = qvx::ReadCurve(text, "a value", positive);
    if (read.ok()) {
      CheckCurve(read.curve, positive, positive);
    } else if (read.error.rfind("line ", 0) != 0) {
      std::abort();
    }
  }
  const qvx::FloorRead floor = qvx::ReadFloorFile(text, "fuzz");
  if (floor.ok()) CheckCurve(floor.floor.density_nv, true, true);
  return 0;
}
