// The results store as qvx71-noise's user meets it: every run kept and given back (list,
// show, export, trend), whole or not at all under SIGKILL, two writers at once on SQLite and
// PostgreSQL, and a store that fails costing no measurement.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "analysis/noise_files.h"
#include "core/text.h"
#include "store/postgres_cluster.h"
#include "store/store.h"
#include "support/program_run.h"
#include "support/sim_fixture.h"
#include "support/temp_work_dir.h"

namespace qvx::test {
namespace {

using Args = std::vector<std::string>;

ProgramRun Noise(Args args) {
  args.insert(args.begin(), QVX71_NOISE_PATH);
  return RunProgram(std::move(args));
}

// 20 nV/sqrt(Hz) with a 200 Hz corner, as measure writes it, for runs that need no instrument.
std::string SpectrumCsv() {
  NoiseSpectrum s;
  for (double f = 1; f < 1e5; f *= 1.02) {
    const double d = 20 * std::sqrt(1 + 200 / f);
    s.points.push_back({f, d * std::sqrt(1.5), d, 0, 64});
  }
  return WriteNoiseCsv(s);
}

// The instrument's FFT as it is left reads 20 nV/sqrt(Hz) on screen; a time record wants a
// density well above the converter's floor.
std::unique_ptr<sim::Simulator> Simulator(double white_nv = 2000) {
  sim::SimOptions opts;
  opts.noise.white_nv = white_nv;
  opts.noise.corner_hz = 20;
  opts.noise.tones.clear();
  opts.noise.time_scale = 0.0;
  return StartSimulatorOnLoopback(opts);
}

class History : public ::testing::Test {
 protected:
  TempWorkDir dir_;
};

TEST_F(History, EveryRunIsKeptAndGivenBackAsItWasPrinted) {
  const auto fft = Simulator(20);
  const auto record = Simulator();
  ASSERT_TRUE(fft && record);
  const ProgramRun runs[] = {
      Noise({"measure", "--addr", fft->Address(), "--out", "m", "--format", "csv,json,png", "--quiet", "--label",
             "rev-a"}),
      Noise({"capture", "--addr", record->Address(), "--from", "10", "--to", "10000", "--seconds", "1", "--out", "c",
             "--quiet", "--serial", "0412"}),
      Noise({"analyze", "m.csv", "--out", "a", "--dut", "opa"}),
  };
  const char* prefixes[] = {"m", "c", "a"};
  for (const ProgramRun& run : runs) ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(runs[2].err.find("stored as run 3"), std::string::npos) << runs[2].err;

  const ProgramRun list = Noise({"history", "list"});
  ASSERT_EQ(list.code, 0) << list.err;
  const auto lines = TextLines(list.out);
  ASSERT_EQ(lines.size(), 4u) << list.out;  // the heading and a run a line, newest first
  EXPECT_TRUE(lines[1].starts_with("3 ") && lines[3].starts_with("1 ")) << list.out;
  EXPECT_NE(lines[2].find("serial=0412"), std::string::npos) << list.out;
  const ProgramRun one = Noise({"history", "list", "--serial", "0412", "--json"});
  ASSERT_EQ(one.code, 0) << one.err;
  const auto picked = nlohmann::json::parse(one.out);
  ASSERT_EQ(picked.size(), 1u);
  EXPECT_EQ(picked[0]["method"], "time record");

  std::string trendExpected;
  for (int id = 1; id <= 3; ++id) {
    const std::string prefix = prefixes[id - 1];
    const ProgramRun show = Noise({"history", "show", std::to_string(id)});
    EXPECT_EQ(show.out, runs[id - 1].out) << id;
    const ProgramRun exported = Noise({"history", "export", std::to_string(id), "--out", "e" + prefix});
    ASSERT_EQ(exported.code, 0) << exported.err;
    for (const char* ext : {".json", ".csv"}) {
      EXPECT_EQ(dir_.Read("e" + prefix + ext), dir_.Read(prefix + ext)) << prefix << ext;
    }
    const auto j = nlohmann::json::parse(dir_.Read(prefix + ".json"));
    trendExpected += std::to_string(id) + ":" + FormatSignificant(j["white_nv"].get<double>(), 4) + " ";
  }
  // The picture is drawn again from the stored run, exactly as the run drew it.
  EXPECT_EQ(dir_.Read("em.png"), dir_.Read("m.png"));

  const ProgramRun trend = Noise({"history", "trend", "white"});
  ASSERT_EQ(trend.code, 0) << trend.err;
  std::string trendSeen;
  for (const auto line : TextLines(trend.out)) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < line.size();) {
      const auto end = std::min(line.find("  ", at), line.size());
      if (end > at) fields.emplace_back(line.substr(at, end - at));
      at = line.find_first_not_of(' ', end);
    }
    if (fields.size() >= 4 && fields[0] != "ID") trendSeen += fields[0] + ":" + fields[3] + " ";
  }
  EXPECT_EQ(trendSeen, trendExpected) << trend.out;

