// The PostgreSQL engine, for a lab whose benches share one database: libpq with binary
// parameters and results (numbers travel exactly, bytes untouched), every wait bounded.
#include <libpq-fe.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "store/connection.h"

namespace qvx::store::detail {
namespace {

using Kind = StoreError::Kind;

// Type OIDs of the built-in types the store sends and reads.
constexpr Oid kBool = 16, kBytea = 17, kName = 19, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kFloat4 = 700,
              kFloat8 = 701, kBpchar = 1042, kVarchar = 1043, kVoid = 2278;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

// The URL's password, as written, so that no message repeats it.
std::string PasswordIn(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  const auto start = scheme + 3;
  const auto at = url.find('@', start);
  const auto slash = url.find('/', start);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return {};
  const auto colon = url.find(':', start);
  if (colon == std::string::npos || colon > at) return {};
  return url.substr(colon + 1, at - colon - 1);
}

std::string Scrub(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos))
    text.replace(pos, secret.size(), "***");
  return text;
}

void PutBigEndian(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

std::uint64_t GetBigEndian(const char* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// '?' placeholders become $1, $2, ...; quoted text and names are left alone.
std::string NumberPlaceholders(const std::string& sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int n = 0;
  char quote = 0;
  for (char c : sql) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      out.push_back(c);
    } else if (c == '\'' || c == '"') {
      quote = c;
      out.push_back(c);
    } else if (c == '?') {
      out += "$" + std::to_string(++n);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresConnection : public Connection {
 public:
  explicit PostgresConnection(const std::string& url) : name_(DisplayLocation(url)), secret_(PasswordIn(url)) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (options == nullptr) {
      const std::string cause = error != nullptr ? Trim(error) : "out of memory";
      PQfreemem(error);
      Fail(Kind::invalid, name_, "not a valid PostgreSQL address: " + Scrub(cause, secret_));
    }
    std::vector<std::string> keys, values;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (o->val == nullptr || *o->val == '\0') continue;
      keys.emplace_back(o->keyword);
      values.emplace_back(o->val);
    }
    PQconninfoFree(options);
    // Bounded waits unless the address sets its own; the texts always travel as UTF-8.
    auto set = [&](const std::string& key, const std::string& value, bool override_given) {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] != key) continue;
        if (override_given) values[i] = value;
        return;
      }
      keys.push_back(key);
      values.push_back(value);
    };
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == "connect_timeout" && std::atoi(values[i].c_str()) <= 0) values[i] = "5";  // 0 waits forever
    set("connect_timeout", "5", false);
    set("keepalives", "1", false);
    set("keepalives_idle", "10", false);
    set("keepalives_interval", "5", false);
    set("keepalives_count", "3", false);
    set("tcp_user_timeout", "20000", false);
    set("application_name", "qvx71fft", false);
    set("client_encoding", "UTF8", true);
    std::vector<const char*> k, v;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      k.push_back(keys[i].c_str());
      v.push_back(values[i].c_str());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    conn_ = PQconnectdbParams(k.data(), v.data(), 0);
    if (conn_ == nullptr) Fail(Kind::failed, name_, "out of memory");
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string cause = Scrub(Trim(PQerrorMessage(conn_)), secret_);
      PQfinish(conn_);
      conn_ = nullptr;
      Fail(Kind::cannot_open, name_, "cannot connect: " + cause);
    }
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    Result r(PQexec(conn_,
                    "SET statement_timeout = 60000; SET lock_timeout = 10000; "
                    "SET idle_in_transaction_session_timeout = 60000; SET client_min_messages = warning"));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
      try {
        Throw(r.get());
      } catch (...) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw;
      }
    }
  }

  ~PostgresConnection() override {
    if (conn_ != nullptr) PQfinish(conn_);
  }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  Dialect dialect() const override { return Dialect::postgresql; }
  const std::string& Name() const override { return name_; }

  std::vector<Row> Query(const std::string& sql, const std::vector<Value>& params) override {
    const std::string text = NumberPlaceholders(sql);
    std::vector<Oid> types(params.size(), 0);
    std::vector<std::string> storage(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0), formats(params.size(), 1);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const Value& p = params[i];
      if (auto* n = std::get_if<std::int64_t>(&p)) {
        types[i] = kInt8;
        PutBigEndian(storage[i], static_cast<std::uint64_t>(*n));
      } else if (auto* d = std::get_if<double>(&p)) {
        if (std::isnan(*d)) continue;  // NULL
        types[i] = kFloat8;
        PutBigEndian(storage[i], std::bit_cast<std::uint64_t>(*d));
      } else if (auto* s = std::get_if<std::string>(&p)) {
        types[i] = kText;
        storage[i] = *s;
      } else if (auto* b = std::get_if<Bytes>(&p)) {
        types[i] = kBytea;
        storage[i] = b->data;
      } else {
        continue;  // NULL
      }
      values[i] = storage[i].data();
      lengths[i] = static_cast<int>(storage[i].size());
    }
    Result r(PQexecParams(conn_, text.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                          lengths.data(), formats.data(), 1));
    const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Throw(r.get());
    std::vector<Row> rows;
    const int nrows = PQntuples(r.get()), ncols = PQnfields(r.get());
    rows.reserve(static_cast<std::size_t>(nrows));
    for (int i = 0; i < nrows; ++i) {
      Row row;
      row.reserve(static_cast<std::size_t>(ncols));
      for (int c = 0; c < ncols; ++c) row.push_back(Decode(r.get(), i, c));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  std::vector<std::string> Tables() override {
    std::vector<std::string> names;
    for (auto& row : Query("SELECT tablename FROM pg_catalog.pg_tables WHERE schemaname = current_schema()", {}))
      if (auto* s = std::get_if<std::string>(&row.at(0))) names.push_back(*s);
    return names;
  }

  void BeginWrite() override { Query("BEGIN", {}); }
  void BeginRead() override { Query("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() noexcept override {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK || PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
    PQclear(PQexec(conn_, "ROLLBACK"));
  }
  void LockSchema() override { Query("SELECT pg_advisory_xact_lock(7147100001)", {}); }

 private:
  Value Decode(const PGresult* r, int row, int col) const {
    if (PQgetisnull(r, row, col)) return std::monostate{};
    const char* p = PQgetvalue(r, row, col);
    const int n = PQgetlength(r, row, col);
    const Oid type = PQftype(r, col);
    auto fixed = [&](int size) {
      if (n != size) Fail(Kind::failed, name_, "the server sent a value of unexpected size");
      return GetBigEndian(p, n);
    };
    switch (type) {
      case kBool:
        return std::int64_t{fixed(1) != 0};
      case kInt2:
        return std::int64_t{static_cast<std::int16_t>(fixed(2))};
      case kInt4:
        return std::int64_t{static_cast<std::int32_t>(fixed(4))};
      case kInt8:
        return static_cast<std::int64_t>(fixed(8));
      case kFloat4:
        return double{std::bit_cast<float>(static_cast<std::uint32_t>(fixed(4)))};
      case kFloat8:
        return std::bit_cast<double>(fixed(8));
      case kText:
      case kVarchar:
      case kBpchar:
      case kName:
        return std::string(p, static_cast<std::size_t>(n));
      case kBytea:
        return Bytes{std::string(p, static_cast<std::size_t>(n))};
      case kVoid:
        return std::monostate{};
      default:
        Fail(Kind::failed, name_, "the server sent a column of unexpected type " + std::to_string(type));
    }
  }

  [[noreturn]] void Throw(const PGresult* r) const {
    std::string cause;
    if (r != nullptr) {
      const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
      cause = primary != nullptr ? primary : Trim(PQresultErrorMessage(r));
    }
    if (cause.empty()) cause = Trim(PQerrorMessage(conn_));
    cause = Scrub(cause, secret_);
    if (PQstatus(conn_) != CONNECTION_OK) Fail(Kind::cannot_open, name_, "lost the connection to the server: " + cause);
    const char* field = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const std::string state = field != nullptr ? field : "";
    if (state == "53100") Fail(Kind::full, name_, "the server's disk is full (" + cause + ")");
    if (state == "40001" || state == "40P01" || state == "55P03" || state == "57014")
      Fail(Kind::busy, name_, "timed out or blocked by another writer (" + cause + ")");
    if (state == "23505") Fail(Kind::duplicate, name_, "already stored (" + cause + ")");
    if (state == "XX001" || state == "XX002")
      Fail(Kind::corrupt, name_, "the server reports damaged data (" + cause + ")");
    if (state == "22021") Fail(Kind::invalid, name_, cause);
    if (state.starts_with("08") || state.starts_with("57P") || state.starts_with("28"))
      Fail(Kind::cannot_open, name_, cause);
    Fail(Kind::failed, name_, cause);
  }

  std::string name_, secret_;
  PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string& url) { return std::make_unique<PostgresConnection>(url); }

}  // namespace qvx::store::detail
