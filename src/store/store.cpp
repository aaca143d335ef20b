// The store over either engine: the mapping of a run onto its tables, the filters and trends.
#include "store/store.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <string_view>
#include <type_traits>
#include <utility>

#include "store/connection.h"
#include "store/schema.h"

namespace qvx::store {

namespace detail {

void Fail(StoreError::Kind kind, const std::string& name, const std::string& what) {
  throw StoreError(kind, "results store " + name + ": " + what);
}

}  // namespace detail

namespace {

using detail::Bytes;
using detail::Connection;
using detail::Fail;
using detail::Row;
using detail::Transaction;
using detail::Value;
using Kind = StoreError::Kind;

bool IsPostgresUrl(const std::string& location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

// ---- time -----------------------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return std::int64_t{era} * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

struct ParsedTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  bool has_time = false;
  std::optional<int> offset_minutes;  // none: local time
};

// YYYY-MM-DD[(T| )HH:MM[:SS[.fff...]][Z|+HH:MM|+HHMM|+HH]]
std::optional<ParsedTime> ParseTime(std::string_view s) {
  ParsedTime t;
  std::size_t i = 0;
  auto digits = [&](int n, int& out) {
    if (i + n > s.size()) return false;
    out = 0;
    for (int k = 0; k < n; ++k, ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      out = out * 10 + (s[i] - '0');
    }
    return true;
  };
  auto literal = [&](char c) {
    if (i < s.size() && s[i] == c) return ++i, true;
    return false;
  };
  if (!digits(4, t.year) || !literal('-') || !digits(2, t.month) || !literal('-') || !digits(2, t.day)) return {};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return {};
  if (i == s.size()) return t;
  if (!literal('T') && !literal(' ')) return {};
  t.has_time = true;
  if (!digits(2, t.hour) || !literal(':') || !digits(2, t.minute)) return {};
  if (literal(':')) {
    if (!digits(2, t.second)) return {};
    if (literal('.') || literal(',')) {
      int scale = 100, n = 0;
      for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++n) {
        t.millis += (s[i] - '0') * scale;
        scale /= 10;
      }
      if (n == 0) return {};
    }
  }
  if (t.hour > 23 || t.minute > 59 || t.second > 60) return {};
  if (i == s.size()) return t;
  if (literal('Z') || literal('z')) {
    t.offset_minutes = 0;
  } else if (s[i] == '+' || s[i] == '-') {
    const int sign = s[i++] == '-' ? -1 : 1;
    int oh = 0, om = 0;
    if (!digits(2, oh)) return {};
    if (i < s.size()) {
      literal(':');
      if (!digits(2, om)) return {};
    }
    if (oh > 23 || om > 59) return {};
    t.offset_minutes = sign * (oh * 60 + om);
  } else {
    return {};
  }
  if (i != s.size()) return {};
  return t;
}

std::int64_t UtcMillis(const ParsedTime& t, int offset_minutes) {
  const std::int64_t days = DaysFromCivil(t.year, t.month, t.day);
  const std::int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second - offset_minutes * 60;
  return seconds * 1000 + t.millis;
}

// Fixed width, so that text order is time order on both engines.
std::string FormatUtc(std::int64_t millis) {
  std::int64_t seconds = millis / 1000, ms = millis % 1000;
  if (ms < 0) ms += 1000, --seconds;
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  // civil_from_days
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60), static_cast<long long>(ms));
  return buf;
}

// A run's own time must carry its offset: the same text means the same moment on every bench.
std::string RunTimeUtc(const std::string& name, const std::string& time) {
  const auto t = ParseTime(time);
  if (!t || !t->has_time || !t->offset_minutes)
    Fail(Kind::invalid, name, "the run's time \"" + time + "\" is not an ISO 8601 date-time with an offset");
  return FormatUtc(UtcMillis(*t, *t->offset_minutes));
}

// A filter's time is this machine's local time unless it says otherwise.
std::string SinceUtc(const std::string& name, const std::string& since) {
  const auto t = ParseTime(since);
  if (!t) Fail(Kind::invalid, name, "\"" + since + "\" is not a date (2024-05-01) or a date-time (2024-05-01T14:00)");
  if (t->offset_minutes) return FormatUtc(UtcMillis(*t, *t->offset_minutes));
  std::tm tm{};
  tm.tm_year = t->year - 1900;
  tm.tm_mon = t->month - 1;
  tm.tm_mday = t->day;
  tm.tm_hour = t->hour;
  tm.tm_min = t->minute;
  tm.tm_sec = t->second;
  tm.tm_isdst = -1;
  const std::time_t local = std::mktime(&tm);
  if (local == static_cast<std::time_t>(-1)) Fail(Kind::invalid, name, "\"" + since + "\" is not a local time");
  return FormatUtc(std::int64_t{local} * 1000 + t->millis);
}

