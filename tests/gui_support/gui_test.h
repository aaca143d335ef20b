#pragma once
// Helpers for tests that build the window: one offscreen application per process and a
// recorder in place of the modal error box (and the temporary working directory).
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"
#include "support/temp_work_dir.h"

namespace qvx::test {

// The process's application object (offscreen platform), made on first use.
TApplication& GuiApp();

// Records every error box instead of showing it.
class ErrorBoxRecorder {
 public:
  struct Box {
    std::string title;
    std::string text;
  };
  ErrorBoxRecorder();
  ~ErrorBoxRecorder();
  const std::vector<Box>& Boxes() const { return boxes_; }
  std::vector<std::string> Texts() const;
  void Clear() { boxes_.clear(); }

 private:
  std::vector<Box> boxes_;
  ErrorPresenter previous_;
};

// Processes events until `done` holds or the deadline passes; returns done().
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(20));

// The settings file written by `content` lines joined with CR LF.
std::string IniText(const std::vector<std::string>& lines);

}  // namespace qvx::test
