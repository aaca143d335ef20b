#pragma once
// The qvx71-noise program: measure, capture, analyze, plot, plan and history.
#include "report/run_report.h"  // its exit codes

namespace qvx {

int RunNoiseCli(int argc, char** argv);

}  // namespace qvx
