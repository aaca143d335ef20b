#include "core/conversions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

#include "core/errors.h"

namespace qvx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void ThrowNotFloat(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' は浮動小数点数ではありません");
}

[[noreturn]] void ThrowNotInteger(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' は整数ではありません");
}

// A value as decimal digits: value = 0.d1d2d3... x 10^(exponent), digits without
// trailing zeros ("" for zero).
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

// Rounds to `significant` digits (correctly, from the binary value).
Decimal ToDecimal(double value, int significant) {
  Decimal d;
  d.negative = std::signbit(value);
  if (value == 0.0) return d;
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, significant - 1);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto e = s.find('e');
  for (char c : s.substr(0, e)) {
    if (IsDigit(c)) d.digits.push_back(c);
  }
  int exp10 = 0;
  std::string_view es = s.substr(e + 1);
  if (!es.empty() && es.front() == '+') es.remove_prefix(1);
  std::from_chars(es.data(), es.data() + es.size(), exp10);
  d.exponent = exp10 + 1;
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

// Decimal magnitudes (value = d.ddd x 10^m) beyond which a text is out of range
// without asking from_chars: above the largest double, below half the smallest.
constexpr std::int64_t kMaxMagnitude = 308;
constexpr std::int64_t kZeroMagnitude = -325;
constexpr std::int64_t kExponentLimit = std::int64_t{1} << 50;
// The largest double, 1.7976931348623157E308, in 15 significant digits.
constexpr std::string_view kLargestDoubleDigits = "179769313486232";

// Whether d.ddd... x 10^308, rounded half up to 15 significant digits, is not
// above the largest double rounded the same way.
bool WithinLargestDouble(std::string_view digits) {
  std::string head(digits.substr(0, kLargestDoubleDigits.size()));
  head.resize(kLargestDoubleDigits.size(), '0');
  if (digits.size() > head.size() && digits[head.size()] >= '5') {
    std::size_t k = head.size();
    while (k > 0 && head[k - 1] == '9') head[--k] = '0';
    if (k == 0) return false;  // carried into 1E309
    ++head[k - 1];
  }
  return head <= kLargestDoubleDigits;
}

std::string NonFinite(double value) {
  if (std::isnan(value)) return "NAN";
  return value < 0 ? "-INF" : "INF";
}

// Most values are nowhere near a rounding tie: then rounding the binary value gives
// the same digits as rounding its 15-digit decimal form, without building that form.
// Returns false when the value is too large or too close to a tie to be sure.
bool AppendFixedFast(double value, int decimals, std::string& out) {
  static constexpr double kScale[] = {1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6};
  if (decimals < 0 || decimals > 6) return false;
  const double x = std::fabs(value) * kScale[decimals];
  if (!(x < 1e14)) return false;
  const double whole = std::floor(x);
  const double frac = x - whole;
  if (std::fabs(frac - 0.5) <= x * 1e-13 + 1e-9) return false;
  const auto n = static_cast<unsigned long long>(whole) + (frac > 0.5 ? 1 : 0);

  char digits[24];
  auto res = std::to_chars(digits, digits + sizeof digits, n);
  auto len = static_cast<int>(res.ptr - digits);
  char buf[40];
  int pos = 0;
  if (std::signbit(value) && n != 0) buf[pos++] = '-';
  const int lead = len > decimals ? len - decimals : 0;
  if (lead == 0) buf[pos++] = '0';  // at least one digit before the point
  for (int k = 0; k < lead; ++k) buf[pos++] = digits[k];
  if (decimals > 0) {
    buf[pos++] = '.';
    for (int k = 0; k < decimals - len; ++k) buf[pos++] = '0';
    for (int k = lead; k < len; ++k) buf[pos++] = digits[k];
  }
  out.append(buf, static_cast<std::size_t>(pos));
  return true;
}

}  // namespace

double StrToFloat(std::string_view text) {
  std::string_view s = text;
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);

  // Check the grammar ourselves: from_chars alone would accept "inf", "nan" and
  // hexadecimal forms, and rejects a leading '+'. On the way, note the significant
  // digits and the decimal magnitude, so the range is judged by the value however
  // it is written ("2" + 308 zeros + "e-0" is as large as "2E308").
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::string significant;     // without leading zeros
  std::int64_t intDigits = 0;  // of the integer part, after its leading zeros
  std::int64_t fracZeros = 0;  // zeros after the point before the first other digit
  std::size_t digits = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i, ++digits) {
    if (significant.empty() && s[i] == '0') continue;
    significant.push_back(s[i]);
    ++intDigits;
  }
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && IsDigit(s[i]); ++i, ++digits) {
      if (significant.empty() && s[i] == '0') {
        ++fracZeros;
        continue;
      }
      significant.push_back(s[i]);
    }
  }
  if (digits == 0) ThrowNotFloat(text);
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
    std::size_t expDigits = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i, ++expDigits) {
      // Saturates far beyond any magnitude that digits of a text could make up for.
      exponent = std::min<std::int64_t>(exponent * 10 + (s[i] - '0'), kExponentLimit);
    }
    if (expDigits == 0) ThrowNotFloat(text);
    if (expNegative) exponent = -exponent;
  }
  if (i != s.size()) ThrowNotFloat(text);

  while (!significant.empty() && significant.back() == '0') significant.pop_back();
  if (significant.empty()) return negative ? -0.0 : 0.0;
  // value = d.ddd x 10^magnitude
  const std::int64_t magnitude = (intDigits > 0 ? intDigits - 1 : -fracZeros - 1) + exponent;
  if (magnitude > kMaxMagnitude) ThrowNotFloat(text);
  if (magnitude < kZeroMagnitude) return negative ? -0.0 : 0.0;

  std::string normal = significant.substr(0, 1) + "." + significant.substr(1) + "e" + std::to_string(magnitude);
  double value = 0.0;
  const auto res = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // An underflow is zero. Above the largest double, a value that is not above it
    // once both are rounded to 15 digits is the largest double: so a 15-digit text
    // of the largest double, as FloatToStr writes it, reads back.
    if (magnitude < 0) {
      value = 0.0;
    } else if (WithinLargestDouble(significant)) {
      value = std::numeric_limits<double>::max();
    } else {
      ThrowNotFloat(text);
    }
  } else if (res.ec != std::errc() || res.ptr != normal.data() + normal.size()) {
    ThrowNotFloat(text);
  }
  return negative ? -value : value;
}

