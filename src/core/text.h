#pragma once
// Text every layer writes and reads: numbers with units, durations, counted nouns, the
// shortest exact form of a double, decimal parsing and line splitting. Never locale-dependent.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// The text's lines without their LF or CR LF (a final line end adds no empty line, a UTF-8
// byte-order mark is no part of the first line).
std::vector<std::string_view> TextLines(std::string_view text);

// At most `digits` significant digits ("16.33", "1.5", "1.234e+04"); "n/a" when not finite.
std::string FormatSignificant(double value, int digits);

// "1 point", "3 points": a count with its noun, singular or plural as it falls.
std::string Counted(long long n, std::string_view noun);

// "32.96 mV", "200 \u00B5s": four significant digits with an engineering prefix.
std::string FormatVolts(double volts);
std::string FormatSeconds(double seconds);

// "10 Hz", "2.5 kHz", "100 kHz": at most four significant digits.
std::string FormatHz(double hz);

// "1 min 05 s", "12.3 s".
std::string FormatDuration(double seconds);

// Shortest text that reads back as the same double (never locale-dependent).
std::string ShortestNumber(double value);

// A decimal number in plain or exponent form, blanks around allowed; nothing for anything
// else (including inf and nan).
std::optional<double> ParseDecimal(std::string_view text);

// A gain as a person writes it: a ratio above 0 ("100"), or a number followed by "dB"
// ("40 dB", within +/-300 dB). Nothing, with `error` set, when it is neither; an empty text is
// no gain (1).
std::optional<double> ParseGainText(const std::string& text, std::string* error);

}  // namespace qvx
