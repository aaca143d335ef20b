#pragma once
// The SCPI vocabulary beyond the window: typed queries written once, the waveform preamble,
// and opening the instrument. A transport failure (no answer, a closed connection) and bad
// data (an answer that is not what was asked for) are different faults, so a message can
// say which.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/socket_channel.h"
#include "link/whole_line_channel.h"

namespace qvx {

enum class LinkFault { kNone, kTransport, kBadData };

template <typename T>
struct Queried {
  T value{};
  LinkFault fault = LinkFault::kNone;
  std::string message;  // what went wrong, naming the query; empty when it worked
  bool ok() const { return fault == LinkFault::kNone; }
};

// A decimal number (finite).
Queried<double> QueryNumber(WholeLineChannel& ch, std::string_view query);
// A whole number, also when the instrument writes it as "1.0E+06".
Queried<std::int64_t> QueryInteger(WholeLineChannel& ch, std::string_view query);
// Any reply, as trimmed.
Queried<std::string> QueryText(WholeLineChannel& ch, std::string_view query);
// *IDN?: a non-empty reply.
Queried<std::string> QueryIdentification(WholeLineChannel& ch);

// Opens the connection to `addr` (port 5555) and asks *IDN?; the identification, or the
// transport fault with what to check.
Queried<std::string> OpenInstrument(WholeLineChannel& lines, const std::string& addr);

// :WAVeform:PREamble?: format,type,points,count,xincrement,xorigin,xreference,yincrement,
// yorigin,yreference. Volts of code b: (b - yorigin - yreference) x yincrement.
struct Preamble {
  double format = 0, type = 0, points = 0, count = 0;
  double xincrement = 0, xorigin = 0, xreference = 0;
  double yincrement = 0, yorigin = 0, yreference = 0;
  double Volts(unsigned char code) const { return (code - yorigin - yreference) * yincrement; }
};

// What the set-up implies of a record's preamble.
struct PreambleExpectation {
  std::size_t record_points = 0;  // the memory depth set and read back
  std::size_t window_points = 0;  // STARt..STOP, which some instruments give instead
  double sample_rate_hz = 0.0;
  double channel_scale_v = 0.0;
};

// The ten numbers, or bad data naming the field; then each field checked against what the
// set-up implies (points, xincrement, yincrement), so a preamble that would make the record
// longer, faster or larger than it is never converts a single code.
Queried<Preamble> ReadPreamble(WholeLineChannel& ch, const PreambleExpectation& expected);
Queried<Preamble> ParsePreamble(std::string_view reply, const PreambleExpectation& expected);

}  // namespace qvx
