#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <algorithm>

#include "core/errors.h"

namespace qvx {
namespace {

std::string Folder(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Name(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "run.png" -> ".png"; the extension a writer of images goes by.
std::string Extension(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

// A file that did not exist, beside `target`: ".run.csv.1a2b3c.csv", opened for writing.
int CreateTemp(const std::string& target, std::string& path) {
  static thread_local std::mt19937_64 rng(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char tag[20];
    std::snprintf(tag, sizeof tag, "%012llx", static_cast<unsigned long long>(rng() & 0xffffffffffffULL));
    path = Folder(target) + "." + Name(target) + "." + tag + Extension(Name(target));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void CheckReadableFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw RunError(ErrorKind::kUsage, "cannot read " + path + " (" + std::strerror(errno) + "); check the name");
  }
  if (S_ISDIR(st.st_mode)) throw RunError(ErrorKind::kUsage, "cannot read " + path + ": it is a folder; give a file");
  if (!S_ISREG(st.st_mode)) {
    throw RunError(ErrorKind::kUsage,
                   "cannot read " + path + ": it is not a regular file (a device, a pipe or a socket); give a file");
  }
  if (::access(path.c_str(), R_OK) != 0) {
    throw RunError(ErrorKind::kUsage, "cannot read " + path + "; check that it is a file you may read");
  }
}

std::string ReadWholeFile(const std::string& path, std::size_t max_bytes) {
  CheckReadableFile(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw RunError(ErrorKind::kUsage, "cannot read " + path + "; check that it is a file you may read");
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    throw RunError(ErrorKind::kData, "cannot read " + path + ": it is larger than " + std::to_string(max_bytes >> 20) +
                                         " MiB; is it the right file?");
  }
  text.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      throw RunError(ErrorKind::kUsage, "cannot read " + path + " (" + std::strerror(errno) + ")");
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > max_bytes) {
      ::close(fd);
      throw RunError(ErrorKind::kData, "cannot read " + path + ": it is larger than " +
                                           std::to_string(max_bytes >> 20) + " MiB; is it the right file?");
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

std::string WriteProblem(const std::string& path, int error_number) {
  if (error_number == ENOSPC || error_number == EDQUOT) return "cannot write " + path + ": the disk is full";
  return "cannot write " + path + " (" + std::strerror(error_number) + "); check the folder and its permissions";
}

LineReader::LineReader(const std::string& path, std::size_t max_line) : path_(path), max_line_(max_line) {
  CheckReadableFile(path);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw RunError(ErrorKind::kUsage, "cannot read " + path + "; check that it is a file you may read");
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool LineReader::Fill() {
  if (eof_) return false;
  buffer_.erase(0, start_);
  start_ = 0;
  char block[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd_, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw RunError(ErrorKind::kUsage, "cannot read " + path_ + " (" + std::strerror(errno) + ")");
    if (n == 0) {
      eof_ = true;
      return false;
    }
    buffer_.append(block, static_cast<std::size_t>(n));
    return true;
  }
}

bool LineReader::Next(std::string_view& line) {
  for (;;) {
    const auto end = buffer_.find('\n', start_);
    if (end != std::string::npos || (eof_ && start_ < buffer_.size())) {
      const std::size_t stop = end == std::string::npos ? buffer_.size() : end;
      line = std::string_view(buffer_).substr(start_, stop - start_);
      start_ = end == std::string::npos ? buffer_.size() : end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (first_ && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
      first_ = false;
      return true;
    }
    if (buffer_.size() - start_ > max_line_) {
      throw RunError(ErrorKind::kData,
                     path_ + ": a line longer than " + std::to_string(max_line_ >> 10) + " KiB; is it the right file?");
    }
    if (!Fill()) {
      if (start_ < buffer_.size()) continue;
      return false;
    }
  }
}

FileSet::~FileSet() {
  if (committed_) return;
  for (const std::string& t : temps_) ::unlink(t.c_str());
}

std::string FileSet::Reserve(const std::string& target, std::string* problem) {
  std::string temp;
  const int fd = CreateTemp(target, temp);
  if (fd < 0) {
    if (problem) *problem = WriteProblem(target, errno);
    return {};
  }
  ::close(fd);
  targets_.push_back(target);
  temps_.push_back(temp);
  return temp;
}

std::string FileSet::Write(const std::string& target, std::string_view content) {
  std::string temp;
  const int fd = CreateTemp(target, temp);
  if (fd < 0) return WriteProblem(target, errno);
  targets_.push_back(target);
  temps_.push_back(temp);
  if (!WriteAll(fd, content.data(), content.size()) || ::fsync(fd) != 0) {
    const int e = errno;
    ::close(fd);
    return WriteProblem(target, e);
  }
  if (::close(fd) != 0) return WriteProblem(target, errno);
  return {};
}

std::string FileSet::Adopt(const std::string& source, const std::string& target, bool move) {
  std::string temp;
  const int fd = CreateTemp(target, temp);
  if (fd < 0) return WriteProblem(target, errno);
  targets_.push_back(target);
  temps_.push_back(temp);
  if (move && ::rename(source.c_str(), temp.c_str()) == 0) {
    ::close(fd);
    return {};
  }
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    ::close(fd);
    return "cannot read " + source + " (" + std::strerror(errno) + ")";
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0 || !WriteAll(fd, buffer, static_cast<std::size_t>(n))) {
      const int e = errno;
      ::close(in);
      ::close(fd);
      return n < 0 ? "cannot read " + source + " (" + std::strerror(e) + ")" : WriteProblem(target, e);
    }
  }
  ::close(in);
  if (::fsync(fd) != 0 || ::close(fd) != 0) return WriteProblem(target, errno);
  if (move) ::unlink(source.c_str());
  return {};
}

std::string FileSet::Commit(const std::vector<std::string>& stale) {
  for (std::size_t i = 0; i < temps_.size(); ++i) {
    if (::rename(temps_[i].c_str(), targets_[i].c_str()) != 0) return WriteProblem(targets_[i], errno);
  }
  committed_ = true;
  for (const std::string& s : stale) {
    if (std::find(targets_.begin(), targets_.end(), s) == targets_.end()) ::unlink(s.c_str());
  }
  return {};
}

std::string WriteWholeFile(const std::string& path, std::string_view content) {
  FileSet set;
  if (std::string problem = set.Write(path, content); !problem.empty()) return problem;
  return set.Commit();
}

}  // namespace qvx
