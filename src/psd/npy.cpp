#include "psd/npy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace qvx::psd {
namespace {

constexpr std::string_view kMagic = "\x93NUMPY";
// NumPy's own readers refuse headers beyond 10 000 bytes; this leaves room for odd writers.
constexpr std::size_t kMaxHeader = 1 << 20;
// Rows converted at a time, so the reader's and the writer's buffers stay small.
constexpr std::size_t kChunkRows = 1 << 15;
// The writer's header, always this long, so it can be rewritten in place with any shape.
constexpr std::size_t kWriterHeader = 128;

std::string Prefixed(const std::string& name, const std::string& why) { return name.empty() ? why : name + ": " + why; }

std::string Errno(int error) { return std::strerror(error); }

// The header's dictionary, as NumPy writes it: {'key': value, ...} with strings, True /
// False and tuples of whole numbers as values.
struct Dictionary {
  std::optional<std::string> descr;
  bool descr_is_list = false;
  std::optional<bool> fortran_order;
  std::optional<std::vector<std::string>> shape;  // the numbers as written
};

class HeaderParser {
 public:
  explicit HeaderParser(std::string_view text) : text_(text) {}

  // Empty on success, else what is wrong.
  std::string Parse(Dictionary& d) {
    Blanks();
    if (!Take('{')) return "its header is not the dictionary NumPy writes (no '{')";
    for (;;) {
      Blanks();
      if (Take('}')) return {};
      std::string key;
      if (!Quoted(key)) return "its header is not the dictionary NumPy writes (a key is not quoted)";
      Blanks();
      if (!Take(':')) return "its header is not the dictionary NumPy writes (no ':' after '" + key + "')";
      Blanks();
      if (key == "descr" && Peek() == '[') {
        d.descr_is_list = true;
        if (!SkipBracketed()) return "its header is not the dictionary NumPy writes (an unclosed '[')";
      } else if (key == "descr") {
        std::string v;
        if (!Quoted(v)) return "its header's 'descr' is not a quoted type";
        d.descr = v;
      } else if (key == "fortran_order") {
        if (Word("True")) {
          d.fortran_order = true;
        } else if (Word("False")) {
          d.fortran_order = false;
        } else {
          return "its header's 'fortran_order' is neither True nor False";
        }
      } else if (key == "shape") {
        std::vector<std::string> numbers;
        if (!Tuple(numbers)) return "its header's 'shape' is not a tuple of whole numbers";
        d.shape = numbers;
      } else {
        return "its header has a key NumPy does not write: '" + key + "'";
      }
      Blanks();
      if (Take(',')) continue;
      if (Take('}')) return {};
      return "its header is not the dictionary NumPy writes (no ',' or '}' after '" + key + "')";
    }
  }

