// The README's console examples, run as it shows them against the simulator it names: every
// line it prints must come out with the same words, and its figures within the example's
// tolerance. An example is marked `<!-- example: SIMULATOR OPTIONS [tolerance T] -->` just above
// its console block; `...` in a block stands for lines the README leaves out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <regex>

#include "cli/noise_cli_fixture.h"

namespace qvx::test {
namespace {

struct Command {
  std::vector<std::string> args;       // after the program's name
  std::vector<std::string> expected;   // the lines the README shows it printing
};

struct Example {
  int line = 0;  // of the marker in the README
  std::vector<std::string> sim_args;
  double tolerance = 0.02;
  std::vector<Command> commands;
};
void PrintTo(const Example& e, std::ostream* os) { *os << "README.md:" << e.line; }

// Words as a shell splits them; the README's commands quote with "..." only.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

std::vector<Example> Examples() {
  std::ifstream file(std::string(QVX_SOURCE_DIR) + "/README.md");
  std::vector<Example> examples;
  std::optional<Example> pending;
  bool in_block = false;
  std::string line, command;
  const std::regex marker(R"(<!-- example: (.*?)(?: tolerance ([0-9.]+))? -->)");
  for (int n = 1; std::getline(file, line); ++n) {
    std::smatch m;
    if (!in_block && std::regex_match(line, m, marker)) {
      pending = Example{n, Words(m[1]), m[2].matched ? std::stod(m[2]) : 0.02, {}};
    } else if (pending && !in_block && line == "```console") {
      in_block = true;
    } else if (in_block && line == "```") {
      examples.push_back(std::move(*pending));
      pending.reset();
      in_block = false;
    } else if (in_block) {
      const bool continued = !command.empty();
      if (continued || line.rfind("$ ", 0) == 0) {
        command += continued ? line : line.substr(2);
        if (!command.empty() && command.back() == '\\') {
          command.pop_back();
          continue;
        }
        std::vector<std::string> words = Words(command);
        command.clear();
        words.erase(words.begin());  // build/bin/qvx71-noise
        pending->commands.push_back({std::move(words), {}});
      } else if (!pending->commands.empty()) {
        pending->commands.back().expected.push_back(line);
      }
    }
  }
  return examples;
}

// The same words, and numbers that differ by at most `tolerance` of the larger.
bool Matches(const std::string& expected, const std::string& actual, double tolerance) {
  static const std::regex number(R"([-+]?[0-9]+(?:\.[0-9]+)?(?:e[-+]?[0-9]+)?)");
  auto split = [](const std::string& s, std::vector<double>& values) {
    std::string words;
    std::size_t last = 0;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), number); it != std::sregex_iterator(); ++it) {
      words += s.substr(last, it->position() - last) + "#";
      values.push_back(std::stod(it->str()));
      last = it->position() + it->length();
    }
    return words + s.substr(last);
  };
  std::vector<double> want, got;
  if (split(expected, want) != split(actual, got) || want.size() != got.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::abs(want[i] - got[i]) > tolerance * std::max(std::abs(want[i]), std::abs(got[i]))) return false;
  }
  return true;
}

// Where the README's lines do not come out: empty when they all do.
std::string Mismatch(const std::vector<std::string>& expected, const std::string& output, double tolerance) {
  std::vector<std::string> actual;
  std::istringstream lines(output);
  for (std::string l; std::getline(lines, l);) actual.push_back(l);
  std::size_t a = 0;
  bool skipping = false;
  for (const std::string& e : expected) {
    if (e == "...") {
      skipping = true;
      continue;
    }
    while (skipping && a < actual.size() && !Matches(e, actual[a], tolerance)) ++a;
    if (a >= actual.size()) return "missing: " + e;
    if (!Matches(e, actual[a], tolerance)) return "expected: " + e + "\n     got: " + actual[a];
    ++a;
    skipping = false;
  }
  if (!skipping && a < actual.size()) return "not in the README: " + actual[a];
  return {};
}

