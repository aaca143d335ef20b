#pragma once
// NumPy .npy files of a record (format 1.0, one dimension), as NumPy writes and reads them:
// raw records are kept as little-endian float32 volts, shape (N,).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::psd {

// The file's bytes for `samples`.
std::string NpyBytes(const std::vector<float>& samples);

struct NpyRead {
  std::vector<double> samples;
  std::string error;  // empty when read
  bool ok() const { return error.empty(); }
};

// Reads float32 or float64 little-endian, one dimension, C order; anything else is an
// error that says what the file holds instead.
NpyRead ReadNpy(std::string_view bytes);

}  // namespace qvx::psd