// ---- values ---------------------------------------------------------------------------------

bool IsUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    int n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      n = 1, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      n = 2, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (int k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3f);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += n + 1;
  }
  return true;
}

// Marks a string that holds bytes rather than text.
template <class S>
struct BytesOf {
  S& s;
};

Value ToValue(const std::string& s) { return s; }
Value ToValue(double d) { return std::isnan(d) ? Value{} : Value{d}; }
Value ToValue(const std::optional<double>& d) { return d ? ToValue(*d) : Value{}; }
Value ToValue(bool b) { return std::int64_t{b ? 1 : 0}; }
Value ToValue(const std::optional<bool>& b) { return b ? ToValue(*b) : Value{}; }
Value ToValue(const std::optional<std::int64_t>& n) { return n ? Value{*n} : Value{}; }
Value ToValue(BytesOf<const std::string> b) { return Bytes{b.s}; }

// Reading accepts what another writer of the same columns may have left (an integer in a
// number column, text in a bytes column); anything else is a damaged store.
struct Reader {
  const std::string& name;
  const char* column;

  [[noreturn]] void Bad() const { Fail(Kind::corrupt, name, std::string("unexpected value in column ") + column); }
  void operator()(const Value& v, std::string& out) const {
    if (auto* s = std::get_if<std::string>(&v)) {
      out = *s;
    } else if (std::holds_alternative<std::monostate>(v)) {
      out.clear();
    } else {
      Bad();
    }
  }
  void operator()(const Value& v, BytesOf<std::string> out) const {
    if (auto* b = std::get_if<Bytes>(&v)) {
      out.s = b->data;
    } else {
      (*this)(v, out.s);
    }
  }
  void operator()(const Value& v, std::optional<double>& out) const {
    if (auto* d = std::get_if<double>(&v)) {
      out = *d;
    } else if (auto* n = std::get_if<std::int64_t>(&v)) {
      out = static_cast<double>(*n);
    } else if (std::holds_alternative<std::monostate>(v)) {
      out.reset();
    } else {
      Bad();
    }
  }
  void operator()(const Value& v, double& out) const {
    std::optional<double> d;
    (*this)(v, d);
    out = d.value_or(std::numeric_limits<double>::quiet_NaN());
  }
  void operator()(const Value& v, std::optional<std::int64_t>& out) const {
    if (auto* n = std::get_if<std::int64_t>(&v)) {
      out = *n;
    } else if (std::holds_alternative<std::monostate>(v)) {
      out.reset();
    } else {
      Bad();
    }
  }
  void operator()(const Value& v, std::int64_t& out) const {
    std::optional<std::int64_t> n;
    (*this)(v, n);
    out = n.value_or(0);
  }
  void operator()(const Value& v, std::optional<bool>& out) const {
    std::optional<std::int64_t> n;
    (*this)(v, n);
    out = n ? std::optional<bool>(*n != 0) : std::nullopt;
  }
  void operator()(const Value& v, bool& out) const {
    std::optional<bool> b;
    (*this)(v, b);
    out = b.value_or(false);
  }
};

// ---- columns --------------------------------------------------------------------------------
// One list per table, visited for writing, reading and naming, so the three never disagree.

