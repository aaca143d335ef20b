#pragma once
// qvx71-noise as a user runs it: its own process in a folder of the test's own, and a
// simulator on a loopback address of the test's own; every wait bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"

namespace qvx::test {

using Clock = std::chrono::steady_clock;

struct ProgramRun {
  int code = -1;  // -1: killed at the deadline
  std::string out;
  std::string err;
  double seconds = 0;
};

class NoiseCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvx-noise-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (sim_) sim_->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void StartSim(double white, double corner, std::vector<sim::Tone> tones, double timeScale = 0.0) {
    sim::SimOptions opts;
    opts.noise.white_nv = white;
    opts.noise.corner_hz = corner;
    opts.noise.tones = std::move(tones);
    opts.noise.time_scale = timeScale;
    sim_ = StartSimulatorOnLoopback(opts);
    ASSERT_TRUE(sim_) << "no free loopback address for the simulator";
  }

  // Runs the program in the test's folder; every wait is bounded.
  ProgramRun Noise(std::vector<std::string> args, std::chrono::seconds limit = std::chrono::seconds(240)) {
    return Wait(Start(std::move(args)), limit);
  }

  pid_t Start(std::vector<std::string> args) {
    args.insert(args.begin(), QVX71_NOISE_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = dir_ + "/stdout.txt", errPath = dir_ + "/stderr.txt";
    started_ = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (::chdir(dir_.c_str()) != 0 || out < 0 || err < 0) ::_exit(127);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  ProgramRun Wait(pid_t pid, std::chrono::seconds limit) {
    ProgramRun run;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() - started_ > limit) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    if (status != -1 && WIFEXITED(status)) run.code = WEXITSTATUS(status);
    run.out = Read("stdout.txt");
    run.err = Read("stderr.txt");
    return run;
  }

  std::string Read(const std::string& name) const {
    std::ifstream file(dir_ + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  nlohmann::json Json(const std::string& text) const { return nlohmann::json::parse(text); }

  std::string dir_;
  std::unique_ptr<sim::Simulator> sim_;
  Clock::time_point started_;
};

}  // namespace qvx::test
