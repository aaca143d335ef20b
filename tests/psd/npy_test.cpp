// Records as .npy files: the writer's files as NumPy reads them, NumPy's as the reader reads
// them, and every header the reader refuses, by its message.
#include "psd/npy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_work_dir.h"

namespace qvx::psd {
namespace {

// What a line of Python with NumPy prints, or nullopt where there is no NumPy.
std::optional<std::string> Python(const std::string& code) {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    const std::string command = std::string("timeout 60 ") + python + " -c '" + code + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) continue;
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    if (pclose(pipe) == 0) return out;
  }
  return std::nullopt;
}

std::string Header(const std::string& dict, char major = 1) {
  std::string out("\x93NUMPY", 6);
  out += major;
  out += '\0';
  const std::size_t length = dict.size() + 1;
  out += static_cast<char>(length & 0xff);
  out += static_cast<char>(length >> 8);
  if (major != 1) out += std::string(2, '\0');
  return out + dict + "\n";
}

// Written in chunks as a capture writes, the file is a whole .npy after every chunk, and
// NumPy and the reader read back what was written, for one column and for two.
TEST(Npy, TheWritersRecordReadsBackInNumPyAndInTheReader) {
  test::TempWorkDir dir;
  for (std::size_t columns : {1u, 2u}) {
    const std::string path = dir.Path() + "/rec" + std::to_string(columns) + ".npy";
    std::vector<float> a(70000), b(70000);
    for (std::size_t i = 0; i < a.size(); ++i) {
      a[i] = static_cast<float>(i % 1000) * 0.25f - 3.0f;
      b[i] = -a[i] * 2.0f;
    }
    NpyWriter writer(path, columns);
    writer.Append(a.data(), 40000, columns == 2 ? b.data() : nullptr);
    const std::string load = "import numpy as np; a = np.load(\"" + path + "\").astype(\"f8\").reshape(-1, " +
                             std::to_string(columns) + "); print(np.load(\"" + path +
                             "\").shape, \"%.2f %.2f\" % (a[:, 0].sum(), a[:, -1].sum()))";
    const auto partial = Python(load);
    writer.Append(a.data() + 40000, 30000, columns == 2 ? b.data() + 40000 : nullptr);
    writer.Finish();
    const auto whole = Python(load);
    if (!whole) std::printf("no NumPy: the reader alone checks the file\n");
    if (whole) {
      double sum40 = 0, sum70 = 0;
      for (std::size_t i = 0; i < a.size(); ++i) (i < 40000 ? sum40 : sum70) += a[i];
      sum70 += sum40;
      auto expect = [&](std::size_t rows, double sum) {
        char sums[64];
        std::snprintf(sums, sizeof sums, " %.2f %.2f\n", sum, columns == 1 ? sum : -2 * sum);
        return "(" + std::to_string(rows) + (columns == 1 ? ",)" : ", 2)") + sums;
      };
      EXPECT_EQ(*partial, expect(40000, sum40)) << "a record cut short is a .npy of what arrived";
      EXPECT_EQ(*whole, expect(70000, sum70));
    }
    NpyReader reader(path);
    ASSERT_EQ(reader.Rows(), 70000u);
    ASSERT_EQ(reader.Columns(), columns);
    std::vector<float> first(70000), second(70000);
    std::size_t got = 0;
    while (const std::size_t n = reader.Read(first.data() + got, 9999, second.data() + got)) got += n;
    EXPECT_EQ(got, 70000u);
    EXPECT_EQ(first, a);
    if (columns == 2) {
      EXPECT_EQ(second, b);
    }
    EXPECT_EQ(reader.NonFinite(), 0u);
  }
}