class Readme : public NoiseCli, public ::testing::WithParamInterface<Example> {
 protected:
  void TearDown() override {
    if (sim_pid_ > 0) {
      ::kill(sim_pid_, SIGKILL);
      ::waitpid(sim_pid_, nullptr, 0);
    }
    NoiseCli::TearDown();
  }

  // The simulator as its own program on a free loopback address; returns the address.
  std::string StartSimProgram(std::vector<std::string> args) {
    for (unsigned k = 0; k < 40; ++k) {
      const std::string address = "127.0.0." + std::to_string(2 + (::getpid() * 13u + k * 7u) % 249);
      if (!Bindable(address)) continue;
      std::vector<std::string> argv{QVX71_SIM_PATH, "--listen", address};
      argv.insert(argv.end(), args.begin(), args.end());
      std::vector<char*> raw;
      for (std::string& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      sim_pid_ = ::fork();
      if (sim_pid_ == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execv(raw[0], raw.data());
        ::_exit(127);
      }
      for (int tries = 0; tries < 500; ++tries) {
        if (Reachable(address)) return address;
        if (::waitpid(sim_pid_, nullptr, WNOHANG) == sim_pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ::kill(sim_pid_, SIGKILL);
      ::waitpid(sim_pid_, nullptr, 0);
      sim_pid_ = -1;
    }
    return {};
  }

  static bool Bindable(const std::string& address) { return Try(address, true); }
  static bool Reachable(const std::string& address) { return Try(address, false); }
  static bool Try(const std::string& address, bool bind) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5555);
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    const bool ok = fd >= 0 && (bind ? ::bind(fd, a, sizeof addr) == 0 : ::connect(fd, a, sizeof addr) == 0);
    if (fd >= 0) ::close(fd);
    return ok;
  }

  pid_t sim_pid_ = -1;
};

TEST_P(Readme, PrintsWhatTheReadmeShows) {
  const Example& example = GetParam();
  const std::string address = StartSimProgram(example.sim_args);
  ASSERT_FALSE(address.empty()) << "the simulator did not start";
  for (Command command : example.commands) {
    for (std::size_t i = 0; i + 1 < command.args.size(); ++i) {
      if (command.args[i] == "--addr") command.args[i + 1] = address;
    }
    const ProgramRun run = Noise(command.args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Mismatch(command.expected, run.out, example.tolerance), "") << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, Readme, ::testing::ValuesIn(Examples()),
                         [](const ::testing::TestParamInfo<Example>& info) {
                           return "Line" + std::to_string(info.param.line);
                         });

TEST(ReadmeExamples, AreMarked) { EXPECT_GE(Examples().size(), 3u) << "the README's examples are no longer marked"; }

TEST(ReadmeLines, FiguresWithinToleranceWordsExact) {
  const struct {
    const char* expected;
    const char* actual;
    bool match;
  } cases[] = {
      {"white floor 19.86 nV/√Hz (3974 points)", "white floor 19.9 nV/√Hz (3974 points)", true},
      {"white floor 19.86 nV/√Hz", "white floor 21 nV/√Hz", false},
      {"1/f corner  20.02 Hz", "1/f corner  not resolved", false},
      {"spot 1 kHz: 2.1e+03 nV", "spot 1 kHz: 2.102e+03 nV", true},
      {"0.1-10 Hz   20.4 µV rms", "0.1-10 Hz   20.4 µV p-p", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Matches(c.expected, c.actual, 0.02), c.match) << c.expected;
  EXPECT_EQ(Mismatch({"a 1", "...", "d 4"}, "a 1\nb 2\nc 3\nd 4\n", 0.02), "");
  EXPECT_NE(Mismatch({"a 1", "d 4"}, "a 1\nb 2\nd 4\n", 0.02), "");
  EXPECT_NE(Mismatch({"a 1"}, "a 1\nb 2\n", 0.02), "");
}

}  // namespace
}  // namespace qvx::test
