// The readers of the noise analysis's input files, and the analysis of whatever they
// accept. Input: one control byte, then the file's text. Control bit 0: read as the
// window's clipboard export instead of the CSV; bit 1: with a span (0 Hz to 100 kHz,
// which a level-only export needs). A CSV that reads writes back to the same text's
// numbers; every accepted file analyses to a JSON document that parses, with no
// negative noise in it; a refusal names a line of the text.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "analysis/noise_analysis.h"
#include "analysis/noise_files.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "analysis reader: %s\n", what);
  std::abort();
}

bool SamePoints(const qvx::NoiseSpectrum& a, const qvx::NoiseSpectrum& b) {
  if (a.points.size() != b.points.size()) return false;
  for (std::size_t i = 0; i < a.points.size(); ++i) {
    const auto& p = a.points[i];
    const auto& q = b.points[i];
    if (p.freq_hz != q.freq_hz || p.level_nv != q.level_nv || p.density_nv != q.density_nv || p.flags != q.flags)
      return false;
  }
  return true;
}

// Noise is never negative; what cannot be measured is null (or a huge input overflowed).
void CheckNoise(const nlohmann::json& value, const char* what) {
  if (value.is_number() && value.get<double>() < 0.0) Fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool clipboard = (data[0] & 1) != 0;
  const std::optional<std::pair<double, double>> span =
      (data[0] & 2) != 0 ? std::optional(std::pair(0.0, 100000.0)) : std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  const qvx::SpectrumReadResult read = clipboard ? qvx::ReadClipboardExport(text, span) : qvx::ReadNoiseCsv(text);
  if (!read.ok()) {
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    if (read.line < 1 || static_cast<std::size_t>(read.line) > lines + 1) Fail("an error names no line of the text");
    return 0;
  }
  const qvx::NoiseSpectrum& s = read.spectrum;
  if (s.points.empty()) Fail("accepted a file without points");
  for (std::size_t i = 1; i < s.points.size(); ++i) {
    if (!(s.points[i].freq_hz >= s.points[i - 1].freq_hz)) Fail("accepted falling frequencies");
  }
  if (!clipboard) {
    const qvx::SpectrumReadResult again = qvx::ReadNoiseCsv(qvx::WriteNoiseCsv(s));
    if (!again.ok() || !SamePoints(s, again.spectrum)) Fail("a CSV read does not write back to the same numbers");
  }

  const qvx::NoiseReport report = qvx::AnalyzeNoise(s, {});
  const auto json = nlohmann::json::parse(qvx::NoiseJsonText(s, report), nullptr, false);
  if (json.is_discarded()) Fail("the JSON does not parse");
  CheckNoise(json["white_nv"], "negative white floor");
  for (const auto& band : json["bands"]) CheckNoise(band["rms_uv"], "negative band noise");
  for (const auto& spot : json["spots"]) CheckNoise(spot["nv"], "negative spot noise");
  static_cast<void>(qvx::NoiseSummaryText(s, report));
  return 0;
}