 private:
  char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++at_;
    return true;
  }
  void Blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) ++at_;
  }
  bool Word(std::string_view w) {
    if (text_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }
  bool Quoted(std::string& out) {
    const char quote = Peek();
    if (quote != '\'' && quote != '"') return false;
    const auto end = text_.find(quote, at_ + 1);
    if (end == std::string_view::npos) return false;
    out = std::string(text_.substr(at_ + 1, end - at_ - 1));
    at_ = end + 1;
    return true;
  }
  bool SkipBracketed() {
    int depth = 0;
    for (; at_ < text_.size(); ++at_) {
      if (text_[at_] == '[') ++depth;
      if (text_[at_] == ']' && --depth == 0) {
        ++at_;
        return true;
      }
    }
    return false;
  }
  bool Tuple(std::vector<std::string>& numbers) {
    if (!Take('(')) return false;
    for (;;) {
      Blanks();
      if (Take(')')) return true;
      const std::size_t start = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      if (at_ == start) return false;
      numbers.emplace_back(text_.substr(start, at_ - start));
      if (Peek() == 'L') ++at_;  // Python 2's long integers
      Blanks();
      if (Take(')')) return true;
      if (!Take(',')) return false;
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// What a descr other than '<f4' / '<f8' holds, for the message that refuses it.
std::string Refusal(const std::string& descr) {
  const std::string kind = descr.size() >= 2 ? descr.substr(1) : descr;
  const char order = descr.empty() ? '?' : descr[0];
  if ((kind == "f4" || kind == "f8") && order == '>') {
    return "the samples are big-endian " + std::string(kind == "f4" ? "float32" : "float64") + " ('" + descr +
           "'); save them little-endian, e.g. x.astype('<" + kind + "')";
  }
  std::string what = "'" + descr + "'";
  if (kind.size() >= 2 && (kind[0] == 'i' || kind[0] == 'u')) {
    const int bits = 8 * (kind[1] - '0');
    what = std::string(kind[0] == 'i' ? "int" : "uint") + std::to_string(bits) + " ('" + descr + "')";
  } else if (kind == "f2") {
    what = "float16 ('" + descr + "')";
  } else if (kind == "b1") {
    what = "booleans ('" + descr + "')";
  }
  return "the samples are " + what +
         ", not float volts (little-endian float32 or float64); convert them to volts first, e.g. "
         "x.astype(np.float32) * scale";
}

std::string ShapeText(const std::vector<std::string>& numbers) {
  std::string out = "(";
  for (std::size_t i = 0; i < numbers.size(); ++i) out += (i ? ", " : "") + numbers[i];
  return out + (numbers.size() == 1 ? ",)" : ")");
}

std::string Dict(std::size_t rows, std::size_t columns) {
  const std::string shape = "(" + std::to_string(rows) + (columns == 1 ? ",)" : ", " + std::to_string(columns) + ")");
  return "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape + ", }";
}

// Magic, version 1.0, length and the dictionary together `total` bytes, ending in LF.
std::string Framed(std::string header, std::size_t total) {
  header.append(total - kMagic.size() - 4 - header.size() - 1, ' ');
  header.push_back('\n');
  std::string out(kMagic);
  out.push_back('\x01');
  out.push_back('\x00');
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  return out + header;
}

// Little-endian bytes to a value on any host (a plain load where the host is little-endian).
template <class Bits, class T>
T Decode(const char* p) {
  Bits bits = 0;
  for (std::size_t b = 0; b < sizeof bits; ++b) bits |= static_cast<Bits>(static_cast<unsigned char>(p[b])) << (8 * b);
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void PutFloat(char* p, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  for (int b = 0; b < 4; ++b) p[b] = static_cast<char>((bits >> (8 * b)) & 0xff);
}

}  // namespace

NpyFile::~NpyFile() { Close(); }

bool NpyFile::Close() {
  if (fd < 0) return true;
  const int closed = ::close(fd);
  fd = -1;
  return closed == 0;
}

NpyHeader ParseNpyHeader(std::string_view bytes, std::uint64_t file_size, const std::string& name) {
  auto fail = [&](const std::string& why) -> NpyError { return NpyError(Prefixed(name, why)); };
  if (bytes.size() < kMagic.size() || bytes.substr(0, kMagic.size()) != kMagic)
    throw fail("not a NumPy .npy file (it does not start with \\x93NUMPY)");
  if (bytes.size() < 10) throw fail("the file is truncated: it ends inside its header");
  const auto major = static_cast<unsigned char>(bytes[6]);
  const auto minor = static_cast<unsigned char>(bytes[7]);
  std::size_t length = 0;
  std::size_t start = 0;
  if (major == 1) {
    length = static_cast<unsigned char>(bytes[8]) | static_cast<std::size_t>(static_cast<unsigned char>(bytes[9])) << 8;
    start = 10;
  } else if (major == 2 || major == 3) {
    if (bytes.size() < 12) throw fail("the file is truncated: it ends inside its header");
    for (int b = 0; b < 4; ++b) length |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[8 + b])) << (8 * b);
    start = 12;
  } else {
    throw fail("a .npy file of format version " + std::to_string(major) + "." + std::to_string(minor) +
               ", which is not known (1.0, 2.0 and 3.0 are)");
  }
  if (length > kMaxHeader)
    throw fail("its header says it is " + std::to_string(length) + " bytes long, more than a .npy header can be");
  if (bytes.size() - start < length) throw fail("the file is truncated: it ends inside its header");
  Dictionary d;
  if (const std::string why = HeaderParser(bytes.substr(start, length)).Parse(d); !why.empty()) throw fail(why);
  for (const char* key : {"descr", "fortran_order", "shape"}) {
    const bool has = key[0] == 'd'   ? (d.descr || d.descr_is_list)
                     : key[0] == 'f' ? d.fortran_order.has_value()
                                     : d.shape.has_value();
    if (!has) throw fail("its header is incomplete: it has no '" + std::string(key) + "'");
  }
  NpyHeader h;
  h.data_offset = start + length;
  if (d.descr_is_list)
    throw fail("the samples are records of several fields, not float volts; save one array of volts");
  std::size_t width = 0;
  if (*d.descr == "<f4") {
    h.type = NpyType::Float32;
    width = 4;
  } else if (*d.descr == "<f8") {
    h.type = NpyType::Float64;
    width = 8;
  } else {
    throw fail(Refusal(*d.descr));
  }
  const std::vector<std::string>& shape = *d.shape;
  const bool twoColumns = shape.size() == 2 && shape[1] == "2";
  if (shape.empty()) throw fail("the array is a single number (shape ()), not a record");
  if (!(shape.size() == 1 || (shape.size() == 2 && (shape[1] == "1" || twoColumns))))
    throw fail("the array has shape " + ShapeText(shape) + ": a record is (N,), or (N, 2) for two channels");
  h.columns = twoColumns ? 2 : 1;
  if (*d.fortran_order && twoColumns)
    throw fail("the array is in Fortran order; save it in C order, e.g. np.save(path, np.ascontiguousarray(x))");
  const std::uint64_t room = file_size > h.data_offset ? file_size - h.data_offset : 0;
  const std::uint64_t most = room / (width * h.columns);
  std::uint64_t rows = 0;
  const auto [end, ec] = std::from_chars(shape[0].data(), shape[0].data() + shape[0].size(), rows);
  if (ec != std::errc() || rows > most || rows > std::numeric_limits<std::size_t>::max()) {
    throw fail("the file is truncated: its header says " + shape[0] + " rows, and it holds " + std::to_string(most));
  }
  h.rows = static_cast<std::size_t>(rows);
  return h;
}

