#pragma once
// The application object: its title and the error box for exceptions that end a handler.
#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace qvx {

inline constexpr const char* kApplicationTitle = "QVX71FFT";

// The box's text: the message, with "." added when its last character sorts after ".".
std::string ErrorBoxText(const std::string& message);

// Shows an escaped exception in the error box (title "QVX71FFT", stop icon, OK).
// An object that is not one of ours is shown as an empty box.
void ShowException(std::exception_ptr error);

// Tests replace the modal box with a recorder; an empty function restores the box.
using ErrorPresenter = std::function<void(const std::string& title, const std::string& text)>;
ErrorPresenter SetErrorPresenter(ErrorPresenter presenter);

// Runs one event handler; whatever it throws goes to ShowException and the program
// goes on with the next event. Nothing unwinds through Qt.
template <typename Handler>
void RunHandler(Handler&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    ShowException(std::current_exception());
  }
}

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  // Last line of defence for an exception thrown in an event Qt delivers.
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace qvx
