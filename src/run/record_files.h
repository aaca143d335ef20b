#pragma once
// The raw records of a capture written as they are read (.npy, float32 volts), so no record
// is ever held whole in memory: beside the run's output prefix, to join its files by a
// rename, or in a folder of their own for a later save. Whatever is not taken is removed.
// A two-channel capture's records have two columns, channel 1 in column 0.
#include <memory>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/cross_capture.h"
#include "psd/npy.h"

namespace qvx {

class RecordFiles final : public RecordSink, public PairSink {
 public:
  // Beside `prefix`, or in a new temporary folder when it is empty; records of `columns`
  // columns (1, or 2 for the pairs of two channels).
  explicit RecordFiles(const std::string& prefix, std::size_t columns = 1);
  ~RecordFiles() override;
  RecordFiles(const RecordFiles&) = delete;
  RecordFiles& operator=(const RecordFiles&) = delete;

  // A record begun again (taken again after it clipped) replaces the take before it.
  void Begin(int record, std::size_t points, double fs_hz) override;
  void Append(const float* volts, std::size_t n) override;
  void Append(const float* x, const float* y, std::size_t n) override;
  void End(bool complete) override;

  const std::vector<std::string>& Paths() const { return paths_; }
  // Why a record could not be written; empty when all were.
  const std::string& Problem() const { return problem_; }

 private:
  void Close();

  std::string prefix_;
  std::size_t columns_;
  std::string folder_;  // ours to remove
  std::vector<std::string> paths_;
  int last_record_ = 0;
  std::unique_ptr<psd::NpyWriter> writer_;
  std::string problem_;
};

// A saved record opened to be read again: a file that cannot be read or is no record is a
// data error.
std::unique_ptr<psd::NpyReader> OpenRecordFile(const std::string& path);
// Once read through: a record of volts holds only finite samples.
void CheckFiniteRecord(const psd::NpyReader& reader);

}  // namespace qvx
