#include "app/application.h"

#include <QMessageBox>
#include <QString>
#include <utility>

#include "core/errors.h"

namespace qvx {
namespace {
ErrorPresenter& Presenter() {
  static ErrorPresenter presenter;
  return presenter;
}
}  // namespace

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

ErrorPresenter SetErrorPresenter(ErrorPresenter presenter) { return std::exchange(Presenter(), std::move(presenter)); }

void ShowException(std::exception_ptr error) {
  std::string message;
  try {
    if (error) std::rethrow_exception(error);
  } catch (const Exception& e) {
    message = e.what();
  } catch (...) {
    // Not one of ours: shown as an empty box.
  }
  const std::string text = ErrorBoxText(message);
  if (auto& presenter = Presenter()) {
    presenter(kApplicationTitle, text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.exec();
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromUtf8(kApplicationTitle));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowException(std::current_exception());
    return false;
  }
}

}  // namespace qvx
