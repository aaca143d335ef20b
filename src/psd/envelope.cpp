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
  while (n > 0) {
    // The rest of the current block at once: plain loops over a run of samples vectorise.
    const std::size_t take = std::min(n, per_block_ - in_block_);
    float lo = samples[0], hi = samples[0];
    // One running sum per block, sample after sample, whatever the pushes: the same bits.
    double sum = in_block_ == 0 ? 0.0 : sum_;
    for (std::size_t i = 0; i < take; ++i) {
      lo = samples[i] < lo ? samples[i] : lo;
      hi = samples[i] > hi ? samples[i] : hi;
      sum += samples[i];
    }
    if (in_block_ == 0) {
      current_ = {static_cast<double>(samples_) / fs_, 0.0, lo, hi};
    }
    current_.lo_v = std::min<double>(current_.lo_v, lo);
    current_.hi_v = std::max<double>(current_.hi_v, hi);
    sum_ = sum;
    in_block_ += take;
    samples_ += take;
    samples += take;
    n -= take;
    if (in_block_ == per_block_) {
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