template <class R, class F>
void RunColumns(R& r, F&& f) {
  f("uid", r.uid);
  f("time", r.time);
  f("command", r.command);
  f("method", r.method);
  f("status", r.status);
  f("partial", r.partial);
  f("partial_reason", r.partial_reason);
  f("idn", r.idn);
  f("addr", r.addr);
  f("settings_json", r.settings_json);
  f("label", r.label);
  f("dut", r.dut);
  f("serial", r.serial);
  f("operator_name", r.operator_name);
  f("note", r.note);
  f("software_version", r.software_version);
  f("white_nv", r.white_nv);
  f("white_lo_nv", r.white_lo_nv);
  f("white_hi_nv", r.white_hi_nv);
  f("corner_hz", r.corner_hz);
  f("corner_lo_hz", r.corner_lo_hz);
  f("corner_hi_hz", r.corner_hi_hz);
  f("corner_resolved", r.corner_resolved);
  f("lf_rms_nv", r.lf_rms_nv);
  f("lf_pp_nv", r.lf_pp_nv);
  f("lf_psd_rms_nv", r.lf_psd_rms_nv);
  f("pass", r.pass);
  f("worst_margin_db", r.worst_margin_db);
  f("limit_file", r.limit_file);
  f("drift_v_per_s", r.drift_v_per_s);
  f("drift_lo_v_per_s", r.drift_lo_v_per_s);
  f("drift_hi_v_per_s", r.drift_hi_v_per_s);
  f("bursts", r.bursts);
}

template <class R, class F>
void ListColumns(R& r, F&& f) {
  f("id", r.id);
  f("uid", r.uid);
  f("time", r.time);
  f("command", r.command);
  f("method", r.method);
  f("status", r.status);
  f("label", r.label);
  f("dut", r.dut);
  f("serial", r.serial);
  f("white_nv", r.white_nv);
  f("corner_hz", r.corner_hz);
  f("corner_resolved", r.corner_resolved);
  f("lf_rms_nv", r.lf_rms_nv);
  f("pass", r.pass);
  f("worst_margin_db", r.worst_margin_db);
  f("partial", r.partial);
}

template <class T>
struct Child;

template <>
struct Child<LogPointRow> {
  static constexpr const char* table = "log_points";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("hz", p.hz);
    f("nv", p.nv);
    f("ci_lo_nv", p.ci_lo_nv);
    f("ci_hi_nv", p.ci_hi_nv);
    f("dof", p.dof);
    f("flags", p.flags);
  }
};

template <>
struct Child<ToneRow> {
  static constexpr const char* table = "tones";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("hz", p.hz);
    f("uv", p.uv);
    f("ci_lo_uv", p.ci_lo_uv);
    f("ci_hi_uv", p.ci_hi_uv);
  }
};

template <>
struct Child<BandRow> {
  static constexpr const char* table = "bands";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("lo_hz", p.lo_hz);
    f("hi_hz", p.hi_hz);
    f("rms_uv", p.rms_uv);
    f("ci_lo_uv", p.ci_lo_uv);
    f("ci_hi_uv", p.ci_hi_uv);
    f("rms_without_tones_uv", p.rms_without_tones_uv);
  }
};

template <>
struct Child<SpotRow> {
  static constexpr const char* table = "spots";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("hz", p.hz);
    f("nv", p.nv);
    f("ci_lo_nv", p.ci_lo_nv);
    f("ci_hi_nv", p.ci_hi_nv);
  }
};

template <>
struct Child<DeviationRow> {
  static constexpr const char* table = "deviations";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("kind", p.kind);
    f("tau_s", p.tau_s);
    f("dev_v", p.dev_v);
    f("ci_lo_v", p.ci_lo_v);
    f("ci_hi_v", p.ci_hi_v);
    f("edf", p.edf);
    f("noise", p.noise);
  }
};

template <>
struct Child<FileRow> {
  static constexpr const char* table = "files";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("path", p.path);
    f("kind", p.kind);
    f("bytes", p.bytes);
  }
};

template <>
struct Child<DocumentRow> {
  static constexpr const char* table = "documents";
  template <class R, class F>
  static void Columns(R& p, F&& f) {
    f("name", p.name);
    f("content", BytesOf<std::remove_reference_t<decltype((p.content))>>{p.content});
  }
};

template <class R, class F>
void ChildTables(R& r, F&& f) {
  f(r.log_points);
  f(r.tones);
  f(r.bands);
  f(r.spots);
  f(r.deviations);
  f(r.files);
  f(r.documents);
}

constexpr const char* kChildTables[] = {"log_points", "tones", "bands", "spots", "deviations", "files", "documents"};

template <class Visit>
std::string ColumnList(Visit visit, const char* prefix = "") {
  std::string out;
  visit([&](const char* column, auto&&) { out += (out.empty() ? "" : ", ") + std::string(prefix) + column; });
  return out;
}

std::string Placeholders(std::size_t n) {
  std::string out = "(";
  for (std::size_t i = 0; i < n; ++i) out += i == 0 ? "?" : ", ?";
  return out + ")";
}

