#pragma once
// A scripted InstrumentChannel for unit tests. It records every command sent and
// every receive asked for, and serves queued bytes the way a TCP stream hands out
// segments: a receive takes at most its maxBytes from the front piece.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_sink.h"
#include "core/pause.h"
#include "link/instrument_channel.h"

namespace qvx::test {

class FakeChannel : public InstrumentChannel {
 public:
  struct Receive {
    unsigned maxBytes;
    int timeoutMs;
  };

  // Bytes for the following receives. With delayMs they arrive that long after the
  // first receive starts waiting: a shorter wait sleeps its whole time-out, reports a
  // time-out (-1) and shortens the delay by that much.
  FakeChannel& Data(std::string bytes, int delayMs = 0) {
    // An empty piece would read as a closed peer.
    if (!bytes.empty()) script_.push_back({std::move(bytes), delayMs, false});
    return *this;
  }
  // The peer closed: this and every later receive returns 0.
  FakeChannel& Closed() {
    script_.push_back({{}, 0, true});
    return *this;
  }
  // Each time `command` is sent, `reply` is queued as data.
  FakeChannel& ReplyTo(std::string command, std::string reply) {
    replies_[std::move(command)] = std::move(reply);
    return *this;
  }

  void SendCommand(std::string_view command) override {
    sent.emplace_back(command);
    if (auto it = replies_.find(command); it != replies_.end()) Data(it->second);
  }

  // With nothing queued the instrument is silent: -1 at once.
  int ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) override {
    receives.push_back({maxBytes, timeoutMs});
    if (script_.empty()) return -1;
    Piece& p = script_.front();
    if (p.closed) return 0;
    if (p.delayMs > 0) {
      const int wait = std::min(p.delayMs, std::max(timeoutMs, 0));
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
      p.delayMs -= wait;
      if (p.delayMs > 0) return -1;
    }
    const std::size_t n = std::min<std::size_t>(maxBytes, p.bytes.size());
    std::memcpy(buffer, p.bytes.data(), n);
    p.bytes.erase(0, n);
    if (p.bytes.empty()) script_.pop_front();
    return static_cast<int>(n);
  }

  // The queued bytes not yet served.
  std::string Pending() const {
    std::string all;
    for (const Piece& p : script_) all += p.bytes;
    return all;
  }

  std::vector<std::string> sent;
  std::vector<Receive> receives;

 private:
  struct Piece {
    std::string bytes;
    int delayMs = 0;
    bool closed = false;
  };
  std::deque<Piece> script_;
  std::map<std::string, std::string, std::less<>> replies_;
};

struct LogLines {
  std::vector<std::string> lines;
  LogSink Sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

// While alive, Pause(ms) waits for nothing and appends "<pause ms>" to the channel's
// sent list, so commands and pauses can be checked as one list.
class RecordedPauses {
 public:
  explicit RecordedPauses(FakeChannel& ch)
      : previous_(SetPauseFunction([&ch](int ms) { ch.sent.push_back("<pause " + std::to_string(ms) + ">"); })) {}
  RecordedPauses(const RecordedPauses&) = delete;
  RecordedPauses& operator=(const RecordedPauses&) = delete;
  ~RecordedPauses() { SetPauseFunction(std::move(previous_)); }

 private:
  PauseFunction previous_;
};

}  // namespace qvx::test
