// The number and text conversions. The whole input is a text: it converts or raises
// EConvertError, and agrees with the C library's correctly rounded reading. Its first
// eight bytes are also a double: FloatToStr writes it in its form and the text reads
// back; FormatFloat, with as many decimals as the ninth byte picks, rounds it right.
#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "core/conversions.h"
#include "core/errors.h"

namespace {

using qvx::EConvertError;

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s: '%.*s'\n", what, static_cast<int>(std::min<std::size_t>(text.size(), 400)), text.data());
  std::abort();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Only these characters make a text the C library reads the way StrToFloat should
// (it would also take hexadecimal, "inf", "nan" and leading line breaks).
bool PlainDecimalChars(std::string_view s) {
  for (char c : s) {
    if (!IsDigit(c) && c != '.' && c != '+' && c != '-' && c != 'e' && c != 'E') return false;
  }
  return true;
}

void CheckStrToFloat(const std::string& text) {
  double value = 0.0;
  bool converted = true;
  try {
    value = qvx::StrToFloat(text);
  } catch (const EConvertError&) {
    converted = false;
  }
  const std::string_view t = TrimBlanks(text);
  if (t.empty() || !PlainDecimalChars(t)) {
    if (converted) Fail("accepted a text that is not a decimal number", text);
    return;
  }
  // The fuzzer never sets a locale, so strtod reads the point.
  const std::string s(t);
  char* end = nullptr;
  errno = 0;
  const double reference = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size()) {
    if (converted) Fail("accepted what the C library does not read", text);
    return;
  }
  if (std::isinf(reference)) {
    // Above the largest double: an error, or the largest double itself when the
    // text does not exceed it within 15 digits.
    if (converted && std::fabs(value) != std::numeric_limits<double>::max()) {
      Fail("an overflowing text read as something else", text);
    }
    return;
  }
  if (!converted) Fail("refused a number the C library reads", text);
  if (value != reference) Fail("read differently from the C library", text);
}

// FloatToStr's form: up to 15 significant digits, no trailing zeros, fixed notation
// for 0 and for magnitudes in [0.0001, 1e15), else one digit, point, digits, "E", exponent.
void CheckFloatToStrForm(const std::string& s, double back) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const std::size_t intStart = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  const std::size_t intDigits = i - intStart;
  std::size_t fracDigits = 0;
  if (i < s.size() && s[i] == '.') {
    const std::size_t fracStart = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    fracDigits = i - fracStart;
    if (fracDigits == 0 || s[i - 1] == '0') Fail("FloatToStr: empty or zero-ended fraction", s);
  }
  const bool exponent = i < s.size() && s[i] == 'E';
  if (exponent) {
    ++i;
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t expStart = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    if (i == expStart || s[expStart] == '0') Fail("FloatToStr: bad exponent", s);
    if (intDigits != 1 || s[intStart] == '0') Fail("FloatToStr: mantissa not d.ddd", s);
  }
  if (i != s.size() || intDigits == 0) Fail("FloatToStr: not a number's text", s);
  if (s == "-0" || (intDigits > 1 && s[intStart] == '0')) Fail("FloatToStr: needless zero or sign", s);

  std::size_t significant = 0;
  bool seen = false;
  for (char c : std::string_view(s).substr(0, s.find('E'))) {
    if (!IsDigit(c)) continue;
    seen = seen || c != '0';
    if (seen) ++significant;
  }
  if (significant > 15) Fail("FloatToStr: more than 15 significant digits", s);
  const double magnitude = std::fabs(back);
  const bool fixedRange = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e15);
  if (exponent == fixedRange) Fail("FloatToStr: wrong notation for the magnitude", s);
}