std::string NewUid() {
  std::random_device device;
  std::uniform_int_distribution<unsigned> byte(0, 255);
  unsigned char b[16];
  for (auto& x : b) x = static_cast<unsigned char>(byte(device));
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char out[37];
  std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

std::optional<double> ParseNumber(std::string_view s) {
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return {};
  return v;
}

// ---- the store ------------------------------------------------------------------------------

struct Where {
  std::string sql;
  std::vector<Value> params;
};

class SqlStore : public Store {
 public:
  explicit SqlStore(std::unique_ptr<Connection> c) : c_(std::move(c)) {}

  const std::string& Name() const override { return c_->Name(); }

  std::int64_t Add(const RunRecord& run) override {
    const std::string uid = run.uid.empty() ? NewUid() : run.uid;
    const std::string time_utc = RunTimeUtc(Name(), run.time);
    // Every text checked before the transaction, so both engines refuse the same runs.
    auto check_text = [&](const char* column, const auto& field) {
      if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
        if (!IsUtf8(field))
          Fail(Kind::invalid, Name(), std::string("the run's ") + column + " is not UTF-8 text without NUL bytes");
      }
    };
    RunColumns(run, check_text);
    ChildTables(run, [&](const auto& rows) {
      for (const auto& row : rows) Child<std::decay_t<decltype(row)>>::Columns(row, check_text);
    });

    std::vector<Value> values{Value{uid}, Value{time_utc}};
    RunColumns(run, [&](const char* column, const auto& field) {
      if (std::string_view(column) != "uid") values.push_back(ToValue(field));
    });
    std::string columns = "uid, time_utc";
    RunColumns(run, [&](const char* column, const auto&) {
      if (std::string_view(column) != "uid") columns += std::string(", ") + column;
    });

    Transaction t(*c_, true);
    const auto rows =
        c_->Query("INSERT INTO runs (" + columns + ") VALUES " + Placeholders(values.size()) + " RETURNING id", values);
    std::int64_t id = 0;
    if (rows.size() != 1 || !std::holds_alternative<std::int64_t>(rows[0].at(0)))
      Fail(Kind::failed, Name(), "the new run's id did not come back");
    id = std::get<std::int64_t>(rows[0][0]);
    ChildTables(run, [&](const auto& list) { InsertChildren(id, list); });
    t.Commit();
    return id;
  }

  std::vector<RunRow> List(const RunFilter& filter) override {
    const Where where = MakeWhere(filter);
    RunRow probe;
    std::string sql = "SELECT " + ColumnList([&](auto f) { ListColumns(probe, f); }, "r.") + " FROM runs r" +
                      where.sql + " ORDER BY r.time_utc DESC, r.id DESC";
    auto params = where.params;
    if (filter.limit) {
      sql += " LIMIT ?";
      params.push_back(static_cast<std::int64_t>(std::min<std::size_t>(*filter.limit, INT64_MAX)));
    }
    std::vector<RunRow> out;
    for (const auto& row : c_->Query(sql, params)) out.push_back(ReadListRow(row));
    return out;
  }

  std::optional<RunRecord> Get(std::int64_t id) override {
    Transaction t(*c_, false);
    RunRecord r;
    const auto rows =
        c_->Query("SELECT id, " + ColumnList([&](auto f) { RunColumns(r, f); }) + " FROM runs WHERE id = ?", {id});
    if (rows.empty()) return std::nullopt;
    std::size_t i = 0;
    Reader{Name(), "id"}(rows[0].at(i++), r.id);
    RunColumns(r, [&](const char* column, auto&& field) { Reader{Name(), column}(rows[0].at(i++), field); });
    ChildTables(r, [&](auto& list) { ReadChildren(id, list); });
    t.Commit();
    return r;
  }

  std::optional<RunRow> Delete(std::int64_t id) override {
    Transaction t(*c_, true);
    for (const char* table : kChildTables) c_->Query(std::string("DELETE FROM ") + table + " WHERE run_id = ?", {id});
    RunRow probe;
    // What the delete itself returns, so a run removed meanwhile by another program is not
    // reported as removed here.
    const auto rows = c_->Query(
        "DELETE FROM runs WHERE id = ? RETURNING " + ColumnList([&](auto f) { ListColumns(probe, f); }), {id});
    if (rows.empty()) return std::nullopt;
    t.Commit();
    return ReadListRow(rows[0]);
  }

  std::vector<TrendRow> Trend(const std::string& figure, const RunFilter& filter) override {
    const Where where = MakeWhere(filter);
    std::string sql;
    std::vector<Value> params = where.params;
    std::vector<double> wanted;  // band edges or spot frequency, to keep the nearest per run
    auto columns = [&](const char* value, const char* lo, const char* hi) {
      sql = std::string("SELECT r.id, r.time, r.label, r.") + value + ", " + lo + ", " + hi + " FROM runs r" +
            where.sql + (where.sql.empty() ? " WHERE " : " AND ") + "r." + value +
            " IS NOT NULL ORDER BY r.time_utc, r.id";
    };
    auto near = [&](const char* column, double v) {
      params.push_back(v);
      params.push_back(kTrendTolerance * std::abs(v));
      return std::string(" AND ABS(") + column + " - ?) <= ?";
    };
    if (figure == "white") {
      columns("white_nv", "r.white_lo_nv", "r.white_hi_nv");
    } else if (figure == "corner") {
      columns("corner_hz", "r.corner_lo_hz", "r.corner_hi_hz");
    } else if (figure == "lf") {
      columns("lf_rms_nv", "NULL", "NULL");
    } else if (figure.starts_with("band:")) {
      const std::string_view rest = std::string_view(figure).substr(5);
      const auto colon = rest.find(':');
      const auto lo = colon == std::string_view::npos ? std::nullopt : ParseNumber(rest.substr(0, colon));
      const auto hi = colon == std::string_view::npos ? std::nullopt : ParseNumber(rest.substr(colon + 1));
      if (!lo || !hi || *lo < 0 || *hi <= *lo)
        Fail(Kind::invalid, Name(), "\"" + figure + "\" is not a band: band:LO:HI in Hz, LO below HI");
      wanted = {*lo, *hi};
      const std::string near_lo = near("b.lo_hz", *lo);  // in the order of the placeholders
      const std::string near_hi = near("b.hi_hz", *hi);
      sql =
          "SELECT r.id, r.time, r.label, b.rms_uv, b.ci_lo_uv, b.ci_hi_uv, b.lo_hz, b.hi_hz FROM runs r"
          " JOIN bands b ON b.run_id = r.id" +
          where.sql + (where.sql.empty() ? " WHERE " : " AND ") + "b.rms_uv IS NOT NULL" + near_lo + near_hi +
          " ORDER BY r.time_utc, r.id, b.seq";
    } else if (figure.starts_with("spot:")) {
      const auto hz = ParseNumber(std::string_view(figure).substr(5));
      if (!hz || *hz <= 0) Fail(Kind::invalid, Name(), "\"" + figure + "\" is not a spot: spot:HZ, HZ above 0");
      wanted = {*hz};
      sql =
          "SELECT r.id, r.time, r.label, s.nv, s.ci_lo_nv, s.ci_hi_nv, s.hz FROM runs r"
          " JOIN spots s ON s.run_id = r.id" +
          where.sql + (where.sql.empty() ? " WHERE " : " AND ") + "s.nv IS NOT NULL" + near("s.hz", *hz) +
          " ORDER BY r.time_utc, r.id, s.seq";
    } else {
      Fail(Kind::invalid, Name(), "\"" + figure + "\" is not a figure: white, corner, lf, band:LO:HI or spot:HZ");
    }

    std::vector<TrendRow> out;
    double best = 0;  // distance of the row kept for the last run from what was asked
    for (const auto& row : c_->Query(sql, params)) {
      TrendRow t;
      Reader{Name(), "id"}(row.at(0), t.id);
      Reader{Name(), "time"}(row.at(1), t.time);
      Reader{Name(), "label"}(row.at(2), t.label);
      Reader{Name(), "value"}(row.at(3), t.value);
      Reader{Name(), "lo"}(row.at(4), t.lo);
      Reader{Name(), "hi"}(row.at(5), t.hi);
      double distance = 0;
      for (std::size_t k = 0; k < wanted.size(); ++k) {
        double stored = 0;
        Reader{Name(), "frequency"}(row.at(6 + k), stored);
        distance += std::abs(stored - wanted[k]);
      }
      if (!out.empty() && out.back().id == t.id) {
        if (distance < best) out.back() = t, best = distance;
        continue;
      }
      out.push_back(t);
      best = distance;
    }
    if (filter.limit && out.size() > *filter.limit)
      out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(*filter.limit));
    return out;
  }

 private:
  Where MakeWhere(const RunFilter& f) const {
    Where w;
    auto add = [&](const std::string& clause, std::optional<Value> v) {
      w.sql += (w.sql.empty() ? " WHERE " : " AND ") + clause;
      if (v) w.params.push_back(std::move(*v));
    };
    if (f.label) add("r.label = ?", Value{*f.label});
    if (f.dut) add("r.dut = ?", Value{*f.dut});
    if (f.serial) add("r.serial = ?", Value{*f.serial});
    if (f.since) add("r.time_utc >= ?", Value{SinceUtc(Name(), *f.since)});
    if (f.failed_only) add("r.pass = 0", std::nullopt);
    return w;
  }

  RunRow ReadListRow(const Row& row) const {
    RunRow r;
    std::size_t i = 0;
    ListColumns(r, [&](const char* column, auto&& field) { Reader{Name(), column}(row.at(i++), field); });
    return r;
  }

  template <class T>
  void InsertChildren(std::int64_t run_id, const std::vector<T>& rows) {
    if (rows.empty()) return;
    const T probe{};
    std::size_t per_row = 2;
    Child<T>::Columns(probe, [&](const char*, const auto&) { ++per_row; });
    const std::string head = std::string("INSERT INTO ") + Child<T>::table + " (run_id, seq, " +
                             ColumnList([&](auto f) { Child<T>::Columns(probe, f); }) + ") VALUES ";
    // Many rows a statement: fewer round trips to a server, well under either engine's limit
    // on values.
    const std::size_t batch = std::max<std::size_t>(1, 500 / per_row);
    for (std::size_t start = 0; start < rows.size(); start += batch) {
      const std::size_t n = std::min(batch, rows.size() - start);
      std::string sql = head;
      std::vector<Value> params;
      params.reserve(n * per_row);
      for (std::size_t k = 0; k < n; ++k) {
        sql += (k == 0 ? "" : ", ") + Placeholders(per_row);
        params.push_back(run_id);
        params.push_back(static_cast<std::int64_t>(start + k));
        Child<T>::Columns(rows[start + k], [&](const char*, const auto& field) { params.push_back(ToValue(field)); });
      }
      c_->Query(sql, params);
    }
  }

  template <class T>
  void ReadChildren(std::int64_t run_id, std::vector<T>& out) {
    T probe{};
    const auto rows = c_->Query("SELECT " + ColumnList([&](auto f) { Child<T>::Columns(probe, f); }) + " FROM " +
                                    Child<T>::table + " WHERE run_id = ? ORDER BY seq",
                                {run_id});
    out.clear();
    out.reserve(rows.size());
    for (const auto& row : rows) {
      T item{};
      std::size_t i = 0;
      Child<T>::Columns(item, [&](const char* column, auto&& field) { Reader{Name(), column}(row.at(i++), field); });
      out.push_back(std::move(item));
    }
  }

  std::unique_ptr<Connection> c_;
};

}  // namespace

