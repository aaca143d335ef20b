#include "link/block.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "core/text.h"

namespace qvx {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(std::max(ms, 0)); }

// A wait of at most capMs that ends by the deadline; never negative.
int WaitMs(Clock::time_point deadline, int capMs) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::max(capMs, 0)));
}

// The length field by the usual text-to-integer rules: leading white space, an optional
// sign, digits up to the first non-digit; no digits gives 0. Nine digits cannot overflow.
std::int64_t LenientLength(const char* text, std::size_t size) {
  std::size_t i = 0;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (i < size && space(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t n = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) n = n * 10 + (text[i] - '0');
  return negative ? -n : n;
}

class Reader {
 public:
  Reader(InstrumentChannel& ch, const BlockRules& rules, BlockOutcome& out) : ch_(ch), rules_(rules), out_(out) {}

  // Exactly `size` bytes by `deadline`; false (with the outcome said) when they did not come.
  bool Take(char* into, std::size_t size, Clock::time_point deadline, const char* what, int cap_ms) {
    std::size_t got = 0;
    auto quietUntil = After(rules_.quiet_ms);
    while (got < size) {
      if (rules_.cancel && rules_.cancel->load()) return Stop(BlockStatus::kCancelled, "cancelled");
      const auto until = rules_.lenient ? deadline : std::min(deadline, quietUntil);
      const int wait = WaitMs(until, cap_ms);
      if (wait <= 0) return Silent(what, got, size);
      const int n = ch_.ReceiveWithTimeout(into + got, static_cast<unsigned>(size - got), wait);
      if (n > 0 && static_cast<std::size_t>(n) <= size - got) {
        got += static_cast<std::size_t>(n);
        quietUntil = After(rules_.quiet_ms);
        continue;
      }
      if (n > 0) return Stop(BlockStatus::kBadData, std::string("the channel gave more bytes than asked for in ") + what);
      if (n == 0) {
        out_.peer_closed = true;
        return Stop(BlockStatus::kTransport, std::string("the instrument closed the connection in the middle of ") +
                                                 what + " (" + std::to_string(got) + " of " + std::to_string(size) +
                                                 " bytes came)");
      }
      if (rules_.lenient) return Silent(what, got, size);
    }
    return true;
  }

  bool Stop(BlockStatus status, std::string message) {
    out_.status = status;
    out_.message = std::move(message);
    return false;
  }

 private:
  bool Silent(const char* what, std::size_t got, std::size_t size) {
    return Stop(BlockStatus::kTransport, std::string("the instrument stopped sending in the middle of ") + what +
                                             " (" + std::to_string(got) + " of " + std::to_string(size) +
                                             " bytes came)");
  }

  InstrumentChannel& ch_;
  const BlockRules& rules_;
  BlockOutcome& out_;
};

}  // namespace

BlockOutcome ReadDefiniteBlock(InstrumentChannel& ch, const BlockRules& rules, const BlockRoomFunction& room) {
  BlockOutcome out;
  Reader reader(ch, rules, out);
  char head[2];
  // The window waits out each header phase in one receive; strict reading polls.
  const int headerCap = rules.lenient ? rules.header_ms : rules.receive_ms;
  if (!reader.Take(head, sizeof head, After(rules.header_ms), "a data block's header", headerCap)) return out;
  std::size_t digitCount = 9;
  if (!rules.lenient) {
    if (head[0] != '#' || head[1] < '1' || head[1] > '9') {
      reader.Stop(BlockStatus::kBadData,
                  "the reply is no data block (it starts with '" + std::string(head, sizeof head) + "')");
      return out;
    }
    digitCount = static_cast<std::size_t>(head[1] - '0');
  }
  char digits[9];
  const int digitsCap = rules.lenient ? rules.digits_ms : rules.receive_ms;
  if (!reader.Take(digits, digitCount, After(rules.digits_ms), "a data block's header", digitsCap)) return out;
  if (rules.lenient) {
    out.length = LenientLength(digits, digitCount);
    if (out.length <= 0) {
      reader.Stop(BlockStatus::kBadData, "the data block announces no data");
      return out;
    }
  } else {
    for (std::size_t i = 0; i < digitCount; ++i) {
      if (digits[i] < '0' || digits[i] > '9') {
        reader.Stop(BlockStatus::kBadData,
                    "the data block's length '" + std::string(digits, digitCount) + "' is not a number");
        return out;
      }
      out.length = out.length * 10 + (digits[i] - '0');
    }
    if (out.length != 0 && rules.expected_length >= 0 && out.length != rules.expected_length) {
      reader.Stop(BlockStatus::kBadData, "the data block holds " + std::to_string(out.length) + " bytes where " +
                                             std::to_string(rules.expected_length) + " were asked for");
      return out;
    }
  }

  const auto deadline = After(rules.whole_block_ms);
  bool dataOk = true;
  while (out.received < out.length) {
    const BlockRoom r = room(out.received, out.length);
    const std::size_t size = std::min<std::size_t>(r.size, static_cast<std::size_t>(out.length - out.received));
    if (size == 0 || r.into == nullptr) {
      reader.Stop(BlockStatus::kBadData, "the data block is larger than there is room for");
      dataOk = false;
      break;
    }
    if (rules.lenient) {
      // One receive at a time, so the room may move between them.
      const int wait = WaitMs(deadline, rules.receive_ms);
      const int n = wait > 0 ? ch.ReceiveWithTimeout(r.into, static_cast<unsigned>(size), wait) : -1;
      if (n <= 0 || static_cast<std::size_t>(n) > size) {
        out.peer_closed = n == 0;
        reader.Stop(n > 0 ? BlockStatus::kBadData : BlockStatus::kTransport,
                    "the data block did not arrive whole (" + std::to_string(out.received) + " of " +
                        std::to_string(out.length) + " bytes came)");
        dataOk = false;
        break;
      }
      out.received += n;
    } else {
      if (!reader.Take(r.into, size, deadline, "a data block", rules.receive_ms)) return out;
      out.received += static_cast<std::int64_t>(size);
    }
  }
  if (rules.lenient) {
    // The line end, read whatever happened above, so a complete block leaves the stream in step.
    char lineEnd;
    if (!out.peer_closed) ch.ReceiveWithTimeout(&lineEnd, 1, WaitMs(deadline, rules.receive_ms));
    if (dataOk) out.status = BlockStatus::kOk;
    return out;
  }
  char lineEnd;
  if (!reader.Take(&lineEnd, 1, deadline, "a data block's end", rules.receive_ms)) return out;
  out.status = out.length == 0 ? BlockStatus::kEmpty : BlockStatus::kOk;
  return out;
}

void DrainReplies(InstrumentChannel& ch, int quiet_ms, int max_ms) {
  std::array<char, 16 * 1024> scratch;
  const auto deadline = After(max_ms);
  for (;;) {
    const int wait = WaitMs(deadline, quiet_ms);
    if (wait <= 0) return;
    if (ch.ReceiveWithTimeout(scratch.data(), static_cast<unsigned>(scratch.size()), wait) <= 0) return;
  }
}

}  // namespace qvx
