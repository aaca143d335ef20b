// The raw records of a run as they are written.
#include "run/record_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "psd/npy.h"

namespace qvx {
namespace {

// A record taken again (it clipped) leaves one file, the second take's; pairs get two columns.
TEST(RecordFiles, ARecordTakenAgainReplacesItsFirstTake) {
  for (std::size_t columns : {1u, 2u}) {
    RecordFiles files("", columns);
    const std::vector<float> first(10, 1.0f), again(20, 2.0f);
    auto take = [&](int record, const std::vector<float>& v) {
      files.Begin(record, v.size(), 1000.0);
      if (columns == 1)
        files.Append(v.data(), v.size());
      else
        files.Append(v.data(), v.data(), v.size());
      files.End(true);
    };
    take(1, first);
    take(1, again);
    take(2, first);
    ASSERT_TRUE(files.Problem().empty()) << files.Problem();
    ASSERT_EQ(files.Paths().size(), 2u) << columns;
    psd::NpyReader one(files.Paths()[0]);
    EXPECT_EQ(one.Rows(), 20u);
    EXPECT_EQ(one.Columns(), columns);
    std::error_code ec;
    std::size_t npy = 0;
    for (const auto& f : std::filesystem::directory_iterator(std::filesystem::path(files.Paths()[0]).parent_path(), ec))
      npy += f.path().extension() == ".npy";
    EXPECT_EQ(npy, 2u) << "the first take's file is gone";
  }
}

}  // namespace
}  // namespace qvx
