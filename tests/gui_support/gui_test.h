#pragma once
// Helpers for tests that build the window: one offscreen application per process,
// a temporary working directory, and a recorder in place of the modal error box.
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"

namespace qvx::test {

// The process's application object (offscreen platform), made on first use.
TApplication& GuiApp();

// Makes a fresh directory, makes it the working directory, and on destruction
// goes back and removes it.
class TempWorkDir {
 public:
  TempWorkDir();
  ~TempWorkDir();
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string Read(const std::string& name) const;
  void Write(const std::string& name, const std::string& content) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

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
