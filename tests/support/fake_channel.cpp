#include "support/fake_channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

namespace qvx::test {
namespace {
void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
}  // namespace

FakeChannel& FakeChannel::Data(std::string bytes, int delayMs) {
  Piece p;
  p.kind = Kind::Bytes;
  p.bytes = std::move(bytes);
  p.delayMs = delayMs;
  script_.push_back(std::move(p));
  return *this;
}

FakeChannel& FakeChannel::Fill(std::uint64_t count, unsigned char fill, int delayMs) {
  Piece p;
  p.kind = Kind::Fill;
  p.count = count;
  p.fill = fill;
  p.delayMs = delayMs;
  script_.push_back(std::move(p));
  return *this;
}

FakeChannel& FakeChannel::Timeout() {
  script_.push_back(Piece{Kind::Timeout, {}, 0, 0, 0});
  return *this;
}

FakeChannel& FakeChannel::Stall() {
  script_.push_back(Piece{Kind::Stall, {}, 0, 0, 0});
  return *this;
}

FakeChannel& FakeChannel::Closed() {
  script_.push_back(Piece{Kind::Closed, {}, 0, 0, 0});
  return *this;
}

FakeChannel& FakeChannel::ReplyTo(std::string command, std::string reply) {
  replies_[std::move(command)] = std::move(reply);
  return *this;
}

void FakeChannel::SendCommand(std::string_view command) {
  sent.emplace_back(command);
  if (auto it = replies_.find(command); it != replies_.end()) Data(it->second);
  if (onSend) onSend(command);
}

int FakeChannel::ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) {
  bytesRequested += maxBytes;
  const int result = Serve(buffer, maxBytes, timeoutMs);
  receives.push_back({maxBytes, timeoutMs, result});
  return result;
}

int FakeChannel::Serve(char* buffer, unsigned maxBytes, int timeoutMs) {
  // Nothing scripted: the instrument is silent.
  if (script_.empty()) return -1;
  Piece& p = script_.front();
  switch (p.kind) {
    case Kind::Timeout:
      script_.pop_front();
      return -1;
    case Kind::Stall:
      script_.pop_front();
      SleepMs(timeoutMs);
      return -1;
    case Kind::Closed:
      return 0;
    case Kind::Bytes:
    case Kind::Fill:
      break;
  }
  if (p.delayMs > 0) {
    if (p.delayMs > timeoutMs) {
      SleepMs(timeoutMs);
      p.delayMs -= std::max(timeoutMs, 0);
      return -1;
    }
    SleepMs(p.delayMs);
    p.delayMs = 0;
  }
  if (maxBytes == 0) return 0;
  const std::uint64_t cap =
      std::min<std::uint64_t>(maxBytes, std::numeric_limits<int>::max());
  std::uint64_t n = 0;
  if (p.kind == Kind::Bytes) {
    n = std::min<std::uint64_t>(cap, p.bytes.size());
    std::memcpy(buffer, p.bytes.data(), n);
    p.bytes.erase(0, n);
    if (p.bytes.empty()) script_.pop_front();
  } else {
    n = std::min(cap, p.count);
    std::memset(buffer, p.fill, n);
    p.count -= n;
    if (p.count == 0) script_.pop_front();
  }
  bytesServed += n;
  return static_cast<int>(n);
}

std::string FakeChannel::PendingText() const {
  if (script_.empty() || script_.front().kind != Kind::Bytes) return {};
  return script_.front().bytes;
}

}  // namespace qvx::test
