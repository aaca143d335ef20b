#pragma once
// A program run as its own process in the working directory, its output kept in files of
// its own name, so that several can run side by side; every wait bounded.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qvx::test {

struct ProgramRun {
  int code = -1;  // -1: killed by a signal, or at the deadline
  std::string out;
  std::string err;
  double seconds = 0;
};

class Program {
 public:
  // Starts argv[0] with the rest; standard output and error go to NAME.out and NAME.err.
  Program(std::vector<std::string> argv, std::string name);
  ~Program();  // kills a program still running
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t Pid() const { return pid_; }
  void Kill(int signal);
  // Waits at most `limit` (then kills it) and reads its output.
  ProgramRun Wait(std::chrono::seconds limit = std::chrono::seconds(240));

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::chrono::steady_clock::time_point started_;
};

// Runs it to its end.
ProgramRun RunProgram(std::vector<std::string> argv, std::chrono::seconds limit = std::chrono::seconds(240));

}  // namespace qvx::test
