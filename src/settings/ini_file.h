#pragma once
// The settings file: a private-profile INI text file read and written key by key.
// Nothing is cached; every call goes to the file at once, and a relative name is
// resolved against the working directory of that moment.
#include <cstddef>
#include <string>
#include <string_view>

namespace qvx {

// Longest value a read returns, in bytes; longer values are cut.
inline constexpr std::size_t INI_VALUE_MAX = 2047;

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // A missing file, section or key gives the default; an empty value gives "".
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  // Empty or non-converting values give the default without an error.
  double ReadFloat(std::string_view section, std::string_view key, double defaultValue) const;
  // Decimal, or hexadecimal after "0x"/"0X".
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  // Any non-zero integer is true.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // Each write replaces the value in place, appends a missing key to the end of
  // its section or a missing section to the end of the file, and leaves every
  // other line as it was. Failure throws EIniFileException
  // (FileName() + " に書き込めません") and leaves the file as it was.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteFloat(std::string_view section, std::string_view key, double value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  [[noreturn]] void ThrowWriteError() const;

  std::string fileName_;
};

}  // namespace qvx
