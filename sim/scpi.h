#pragma once
// SCPI text handling of the simulated instrument: headers, mnemonics, numbers.
// Everything here takes arbitrary bytes: a line is parsed once, and headers are matched
// against patterns that were split once, so a long line costs time in proportion to its length.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvx::sim {

// One command line split into its parts.
struct ParsedLine {
  std::string header;    // without the leading colon and the query mark
  bool query = false;    // the header ended in '?'
  std::string argument;  // everything after the header, blanks trimmed
  // The header's mnemonics (split at its colons) as offset and length into `header`; past
  // kMaxTokens the rest of the header is one last token.
  static constexpr std::size_t kMaxTokens = 16;
  std::vector<std::pair<std::size_t, std::size_t>> token_spans;

  std::size_t TokenCount() const { return token_spans.size(); }
  std::string_view Token(std::size_t i) const {
    return std::string_view(header).substr(token_spans[i].first, token_spans[i].second);
  }
};

ParsedLine ParseLine(std::string_view line);

// The short form of a mnemonic: its upper-case letters plus any numeric suffix
// ("FREQuency" -> "FREQ", "CHANnel1" -> "CHAN1").
std::string ShortForm(std::string_view mnemonic);

// True when `token` names `mnemonic` in its short or long form, in any case. A numeric
// suffix of 1 may be left out ("CHAN" means "CHANnel1"); other suffixes must match.
bool MatchMnemonic(std::string_view mnemonic, std::string_view token);

// A header written with the mnemonics' case convention (":MATH1:FFT:FREQuency:END"), split
// once. Common commands ("*IDN") compare whole, without regard to case.
class HeaderPattern {
 public:
  explicit HeaderPattern(std::string_view pattern);
  bool Matches(const ParsedLine& line) const;
  const std::string& Text() const { return text_; }  // as written, leading colon included

 private:
  struct Mnemonic {
    std::string alpha;       // "FREQuency"
    std::string digits;      // numeric suffix, "" or "1" may be left out by the token
    std::string short_form;  // "FREQ"
  };
  std::string text_;
  std::string common_;  // "*IDN" for a common command, else empty
  std::vector<Mnemonic> mnemonics_;
};

// Matches a header such as "MATH1:FFT:FREQ:END" against a pattern (see HeaderPattern).
bool MatchHeader(std::string_view pattern, std::string_view header);

// A plain decimal number: optional sign, digits with an optional point (at least one
// digit), optional exponent. Nothing else, not even blanks.
std::optional<double> ParseNumber(std::string_view text);

// A number with an optional multiplier suffix k/K (1e3) or M (1e6), as in "1M" or "100k".
std::optional<double> ParseQuantity(std::string_view text);

// The instrument's number style: six decimals and a signed exponent ("1.000000E+05").
std::string FormatExponent(double value);

// A whole number in plain digits.
std::string FormatInteger(long long value);

// Upper-cases ASCII letters; other bytes pass unchanged, whatever the locale.
std::string ToUpper(std::string_view text);

}  // namespace qvx::sim
