#pragma once
// The qvx71-noise program: measure, capture, analyze and plan.
#include "report/run_report.h"  // its exit codes

namespace qvx {

int RunNoiseCli(int argc, char** argv);

}  // namespace qvx
