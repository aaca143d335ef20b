// The trace block reader over a scripted channel. Input: one control byte (low four
// bits: how many segment-size bytes follow, each giving a size of 1..256; bit 7: the
// peer closes after the stream), those bytes, then the stream the instrument sends.
// With no size bytes the stream comes as one segment. Every byte is there at once,
// so the outcome follows from the stream alone: a block of at least 1000 data bytes
// is read with its first 1000 kept and the stream left just past its line end; any
// other stream fails, keeps nothing and is discarded to its end.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "spectrum/trace.h"
#include "support/fake_channel.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "block reader: %s\n", what);
  std::abort();
}

// The length field read as the instrument interface describes it: white space,
// a sign, digits up to the first other byte.
std::int64_t Length(std::string_view digits) {
  std::size_t i = 0;
  while (i < digits.size() && (digits[i] == ' ' || (digits[i] >= '\t' && digits[i] <= '\r'))) ++i;
  const bool negative = i < digits.size() && digits[i] == '-';
  if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) ++i;
  std::int64_t n = 0;
  for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) n = n * 10 + (digits[i] - '0');
  return negative ? -n : n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t sizeCount = data[0] & 0x0F;
  const bool closes = (data[0] & 0x80) != 0;
  if (size < 1 + sizeCount) return 0;
  std::vector<std::size_t> sizes;
  for (std::size_t k = 0; k < sizeCount; ++k) sizes.push_back(std::size_t{data[1 + k]} + 1);
  const std::string stream(reinterpret_cast<const char*>(data) + 1 + sizeCount, size - 1 - sizeCount);

  qvx::test::FakeChannel ch;
  for (std::size_t at = 0, k = 0; at < stream.size(); ++k) {
    const std::size_t piece = sizes.empty() ? stream.size() : sizes[k % sizes.size()];
    ch.Data(stream.substr(at, piece));
    at += piece;
  }
  if (closes) ch.Closed();

  std::array<unsigned char, qvx::SPEC_POINTS> first;
  first.fill(0xA5);
  const auto untouched = first;
  const bool ok = qvx::ReadTraceBlock(ch, first);

  for (const auto& r : ch.receives) {
    if (r.maxBytes > qvx::kBlockScratchBytes) Fail("a receive asked for more than the scratch holds");
  }
  const std::int64_t n = stream.size() >= 11 ? Length(std::string_view(stream).substr(2, 9)) : 0;
  const bool complete = n >= qvx::SPEC_POINTS && stream.size() >= 11 + static_cast<std::size_t>(n);
  if (ok != complete) Fail(ok ? "accepted an incomplete or short block" : "refused a complete block");
  if (ok) {
    if (std::string_view(reinterpret_cast<const char*>(first.data()), first.size()) !=
        std::string_view(stream).substr(11, qvx::SPEC_POINTS)) {
      Fail("kept other bytes than the first data bytes");
    }
    const std::size_t next = 11 + static_cast<std::size_t>(n) + 1;
    if (ch.Pending() != (next < stream.size() ? stream.substr(next) : "")) Fail("left the stream out of step");
  } else {
    if (first != untouched) Fail("a failed read changed the kept points");
    if (!ch.Pending().empty()) Fail("a failed read left bytes of the reply for the next query");
  }
  return 0;
}
