#pragma once
// The results store: every run kept whole, in one SQLite file (the default) or in a lab's shared
// PostgreSQL database, with the same schema on both. Plain data in and out: the caller maps its
// own types onto RunRecord. Uses the standard library, SQLite and libpq only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvx::store {

// The schema this program writes; a store of a later version is refused untouched.
inline constexpr int kSchemaVersion = 1;

// The names under which a run keeps the texts that reproduce it byte for byte: the summary as
// printed, the JSON document and the CSV as written to their files.
inline constexpr const char* kSummaryDocument = "summary";
inline constexpr const char* kJsonDocument = "json";
inline constexpr const char* kCsvDocument = "csv";

// Relative tolerance within which a trend's band edges or spot frequency match the stored ones.
inline constexpr double kTrendTolerance = 1e-3;

// Numbers that may be unknown are optional and NULL in the database. A NaN is stored as NULL
// and read back as NaN (plain fields) or as no value (optional fields).
struct LogPointRow {
  double hz = 0, nv = 0;
  std::optional<double> ci_lo_nv, ci_hi_nv, dof;
  std::string flags;  // letters as in the CSV, "" for none

  bool operator==(const LogPointRow&) const = default;
};

struct ToneRow {
  double hz = 0, uv = 0;
  std::optional<double> ci_lo_uv, ci_hi_uv;

  bool operator==(const ToneRow&) const = default;
};

struct BandRow {
  double lo_hz = 0, hi_hz = 0, rms_uv = 0;
  std::optional<double> ci_lo_uv, ci_hi_uv, rms_without_tones_uv;

  bool operator==(const BandRow&) const = default;
};

struct SpotRow {
  double hz = 0, nv = 0;
  std::optional<double> ci_lo_nv, ci_hi_nv;

  bool operator==(const SpotRow&) const = default;
};

struct DeviationRow {
  std::string kind;  // "allan", "hadamard"
  double tau_s = 0, dev_v = 0;
  std::optional<double> ci_lo_v, ci_hi_v, edf;
  std::string noise;  // the identified noise type, "" when none

  bool operator==(const DeviationRow&) const = default;
};

struct FileRow {
  std::string path, kind;
  std::optional<std::int64_t> bytes;

  bool operator==(const FileRow&) const = default;
};

// Any bytes (NUL included), kept exactly: the summary as printed, the JSON, the CSV.
struct DocumentRow {
  std::string name, content;

  bool operator==(const DocumentRow&) const = default;
};

// One run. Text fields are UTF-8 without NUL bytes; Add refuses anything else.
struct RunRecord {
  std::int64_t id = 0;  // given by the store; ignored by Add
  std::string uid;      // unique across stores; Add makes one when empty
  std::string time;     // ISO 8601 with offset, "2024-05-01T14:03:07.250+02:00" or "...Z"
  std::string command;  // measure, capture, analyze, window
  std::string method;   // "instrument FFT", "time record", "cross-spectrum"
  std::string status;   // done, cancelled, failed
  bool partial = false;
  std::string partial_reason;
  std::string idn, addr;
  std::string settings_json;
  std::string label, dut, serial, operator_name, note;
  std::string software_version;

  std::optional<double> white_nv, white_lo_nv, white_hi_nv;
  std::optional<double> corner_hz, corner_lo_hz, corner_hi_hz;
  bool corner_resolved = false;
  std::optional<double> lf_rms_nv, lf_pp_nv, lf_psd_rms_nv;  // 0.1-10 Hz
  std::optional<bool> pass;
  std::optional<double> worst_margin_db;
  std::string limit_file;
  std::optional<double> drift_v_per_s, drift_lo_v_per_s, drift_hi_v_per_s;
  std::optional<bool> bursts;

  std::vector<LogPointRow> log_points;
  std::vector<ToneRow> tones;
  std::vector<BandRow> bands;
  std::vector<SpotRow> spots;
  std::vector<DeviationRow> deviations;
  std::vector<FileRow> files;
  std::vector<DocumentRow> documents;

  bool operator==(const RunRecord&) const = default;
};

// Unset fields do not filter. since is a date ("2024-05-01", local midnight) or a date-time
// ("2024-05-01T14:00", local, or with seconds, fraction and an offset).
struct RunFilter {
  std::optional<std::string> label, dut, serial;
  std::optional<std::string> since;
  bool failed_only = false;  // runs whose verdict against the limits is FAIL
  std::optional<std::size_t> limit;
};

// One line of a listing.
struct RunRow {
  std::int64_t id = 0;
  std::string uid, time, command, method, status;
  std::string label, dut, serial;
  std::optional<double> white_nv, corner_hz;
  bool corner_resolved = false;
  std::optional<double> lf_rms_nv;
  std::optional<bool> pass;
  std::optional<double> worst_margin_db;
  bool partial = false;

  bool operator==(const RunRow&) const = default;
};

struct TrendRow {
  std::int64_t id = 0;
  std::string time, label;
  double value = 0;
  std::optional<double> lo, hi;

  bool operator==(const TrendRow&) const = default;
};

class StoreError : public std::runtime_error {
 public:
  enum class Kind {
    cannot_open,   // missing folder, refused connection, bad address, another program's database
    corrupt,       // not a SQLite database, or a damaged one: left exactly as it is
    newer_schema,  // written by a later program: left exactly as it is
    busy,          // another writer held the store past the bounded wait, or a statement timed out
    full,          // the disk (or the server's disk) is full
    duplicate,     // a run with this uid is already stored
    invalid,       // the caller's input: a bad time, filter, figure or text
    failed,        // anything else, with the engine's own message
  };
  StoreError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// One connection; use it from one thread at a time. Every call is bounded in time: SQLite
// waits at most 10 s for another writer, PostgreSQL's connect and statements are time-limited.
class Store {
 public:
  virtual ~Store() = default;

  // The path, or the URL without its password, as messages name it.
  virtual const std::string& Name() const = 0;

  // Stores the run in one transaction and returns its id: the run is stored whole or not at all.
  virtual std::int64_t Add(const RunRecord& run) = 0;

  // Newest first.
  virtual std::vector<RunRow> List(const RunFilter& filter) = 0;

  // Everything Add stored, rows in their order, documents byte for byte.
  virtual std::optional<RunRecord> Get(std::int64_t id) = 0;

  // Removes the run and its rows; returns what was removed, or nothing when there was no such run.
  virtual std::optional<RunRow> Delete(std::int64_t id) = 0;

  // One figure across runs, oldest first; runs without the figure are left out. figure is
  // "white" (nV/rtHz), "corner" (Hz), "lf" (0.1-10 Hz rms, nV), "band:LO:HI" (rms, uV) or
  // "spot:HZ" (nV/rtHz), the frequencies matched within kTrendTolerance.
  virtual std::vector<TrendRow> Trend(const std::string& figure, const RunFilter& filter) = 0;
};

// "postgresql://..." or "postgres://..." (libpq's URL forms, a password allowed) connects to
// PostgreSQL; anything else is the path of a SQLite file, created when missing (its folder must
// exist). Creates or migrates the schema; throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& location);

// The location as messages show it: a URL's password removed.
std::string DisplayLocation(const std::string& location);

}  // namespace qvx::store
