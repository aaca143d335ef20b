#pragma once
// Where the measurement window keeps its runs: DB= of the settings file's [STORE] section, a
// SQLite file or a postgresql:// URL; the same default file as qvx71-noise's --db.
#include <string>

#include "settings/ini_file.h"

namespace qvx {

inline constexpr const char* kSettingsSectionStore = "STORE";
// Beside the settings file, in the working folder.
inline constexpr const char* kDefaultStoreFile = "qvx71-results.sqlite";

// DB= with blanks around it taken off; the default file when it is missing or blank.
std::string ReadStoreLocation(const TIniFile& ini);

}  // namespace qvx
