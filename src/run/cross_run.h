#pragma once
// The cross-spectrum's part of a run: its plan and what it refuses, its capture, and its
// records read back. Internal to run/.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "capture/cross_capture.h"
#include "link/whole_line_channel.h"
#include "run/measured.h"
#include "run/run.h"

namespace qvx {

class RecordFiles;

CrossPlan CrossPlanOf(const RunRequest& r);

// Channel 1's gain is the corrections' constant one (1 without one), channel 2's its own or
// else channel 1's.
std::pair<double, double> CrossGains(const RunRequest& r);

// What a cross-spectrum cannot take, before anything is connected or read: a gain file (it
// would apply to one channel of two), a floor run (the instrument's noise averages out
// instead) and the median. Throws RunError(kUsage).
void CheckCross(const RunRequest& r);

MeasuredRun MeasureCross(const RunRequest& r, WholeLineChannel& lines, const RunSinks& sinks, RecordFiles* files);

// A .npy of two columns: a two-channel record. False for anything else, unreadable included.
bool IsPairRecord(const std::string& path);

// Two-channel records (one .npy of shape (N, 2) a record, record `first` + 1 first) with the
// capture's JSON `meta` (rates, gains, range, converter floors); --fs, --gain and --gain2
// stand in for what it does not say. The records are pushed as the capture pushed them, so
// the figures are the capture's.
MeasuredRun ReadCrossRecordFiles(const RunRequest& r, const std::vector<std::string>& files, std::size_t first,
                                 const nlohmann::json& meta);

}  // namespace qvx
