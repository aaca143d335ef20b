#include "settings/ini_file.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/conversions.h"
#include "core/errors.h"

// Line ends: a rewritten file keeps the ending of its first line (CR LF or LF);
// a new file, or one without any line end yet, gets CR LF, which is what the
// other tools that read this file expect.
//
// Writing never truncates the file in place: the new content goes to a
// temporary file in the same folder, which then replaces the original by
// rename. Because rename would also replace a read-only file, and because root
// may write anything, a file (or folder) whose mode has no write bit is refused
// before anything is written.

namespace qvx {
namespace {

// A settings file is a few hundred bytes; anything this large is not ours to rewrite.
constexpr std::size_t kFileSizeLimit = std::size_t{64} * 1024 * 1024;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

enum class Load { kOk, kMissing, kFailed };

Load LoadFile(const std::string& path, std::string& content) {
  content.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return (errno == ENOENT || errno == ENOTDIR) ? Load::kMissing : Load::kFailed;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Load::kFailed;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Load::kFailed;
    if (n == 0) break;
    if (content.size() + static_cast<std::size_t>(n) > kFileSizeLimit) return Load::kFailed;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return Load::kOk;
}

std::string IntText(long long value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

struct Line {
  std::string text;  // without its line end
  std::string eol;   // "\r\n", "\n", or "" for a last line without one
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  while (!content.empty()) {
    const auto nl = content.find('\n');
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(content), ""});
      break;
    }
    std::string_view text = content.substr(0, nl);
    const bool crlf = !text.empty() && text.back() == '\r';
    if (crlf) text.remove_suffix(1);
    lines.push_back({std::string(text), crlf ? "\r\n" : "\n"});
    content.remove_prefix(nl + 1);
  }
  return lines;
}

std::string DetectEol(std::string_view content) {
  const auto nl = content.find('\n');
  if (nl != std::string_view::npos && (nl == 0 || content[nl - 1] != '\r')) return "\n";
  return "\r\n";
}

enum class Kind { kOther, kSection, kKey };

struct Parsed {
  Kind kind = Kind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
};

Parsed ParseLine(std::string_view text, bool firstLine) {
  if (firstLine && text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  const std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';' || t.front() == '#') return {};
  if (t.front() == '[') {
    const auto close = t.find(']');
    if (close == std::string_view::npos) return {};
    return {Kind::kSection, Trim(t.substr(1, close - 1)), {}};
  }
  const auto eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  return {Kind::kKey, Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

// Where a key stands, or would go, in the parsed file.
struct Place {
  std::optional<std::size_t> section;  // header line of the first matching section
  std::optional<std::size_t> key;      // first matching key line in it
  std::size_t lastKeyOrHeader = 0;     // insertion goes after this line
};

Place Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Place place;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Parsed p = ParseLine(lines[i].text, i == 0);
    if (!place.section) {
      if (p.kind == Kind::kSection && SameName(p.name, section)) {
        place.section = i;
        place.lastKeyOrHeader = i;
      }
      continue;
    }
    if (p.kind == Kind::kSection) break;
    if (p.kind == Kind::kKey) {
      place.lastKeyOrHeader = i;
      if (!place.key && SameName(p.name, key)) place.key = i;
    }
  }
  return place;
}

// Text that would change the file's structure cannot be stored faithfully.
bool Storable(std::string_view section, std::string_view key, std::string_view value) {
  auto hasLineBreak = [](std::string_view s) { return s.find_first_of("\r\n") != s.npos; };
  if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) return false;
  if (section.find(']') != section.npos || key.find('=') != key.npos) return false;
  if (!key.empty() && (key.front() == '[' || key.front() == ';' || key.front() == '#')) return false;
  return true;
}

bool HasNoWriteBit(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Replaces the file at `path` by `bytes` as one step; false when anything failed,
// in which case the original is untouched.
bool ReplaceFile(const std::string& path, std::string_view bytes) {
  std::string target = path;
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
    // Replace the file the link points to, not the link itself.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) return false;
    target = resolved.get();
  }

  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && (!S_ISREG(existing.st_mode) || HasNoWriteBit(existing))) return false;
  struct stat folder {};
  if (::stat(FolderOf(target).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || HasNoWriteBit(folder)) {
    return false;
  }

  std::string temp;
  int rawFd = -1;
  for (int attempt = 0; attempt < 100 && rawFd < 0; ++attempt) {
    temp = target + "." + IntText(::getpid()) + "-" + IntText(attempt) + ".tmp";
    rawFd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (rawFd < 0 && errno != EEXIST) return false;
  }
  if (rawFd < 0) return false;
  UniqueFd fd(rawFd);

  bool ok = WriteAll(fd.get(), bytes);
  if (ok && exists) {
    ok = ::fchmod(fd.get(), existing.st_mode & 07777) == 0;
    // Keeps the owner when root rewrites someone else's file; harmless when refused.
    if (ok && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
      [[maybe_unused]] const int ignored = ::fchown(fd.get(), existing.st_uid, existing.st_gid);
    }
  }
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

void TIniFile::ThrowWriteError() const { throw EIniFileException(fileName_ + " に書き込めません"); }

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
  std::string content;
  if (LoadFile(fileName_, content) != Load::kOk) return std::string(defaultValue);
  const std::vector<Line> lines = SplitLines(content);
  const Place place = Locate(lines, Trim(section), Trim(key));
  if (!place.key) return std::string(defaultValue);
  std::string_view value = ParseLine(lines[*place.key].text, *place.key == 0).value;
  if (value.size() > INI_VALUE_MAX) value = value.substr(0, INI_VALUE_MAX);
  return std::string(value);
}

double TIniFile::ReadFloat(std::string_view section, std::string_view key, double defaultValue) const {
  const std::string text = ReadString(section, key, "");
  if (text.empty()) return defaultValue;
  try {
    return StrToFloat(text);
  } catch (const EConvertError&) {
    return defaultValue;
  }
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  const std::string text = ReadString(section, key, "");
  int value = 0;
  return (!text.empty() && TryParseIniInteger(text, value)) ? value : defaultValue;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  if (!Storable(section, key, value)) ThrowWriteError();

  std::string content;
  if (LoadFile(fileName_, content) == Load::kFailed) ThrowWriteError();
  const std::string eol = DetectEol(content);
  std::vector<Line> lines = SplitLines(content);
  const Place place = Locate(lines, section, key);

  if (place.key) {
    Line& line = lines[*place.key];
    // A key line always follows its section header, so it never carries a byte-order mark.
    line.text = std::string(ParseLine(line.text, false).name) + "=" + std::string(value);
  } else {
    std::size_t at = lines.size();
    std::vector<Line> added;
    if (!place.section)
      added.push_back({"[" + std::string(section) + "]", eol});
    else
      at = place.lastKeyOrHeader + 1;
    added.push_back({std::string(key) + "=" + std::string(value), eol});
    if (at > 0 && lines[at - 1].eol.empty()) lines[at - 1].eol = eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
  }

  std::string out;
  out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
  for (const Line& line : lines) {
    out += line.text;
    out += line.eol;
  }
  if (!ReplaceFile(fileName_, out)) ThrowWriteError();
}

void TIniFile::WriteFloat(std::string_view section, std::string_view key, double value) {
  WriteString(section, key, FloatToStr(value));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, IntText(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace qvx
