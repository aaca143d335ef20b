#include "link/whole_line_channel.h"

#include <chrono>

namespace qvx {

void WholeLineChannel::SendCommand(std::string_view command) { inner_.SendCommand(command); }

int WholeLineChannel::ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) {
  const int n = inner_.ReceiveWithTimeout(buffer, maxBytes, timeoutMs);
  if (n == 0 && maxBytes > 0) peer_closed_ = true;
  return n;
}

std::string WholeLineChannel::QueryInstrument(std::string_view command) {
  using Clock = std::chrono::steady_clock;
  last_query_ = std::string(command);
  last_reply_.clear();
  SendCommand(command);
  const auto deadline = Clock::now() + std::chrono::milliseconds(QUERY_TIMEOUT_MS);
  std::string line;
  answered_ = false;
  while (!peer_closed_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    // A byte at a time: whatever follows the LF belongs to the next reply (a trace block).
    char c = 0;
    if (ReceiveWithTimeout(&c, 1, static_cast<int>(left)) <= 0) break;
    answered_ = true;
    if (c == CMD_TERMINATOR) break;
    if (line.size() < QUERY_REPLY_MAX) line.push_back(c);
  }
  if (!answered_) return kTimeoutReply;
  last_reply_ = TrimReply(line);
  return last_reply_;
}

std::string WholeLineChannel::LastQueryOutcome() const {
  if (peer_closed_)
    return "the instrument closed the connection" + (last_query_.empty() ? std::string() : " (at " + last_query_ + ")");
  if (!answered_) return "no answer to " + last_query_ + " within " + std::to_string(QUERY_TIMEOUT_MS / 1000) + " s";
  return "the reply to " + last_query_ + " was '" + last_reply_ + "'";
}

}  // namespace qvx
