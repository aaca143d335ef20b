#pragma once
// Where a run is kept when it ends, and the labels it is kept under. Plain data, so that
// run.h can carry it without knowing the store.
#include <string>

namespace qvx {

struct StoreRequest {
  bool enabled = false;  // keep the run (the programs turn it on; --no-store turns it off)
  std::string location;  // a SQLite file or a postgresql:// URL
  std::string command;   // measure, capture, analyze, window; empty: from the run's method
  std::string label, dut, serial, operator_name, note;
};

}  // namespace qvx
