// Each program's manual page and its --help name the same options.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string Output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  std::string text;
  std::array<char, 4096> buffer{};
  while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get())) text += buffer.data();
  return text;
}

std::set<std::string> Options(std::string text) {
  text = std::regex_replace(text, std::regex(R"(\\-)"), "-");  // troff's escaped minus
  std::set<std::string> options;
  const std::regex option(R"(--[a-z][a-z0-9-]*)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
    if (it->str() != "--help") options.insert(it->str());
  }
  return options;
}

std::string Page(const std::string& name) {
  std::ifstream file(std::string(QVX_SOURCE_DIR) + "/share/man/" + name + ".1");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ManualPages, NameTheOptionsTheProgramsTake) {
  const std::string noise = QVX71_NOISE_PATH;
  const std::pair<std::string, std::string> programs[] = {
      {"qvx71-noise", Output(noise + " measure --help") + Output(noise + " capture --help") +
                          Output(noise + " analyze --help") + Output(noise + " plot --help") +
                          Output(noise + " plan --help") + Output(noise + " history list --help") +
                          Output(noise + " history show --help") + Output(noise + " history export --help") +
                          Output(noise + " history plot --help") + Output(noise + " history trend --help") +
                          Output(noise + " history delete --help")},
      {"qvx71-sim", Output(std::string(QVX71_SIM_PATH) + " --help")},
  };
  for (const auto& [name, help] : programs) {
    const std::set<std::string> inHelp = Options(help);
    const std::set<std::string> inPage = Options(Page(name));
    ASSERT_GT(inHelp.size(), 5u) << name << ": " << help;
    for (const std::string& o : inHelp) EXPECT_TRUE(inPage.count(o)) << name << "(1) does not describe " << o;
    for (const std::string& o : inPage) EXPECT_TRUE(inHelp.count(o)) << name << " --help does not list " << o;
  }
}

}  // namespace