// NumPy's own files: float64 in two columns, channel 1 in column 0; a value that is not
// finite is counted with its row; Fortran order is refused for two columns only.
TEST(Npy, ReadsNumPysFilesAndCountsWhatIsNotFinite) {
  test::TempWorkDir dir;
  const std::string p = dir.Path();
  if (!Python("import numpy as np; x = np.arange(10.0).reshape(5, 2); x[3, 1] = np.nan; x[4, 0] = np.inf; "
              "np.save(\"" +
              p + "/two.npy\", x); np.save(\"" + p +
              "/one.npy\", np.arange(4, dtype=\"<f4\")); "
              "np.save(\"" +
              p + "/fortran.npy\", np.asfortranarray(np.zeros((3, 2))))")) {
    GTEST_SKIP() << "no NumPy";
  }
  NpyReader two(p + "/two.npy");
  EXPECT_EQ(two.Type(), NpyType::Float64);
  std::vector<double> ch1(5), ch2(5);
  EXPECT_EQ(two.Read(ch1.data(), 5, ch2.data()), 5u);
  EXPECT_EQ(ch1[2], 4.0);
  EXPECT_EQ(ch2[2], 5.0);
  EXPECT_EQ(two.NonFinite(), 2u);
  EXPECT_EQ(two.FirstNonFiniteRow(), 3u);
  EXPECT_EQ(two.NonFiniteMessage(), p + "/two.npy: 2 samples are not finite (NaN or infinite), the first in row 3");
  EXPECT_EQ(ReadNpy(dir.Read("one.npy")).samples, (std::vector<double>{0, 1, 2, 3}));
  EXPECT_FALSE(ReadNpy(dir.Read("two.npy")).ok()) << "a record with NaN is refused";
  EXPECT_THROW(NpyReader(p + "/fortran.npy"), NpyError);
}

TEST(Npy, RefusesWhatIsNotARecordSayingWhyAndNamingTheFile) {
  const std::string f4 = "{'descr': '<f4', 'fortran_order': False, 'shape': ";
  const std::string eight(8, '\0');
  for (const auto& [bytes, says] : std::vector<std::tuple<std::string, std::string>>{
           {"PK\x03\x04 not one", "not a NumPy .npy file"},
           {Header(f4 + "(2,), }", 4) + eight, "version 4.0"},
           {Header("{'descr': '<f4', 'shape': (2,), }") + eight, "incomplete: it has no 'fortran_order'"},
           {Header("{'descr': '<i2', 'fortran_order': False, 'shape': (2,), }") + eight,
            "int16 ('<i2'), not float volts (little-endian float32 or float64); convert them to volts first, e.g. "
            "x.astype(np.float32) * scale"},
           {Header("{'descr': '>f8', 'fortran_order': False, 'shape': (1,), }") + eight, "big-endian float64"},
           {Header("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (2,), }") + eight, "several fields"},
           {Header(f4 + "(2, 3), }") + std::string(24, '\0'), "shape (2, 3): a record is (N,), or (N, 2)"},
           {Header(f4 + "(), }"), "a single number"},
           {Header("{'descr': '<f4', 'fortran_order': True, 'shape': (1, 2), }") + eight, "Fortran order"},
           {Header(f4 + "(3,), }") + eight, "truncated: its header says 3 rows, and it holds 2"},
           {Header(f4 + "(99999999999999999999999,), }") + eight, "truncated"},
           {Header(f4 + "(2,), }").substr(0, 30), "truncated: it ends inside its header"},
           {Header("{descr: '<f4'}"), "not the dictionary NumPy writes"},
       }) {
    try {
      NpyReader reader(bytes, "rec.npy");
      ADD_FAILURE() << "accepted; wanted: " << says;
    } catch (const NpyError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("rec.npy: ", 0), 0u) << what;
      EXPECT_NE(what.find(says), std::string::npos) << what;
      if (says.find("incomplete") != std::string::npos) {
        EXPECT_EQ(what.find("Fortran order"), std::string::npos);
      }
    }
  }
}

// A FIFO would block a plain read forever, /dev/zero never ends, a folder has no bytes.
TEST(Npy, RefusesWhatIsNotARegularFileWithoutReadingIt) {
  test::TempWorkDir dir;
  const std::string fifo = dir.Path() + "/fifo.npy";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, kind] :
       {std::pair{fifo, "a FIFO"}, {std::string("/dev/zero"), "a device"}, {dir.Path(), "a folder"}}) {
    try {
      NpyReader reader(path);
      ADD_FAILURE() << path << " accepted";
    } catch (const NpyError& e) {
      EXPECT_EQ(std::string(e.what()), path + ": not a regular file (" + kind + "); give the .npy file of a record");
    }
  }
  EXPECT_THROW(NpyWriter(fifo, 1), NpyError);
}

}  // namespace
}  // namespace qvx::psd
