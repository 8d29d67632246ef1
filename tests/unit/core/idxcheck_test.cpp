// The idxcheck tool end to end: real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "table_builder.h"

using namespace idapi::core;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct ToolRun {
  int status;
  std::string output;
};

// Runs the tool on the given arguments (each quoted for the shell).
ToolRun idxcheck(const std::vector<fs::path>& args, const fs::path& dir) {
  const fs::path out = dir / "out.txt";
  std::string cmd = IDXCHECK_PATH;
  for (const auto& a : args) {
    cmd += " '";
    cmd += a.string();
    cmd += "'";
  }
  cmd += " > '";
  cmd += out.string();
  cmd += "' 2>&1";
  const int raw = std::system(cmd.c_str());
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text};
}

class IdxcheckTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("idxcheck_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::vector<Row> rows;
    for (int i = 0; i < 300; ++i) rows.push_back({{"N" + std::to_string(i % 50), std::to_string(i)}, i % 11 == 0});
    dbf_ = makeTable({{"NAME", 'C', 8}, {"NUM", 'N', 5}}, rows);
    MemorySource src(dbf_);
    t_ = readTableHeader(src, "STOCK.DBF");
    mdx_ = rebuild(t_, dbf_, makeIndex(t_, "STOCK", {defineTag(t_, "NAME", "NAME"), defineTag(t_, "NUM", "NUM")}));
    writeFile(dir_ / "STOCK.DBF", dbf_);
    writeFile(dir_ / "stock.mdx", mdx_);  // found whatever its letter case
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::vector<uint8_t> dbf_, mdx_;
  TableHeader t_;
};

TEST_F(IdxcheckTool, SoundIndexOneLinePerTagStatusZero) {
  ToolRun r = idxcheck({dir_ / "STOCK.DBF"}, dir_);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("NAME       ok           300 keys"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("NUM        ok           300 keys"), std::string::npos) << r.output;
  // Read-only: both files unchanged.
  EXPECT_EQ(readFile(dir_ / "STOCK.DBF"), dbf_);
  EXPECT_EQ(readFile(dir_ / "stock.mdx"), mdx_);
}

TEST_F(IdxcheckTool, FaultsGiveStatusOneAndUnreadableFilesTwo) {
  auto stale = dbf_;
  const size_t lastNumber = t_.headerLength + 299 * size_t{t_.recordLength} + 1 + 8 + 2;
  ASSERT_EQ(stale.at(lastNumber), '2');
  stale[lastNumber] = '9';  // last record's NUM changes from 299 to 999
  writeFile(dir_ / "STOCK.DBF", stale);
  ToolRun r = idxcheck({dir_ / "STOCK.DBF"}, dir_);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("NUM        FAULT"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("NAME       ok"), std::string::npos) << r.output;

  writeFile(dir_ / "STOCK.DBF", dbf_);
  auto broken = mdx_;
  broken[0] = 0x09;
  writeFile(dir_ / "stock.mdx", broken);
  r = idxcheck({dir_ / "STOCK.DBF"}, dir_);
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("stock.mdx"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("0x2305"), std::string::npos) << r.output;

  fs::remove(dir_ / "stock.mdx");
  r = idxcheck({dir_ / "STOCK.DBF"}, dir_);
  EXPECT_EQ(r.status, 2) << r.output;
  r = idxcheck({dir_ / "NOSUCH.DBF"}, dir_);
  EXPECT_EQ(r.status, 2) << r.output;
  r = idxcheck({}, dir_);
  EXPECT_EQ(r.status, 64);
}

}  // namespace
