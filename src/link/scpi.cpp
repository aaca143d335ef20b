#include "link/scpi.h"

#include <cmath>
#include <vector>

#include "core/text.h"

namespace qvx {
namespace {

template <typename T>
Queried<T> Fault(LinkFault fault, std::string message) {
  Queried<T> q;
  q.fault = fault;
  q.message = std::move(message);
  return q;
}

// The reply, or the transport fault of the query.
Queried<std::string> Ask(WholeLineChannel& ch, std::string_view query) {
  Queried<std::string> q;
  q.value = ch.QueryInstrument(query);
  if (ch.PeerClosed() || q.value == kTimeoutReply) return Fault<std::string>(LinkFault::kTransport, ch.LastQueryOutcome());
  return q;
}

}  // namespace

Queried<std::string> QueryText(WholeLineChannel& ch, std::string_view query) { return Ask(ch, query); }

Queried<double> QueryNumber(WholeLineChannel& ch, std::string_view query) {
  const Queried<std::string> reply = Ask(ch, query);
  if (!reply.ok()) return Fault<double>(reply.fault, reply.message);
  const auto v = ParseDecimal(reply.value);
  if (!v) return Fault<double>(LinkFault::kBadData, ch.LastQueryOutcome() + ", not a number");
  return {*v, LinkFault::kNone, {}};
}

Queried<std::int64_t> QueryInteger(WholeLineChannel& ch, std::string_view query) {
  const Queried<double> number = QueryNumber(ch, query);
  if (!number.ok()) return Fault<std::int64_t>(number.fault, number.message);
  if (std::fabs(number.value) > 9e15 || number.value != std::round(number.value)) {
    return Fault<std::int64_t>(LinkFault::kBadData, ch.LastQueryOutcome() + ", not a whole number");
  }
  return {static_cast<std::int64_t>(number.value), LinkFault::kNone, {}};
}

Queried<std::string> QueryIdentification(WholeLineChannel& ch) {
  Queried<std::string> reply = Ask(ch, "*IDN?");
  if (reply.ok() && reply.value.empty()) {
    return Fault<std::string>(LinkFault::kBadData, "the instrument answered *IDN? with an empty line");
  }
  return reply;
}

Queried<std::string> OpenInstrument(WholeLineChannel& lines, const std::string& addr) {
  if (!lines.Open(addr)) {
    return Fault<std::string>(LinkFault::kTransport,
                              "cannot connect to " + addr + ":" + std::to_string(INSTRUMENT_PORT) +
                                  " (refused or no answer within 5 s); check the address, the cable and that the "
                                  "instrument is on");
  }
  Queried<std::string> idn = QueryIdentification(lines);
  if (idn.fault == LinkFault::kTransport) {
    idn.message = lines.PeerClosed()
                      ? addr + " accepted the connection, then closed it at *IDN?; check that it is the instrument, "
                               "then try again"
                      : addr + " accepted the connection but did not answer *IDN? within 1 s; check that it is the "
                               "instrument and not busy, then try again";
  } else if (!idn.ok()) {
    idn.message = addr + " accepted the connection but " + idn.message + "; check that it is the instrument";
  }
  return idn;
}

Queried<Preamble> ParsePreamble(std::string_view reply, const PreambleExpectation& expected) {
  const std::string quoted = "'" + std::string(reply.substr(0, 200)) + "'";
  auto bad = [&](const std::string& why) {
    return Fault<Preamble>(LinkFault::kBadData, "the preamble" + why + ": " + quoted);
  };
  std::vector<double> field;
  std::string_view rest = reply;
  for (;;) {
    const auto comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const auto v = ParseDecimal(item);
    if (!v) {
      return bad("'s field " + std::to_string(field.size() + 1) + " ('" + std::string(item.substr(0, 40)) +
                 "') is not a number");
    }
    field.push_back(*v);
    if (comma == std::string_view::npos || field.size() > 10) break;
    rest.remove_prefix(comma + 1);
  }
  if (field.size() != 10) return bad(" has " + std::to_string(field.size()) + " fields, not 10");
  Preamble p{field[0], field[1], field[2], field[3], field[4], field[5], field[6], field[7], field[8], field[9]};
  if (!(p.xincrement > 0) || !(p.yincrement > 0) || !(p.points > 0)) {
    return bad(" gives no usable conversion (points " + ShortestNumber(p.points) + ", xincrement " +
               ShortestNumber(p.xincrement) + ", yincrement " + ShortestNumber(p.yincrement) + ")");
  }
  auto close = [](double a, double b) { return std::fabs(a - b) <= 1e-3 * std::fabs(b); };
  const auto record = static_cast<double>(expected.record_points);
  const auto window = static_cast<double>(expected.window_points);
  if (expected.record_points > 0 && p.points != record && !(expected.window_points > 0 && p.points == window)) {
    return bad("'s points (field 3) say " + ShortestNumber(p.points) + ", neither the record's " +
               std::to_string(expected.record_points) +
               (expected.window_points > 0 ? " nor the read window's " + std::to_string(expected.window_points)
                                           : std::string()));
  }
  if (expected.sample_rate_hz > 0 && !close(p.xincrement, 1.0 / expected.sample_rate_hz)) {
    return bad("'s xincrement (field 5) is " + ShortestNumber(p.xincrement) + " s where the sample rate of " +
               ShortestNumber(expected.sample_rate_hz) + " Sa/s means " + ShortestNumber(1.0 / expected.sample_rate_hz));
  }
  if (expected.channel_scale_v > 0 && !close(p.yincrement, expected.channel_scale_v / 32.0)) {
    return bad("'s yincrement (field 8) is " + ShortestNumber(p.yincrement) + " V where the channel scale of " +
               FormatVolts(expected.channel_scale_v) + "/div means " + ShortestNumber(expected.channel_scale_v / 32.0));
  }
  if (std::fabs(p.yorigin) > 1e9 || std::fabs(p.yreference) > 1e9) {
    return bad("'s yorigin and yreference (fields 9 and 10) do not place the codes");
  }
  return {p, LinkFault::kNone, {}};
}

Queried<Preamble> ReadPreamble(WholeLineChannel& ch, const PreambleExpectation& expected) {
  const Queried<std::string> reply = Ask(ch, ":WAVeform:PREamble?");
  if (!reply.ok()) return Fault<Preamble>(reply.fault, reply.message);
  return ParsePreamble(reply.value, expected);
}

}  // namespace qvx
