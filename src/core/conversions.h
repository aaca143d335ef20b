#pragma once
// Number <-> text conversions. Always the point as decimal separator and never
// dependent on the C locale (Qt calls setlocale, which would change printf/strtod).
#include <string>
#include <string_view>

namespace qvx {

// Optional blanks around, optional sign, digits with an optional point (at least
// one digit), optional exponent. Anything else throws EConvertError quoting the text.
double StrToFloat(std::string_view text);

// A decimal integer (optional sign, digits) in the 32-bit range; else EConvertError.
int StrToInt(std::string_view text);

// Up to 15 significant digits, no trailing zeros; fixed notation for 0 and for
// magnitudes in [0.0001, 1e15), otherwise e.g. "1E-8", "-7E-8", "2.5E15".
std::string FloatToStr(double value);

// Picture "0" or "0." followed by zeros (as "0.000"): that many decimals, halves
// rounded away from zero, no minus sign before a value that rounds to zero.
std::string FormatFloat(std::string_view picture, double value);

// The same, appended to `out` (no temporary string: the export formats 2000 numbers).
void AppendFormatFloat(std::string& out, std::string_view picture, double value);

// Reads an integer the way the settings file stores it: decimal, or hexadecimal
// after "0x"/"0X". Returns false when the text is not such an integer.
bool TryParseIniInteger(std::string_view text, int& value);

}  // namespace qvx
