#include "settings/store_settings.h"

namespace qvx {

std::string ReadStoreLocation(const TIniFile& ini) {
  const std::string text = ini.ReadString(kSettingsSectionStore, "DB", "");
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return kDefaultStoreFile;
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace qvx