  // The file is plain SQLite with names a reader guesses.
  if (std::system("python3 -c 'import sqlite3' 2>/dev/null") == 0) {
    dir_.Write("read.py",
               "import sqlite3\n"
               "con = sqlite3.connect('qvx71-results.sqlite')\n"
               "rows = con.execute('SELECT id, serial, white_nv FROM runs ORDER BY id').fetchall()\n"
               "print(len(rows), rows[1][1], con.execute('SELECT count(*) FROM log_points WHERE run_id = 2')"
               ".fetchone()[0] > 0)\n");
    EXPECT_EQ(std::system("python3 read.py > read.txt"), 0);
    EXPECT_EQ(dir_.Read("read.txt"), "3 0412 True\n");
  }
}

// Each stored run is the store's whole, whatever moment the writer dies at.
TEST_F(History, AKilledCaptureNeverLeavesHalfARunNorLosesOne) {
  const auto sim = Simulator();
  ASSERT_TRUE(sim);
  dir_.Write("in.csv", SpectrumCsv());
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Noise({"analyze", "in.csv", "--quiet"}).code, 0);
  const Args capture = {QVX71_NOISE_PATH, "capture", "--addr",    sim->Address(), "--from", "100",
                        "--to",           "10000",   "--seconds", "0.2",          "--quiet"};
  const ProgramRun whole = RunProgram(capture);
  ASSERT_EQ(whole.code, 0) << whole.err;
  std::mt19937 random(std::random_device{}());
  std::uniform_real_distribution<double> at(0.3 * whole.seconds, 1.1 * whole.seconds);
  std::set<std::int64_t> kept;
  for (int attempt = 0; attempt < 8; ++attempt) {
    Program run(capture, "killed");
    std::this_thread::sleep_for(std::chrono::duration<double>(at(random)));
    run.Kill(SIGKILL);
    run.Wait();
    const auto store = store::OpenStore("qvx71-results.sqlite");
    std::set<std::int64_t> now;
    for (const store::RunRow& row : store->List({})) {
      now.insert(row.id);
      const auto stored = store->Get(row.id);
      ASSERT_TRUE(stored);
      std::string text;
      for (const store::DocumentRow& d : stored->documents) text = d.name == store::kJsonDocument ? d.content : text;
      const auto json = nlohmann::json::parse(text);
      EXPECT_EQ(stored->log_points.size(), json["log_points"].size()) << "run " << row.id;
      EXPECT_EQ(stored->documents.size(), 4u) << "run " << row.id;
    }
    for (std::int64_t id : kept) EXPECT_TRUE(now.count(id)) << "run " << id << " was lost";
    EXPECT_GE(now.size(), 3u);
    kept = now;
  }
}

TEST_F(History, TwoCapturesAtOnceBothLandOnSqliteAndPostgres) {
  const auto a = Simulator();
  const auto b = Simulator();
  ASSERT_TRUE(a && b);
  std::vector<std::string> stores = {"shared.sqlite"};
  std::unique_ptr<PostgresCluster> cluster;
  std::string skipped;
  try {
    cluster = std::make_unique<PostgresCluster>();
    stores.push_back(cluster->NewDatabase());
  } catch (const std::exception& e) {
    skipped = e.what();
  }
  for (const std::string& db : stores) {
    auto capture = [&](const sim::Simulator& s, const char* name) {
      return std::make_unique<Program>(Args{QVX71_NOISE_PATH, "capture", "--addr", s.Address(), "--from", "100", "--to",
                                            "10000", "--seconds", "0.5", "--quiet", "--db", db},
                                       name);
    };
    auto first = capture(*a, "first");
    auto second = capture(*b, "second");
    for (auto* p : {first.get(), second.get()}) {
      const ProgramRun run = p->Wait();
      EXPECT_EQ(run.code, 0) << db << ": " << run.err;
    }
    EXPECT_EQ(store::OpenStore(db)->List({}).size(), 2u) << db;
  }
  if (!skipped.empty()) GTEST_SKIP() << "PostgreSQL: " << skipped;
}

TEST_F(History, AStoreThatCannotKeepTheRunCostsNoMeasurement) {
  dir_.Write("in.csv", SpectrumCsv());
  // A store another program holds locked past the bounded wait.
  ASSERT_EQ(Noise({"analyze", "in.csv", "--db", "locked.sqlite", "--quiet"}).code, 0);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open("locked.sqlite", &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string garbage(8192, 'x');
  dir_.Write("damaged.sqlite", garbage);
  const std::string nobody = "postgresql://qvx@127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/runs";
  const std::pair<std::string, const char*> cases[] = {
      {"damaged.sqlite", "not a SQLite database"},
      {"locked.sqlite", "locked"},
      {nobody, "connect"},
  };
  for (const auto& [db, cause] : cases) {
    std::filesystem::remove("r.json");
    const ProgramRun run = Noise({"analyze", "in.csv", "--out", "r", "--db", db});
    EXPECT_EQ(run.code, 6) << db << ": " << run.err;
    EXPECT_NE(run.err.find("results store " + db), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(cause), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("white floor"), std::string::npos) << run.out;
    EXPECT_TRUE(dir_.Exists("r.json")) << db;
  }
  sqlite3_close(holder);
  EXPECT_EQ(dir_.Read("damaged.sqlite"), garbage);
  EXPECT_EQ(store::OpenStore("locked.sqlite")->List({}).size(), 1u);
}

}  // namespace
}  // namespace qvx::test
