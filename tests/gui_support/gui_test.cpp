#include "gui_support/gui_test.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace qvx::test {

TApplication& GuiApp() {
  // Never destroyed: tearing Qt down during static destruction, after its own
  // globals are gone, crashes at exit.
  static TApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "qvx71fft-tests";
    static char* argv[] = {name, nullptr};
    return new TApplication(argc, argv);
  }();
  return *app;
}

ErrorBoxRecorder::ErrorBoxRecorder() {
  previous_ = SetErrorPresenter([this](const std::string& title, const std::string& text) {
    boxes_.push_back({title, text});
  });
}

ErrorBoxRecorder::~ErrorBoxRecorder() { SetErrorPresenter(std::move(previous_)); }

std::vector<std::string> ErrorBoxRecorder::Texts() const {
  std::vector<std::string> texts;
  for (const auto& box : boxes_) texts.push_back(box.text);
  return texts;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

std::string IniText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace qvx::test
