#pragma once
// The qvx71-noise program: measure, capture, analyze and plan.
namespace qvx {

enum NoiseExitCode : int {
  kExitDone = 0,
  kExitUsage = 2,
  kExitInstrument = 3,  // not reachable or not answering
  kExitData = 4,        // a malformed file, a fully clipped trace, a sweep out of time
  kExitLimit = 5,       // a log point over the limit mask
  kExitInterrupted = 130,  // Ctrl+C
};

int RunNoiseCli(int argc, char** argv);

}  // namespace qvx
