#pragma once
// SCPI text handling of the simulated instrument: headers, mnemonics, numbers.
#include <optional>
#include <string>
#include <string_view>

namespace qvx::sim {

// One command line split into its parts.
struct ParsedLine {
  std::string header;    // without the leading colon and the query mark
  bool query = false;    // the header ended in '?'
  std::string argument;  // everything after the header, blanks trimmed
};

ParsedLine ParseLine(std::string_view line);

// The short form of a mnemonic: its upper-case letters plus any numeric suffix
// ("FREQuency" -> "FREQ", "CHANnel1" -> "CHAN1").
std::string ShortForm(std::string_view mnemonic);

// True when `token` names `mnemonic` in its short or long form, in any case. A numeric
// suffix of 1 may be left out ("CHAN" means "CHANnel1"); other suffixes must match.
bool MatchMnemonic(std::string_view mnemonic, std::string_view token);

// Matches a header such as "MATH1:FFT:FREQ:END" against a pattern written with the
// mnemonics' case convention (":MATH1:FFT:FREQuency:END"). Common commands ("*IDN")
// compare without regard to case.
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

// Upper-cases ASCII letters.
std::string ToUpper(std::string_view text);

}  // namespace qvx::sim
