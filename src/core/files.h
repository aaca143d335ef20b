#pragma once
// Files of a run: inputs read whole (regular files only, so a device or a FIFO can never hold
// a program), and outputs written as one set, each to a temporary name beside its target,
// then renamed over the targets together, so a failure or a kill leaves the earlier set whole.
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// The file's bytes. A folder, a missing or unreadable file, or one that is not a regular
// file (a FIFO, a device) throws RunError(kUsage) naming it and what to do; a file larger
// than `max_bytes` throws RunError(kData).
std::string ReadWholeFile(const std::string& path, std::size_t max_bytes = std::size_t(1) << 30);

// Throws as ReadWholeFile does when `path` is not a regular file that can be read.
void CheckReadableFile(const std::string& path);

// Why `path` could not be written, from errno: "cannot write P: the disk is full", or the
// reason and what to check.
std::string WriteProblem(const std::string& path, int error_number);

// A regular file's lines one at a time (without their line ends, a UTF-8 byte-order mark no
// part of the first), read in blocks: memory does not follow the file's size. Opening
// throws as ReadWholeFile does; a line longer than `max_line` throws RunError(kData).
class LineReader {
 public:
  explicit LineReader(const std::string& path, std::size_t max_line = std::size_t(1) << 20);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  // The next line, valid until the next call; false at the end.
  bool Next(std::string_view& line);

 private:
  bool Fill();
  std::string path_;
  int fd_ = -1;
  std::size_t max_line_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool eof_ = false;
  bool first_ = true;
};

class FileSet {
 public:
  FileSet() = default;
  ~FileSet();  // removes whatever was not committed
  FileSet(const FileSet&) = delete;
  FileSet& operator=(const FileSet&) = delete;

  // A new temporary path beside `target`, ending in the target's extension, for a writer
  // that makes the file itself (an image); it joins the set. Empty with `problem` set when the
  // folder takes no file.
  std::string Reserve(const std::string& target, std::string* problem);
  // Writes `content` to a temporary file for `target`; empty when written, else the problem.
  std::string Write(const std::string& target, std::string_view content);
  // Copies `source` to a temporary file for `target` (moves it when `move`, where it can).
  std::string Adopt(const std::string& source, const std::string& target, bool move);
  // Renames every temporary file over its target, then removes the files of `stale` that the
  // set does not write. Empty when done, else the problem (the targets then stay as they were).
  std::string Commit(const std::vector<std::string>& stale = {});
  const std::vector<std::string>& Targets() const { return targets_; }

 private:
  std::vector<std::string> targets_;
  std::vector<std::string> temps_;
  bool committed_ = false;
};

// One file written whole or not at all; empty when written, else what went wrong.
std::string WriteWholeFile(const std::string& path, std::string_view content);

}  // namespace qvx
