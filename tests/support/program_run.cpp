#include "support/program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

Program::Program(std::vector<std::string> argv, std::string name) : name_(std::move(name)) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const std::string outPath = name_ + ".out", errPath = name_ + ".err";
  started_ = std::chrono::steady_clock::now();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

Program::~Program() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Program::Kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ProgramRun Program::Wait(std::chrono::seconds limit) {
  ProgramRun run;
  int status = 0;
  bool ended = false;
  while (pid_ > 0 && !ended) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    ended = done == pid_ || done < 0;
    if (!ended && std::chrono::steady_clock::now() - started_ > limit) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      status = -1;
      ended = true;
    }
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  if (status != -1 && WIFEXITED(status)) run.code = WEXITSTATUS(status);
  run.out = Slurp(name_ + ".out");
  run.err = Slurp(name_ + ".err");
  return run;
}

ProgramRun RunProgram(std::vector<std::string> argv, std::chrono::seconds limit) {
  Program program(std::move(argv), "program");
  return program.Wait(limit);
}

}  // namespace qvx::test
