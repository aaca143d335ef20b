// The layers' arrows point one way: a folder under src/ includes only the folders below it,
// and only the window and the chart adapter include Qt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

const std::map<std::string, std::set<std::string>>& Allowed() {
  static const std::map<std::string, std::set<std::string>> allowed = [] {
    std::map<std::string, std::set<std::string>> a;
    a["core"] = {};
    a["link"] = {"core"};
    a["setup"] = {"link", "core"};
    a["spectrum"] = {"setup", "link", "core"};
    a["settings"] = {"core"};
    a["psd"] = {"core"};
    a["store"] = {"core"};
    a["analysis"] = {"psd", "spectrum", "setup", "link", "core"};
    for (const char* measuring : {"sweep", "capture"})
      a[measuring] = {"analysis", "psd", "spectrum", "setup", "link", "core"};
    a["report"] = {"analysis", "psd", "spectrum", "setup", "link", "core"};
    a["run"] = {"capture", "sweep",    "report", "store", "settings", "analysis",
                "psd",     "spectrum", "setup",  "link",  "core"};
    a["job"] = a["run"];
    a["job"].insert("run");
    a["plot"] = {"report", "analysis", "psd", "spectrum", "setup", "link", "core"};
    a["cli"] = a["run"];
    a["cli"].insert({"run", "plot"});
    a["app"] = a["job"];
    a["app"].insert({"job", "plot"});
    return a;
  }();
  return allowed;
}

// Every wrong arrow in the tree at `root`: "capture/capture.cpp includes sweep/...".
std::vector<std::string> WrongArrows(const std::filesystem::path& root) {
  std::vector<std::string> wrong;
  const std::regex include(R"re(^\s*#\s*include\s*([<"])([^>"]+)[>"])re");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp") continue;
    const std::string layer = std::filesystem::relative(entry.path(), root).begin()->string();
    const auto allowed = Allowed().find(layer);
    std::ifstream file(entry.path());
    std::string line;
    for (int n = 1; std::getline(file, line); ++n) {
      std::smatch m;
      if (!std::regex_search(line, m, include)) continue;
      const std::string target = m[2];
      const std::string where = std::filesystem::relative(entry.path(), root).string() + ":" + std::to_string(n);
      if (m[1] == "<") {
        if (target.size() > 1 && target[0] == 'Q' && std::isupper(static_cast<unsigned char>(target[1])) &&
            layer != "app" && layer != "plot") {
          wrong.push_back(where + " includes Qt (" + target + ")");
        }
        continue;
      }
      const auto slash = target.find('/');
      if (slash == std::string::npos) continue;  // beside itself
      const std::string to = target.substr(0, slash);
      if (to == layer) continue;
      if (allowed == Allowed().end() || !allowed->second.count(to)) wrong.push_back(where + " includes " + target);
    }
  }
  return wrong;
}

TEST(Layers, NoIncludeRunsAgainstTheArrows) {
  const std::vector<std::string> wrong = WrongArrows(std::filesystem::path(QVX_SOURCE_DIR) / "src");
  for (const std::string& w : wrong) ADD_FAILURE() << w;
}

TEST(Layers, AWrongArrowIsFound) {
  const auto root = std::filesystem::temp_directory_path() / ("qvx-layers-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "capture");
  std::filesystem::create_directories(root / "analysis");
  std::ofstream(root / "capture" / "a.cpp") << "#include \"sweep/sweep_plan.h\"\n#include \"analysis/x.h\"\n";
  std::ofstream(root / "analysis" / "b.h") << "#include <QString>\n#include <vector>\n";
  const std::vector<std::string> wrong = WrongArrows(root);
  std::filesystem::remove_all(root);
  ASSERT_EQ(wrong.size(), 2u);
  EXPECT_EQ(wrong[0].find("includes"), wrong[0].find("includes"));
}

}  // namespace