void CheckFloatToStr(double x) {
  const std::string s = qvx::FloatToStr(x);
  if (!std::isfinite(x)) {
    if (s != (std::isnan(x) ? "NAN" : (x < 0 ? "-INF" : "INF"))) Fail("FloatToStr of a non-finite", s);
    return;
  }
  double back = 0.0;
  try {
    back = qvx::StrToFloat(s);
  } catch (const EConvertError&) {
    Fail("FloatToStr wrote what StrToFloat refuses", s);
  }
  CheckFloatToStrForm(s, back);
  if (qvx::FloatToStr(back) != s) Fail("FloatToStr text does not read back to itself", s);
  if (!(std::fabs(back - x) <= std::fabs(x) * 1e-14)) Fail("FloatToStr text reads back too far off", s);
}

void CheckFormatFloat(double x, int decimals) {
  std::string picture = "0";
  if (decimals > 0) picture += "." + std::string(static_cast<std::size_t>(decimals), '0');
  const std::string s = qvx::FormatFloat(picture, x);
  std::string appended = "x";
  qvx::AppendFormatFloat(appended, picture, x);
  if (appended != "x" + s) Fail("AppendFormatFloat differs from FormatFloat", s);
  if (!std::isfinite(x)) {
    if (s != (std::isnan(x) ? "NAN" : (x < 0 ? "-INF" : "INF"))) Fail("FormatFloat of a non-finite", s);
    return;
  }
  std::size_t i = s.starts_with('-') ? 1 : 0;
  const std::size_t intStart = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  if (i == intStart || (i - intStart > 1 && s[intStart] == '0')) Fail("FormatFloat: bad integer part", s);
  if (decimals > 0) {
    if (i >= s.size() || s[i] != '.') Fail("FormatFloat: no point", s);
    const std::size_t fracStart = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    if (i - fracStart != static_cast<std::size_t>(decimals)) Fail("FormatFloat: wrong number of decimals", s);
  }
  if (i != s.size()) Fail("FormatFloat: trailing characters", s);
  const double back = qvx::StrToFloat(s);
  if (s.starts_with('-') && back == 0.0) Fail("FormatFloat: minus sign before zero", s);
  const double half = 0.5 * std::pow(10.0, -decimals);
  if (!(std::fabs(back - x) <= half * (1 + 1e-9) + std::fabs(x) * 1e-14)) Fail("FormatFloat: rounds too far", s);
}

void CheckStrToInt(const std::string& text) {
  bool converted = true;
  int value = 0;
  try {
    value = qvx::StrToInt(text);
  } catch (const EConvertError&) {
    converted = false;
  }
  std::string_view t = text;
  const bool negative = !t.empty() && t.front() == '-';
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) t.remove_prefix(1);
  bool digitsOnly = !t.empty();
  for (char c : t) digitsOnly = digitsOnly && IsDigit(c);
  if (!digitsOnly) {
    if (converted) Fail("StrToInt accepted a text that is not an integer", text);
    return;
  }
  while (t.size() > 1 && t.front() == '0') t.remove_prefix(1);
  const long long expected =
      t.size() > 11 ? std::numeric_limits<long long>::max() : (negative ? -1 : 1) * std::stoll(std::string(t));
  const bool inRange = expected >= std::numeric_limits<int>::min() && expected <= std::numeric_limits<int>::max();
  if (converted != inRange || (converted && value != expected)) Fail("StrToInt", text);

  int iniValue = 0;
  if (!qvx::TryParseIniInteger(text, iniValue) && inRange) Fail("TryParseIniInteger refused a decimal", text);
  if (inRange && iniValue != expected) Fail("TryParseIniInteger read a decimal wrongly", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckStrToFloat(text);
  CheckStrToInt(text);
  int ignored = 0;
  qvx::TryParseIniInteger(text, ignored);

  if (size >= sizeof(double)) {
    double x = 0.0;
    std::memcpy(&x, data, sizeof x);
    CheckFloatToStr(x);
    CheckFormatFloat(x, size > sizeof x ? data[sizeof x] % 7 : 3);
  }
  // A text that converts goes through the writers too.
  try {
    const double v = qvx::StrToFloat(text);
    CheckFloatToStr(v);
    CheckFormatFloat(v, 3);
  } catch (const EConvertError&) {
  }
  return 0;
}
