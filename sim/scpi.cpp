#include "scpi.h"

#include <array>
#include <charconv>

namespace qvx::sim {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Splits "CHANnel12" into "CHANnel" and "12".
std::pair<std::string_view, std::string_view> SplitSuffix(std::string_view word) {
  std::size_t end = word.size();
  while (end > 0 && IsDigit(word[end - 1])) --end;
  return {word.substr(0, end), word.substr(end)};
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// True when `token` names the mnemonic whose parts are given.
bool NamesMnemonic(std::string_view alpha, std::string_view digits, std::string_view short_form,
                   std::string_view token) {
  const auto [token_alpha, token_digits] = SplitSuffix(token);
  const bool digits_ok = token_digits == digits || (token_digits.empty() && (digits.empty() || digits == "1"));
  if (token_alpha.empty() || !digits_ok) return false;
  return EqualNoCase(token_alpha, short_form) || EqualNoCase(token_alpha, alpha);
}

// Splits the header at its colons, once. No header has more than kMaxTokens mnemonics, so a
// longer one keeps its rest, colons included, as a last token that matches nothing.
void SplitTokens(ParsedLine& line) {
  const std::string_view header = line.header;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon =
        line.token_spans.size() < ParsedLine::kMaxTokens ? header.find(':', start) : std::string_view::npos;
    const std::size_t stop = colon == std::string_view::npos ? header.size() : colon;
    line.token_spans.emplace_back(start, stop - start);
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
}

}  // namespace

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

ParsedLine ParseLine(std::string_view line) {
  ParsedLine parsed;
  line = Trim(line);
  std::size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  std::string_view header = line.substr(0, end);
  parsed.argument = std::string(Trim(line.substr(end)));
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  if (!header.empty() && header.back() == '?') {
    parsed.query = true;
    header.remove_suffix(1);
  }
  parsed.header = std::string(header);
  SplitTokens(parsed);
  return parsed;
}

std::string ShortForm(std::string_view mnemonic) {
  const auto [alpha, digits] = SplitSuffix(mnemonic);
  std::string out;
  for (char c : alpha) {
    if (IsUpper(c) || IsDigit(c)) out.push_back(c);
  }
  out.append(digits);
  return out;
}

bool MatchMnemonic(std::string_view mnemonic, std::string_view token) {
  const auto [alpha, digits] = SplitSuffix(mnemonic);
  return NamesMnemonic(alpha, digits, ShortForm(alpha), token);
}

HeaderPattern::HeaderPattern(std::string_view pattern) : text_(pattern) {
  if (!pattern.empty() && pattern.front() == ':') pattern.remove_prefix(1);
  if (!pattern.empty() && pattern.front() == '*') {
    common_ = std::string(pattern);
    return;
  }
  const ParsedLine split = ParseLine(pattern);
  for (std::size_t i = 0; i < split.TokenCount(); ++i) {
    const auto [alpha, digits] = SplitSuffix(split.Token(i));
    mnemonics_.push_back({std::string(alpha), std::string(digits), ShortForm(alpha)});
  }
}

bool HeaderPattern::Matches(const ParsedLine& line) const {
  if (!common_.empty()) return EqualNoCase(common_, line.header);
  if (line.TokenCount() != mnemonics_.size()) return false;
  for (std::size_t i = 0; i < mnemonics_.size(); ++i) {
    const Mnemonic& m = mnemonics_[i];
    if (!NamesMnemonic(m.alpha, m.digits, m.short_form, line.Token(i))) return false;
  }
  return true;
}

bool MatchHeader(std::string_view pattern, std::string_view header) {
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  ParsedLine line;
  line.header = std::string(header);
  SplitTokens(line);
  return HeaderPattern(pattern).Matches(line);
}

std::optional<double> ParseNumber(std::string_view text) {
  std::size_t i = 0;
  bool plus = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    plus = text[i] == '+';
    ++i;
  }
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  if (plus) text.remove_prefix(1);
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> ParseQuantity(std::string_view text) {
  double multiplier = 1.0;
  if (!text.empty()) {
    const char last = text.back();
    if (last == 'k' || last == 'K') multiplier = 1e3;
    if (last == 'M') multiplier = 1e6;
    if (multiplier != 1.0) text.remove_suffix(1);
  }
  const auto number = ParseNumber(text);
  if (!number) return std::nullopt;
  return *number * multiplier;
}

std::string FormatExponent(double value) {
  std::array<char, 64> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific, 6);
  std::string out(buffer.data(), result.ptr);
  for (char& c : out) {
    if (c == 'e') c = 'E';
  }
  return out;
}

std::string FormatInteger(long long value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

}  // namespace qvx::sim
