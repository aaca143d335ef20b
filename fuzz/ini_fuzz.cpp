// The settings store. Input: its first byte separates the fields that follow: the
// file's content (empty: no file), then groups of operation, section, key and value.
// An operation starting with w, f, i or b writes a string, float, integer or bool;
// anything else reads. After every write the value reads back, and every other line
// of the file survives byte for byte; a refused write leaves the file as it was.
// Last, the measurement window's [NOISE] section reads within its bounds, and what it read
// is written and reads back the same, without a problem.
// Works in a private temporary folder (in memory where /dev/shm exists).
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ini_file.h"
#include "settings/noise_settings.h"
#include "core/conversions.h"
#include "core/errors.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "settings store: %s '%.*s'\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 200)),
               detail.data());
  std::abort();
}

// One folder per input: libFuzzer ends its process without running static destructors.
class PrivateFolder {
 public:
  PrivateFolder() {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "qvx-ini-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail("no temporary folder");
    path_ = pattern;
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  ~PrivateFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::optional<std::string> Load(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Lines with their line ends, as they stand in the file.
std::vector<std::string> Lines(std::string_view content) {
  std::vector<std::string> lines;
  while (!content.empty()) {
    const auto nl = content.find('\n');
    const std::size_t end = nl == std::string_view::npos ? content.size() : nl + 1;
    lines.emplace_back(content.substr(0, end));
    content.remove_prefix(end);
  }
  return lines;
}

std::string_view WithoutEol(std::string_view line) {
  if (!line.ends_with('\n')) return line;
  line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// The store refuses what would change the file's structure: line breaks anywhere,
// "]" in a section, "=" in a key, a key that would read as a section or comment.
bool Storable(std::string_view section, std::string_view key, std::string_view value) {
  for (std::string_view s : {section, key, value}) {
    if (s.find_first_of("\r\n") != s.npos) return false;
  }
  if (section.find(']') != section.npos || key.find('=') != key.npos) return false;
  return key.empty() || (key.front() != '[' && key.front() != ';' && key.front() != '#');
}

// Line ends and other control bytes made visible, for the report of a finding.
std::string Escaped(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      if (c == '\n') out.push_back('\n');
    }
  }
  return out;
}

// Only the written key's line changed, or its line (and perhaps its section's
// header) was added; the line before an addition may have gained its line end.
void CheckOtherLinesSurvive(const std::string& before, const std::string& after, std::string_view section,
                            std::string_view key, std::string_view value) {
  const auto a = Lines(before);
  const auto b = Lines(after);
  std::size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  std::vector<std::string> removed(a.begin() + static_cast<std::ptrdiff_t>(prefix),
                                   a.end() - static_cast<std::ptrdiff_t>(suffix));
  std::vector<std::string> added(b.begin() + static_cast<std::ptrdiff_t>(prefix),
                                 b.end() - static_cast<std::ptrdiff_t>(suffix));
  if (removed.size() == 1 && !removed[0].ends_with('\n') && !added.empty() &&
      (added[0] == removed[0] + "\n" || added[0] == removed[0] + "\r\n")) {
    removed.clear();
    added.erase(added.begin());
  }
  const std::string keyLineEnd = "=" + std::string(value);
  if (removed.empty() && added.empty()) return;  // the same value again
  if (removed.size() == 1 && added.size() == 1) {
    const std::string_view eolBefore = std::string_view(removed[0]).substr(WithoutEol(removed[0]).size());
    const std::string_view eolAfter = std::string_view(added[0]).substr(WithoutEol(added[0]).size());
    if (eolBefore == eolAfter && WithoutEol(added[0]).ends_with(keyLineEnd)) return;
  }
  if (removed.empty() && (added.size() == 1 || added.size() == 2) &&
      WithoutEol(added.back()) == std::string(key) + keyLineEnd &&
      (added.size() == 1 || WithoutEol(added[0]) == "[" + std::string(section) + "]")) {
    return;
  }
  std::fprintf(stderr, "before:\n%s\nafter:\n%s\n", Escaped(before).c_str(), Escaped(after).c_str());
  Fail("a write changed other lines", key);
}

struct Op {
  char kind;
  std::string section, key, value;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const PrivateFolder folder;
  const char separator = static_cast<char>(data[0]);
  std::vector<std::string> fields;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (;;) {
    const auto at = rest.find(separator);
    fields.emplace_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + 1);
  }
  std::vector<Op> ops;
  for (std::size_t k = 1; k + 3 < fields.size() && ops.size() < 16; k += 4) {
    ops.push_back({fields[k].empty() ? 'r' : fields[k][0], fields[k + 1], fields[k + 2], fields[k + 3]});
  }

  const fs::path file = folder.Path() / "QVX71CONT.INI";
  if (!fields[0].empty()) {
    std::ofstream(file, std::ios::binary) << fields[0];
  }
  qvx::TIniFile ini(file.string());

  for (const Op& op : ops) {
    if (op.kind != 'w' && op.kind != 'f' && op.kind != 'i' && op.kind != 'b') {
      const std::string text = ini.ReadString(op.section, op.key, op.value);
      if (text.size() > qvx::INI_VALUE_MAX && text != op.value) Fail("a read longer than the limit");
      ini.ReadFloat(op.section, op.key, 0.0);
      ini.ReadInteger(op.section, op.key, 0);
      ini.ReadBool(op.section, op.key, false);
      continue;
    }
    // The value a float, integer or bool write stores, from its field's bytes.
    double number = 0.0;
    int integer = 0;
    if (op.kind == 'f') {
      if (op.value.size() == sizeof number) {
        std::memcpy(&number, op.value.data(), sizeof number);
      } else {
        try {
          number = qvx::StrToFloat(op.value);
        } catch (const qvx::EConvertError&) {
          continue;
        }
      }
    }
    if (op.kind == 'i' && !qvx::TryParseIniInteger(op.value, integer)) continue;
    const bool flag = !op.value.empty() && (op.value[0] & 1) != 0;
    const std::string text = op.kind == 'w'   ? op.value
                             : op.kind == 'f' ? qvx::FloatToStr(number)
                             : op.kind == 'i' ? std::to_string(integer)
                                              : (flag ? "1" : "0");

    const std::optional<std::string> before = Load(file);
    try {
      switch (op.kind) {
        case 'w':
          ini.WriteString(op.section, op.key, op.value);
          break;
        case 'f':
          ini.WriteFloat(op.section, op.key, number);
          break;
        case 'i':
          ini.WriteInteger(op.section, op.key, integer);
          break;
        default:
          ini.WriteBool(op.section, op.key, flag);
          break;
      }
    } catch (const qvx::EIniFileException&) {
      if (Load(file) != before) Fail("a refused write changed the file");
      if (Storable(Trim(op.section), Trim(op.key), text)) Fail("refused a storable write", op.key);
      continue;
    }
    if (!Storable(Trim(op.section), Trim(op.key), text)) Fail("stored what it cannot store faithfully", op.key);
    const std::optional<std::string> after = Load(file);
    if (!after) Fail("a write left no file");
    CheckOtherLinesSurvive(before.value_or(""), *after, Trim(op.section), Trim(op.key), text);
    for (const auto& entry : fs::directory_iterator(folder.Path())) {
      if (entry.path() != file) Fail("a write left another file behind", entry.path().string());
    }

    // It reads back.
    const std::string_view stored = Trim(text).substr(0, qvx::INI_VALUE_MAX);
    if (ini.ReadString(op.section, op.key, "\x01 default") != stored) Fail("a string does not read back", text);
    if (op.kind == 'f' && std::isfinite(number)) {
      const double back = ini.ReadFloat(op.section, op.key, NAN);
      if (std::isnan(back)) Fail("a float written does not read back", text);
      if (!(std::fabs(back - number) <= std::fabs(number) * 1e-14)) Fail("a float reads back changed", text);
    }
    if (op.kind == 'i' && ini.ReadInteger(op.section, op.key, ~integer) != integer) Fail("an integer", text);
    if (op.kind == 'b' && ini.ReadBool(op.section, op.key, !flag) != flag) Fail("a bool", text);
  }

  const qvx::NoiseSettings n = qvx::ReadNoiseSettings(ini).settings;
  if ((n.method != "record" && n.method != "fft") || (n.averaging != "mean" && n.averaging != "median") ||
      !(n.from_hz > 0) || !(n.to_hz > n.from_hz) || !std::isfinite(n.to_hz) || n.ppd < 1 || n.ppd > 100 ||
      n.averages < 1 || n.averages > 64 || !qvx::ParseGainText(n.gain, nullptr)) {
    Fail("[NOISE] read outside its bounds", n.method + " " + n.averaging + " " + n.gain);
  }
  try {
    qvx::WriteNoiseSettings(ini, n);
  } catch (const qvx::EIniFileException&) {
    return 0;  // a path the file cannot hold
  }
  const qvx::NoiseSettingsRead again = qvx::ReadNoiseSettings(ini);
  const qvx::NoiseSettings& m = again.settings;
  if (!again.problems.empty()) Fail("[NOISE] as written does not read without a problem", again.problems.front());
  if (m.method != n.method || m.from_hz != n.from_hz || m.to_hz != n.to_hz || m.ppd != n.ppd ||
      m.averages != n.averages || m.seconds != n.seconds || m.averaging != n.averaging || m.gain != n.gain ||
      m.gain_file != n.gain_file || m.floor_file != n.floor_file || m.limit_file != n.limit_file) {
    Fail("[NOISE] does not read back as written", m.gain_file);
  }
  return 0;
}
