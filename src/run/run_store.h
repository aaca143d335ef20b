#pragma once
// A run in the results store: what RunNoise keeps when a run ends (identity, settings,
// labels, figures with their intervals, files written, and the documents that reproduce its
// summary and files), and the way back from a stored run to its picture and its files.
#include <cstdint>
#include <optional>
#include <string>

#include "report/run_report.h"
#include "run/run.h"
#include "store/store.h"

namespace qvx {

// The store's extra document: what the picture needs beyond the CSV and the JSON (the exact
// range end, the subtracted floor, the limit mask, the 0.1-10 Hz window's samples).
inline constexpr const char* kPlotDocument = "plot";

// The request as the store keeps it: every setting that shaped the run, as JSON.
std::string RequestJson(const RunRequest& request);

// "2024-05-01T14:03:07.250+02:00": now, local, with its offset.
std::string StoreTimeNow();

// The run as a record of the store. Needs result.finished.
store::RunRecord RunRecordOf(const RunRequest& request, const RunResult& result);

// Keeps the run when the request asks and something was measured: sets result.stored_id, or
// result.store_error (kStore) naming the store and the cause. Never throws.
void StoreRun(const RunRequest& request, RunResult& result);

// The run back from its documents, as its images drew it. RunError(kData) when the stored
// documents cannot give it.
FinishedRun RestoreRun(const store::RunRecord& run);

// The stored document of that name, or nothing.
std::optional<std::string> StoredDocument(const store::RunRecord& run, const std::string& name);

// The formats of the files the run wrote (csv, json, png, svg); csv and json when it wrote none.
RunFormats StoredFormats(const store::RunRecord& run);

// The run's files again under `prefix`, as one set: the CSV and the JSON byte for byte as
// stored, the 0.1-10 Hz CSV and the images made again from the stored run. npy is refused
// (raw records are not stored).
WrittenFiles ExportStoredRun(const store::RunRecord& run, const std::string& prefix, const RunFormats& formats,
                             const RunImages* images);

}  // namespace qvx
