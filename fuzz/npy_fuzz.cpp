// The .npy reader: any bytes either read as samples whose count the file's size bounds, or
// give an error; what it reads writes back as the same values.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "psd/npy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const qvx::psd::NpyRead read = qvx::psd::ReadNpy(bytes);
  if (!read.ok()) return 0;
  if (read.samples.size() * 4 > size) {
    std::fprintf(stderr, "npy: %zu samples from %zu bytes\n", read.samples.size(), size);
    std::abort();
  }
  std::vector<float> floats(read.samples.begin(), read.samples.end());
  const qvx::psd::NpyRead again = qvx::psd::ReadNpy(qvx::psd::NpyBytes(floats));
  if (!again.ok() || again.samples.size() != floats.size()) std::abort();
  for (std::size_t i = 0; i < floats.size(); ++i) {
    const double a = again.samples[i];
    if (!(a == static_cast<double>(floats[i])) && !(std::isnan(a) && std::isnan(floats[i]))) std::abort();
  }
  return 0;
}
