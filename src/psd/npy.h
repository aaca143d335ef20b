#pragma once
// NumPy .npy files of a record, as NumPy writes and reads them: little-endian float32 (or
// float64) volts, shape (N,), or (N, 2) for two channels with channel 1 in column 0. Read
// and written in chunks, so memory does not grow with the record.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::psd {

// What is wrong with a .npy file, in words that name the file and say what to do.
class NpyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class NpyType { Float32, Float64 };

// A .npy file's header, checked.
struct NpyHeader {
  NpyType type = NpyType::Float32;
  std::size_t rows = 0;
  std::size_t columns = 1;  // 1 for shape (N,) or (N, 1); 2 for (N, 2)
  std::size_t data_offset = 0;
};

// Checks the header at the start of `bytes`, which hold at least the header and as many of
// the file's bytes as `file_size` says the file has (the data need not be in `bytes`).
// Throws NpyError("NAME: ..."), without the prefix when `name` is empty.
NpyHeader ParseNpyHeader(std::string_view bytes, std::uint64_t file_size, const std::string& name);

// An open file descriptor, closed with its owner.
struct NpyFile {
  int fd = -1;
  NpyFile() = default;
  ~NpyFile();
  NpyFile(const NpyFile&) = delete;
  NpyFile& operator=(const NpyFile&) = delete;
  bool Close();  // false when close() reported an error
};

// Reads a .npy record chunk by chunk from a regular file, or from bytes in memory.
class NpyReader {
 public:
  // Opens `path` and checks its header. Refuses what is not a regular file (a FIFO, a
  // device, a folder) before reading from it. Throws NpyError naming the file.
  explicit NpyReader(const std::string& path);
  // The same over bytes in memory (kept by the caller while the reader reads); `name` is
  // what the messages call them.
  NpyReader(std::string_view bytes, std::string name);
  ~NpyReader();
  NpyReader(const NpyReader&) = delete;
  NpyReader& operator=(const NpyReader&) = delete;

  const std::string& Name() const { return name_; }
  NpyType Type() const { return header_.type; }
  std::size_t Rows() const { return header_.rows; }
  std::size_t Columns() const { return header_.columns; }
  std::size_t RowsRead() const { return rows_read_; }

  // The next rows, up to `rows` of them: column 0 into `first`, column 1 into `second`
  // (may be null; ignored for one column). Returns how many; 0 at the end. Throws NpyError
  // when the file cannot be read or ends early.
  std::size_t Read(float* first, std::size_t rows, float* second = nullptr);
  std::size_t Read(double* first, std::size_t rows, double* second = nullptr);

  // Values read so far that are NaN or infinite, and the row of the first.
  std::size_t NonFinite() const { return non_finite_; }
  std::size_t FirstNonFiniteRow() const { return first_non_finite_row_; }
  // "NAME: 3 samples are not finite (NaN or infinite), the first in row 12", or empty.
  std::string NonFiniteMessage() const;

 private:
  template <class T>
  std::size_t ReadAs(T* first, T* second, std::size_t rows);
  void Bytes(char* to, std::size_t n);
  [[noreturn]] void Fail(const std::string& why) const;

  std::string name_;
  NpyFile fd_;
  std::string_view memory_;
  std::uint64_t position_ = 0;
  NpyHeader header_;
  std::size_t rows_read_ = 0;
  std::size_t non_finite_ = 0;
  std::size_t first_non_finite_row_ = 0;
  std::vector<char> raw_;
};

// Writes a float32 record as it arrives: the header first, with room for any shape, then
// the samples chunk by chunk, the header rewritten after each chunk with the rows written
// so far. A record cut short (a cancel, an error, even a crash between chunks) is a valid
// .npy of what arrived.
class NpyWriter {
 public:
  // Creates or empties `path`: one column, shape (N,), or two, shape (N, 2). Throws
  // NpyError naming the file.
  NpyWriter(const std::string& path, std::size_t columns);
  ~NpyWriter();  // Finish(), its errors unreported: call Finish() to hear of them
  NpyWriter(const NpyWriter&) = delete;
  NpyWriter& operator=(const NpyWriter&) = delete;

  // `rows` more rows: column 0 from `first`, column 1 from `second` (two columns only).
  void Append(const float* first, std::size_t rows, const float* second = nullptr);
  // The header with the rows written, then the file closed. Throws NpyError.
  void Finish();
  std::size_t Rows() const { return rows_; }

 private:
  void WriteAt(std::uint64_t offset, const char* data, std::size_t n);
  void WriteHeader();
  [[noreturn]] void Fail(const std::string& why);

  std::string path_;
  NpyFile fd_;
  std::size_t columns_;
  std::size_t rows_ = 0;
  std::vector<char> raw_;
};

// The file's bytes for `samples` (float32, shape (N,)).
std::string NpyBytes(const std::vector<float>& samples);

struct NpyRead {
  std::vector<double> samples;
  std::string error;  // empty when read
  bool ok() const { return error.empty(); }
};

// Reads float32 or float64 little-endian, C order, from memory: the samples of a record of
// shape (N,), or channel 1 (column 0) of one of shape (N, 2); anything else is an error
// that says what the file holds instead.
NpyRead ReadNpy(std::string_view bytes);

}  // namespace qvx::psd
