// The .npy reader: any bytes either read as rows whose count the file's size bounds, or give
// an error; chunked reads give the rows a whole read gives; what ReadNpy reads (finite, or
// refused) writes back as the same values.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "psd/npy.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "npy: %s\n", what);
  std::abort();
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    qvx::psd::NpyReader whole(bytes, "fuzz.npy");
    qvx::psd::NpyReader chunked(bytes, "fuzz.npy");
    const std::size_t rows = whole.Rows();
    const std::size_t width = whole.Type() == qvx::psd::NpyType::Float32 ? 4 : 8;
    Check(rows * whole.Columns() * width <= size, "more rows than bytes");
    std::vector<double> a(rows), b(rows);
    Check(whole.Read(a.data(), rows, b.data()) == rows, "a whole read short");
    Check(whole.Read(a.data(), rows, b.data()) == 0, "rows after the end");
    std::vector<float> c(rows), d(rows);
    std::size_t got = 0;
    for (std::size_t step = 1; got < rows; step = step * 3 + 1)
      got += chunked.Read(c.data() + got, step, d.data() + got);
    Check(got == rows && chunked.NonFinite() == whole.NonFinite(), "chunks differ from the whole");
    for (std::size_t i = 0; i < rows; ++i) {
      Check(Same(static_cast<float>(a[i]), c[i]), "a chunked value differs");
      if (whole.Columns() == 2) Check(Same(static_cast<float>(b[i]), d[i]), "a second-column value differs");
    }
  } catch (const qvx::psd::NpyError&) {
  }

  const qvx::psd::NpyRead read = qvx::psd::ReadNpy(bytes);
  if (!read.ok()) return 0;
  Check(read.samples.size() * 4 <= size, "more samples than bytes");
  std::vector<float> floats(read.samples.begin(), read.samples.end());
  // A float64 beyond float32's range is infinite as float32, and a record with it is refused.
  for (float f : floats) {
    if (!std::isfinite(f)) return 0;
  }
  const qvx::psd::NpyRead again = qvx::psd::ReadNpy(qvx::psd::NpyBytes(floats));
  Check(again.ok() && again.samples.size() == floats.size(), "its own bytes refused");
  for (std::size_t i = 0; i < floats.size(); ++i) Check(Same(again.samples[i], floats[i]), "a value changed");
  return 0;
}
