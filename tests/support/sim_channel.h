#pragma once
// The simulated instrument in-process, behind the command channel: no sockets, no threads of
// its own, and a hook that sees every command first, so a test can change the instrument
// (a fault, a louder source) at the exact moment it wants.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "instrument.h"
#include "link/instrument_channel.h"

namespace qvx::test {

class SimChannel : public InstrumentChannel {
 public:
  explicit SimChannel(sim::NoiseModel noise = {}) : instrument(noise) {}

  // Seen before the instrument takes each command; the command's 0-based number.
  std::function<void(std::string_view command, std::size_t number)> hook;

  void SendCommand(std::string_view command) override {
    const std::lock_guard lock(mutex_);
    const std::size_t number = sent.size();
    sent.emplace_back(command);
    if (hook) hook(command, number);
    if (closed_) return;
    const sim::Reply reply = instrument.Execute(command);
    for (const sim::ReplyPiece& piece : reply.pieces) {
      pending_ += piece.bytes;
      if (piece.shared) pending_.append(*piece.shared, piece.shared_offset, piece.shared_length);
    }
    if (reply.after == sim::AfterReply::Close) closeWhenRead_ = true;
  }

  // Nothing pending: the whole wait passes (in short steps, so a closed flag is seen).
  int ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
      {
        const std::lock_guard lock(mutex_);
        if (!pending_.empty() && !closed_) {
          const std::size_t n = std::min<std::size_t>(maxBytes, pending_.size());
          std::memcpy(buffer, pending_.data(), n);
          pending_.erase(0, n);
          return static_cast<int>(n);
        }
        if (closed_ || closeWhenRead_) {
          closed_ = true;
          return 0;
        }
      }
      if (std::chrono::steady_clock::now() >= until) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 2)));
    }
  }

  bool Open(const std::string& address) override {
    opened.push_back(address);
    return !refuse;
  }

  // The connection ends now: what is pending is lost and every receive returns 0.
  void Close() { closed_ = true; }
  std::size_t Count(std::string_view command) const {
    return static_cast<std::size_t>(std::count(sent.begin(), sent.end(), command));
  }

  sim::Instrument instrument;
  std::vector<std::string> sent;
  std::vector<std::string> opened;
  bool refuse = false;

 private:
  std::recursive_mutex mutex_;
  std::string pending_;
  bool closeWhenRead_ = false;
  std::atomic<bool> closed_{false};
};

}  // namespace qvx::test
