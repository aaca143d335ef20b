#include "psd/npy.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace qvx::psd {
namespace {

constexpr std::string_view kMagic = "\x93NUMPY";

// The value of `key` in the header's dictionary, up to the next comma or brace, blanks trimmed.
std::string_view Field(std::string_view header, std::string_view key) {
  const std::string quoted = "'" + std::string(key) + "'";
  auto at = header.find(quoted);
  if (at == std::string_view::npos) return {};
  at = header.find(':', at + quoted.size());
  if (at == std::string_view::npos) return {};
  std::string_view rest = header.substr(at + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  std::size_t end = 0;
  if (!rest.empty() && rest.front() == '(') {
    end = rest.find(')');
    return end == std::string_view::npos ? std::string_view() : rest.substr(0, end + 1);
  }
  end = rest.find_first_of(",}");
  std::string_view value = rest.substr(0, end);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return value;
}

}  // namespace

std::string NpyBytes(const std::vector<float>& samples) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(samples.size()) + ",), }";
  // Magic, version, length and header together a multiple of 64 bytes, ending in LF.
  const std::size_t total = kMagic.size() + 4 + header.size() + 1;
  header.append((64 - total % 64) % 64, ' ');
  header.push_back('\n');
  std::string out(kMagic);
  out.push_back('\x01');
  out.push_back('\x00');
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  out += header;
  const std::size_t at = out.size();
  out.resize(at + samples.size() * 4);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &samples[i], 4);
    for (int b = 0; b < 4; ++b) out[at + 4 * i + b] = static_cast<char>((bits >> (8 * b)) & 0xff);
  }
  return out;
}

NpyRead ReadNpy(std::string_view bytes) {
  NpyRead r;
  auto fail = [&](std::string why) {
    r.error = std::move(why);
    r.samples.clear();
    return r;
  };
  if (bytes.size() < 10 || bytes.substr(0, 6) != kMagic)
    return fail("not a NumPy .npy file (no \\x93NUMPY at its start)");
  const auto major = static_cast<unsigned char>(bytes[6]);
  std::size_t length = 0;
  std::size_t start = 0;
  if (major == 1) {
    length = static_cast<unsigned char>(bytes[8]) | static_cast<std::size_t>(static_cast<unsigned char>(bytes[9])) << 8;
    start = 10;
  } else if (major == 2 || major == 3) {
    if (bytes.size() < 12) return fail("the .npy header is cut short");
    for (int b = 0; b < 4; ++b) length |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[8 + b])) << (8 * b);
    start = 12;
  } else {
    return fail("a .npy file of format version " + std::to_string(major) + ", which is not known");
  }
  if (bytes.size() - start < length) return fail("the .npy header is cut short");
  const std::string_view header = bytes.substr(start, length);
  const std::string_view descr = Field(header, "descr");
  std::size_t width = 0;
  if (descr == "'<f4'")
    width = 4;
  else if (descr == "'<f8'")
    width = 8;
  else
    return fail("the .npy data are " + std::string(descr) + ", not little-endian float32 or float64");
  if (Field(header, "fortran_order") != "False") return fail("the .npy data are in Fortran order");
  std::string_view shape = Field(header, "shape");
  if (shape.size() < 3 || shape.front() != '(' || shape.back() != ')') return fail("the .npy file has no shape");
  shape = shape.substr(1, shape.size() - 2);
  while (!shape.empty() && (shape.back() == ',' || shape.back() == ' ')) shape.remove_suffix(1);
  std::size_t count = 0;
  const auto [end, ec] = std::from_chars(shape.data(), shape.data() + shape.size(), count);
  if (ec != std::errc() || end != shape.data() + shape.size())
    return fail("the .npy array is not one-dimensional: (" + std::string(shape) + ")");
  const std::string_view data = bytes.substr(start + length);
  if (count > data.size() / width) return fail("the .npy file holds fewer values than its shape says");
  r.samples.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t bits = 0;
    for (std::size_t b = 0; b < width; ++b)
      bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i * width + b])) << (8 * b);
    if (width == 4) {
      const auto b32 = static_cast<std::uint32_t>(bits);
      float f = 0;
      std::memcpy(&f, &b32, 4);
      r.samples[i] = f;
    } else {
      std::memcpy(&r.samples[i], &bits, 8);
    }
  }
  return r;
}

}  // namespace qvx::psd