int StrToInt(std::string_view text) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) ThrowNotInteger(text);
  long long magnitude = 0;
  for (char c : s) {
    if (!IsDigit(c)) ThrowNotInteger(text);
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 2147483648LL) ThrowNotInteger(text);
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int>::max()) ThrowNotInteger(text);
  return static_cast<int>(value);
}

std::string FloatToStr(double value) {
  if (!std::isfinite(value)) return NonFinite(value);
  const Decimal d = ToDecimal(value, 15);
  if (d.digits.empty()) return "0";

  std::string out;
  if (d.negative) out.push_back('-');
  const int e = d.exponent;  // value = 0.digits x 10^e
  const int ndig = static_cast<int>(d.digits.size());
  if (e - 1 < -4 || e - 1 >= 15) {
    out.push_back(d.digits[0]);
    if (ndig > 1) {
      out.push_back('.');
      out.append(d.digits, 1);
    }
    out.push_back('E');
    const int exp10 = e - 1;
    if (exp10 < 0) out.push_back('-');
    out += std::to_string(std::abs(exp10));
    return out;
  }
  if (e <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e), '0');
    out += d.digits;
  } else if (ndig <= e) {
    out += d.digits;
    out.append(static_cast<std::size_t>(e - ndig), '0');
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(e));
    out.push_back('.');
    out.append(d.digits, static_cast<std::size_t>(e));
  }
  return out;
}

std::string FormatFloat(std::string_view picture, double value) {
  std::string out;
  AppendFormatFloat(out, picture, value);
  return out;
}

void AppendFormatFloat(std::string& text, std::string_view picture, double value) {
  int decimals = 0;
  if (const auto dot = picture.find('.'); dot != std::string_view::npos) {
    decimals = static_cast<int>(picture.size() - dot - 1);
  }
  if (!std::isfinite(value)) {
    text += NonFinite(value);
    return;
  }
  if (AppendFixedFast(value, decimals, text)) return;

  // Round the 15-digit decimal form, not the binary value, so that a value
  // written as 1.0005 goes up as a person expects.
  const Decimal d = ToDecimal(value, 15);
  // Digits of |value| scaled by 10^decimals, as an integer string.
  std::string scaled;
  const int intDigits = d.exponent + decimals;  // digits before the rounding point
  bool roundUp = false;
  if (intDigits > 0) {
    for (int k = 0; k < intDigits; ++k) {
      scaled.push_back(k < static_cast<int>(d.digits.size()) ? d.digits[static_cast<std::size_t>(k)] : '0');
    }
    if (intDigits < static_cast<int>(d.digits.size())) roundUp = d.digits[static_cast<std::size_t>(intDigits)] >= '5';
  } else if (intDigits == 0 && !d.digits.empty()) {
    roundUp = d.digits[0] >= '5';
  }
  if (scaled.empty()) scaled = "0";
  if (roundUp) {
    int k = static_cast<int>(scaled.size()) - 1;
    while (k >= 0 && scaled[static_cast<std::size_t>(k)] == '9') scaled[static_cast<std::size_t>(k--)] = '0';
    if (k < 0) {
      scaled.insert(scaled.begin(), '1');
    } else {
      ++scaled[static_cast<std::size_t>(k)];
    }
  }
  if (static_cast<int>(scaled.size()) < decimals + 1) {
    scaled.insert(0, static_cast<std::size_t>(decimals + 1) - scaled.size(), '0');
  }
  const bool allZero = scaled.find_first_not_of('0') == std::string::npos;
  if (d.negative && !allZero) text.push_back('-');
  const std::size_t split = scaled.size() - static_cast<std::size_t>(decimals);
  text.append(scaled, 0, split);
  if (decimals > 0) {
    text.push_back('.');
    text.append(scaled, split);
  }
}

bool TryParseIniInteger(std::string_view text, int& value) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  unsigned long long magnitude = 0;
  const auto res = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
  // Hexadecimal may spell a negative 32-bit value (0xFFFFFFFF is -1).
  if (base == 16 && !negative) {
    if (magnitude > 0xFFFFFFFFULL) return false;
    value = static_cast<int>(static_cast<std::uint32_t>(magnitude));
    return true;
  }
  if (magnitude > (negative ? 2147483648ULL : 2147483647ULL)) return false;
  value = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

}  // namespace qvx
