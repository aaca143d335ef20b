// Program entry: the command line is ignored and the exit code is always 0.
#include <exception>

#include "app/application.h"
#include "app/tform1.h"

int main(int argc, char** argv) {
  qvx::TApplication application(argc, argv);
  try {
    qvx::TForm1 window;
    window.show();
    qvx::TApplication::exec();
  } catch (...) {
    qvx::ShowException(std::current_exception());
  }
  return 0;
}
