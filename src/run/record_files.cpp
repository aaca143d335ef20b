#include "run/record_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "core/errors.h"
#include "core/files.h"

namespace qvx {
RecordFiles::RecordFiles(const std::string& prefix, std::size_t columns) : prefix_(prefix), columns_(columns) {
  if (prefix_.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvx71-records-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      folder_ = pattern;
      prefix_ = folder_ + "/record";
    } else {
      problem_ = WriteProblem(pattern, errno);
    }
  }
}

RecordFiles::~RecordFiles() {
  Close();
  for (const std::string& p : paths_) ::unlink(p.c_str());
  if (!folder_.empty()) ::rmdir(folder_.c_str());
}

void RecordFiles::Close() {
  if (!writer_) return;
  try {
    writer_->Finish();
  } catch (const psd::NpyError& e) {
    if (problem_.empty()) problem_ = e.what();
  }
  writer_.reset();
}

void RecordFiles::Begin(int record, std::size_t, double) {
  Close();
  if (!paths_.empty() && record == last_record_) {
    ::unlink(paths_.back().c_str());
    paths_.pop_back();
  }
  last_record_ = record;
  if (!problem_.empty()) return;
  static thread_local std::mt19937_64 rng(std::random_device{}());
  const auto slash = prefix_.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? prefix_ : prefix_.substr(slash + 1);
  const std::string path = folder + (folder_.empty() ? "." : "") + name + ".record" + std::to_string(record) + "." +
                           std::to_string(rng() % 1000000000) + ".npy";
  try {
    writer_ = std::make_unique<psd::NpyWriter>(path, columns_);
    paths_.push_back(path);
  } catch (const psd::NpyError& e) {
    problem_ = e.what();
  }
}

void RecordFiles::Append(const float* volts, std::size_t n) { Append(volts, nullptr, n); }

void RecordFiles::Append(const float* x, const float* y, std::size_t n) {
  if (!writer_ || !problem_.empty()) return;
  try {
    writer_->Append(x, n, y);
  } catch (const psd::NpyError& e) {
    problem_ = e.what();
  }
}

// Whole or cut short, the header already says how many samples there are.
void RecordFiles::End(bool) { Close(); }

std::unique_ptr<psd::NpyReader> OpenRecordFile(const std::string& path) {
  CheckReadableFile(path);
  try {
    return std::make_unique<psd::NpyReader>(path);
  } catch (const psd::NpyError& e) {
    throw RunError(ErrorKind::kData, e.what());
  }
}

void CheckFiniteRecord(const psd::NpyReader& reader) {
  if (reader.NonFinite() > 0) {
    throw RunError(ErrorKind::kData, reader.NonFiniteMessage() + "; a record of volts has only finite samples");
  }
}

}  // namespace qvx
