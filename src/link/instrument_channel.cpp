#include "link/instrument_channel.h"

#include <array>
#include <cstring>

namespace qvx {

std::string InstrumentChannel::QueryInstrument(std::string_view command) {
  SendCommand(command);
  std::array<char, QUERY_REPLY_MAX + 1> reply{};
  const int n = ReceiveWithTimeout(reply.data(), QUERY_REPLY_MAX, QUERY_TIMEOUT_MS);
  if (n <= 0) return kTimeoutReply;
  // The buffer was zeroed and at most 1023 bytes were read, so a NUL follows.
  return TrimReply(std::string_view(reply.data(), std::strlen(reply.data())));
}

std::string TrimReply(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace qvx
