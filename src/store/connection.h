#pragma once
// The little the store needs of a database engine, so one implementation of the store serves
// SQLite and PostgreSQL alike. Internal to the store.
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "store/store.h"

namespace qvx::store::detail {

struct Bytes {
  std::string data;
};

// NULL, integer, double, UTF-8 text, bytes.
using Value = std::variant<std::monostate, std::int64_t, double, std::string, Bytes>;
using Row = std::vector<Value>;

enum class Dialect { sqlite, postgresql };

class Connection {
 public:
  virtual ~Connection() = default;
  virtual Dialect dialect() const = 0;
  virtual const std::string& Name() const = 0;

  // One statement with '?' placeholders; the rows it returns.
  virtual std::vector<Row> Query(const std::string& sql, const std::vector<Value>& params = {}) = 0;

  // The tables of the store's database (PostgreSQL: of the current schema).
  virtual std::vector<std::string> Tables() = 0;
  // SQLite's write transaction takes the write lock at its start, so it never fails halfway for
  // a lock; a read transaction sees one consistent state.
  virtual void BeginWrite() = 0;
  virtual void BeginRead() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // Inside a write transaction: keeps other programs from migrating the schema at the same time.
  virtual void LockSchema() {}
  // Engine settings, once the store is known to be of a version this program may write (SQLite: WAL).
  virtual void Prepare() {}
};

// A write or read transaction rolled back unless committed.
class Transaction {
 public:
  Transaction(Connection& c, bool write) : c_(c) { write ? c_.BeginWrite() : c_.BeginRead(); }
  ~Transaction() {
    if (!done_) c_.Rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    c_.Commit();
    done_ = true;
  }

 private:
  Connection& c_;
  bool done_ = false;
};

// Both throw StoreError naming the store.
std::unique_ptr<Connection> OpenSqlite(const std::string& path);
std::unique_ptr<Connection> OpenPostgres(const std::string& url);

// "results store NAME: WHAT"
[[noreturn]] void Fail(StoreError::Kind kind, const std::string& name, const std::string& what);

}  // namespace qvx::store::detail