std::string DisplayLocation(const std::string& location) {
  if (!IsPostgresUrl(location)) return location;
  // As libpq reads it: the user information runs to the first '@' before any '/'.
  std::string out = location;
  const auto start = out.find("://") + 3;
  const auto at = out.find('@', start);
  const auto slash = out.find('/', start);
  if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
    const auto colon = out.find(':', start);
    if (colon != std::string::npos && colon < at) out.erase(colon, at - colon);
  }
  const auto query = out.find('?', start);
  if (query == std::string::npos) return out;
  std::string kept;
  std::size_t pos = query + 1;
  while (pos <= out.size()) {
    auto amp = out.find('&', pos);
    if (amp == std::string::npos) amp = out.size();
    const std::string param = out.substr(pos, amp - pos);
    if (!param.starts_with("password=") && !param.empty()) kept += (kept.empty() ? "" : "&") + param;
    pos = amp + 1;
  }
  return out.substr(0, query) + (kept.empty() ? "" : "?" + kept);
}

std::unique_ptr<Store> OpenStore(const std::string& location) {
  auto c = IsPostgresUrl(location) ? detail::OpenPostgres(location) : detail::OpenSqlite(location);
  detail::OpenSchema(*c);
  return std::make_unique<SqlStore>(std::move(c));
}

}  // namespace qvx::store
