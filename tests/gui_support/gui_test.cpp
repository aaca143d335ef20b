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

TempWorkDir::TempWorkDir() {
  previous_ = std::filesystem::current_path().string();
  std::string pattern = (std::filesystem::temp_directory_path() / "qvx71fft-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  std::filesystem::current_path(path_);
}

TempWorkDir::~TempWorkDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempWorkDir::Read(const std::string& name) const {
  std::ifstream in(path_ + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void TempWorkDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << content;
}

bool TempWorkDir::Exists(const std::string& name) const { return std::filesystem::exists(path_ + "/" + name); }

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
