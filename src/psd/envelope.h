#pragma once
// The record in time as a picture can show it: a fixed number of blocks at fixed positions
// of the record, each with its mean, lowest and highest sample, so a record of millions of
// samples draws as a readable envelope, the same whatever the split into pushes.
#include <cstddef>
#include <vector>

namespace qvx::psd {

class Envelope {
 public:
  // About `blocks` blocks over a record of `expected_samples`; refuses a record of none.
  Envelope(double fs_hz, std::size_t expected_samples, std::size_t blocks = 2000);
  void Push(const float* samples, std::size_t n);

  struct Block {
    double t_s = 0.0;  // its first sample's time
    double mean_v = 0.0;
    double lo_v = 0.0;
    double hi_v = 0.0;
  };
  // The blocks filled so far (a last one in part, too).
  std::vector<Block> Read() const;

 private:
  double fs_;
  std::size_t per_block_;
  std::vector<Block> blocks_;
  Block current_;
  double sum_ = 0.0;
  std::size_t in_block_ = 0;
  std::size_t samples_ = 0;
};

}  // namespace qvx::psd
