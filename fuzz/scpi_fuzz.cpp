// The simulator's command parser. Input: command lines separated by line feeds, any
// bytes, executed in order on a fresh instrument (only the first trace query: a
// trace costs far more than parsing). Each line splits into a header without
// blanks and a trimmed argument, and what the instrument answers stays within a
// block's size and a bounded delay.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "instrument.h"
#include "scpi.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view line) {
  std::fprintf(stderr, "simulator: %s '%.*s'\n", what, static_cast<int>(std::min<std::size_t>(line.size(), 200)),
               line.data());
  std::abort();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::size_t kMaxLines = 64;
constexpr int kMaxTraces = 1;
constexpr std::size_t kMaxReplyBytes = qvx::sim::kMaxReadPoints + 64;  // a raw block of the most points
constexpr auto kMaxDelay = std::chrono::seconds(60);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvx::sim::Instrument instrument;
  // Records stay small: one of the largest depth takes a second to generate.
  qvx::sim::SimState small = instrument.State();
  small.mdepth_points = 1000;
  instrument.SetState(small);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  int traces = 0;
  for (std::size_t n = 0; n < kMaxLines && !rest.empty(); ++n) {
    const auto end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

    const qvx::sim::ParsedLine parsed = qvx::sim::ParseLine(line);
    for (char c : parsed.header) {
      if (IsBlank(c)) Fail("a header with a blank", line);
    }
    if (!parsed.argument.empty() && (IsBlank(parsed.argument.front()) || IsBlank(parsed.argument.back()))) {
      Fail("an untrimmed argument", line);
    }

    if (parsed.query && qvx::sim::MatchHeader(":WAVeform:DATA", parsed.header) && ++traces > kMaxTraces) continue;
    if (!parsed.query && qvx::sim::MatchHeader(":ACQuire:MDEPth", parsed.header)) continue;
    const qvx::sim::Reply reply = instrument.Execute(line);
    std::size_t bytes = 0;
    for (const auto& piece : reply.pieces) {
      bytes += piece.Size();
      if (piece.delay < std::chrono::milliseconds(0) || piece.delay > kMaxDelay) Fail("a reply delay", line);
    }
    if (bytes > kMaxReplyBytes) Fail("a reply larger than any the instrument sends", line);
  }
  return 0;
}
