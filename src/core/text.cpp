#include "core/text.h"

#include <charconv>
#include <cmath>

#include "core/conversions.h"

namespace qvx {

// The text's lines without their LF or CR LF; a final line end adds no empty line. A UTF-8
// byte-order mark, as editors on other systems write, is no part of the first line.
std::vector<std::string_view> TextLines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<double> ParseDecimal(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  // Only digits, one sign, a point and an exponent: from_chars would also take "inf" and "nan".
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return std::nullopt;
  }
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string ShortestNumber(double value) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string FormatSignificant(double value, int digits) {
  if (!std::isfinite(value)) return "n/a";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
  return std::string(buf, res.ptr);
}

namespace {

// Four significant digits with the engineering prefix that keeps the number in 1 ... 999.
std::string Engineering(double value, const char* unit) {
  static constexpr struct {
    double scale;
    const char* prefix;
  } kPrefixes[] = {{1e9, "G"},  {1e6, "M"},       {1e3, "k"},  {1.0, ""},
                   {1e-3, "m"}, {1e-6, "\u00B5"}, {1e-9, "n"}, {1e-12, "p"}};
  if (!std::isfinite(value)) return "n/a";
  if (value == 0) return std::string("0 ") + unit;
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e12 || magnitude < 1e-12) return FormatSignificant(value, 4) + " " + unit;
  for (const auto& p : kPrefixes) {
    // 999.96 would round to 1000 of its prefix: the larger one shows it.
    if (magnitude >= p.scale * (1 - 5e-5)) return FormatSignificant(value / p.scale, 4) + " " + p.prefix + unit;
  }
  return FormatSignificant(value, 4) + " " + unit;
}

}  // namespace

std::string FormatVolts(double volts) { return Engineering(volts, "V"); }
// Seconds take no multiples: 1000 s, not 1 ks.
std::string FormatSeconds(double seconds) {
  return std::fabs(seconds) >= 1 ? FormatSignificant(seconds, 4) + " s" : Engineering(seconds, "s");
}

std::string FormatHz(double hz) {
  if (std::fabs(hz) >= 1e12) return FormatSignificant(hz, 4) + " Hz";
  if (std::fabs(hz) >= 1e9) return FormatSignificant(hz / 1e9, 4) + " GHz";
  if (std::fabs(hz) >= 1e6) return FormatSignificant(hz / 1e6, 4) + " MHz";
  if (std::fabs(hz) >= 1e3) return FormatSignificant(hz / 1e3, 4) + " kHz";
  return FormatSignificant(hz, 4) + " Hz";
}

std::string Counted(long long n, std::string_view noun) {
  return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

std::string FormatDuration(double seconds) {
  if (seconds < 60) return FormatFloat("0.0", seconds) + " s";
  const long whole = std::lround(seconds);
  const long rest = whole % 60;
  return std::to_string(whole / 60) + " min " + (rest < 10 ? "0" : "") + std::to_string(rest) + " s";
}

namespace {
std::string_view Trimmed(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}
}  // namespace

std::optional<double> ParseGainText(const std::string& raw, std::string* error) {
  std::string text(Trimmed(raw));
  if (text.empty()) return 1.0;
  bool db = false;
  if (text.size() >= 2 && (text.substr(text.size() - 2) == "dB" || text.substr(text.size() - 2) == "db" ||
                           text.substr(text.size() - 2) == "DB")) {
    db = true;
    text = std::string(Trimmed(text.substr(0, text.size() - 2)));
  }
  const auto value = ParseDecimal(text);
  if (db && value && std::fabs(*value) <= 300) return std::pow(10.0, *value / 20.0);
  if (!db && value && *value > 0) return *value;
  if (error) *error = "the gain '" + raw + "' is neither a ratio above 0 nor a number of dB such as 40 dB";
  return std::nullopt;
}

}  // namespace qvx
