#pragma once
// qvx71-noise and the results store: the store's options of measure, capture and analyze,
// what the program says about the run it kept, and the history command (list, show, export,
// plot, trend, delete).
#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>

#include "run/run.h"

namespace qvx {

struct StoreOptions {
  std::string db;
  bool no_store = false;
  std::string label, dut, serial, operator_name, note;
};

// --db, --no-store, --label, --dut, --serial, --operator, --note.
void AddStoreOptions(CLI::App* command, StoreOptions& options);

// The request keeps its run where --db says, unless --no-store.
void ApplyStoreOptions(const StoreOptions& options, RunRequest& request);

// Says on `err` where the run was kept (not when `quiet`) or why the store did not keep it;
// true when the store failed.
bool ReportStoredRun(const RunResult& result, bool quiet, std::ostream& err, const char* program);

class HistoryCommand {
 public:
  explicit HistoryCommand(CLI::App& app);
  ~HistoryCommand();
  HistoryCommand(const HistoryCommand&) = delete;
  HistoryCommand& operator=(const HistoryCommand&) = delete;

  bool Parsed() const;
  // The exit code; throws RunError (kUsage, kData, kStore) for the program to report.
  int Run(std::ostream& out, std::ostream& err);

 private:
  struct Options;
  std::unique_ptr<Options> o_;
};

}  // namespace qvx