// --- the reader ---

NpyReader::NpyReader(const std::string& path) : name_(path) {
  // Non-blocking, so that a FIFO is refused rather than waited on.
  fd_.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_.fd < 0) Fail("cannot open it: " + Errno(errno));
  struct stat st {};
  if (::fstat(fd_.fd, &st) != 0) Fail("cannot read it: " + Errno(errno));
  if (!S_ISREG(st.st_mode)) {
    const char* what = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                    : "not a file";
    Fail(std::string("not a regular file (") + what + "); give the .npy file of a record");
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // The fixed part, then the whole header.
  std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, 12)), '\0');
  Bytes(head.data(), head.size());
  std::size_t length = 0;
  if (head.size() >= 10 && head.substr(0, kMagic.size()) == kMagic) {
    const auto major = static_cast<unsigned char>(head[6]);
    if (major == 1) {
      length = static_cast<unsigned char>(head[8]) | static_cast<std::size_t>(static_cast<unsigned char>(head[9])) << 8;
      length += 10;
    } else if ((major == 2 || major == 3) && head.size() >= 12) {
      for (int b = 0; b < 4; ++b)
        length |= static_cast<std::size_t>(static_cast<unsigned char>(head[8 + b])) << (8 * b);
      length = length > kMaxHeader ? 0 : length + 12;
    }
  }
  if (length > head.size()) {
    const std::size_t have = head.size();
    head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, length)));
    Bytes(head.data() + have, head.size() - have);
  }
  header_ = ParseNpyHeader(head, size, name_);
  position_ = header_.data_offset;
}

NpyReader::NpyReader(std::string_view bytes, std::string name) : name_(std::move(name)), memory_(bytes) {
  header_ = ParseNpyHeader(bytes, bytes.size(), name_);
  position_ = header_.data_offset;
}

NpyReader::~NpyReader() = default;

void NpyReader::Fail(const std::string& why) const { throw NpyError(Prefixed(name_, why)); }

void NpyReader::Bytes(char* to, std::size_t n) {
  if (fd_.fd < 0) {
    if (position_ > memory_.size() || memory_.size() - position_ < n) Fail("the data end early");
    std::memcpy(to, memory_.data() + position_, n);
    position_ += n;
    return;
  }
  while (n > 0) {
    const ssize_t got = ::pread(fd_.fd, to, n, static_cast<off_t>(position_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("cannot read it: " + Errno(errno));
    if (got == 0) {
      Fail("the file ended after " + std::to_string(rows_read_) + " of its " + std::to_string(header_.rows) +
           " rows; was it cut while being read?");
    }
    to += got;
    n -= static_cast<std::size_t>(got);
    position_ += static_cast<std::uint64_t>(got);
  }
}

template <class T>
std::size_t NpyReader::ReadAs(T* first, T* second, std::size_t rows) {
  rows = std::min(rows, header_.rows - rows_read_);
  const std::size_t columns = header_.columns;
  const std::size_t width = header_.type == NpyType::Float32 ? 4 : 8;
  std::size_t done = 0;
  while (done < rows) {
    const std::size_t take = std::min(kChunkRows, rows - done);
    raw_.resize(take * columns * width);
    Bytes(raw_.data(), raw_.size());
    const char* p = raw_.data();
    if constexpr (std::is_same_v<T, float> && std::endian::native == std::endian::little) {
      if (width == 4 && columns == 1) {
        // The common record: float32 of one column, copied as it is; the finite test on the
        // bits (all exponent bits set is NaN or infinite), so the loop vectorises.
        std::memcpy(first + done, p, take * 4);
        const auto* bits = reinterpret_cast<const std::uint32_t*>(first + done);
        std::size_t bad = 0;
        for (std::size_t i = 0; i < take; ++i) bad += (bits[i] & 0x7f800000u) == 0x7f800000u;
        if (bad > 0) {
          for (std::size_t i = 0; i < take && non_finite_ == 0; ++i) {
            if ((bits[i] & 0x7f800000u) == 0x7f800000u) first_non_finite_row_ = rows_read_ + done + i;
          }
          non_finite_ += bad;
        }
        done += take;
        continue;
      }
    }
    for (std::size_t i = 0; i < take; ++i) {
      for (std::size_t c = 0; c < columns; ++c, p += width) {
        const double v = width == 4 ? Decode<std::uint32_t, float>(p) : Decode<std::uint64_t, double>(p);
        if (!std::isfinite(v) && non_finite_++ == 0) first_non_finite_row_ = rows_read_ + done + i;
        if (c == 0) {
          first[done + i] = static_cast<T>(v);
        } else if (second != nullptr) {
          second[done + i] = static_cast<T>(v);
        }
      }
    }
    done += take;
  }
  rows_read_ += rows;
  return rows;
}

std::size_t NpyReader::Read(float* first, std::size_t rows, float* second) { return ReadAs(first, second, rows); }

std::size_t NpyReader::Read(double* first, std::size_t rows, double* second) { return ReadAs(first, second, rows); }

std::string NpyReader::NonFiniteMessage() const {
  if (non_finite_ == 0) return {};
  return Prefixed(name_, std::to_string(non_finite_) + (non_finite_ == 1 ? " sample is" : " samples are") +
                             " not finite (NaN or infinite), the first in row " +
                             std::to_string(first_non_finite_row_));
}

// --- the writer ---

NpyWriter::NpyWriter(const std::string& path, std::size_t columns) : path_(path), columns_(columns) {
  if (columns != 1 && columns != 2) Fail("a record has one column or two, not " + std::to_string(columns));
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) Fail("not a regular file; give a new file's name");
  fd_.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd_.fd < 0) Fail("cannot create it: " + Errno(errno));
  if (::fstat(fd_.fd, &st) != 0 || !S_ISREG(st.st_mode)) Fail("not a regular file; give a new file's name");
  WriteHeader();
}

