// The SQLite engine: one file, WAL so readers never block the writer, a bounded wait for the
// write lock, and a full sync at every commit so a stored run survives a crash of the machine.
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>

#include "store/connection.h"

namespace qvx::store::detail {
namespace {

using Kind = StoreError::Kind;
constexpr int kBusyTimeoutMs = 10000;

class SqliteConnection : public Connection {
 public:
  explicit SqliteConnection(const std::string& path) : path_(path) {
    if (path.empty()) Fail(Kind::invalid, "\"\"", "no file name given");
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (db_ == nullptr) Fail(Kind::failed, path_, "out of memory");
    if (rc != SQLITE_OK) {
      const std::string cause = Cause();
      sqlite3_close_v2(db_);
      db_ = nullptr;
      Fail(Kind::cannot_open, path_, "cannot open the file: " + cause);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // A read before anything can write: a file that is not a database, or a damaged one, is
    // refused here and never touched.
    try {
      Query("SELECT count(*) FROM sqlite_master", {});
    } catch (...) {
      Close();
      throw;
    }
  }

  ~SqliteConnection() override { Close(); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  Dialect dialect() const override { return Dialect::sqlite; }
  const std::string& Name() const override { return path_; }

  std::vector<Row> Query(const std::string& sql, const std::vector<Value>& params) override {
    sqlite3_stmt* st = Statement(sql);
    struct ResetGuard {
      sqlite3_stmt* s;
      ~ResetGuard() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    } guard{st};
    if (static_cast<std::size_t>(sqlite3_bind_parameter_count(st)) != params.size())
      Fail(Kind::failed, path_, "statement expects another number of values: " + sql);
    for (std::size_t i = 0; i < params.size(); ++i) Bind(st, static_cast<int>(i) + 1, params[i]);
    std::vector<Row> rows;
    for (;;) {
      const int rc = sqlite3_step(st);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Throw(rc);
      const int n = sqlite3_column_count(st);
      Row row;
      row.reserve(n);
      for (int c = 0; c < n; ++c) row.push_back(Column(st, c));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  std::vector<std::string> Tables() override {
    std::vector<std::string> names;
    for (auto& row :
         Query("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'", {}))
      if (auto* s = std::get_if<std::string>(&row.at(0))) names.push_back(*s);
    return names;
  }

  void BeginWrite() override { Query("BEGIN IMMEDIATE", {}); }
  void BeginRead() override { Query("BEGIN", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() noexcept override {
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  void Prepare() override {
    // Switching to WAL needs the file to itself for a moment; it may answer busy at once
    // rather than wait, so it is retried within the same bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
      const int rc = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) break;
      if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() > deadline) Throw(rc);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Exec("PRAGMA synchronous = FULL");
    Exec("PRAGMA foreign_keys = ON");
  }

 private:
  void Close() noexcept {
    for (auto& entry : cache_) sqlite3_finalize(entry.second);
    cache_.clear();
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  void Exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Throw(rc);
  }

  sqlite3_stmt* Statement(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    const int rc =
        sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(st);
      Throw(rc);
    }
    if (st == nullptr) Fail(Kind::failed, path_, "empty statement");
    cache_.emplace(sql, st);
    return st;
  }

  void Bind(sqlite3_stmt* st, int index, const Value& v) {
    int rc = SQLITE_OK;
    if (auto* i = std::get_if<std::int64_t>(&v)) {
      rc = sqlite3_bind_int64(st, index, *i);
    } else if (auto* d = std::get_if<double>(&v)) {
      rc = std::isnan(*d) ? sqlite3_bind_null(st, index) : sqlite3_bind_double(st, index, *d);
    } else if (auto* s = std::get_if<std::string>(&v)) {
      rc = sqlite3_bind_text64(st, index, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (auto* b = std::get_if<Bytes>(&v)) {
      rc = sqlite3_bind_blob64(st, index, b->data.data(), b->data.size(), SQLITE_TRANSIENT);
    } else {
      rc = sqlite3_bind_null(st, index);
    }
    if (rc != SQLITE_OK) Throw(rc);
  }

  static Value Column(sqlite3_stmt* st, int c) {
    switch (sqlite3_column_type(st, c)) {
      case SQLITE_INTEGER:
        return std::int64_t{sqlite3_column_int64(st, c)};
      case SQLITE_FLOAT:
        return sqlite3_column_double(st, c);
      case SQLITE_TEXT: {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
        const int n = sqlite3_column_bytes(st, c);
        return p != nullptr ? std::string(p, static_cast<std::size_t>(n)) : std::string();
      }
      case SQLITE_BLOB: {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st, c));
        const int n = sqlite3_column_bytes(st, c);
        return Bytes{p != nullptr ? std::string(p, static_cast<std::size_t>(n)) : std::string()};
      }
      default:
        return std::monostate{};
    }
  }

  std::string Cause() const {
    std::string cause = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    const int sys = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
    if (sys != 0) cause += std::string(" (") + std::strerror(sys) + ")";
    return cause;
  }

  [[noreturn]] void Throw(int rc) const {
    const std::string cause = Cause();
    const int sys = sqlite3_system_errno(db_);
    switch (rc & 0xff) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        Fail(Kind::busy, path_, "another program kept it locked for more than 10 s (" + cause + ")");
      case SQLITE_FULL:
        Fail(Kind::full, path_, "the disk is full (" + cause + ")");
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
        Fail(Kind::corrupt, path_, "not a SQLite database, or a damaged one; it was left as it is (" + cause + ")");
      case SQLITE_CANTOPEN:
        Fail(Kind::cannot_open, path_, "cannot open the file: " + cause);
      case SQLITE_READONLY:
      case SQLITE_PERM:
      case SQLITE_AUTH:
        Fail(Kind::failed, path_, "cannot write to it: " + cause);
      case SQLITE_CONSTRAINT:
        if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
          Fail(Kind::duplicate, path_, "already stored (" + cause + ")");
        break;
      case SQLITE_IOERR:
        if (sys == ENOSPC || sys == EDQUOT) Fail(Kind::full, path_, "the disk is full (" + cause + ")");
        break;
      default:
        break;
    }
    Fail(Kind::failed, path_, cause);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path) { return std::make_unique<SqliteConnection>(path); }

}  // namespace qvx::store::detail
