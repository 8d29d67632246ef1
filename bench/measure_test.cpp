// The benchmark's own helpers: what it reads from /proc, how it spawns its children,
// its tag sets and its table cache.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "idapi/core/core.h"
#include "measure.h"

namespace fs = std::filesystem;

namespace {

struct TempFolder {
  TempFolder() {
    path = (fs::temp_directory_path() / ("bench-measure-" + std::to_string(::getpid()))).string();
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempFolder() { fs::remove_all(path); }
  std::string path;
};

TEST(Measure, StatusLinesAreReadByExactName) {
  const std::string status = "Name:\trebuild_bench\nVmPeak:\t  900 kB\nVmHWM:\t   12345 kB\nVmHWMX: 1 kB\n";
  EXPECT_EQ(bench::statusKib(status, "VmHWM"), 12345u);
  EXPECT_EQ(bench::statusKib(status, "VmPeak"), 900u);
  EXPECT_EQ(bench::statusKib(status, "VmRSS"), 0u);          // missing
  EXPECT_EQ(bench::statusKib("VmHWM:\tkB\n", "VmHWM"), 0u);  // no number
  EXPECT_GT(bench::peakResidentKib(), 0u);
}

TEST(Measure, ReportsKeepKeyValueLinesOnly) {
  auto r = bench::parseReport("seconds=1.5\nnoise\n=3\nhwm_kib=42\nseconds=2\n");
  EXPECT_EQ(r.size(), 2u);
  EXPECT_EQ(r["seconds"], "2");  // the last one wins
  EXPECT_EQ(r["hwm_kib"], "42");
}

TEST(Measure, ChildOutputExitCodeAndItsOwnPeakMemory) {
  auto ok = bench::runChild({"/bin/sh", "-c", "echo a=1; exit 0"});
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_EQ(ok.output, "a=1\n");
  EXPECT_GT(ok.maxRssKib, 0u);
  EXPECT_EQ(bench::runChild({"/bin/sh", "-c", "exit 7"}).exitCode, 7);
  EXPECT_EQ(bench::runChild({"/bin/sh", "-c", "kill -9 $$"}).exitCode, -1);
  EXPECT_EQ(bench::runChild({"/nonexistent/program"}).exitCode, -1);  // not started
}

TEST(Measure, TagSetsAndTableSizes) {
  EXPECT_EQ(bench::tagSet(3).size(), 3u);
  EXPECT_EQ(bench::tagSet(6).size(), 6u);
  EXPECT_THROW(bench::tagSet(4), std::invalid_argument);
  EXPECT_EQ(bench::recordsForSize(10), 0u);
}

TEST(Measure, CacheMakesTheTableOnceAndRemakesAnIncompleteOne) {
  TempFolder dir;
  const std::string folder = dir.path + "/t";
  bool generated = false;
  const std::string dbf = bench::cachedTable(folder, 500, 6, generated);
  EXPECT_TRUE(generated);
  // The size formula matches what the generator writes.
  EXPECT_EQ(bench::recordsForSize(fs::file_size(dbf)), 500u);
  EXPECT_EQ(bench::recordsForSize(fs::file_size(dbf) - 1), 499u);
  EXPECT_TRUE(fs::exists(folder + "/CLIENT.MDX"));
  const auto written = fs::last_write_time(dbf);

  bench::cachedTable(folder, 500, 6, generated);
  EXPECT_FALSE(generated);
  EXPECT_EQ(fs::last_write_time(dbf), written);

  // Another size, a stray scratch file or a missing index: made again.
  bench::cachedTable(folder, 400, 6, generated);
  EXPECT_TRUE(generated);
  std::ofstream(folder + "/_CLIENT.tmp") << "x";
  EXPECT_EQ(bench::strayFiles(folder, {"CLIENT.DBF", "CLIENT.MDX", "COMPLETE"}),
            std::vector<std::string>{"_CLIENT.tmp"});
  bench::cachedTable(folder, 400, 6, generated);
  EXPECT_TRUE(generated);
  fs::remove(folder + "/CLIENT.MDX");
  bench::cachedTable(folder, 400, 6, generated);
  EXPECT_TRUE(generated);
  EXPECT_TRUE(bench::strayFiles(folder, {"CLIENT.DBF", "CLIENT.MDX", "COMPLETE"}).empty());
}

}  // namespace