NpyWriter::~NpyWriter() {
  try {
    Finish();
  } catch (const NpyError&) {
  }
}

void NpyWriter::Fail(const std::string& why) {
  fd_.Close();
  throw NpyError(path_ + ": " + why);
}

void NpyWriter::WriteAt(std::uint64_t offset, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t put = ::pwrite(fd_.fd, data, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) Fail("cannot write it: " + Errno(errno));
    data += put;
    n -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
}

void NpyWriter::WriteHeader() {
  const std::string header = Framed(Dict(rows_, columns_), kWriterHeader);
  WriteAt(0, header.data(), header.size());
}

void NpyWriter::Append(const float* first, std::size_t rows, const float* second) {
  if (fd_.fd < 0) Fail("written after Finish()");
  if (columns_ == 2 && second == nullptr) Fail("a record of two columns needs both");
  for (std::size_t done = 0; done < rows;) {
    const std::size_t take = std::min(kChunkRows, rows - done);
    raw_.resize(take * columns_ * 4);
    char* p = raw_.data();
    for (std::size_t i = 0; i < take; ++i) {
      PutFloat(p, first[done + i]);
      p += 4;
      if (columns_ == 2) {
        PutFloat(p, second[done + i]);
        p += 4;
      }
    }
    WriteAt(kWriterHeader + static_cast<std::uint64_t>(rows_) * columns_ * 4, raw_.data(), raw_.size());
    rows_ += take;
    done += take;
  }
  // The rows written so far, so the file is a whole .npy between chunks.
  WriteHeader();
}

void NpyWriter::Finish() {
  if (fd_.fd < 0) return;
  WriteHeader();
  if (!fd_.Close()) throw NpyError(path_ + ": cannot write it: " + Errno(errno));
}

// --- whole records in memory ---

std::string NpyBytes(const std::vector<float>& samples) {
  // Magic, version, length and header together a multiple of 64 bytes, as NumPy writes.
  std::string dict = Dict(samples.size(), 1);
  const std::size_t bare = kMagic.size() + 4 + dict.size() + 1;
  std::string out = Framed(std::move(dict), (bare + 63) / 64 * 64);
  const std::size_t at = out.size();
  out.resize(at + samples.size() * 4);
  for (std::size_t i = 0; i < samples.size(); ++i) PutFloat(out.data() + at + 4 * i, samples[i]);
  return out;
}

NpyRead ReadNpy(std::string_view bytes) {
  NpyRead r;
  try {
    NpyReader reader(bytes, "");
    r.samples.resize(reader.Rows());
    reader.Read(r.samples.data(), r.samples.size());
    if (reader.NonFinite() > 0) r.error = reader.NonFiniteMessage();
  } catch (const NpyError& e) {
    r.error = e.what();
  }
  if (!r.ok()) r.samples.clear();
  return r;
}

}  // namespace qvx::psd
