#pragma once
// Helpers shared by the set-up tests: a log that keeps its lines and a sleeper
// that records pauses in the channel's command list instead of waiting.
#include <string>
#include <utility>
#include <vector>

#include "core/log_sink.h"
#include "core/pause.h"
#include "support/fake_channel.h"

namespace qvx::test {

struct LogLines {
  std::vector<std::string> lines;
  LogSink Sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

// While alive, each Pause(ms) appends "<pause ms>" to the channel's sent list,
// so the order of commands and pauses can be checked as one list.
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
