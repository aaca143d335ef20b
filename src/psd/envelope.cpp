#include "psd/envelope.h"

#include <algorithm>
#include <stdexcept>

namespace qvx::psd {

Envelope::Envelope(double fs_hz, std::size_t expected_samples, std::size_t blocks) : fs_(fs_hz) {
  if (!(fs_hz > 0)) throw std::invalid_argument("fs_hz must be above 0");
  if (blocks == 0) throw std::invalid_argument("blocks must be at least 1");
  per_block_ = std::max<std::size_t>(1, (expected_samples + blocks - 1) / blocks);
  blocks_.reserve(blocks + 1);
}

void Envelope::Push(const float* samples, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i];
    if (in_block_ == 0) {
      current_ = {static_cast<double>(samples_) / fs_, 0.0, v, v};
      sum_ = 0.0;
    }
    sum_ += v;
    current_.lo_v = std::min(current_.lo_v, v);
    current_.hi_v = std::max(current_.hi_v, v);
    ++samples_;
    if (++in_block_ == per_block_) {
      current_.mean_v = sum_ / static_cast<double>(in_block_);
      blocks_.push_back(current_);
      in_block_ = 0;
    }
  }
}

std::vector<Envelope::Block> Envelope::Read() const {
  std::vector<Block> out = blocks_;
  if (in_block_ > 0) {
    Block last = current_;
    last.mean_v = sum_ / static_cast<double>(in_block_);
    out.push_back(last);
  }
  return out;
}

}  // namespace qvx::psd
