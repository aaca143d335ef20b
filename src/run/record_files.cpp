#include "run/record_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "core/files.h"

namespace qvx {
namespace {

// A version 1.0 header with room for any length, so it can be rewritten in place.
std::string Header(std::size_t rows) {
  std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(rows) + ",), }";
  const std::size_t total = 6 + 4 + 118;  // 128 bytes in all
  dict.resize(total - 10 - 1, ' ');
  dict.push_back('\n');
  std::string out("\x93NUMPY\x01\x00", 8);
  out.push_back(static_cast<char>(dict.size() & 0xff));
  out.push_back(static_cast<char>(dict.size() >> 8));
  return out + dict;
}

}  // namespace

RecordFiles::RecordFiles(const std::string& prefix) : prefix_(prefix) {
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
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void RecordFiles::Begin(int record, std::size_t points, double) {
  Close();
  rows_ = 0;
  if (!problem_.empty()) return;
  static thread_local std::mt19937_64 rng(std::random_device{}());
  const auto slash = prefix_.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? prefix_ : prefix_.substr(slash + 1);
  const std::string path = folder + (folder_.empty() ? "." : "") + name + ".record" + std::to_string(record) + "." +
                           std::to_string(rng() % 1000000000) + ".npy";
  file_ = std::fopen(path.c_str(), "wbx");
  if (!file_) {
    problem_ = WriteProblem(path, errno);
    return;
  }
  paths_.push_back(path);
  const std::string header = Header(points);
  header_ = header.size();
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) problem_ = WriteProblem(path, errno);
}

void RecordFiles::Append(const float* volts, std::size_t n) {
  if (!file_ || !problem_.empty()) return;
  // Little-endian float32, as the machine holds them.
  if (std::fwrite(volts, sizeof(float), n, file_) != n) {
    problem_ = WriteProblem(paths_.back(), errno);
    return;
  }
  rows_ += n;
}

void RecordFiles::End(bool complete) {
  if (!file_) return;
  if (!complete && problem_.empty()) {
    // Cut short: the header says how many samples there are.
    const std::string header = Header(rows_);
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
      problem_ = WriteProblem(paths_.back(), errno);
    }
  }
  if (std::fflush(file_) != 0 && problem_.empty()) problem_ = WriteProblem(paths_.back(), errno);
  Close();
}

}  // namespace qvx
