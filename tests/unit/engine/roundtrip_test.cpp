// Generated tables whose index is stale or damaged, rebuilt through the exported
// engine: afterwards every tag passes the checker, the table file is byte-identical
// and no temporary file is left in the folder.
#include <gtest/gtest.h>

#include <string>

#include "idapi/engine/platform.h"
#include "idapi/engine/tuning.h"
#include "support.h"

namespace enginetest {
namespace {

using fixtures::IndexState;
using fixtures::Kind;

struct Case {
  Kind kind;
  IndexState state;
  uint32_t records;
  const char* tagSet;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info);

void PrintTo(const Case& c, std::ostream* os) { *os << caseName(::testing::TestParamInfo<Case>(c, 0)); }

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = fixtures::kindNames()[static_cast<size_t>(info.param.kind)];
  for (char& c : name)
    if (c == '-') c = '_';
  name += info.param.state == IndexState::Stale ? "_stale" : "_damaged";
  return name + "_" + std::to_string(info.param.records) + "_" + info.param.tagSet;
}

class RoundTrip : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { DbiExit(); }
  void TearDown() override { DbiExit(); }
};

void rebuildAndCheck(Engine& engine, const TempDir& dir, const std::string& dbf, const std::string& mdx) {
  const std::string tableBefore = readFile(dbf);
  const size_t filesBefore = snapshot(dir.path()).size();
  ASSERT_NE(checkTable(dbf, mdx), "") << "the index should need a rebuild";
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(dbf, cursor), DBIERR_NONE) << stackText();
  ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  EXPECT_TRUE(errorStack().empty());
  ASSERT_EQ(DbiCloseCursor(&cursor), DBIERR_NONE);
  EXPECT_EQ(readFile(dbf), tableBefore) << "the table file changed";
  EXPECT_EQ(checkTable(dbf, mdx), "");
  EXPECT_EQ(snapshot(dir.path()).size(), filesBefore) << "a temporary file was left behind";
}

TEST_P(RoundTrip, RebuiltIndexPassesTheCheckerAndTableIsUnchanged) {
  const Case& c = GetParam();
  Engine engine;
  TempDir dir;
  std::string dbf = makeTable(dir, "T.DBF", c.kind, c.records, c.state, c.tagSet, 11 + c.records);
  rebuildAndCheck(engine, dir, dbf, dir / "T.MDX");

  // A second rebuild of a sound index gives the same bytes again.
  const std::string first = readFile(dir / "T.MDX");
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(dbf, cursor), DBIERR_NONE);
  ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(readFile(dir / "T.MDX"), first);
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  for (size_t k = 0; k < fixtures::kindNames().size(); ++k) {
    cases.push_back({static_cast<Kind>(k), IndexState::Stale, 150, "full"});
    cases.push_back({static_cast<Kind>(k), IndexState::Damaged, 150, "standard"});
  }
  // Multi-level trees, empty tables and a single record.
  cases.push_back({Kind::Client, IndexState::Damaged, 20000, "full"});
  cases.push_back({Kind::DetFact, IndexState::Stale, 12000, "full"});
  cases.push_back({Kind::Fact, IndexState::Damaged, 0, "full"});
  cases.push_back({Kind::Fact, IndexState::Damaged, 1, "full"});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Tables, RoundTrip, ::testing::ValuesIn(allCases()), caseName);

TEST(RoundTripSpill, SmallMemoryBudgetSpillsToScratchFilesAndCleansUp) {
  DbiExit();
  TempDir dir;
  std::string dbf = makeTable(dir, "DETFACT.DBF", Kind::DetFact, 30000, IndexState::Damaged, "full", 3);
  size_t previous = idapi::engine::setRebuildMemoryBudget(64 << 10);
  {
    Engine engine;
    rebuildAndCheck(engine, dir, dbf, dir / "DETFACT.MDX");
  }
  idapi::engine::setRebuildMemoryBudget(previous);
  // The same table rebuilt in memory gives the same index.
  const std::string spilled = readFile(dir / "DETFACT.MDX");
  makeTable(dir, "DETFACT.DBF", Kind::DetFact, 30000, IndexState::Damaged, "full", 3);
  Engine engine;
  rebuildAndCheck(engine, dir, dbf, dir / "DETFACT.MDX");
  EXPECT_EQ(readFile(dir / "DETFACT.MDX"), spilled);
}

// Scratch runs: written in pieces smaller and larger than any buffer, read back at any
// offset, written again after a read, kept beside the target and gone with their object.
TEST(ScratchRuns, ReadBackExactlyAndRemovedWithTheirObject) {
  TempDir dir;
  const std::string target = dir / "T.MDX";
  auto pattern = [](size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
    return bytes;
  };
  auto readBack = [](const idapi::core::ScratchFile& f, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    f.readAt(offset, bytes.data(), length);
    return bytes;
  };
  {
    auto store = idapi::engine::platform().createScratchStore(target);
    auto a = store->create();
    auto b = store->create();
    const std::string expectA = pattern(1000, 1) + pattern((3u << 20) + 7, 2) + pattern(13, 3);
    a->write(expectA.data(), 1000);
    a->write(expectA.data() + 1000, (3u << 20) + 7);
    b->write("run b", 5);
    a->write(expectA.data() + 1000 + (3u << 20) + 7, 13);
    ASSERT_EQ(a->size(), expectA.size());
    EXPECT_EQ(readBack(*a, 0, expectA.size()), expectA);
    EXPECT_EQ(readBack(*a, 999, 10), expectA.substr(999, 10));
    EXPECT_THROW(readBack(*a, expectA.size() - 2, 4), idapi::core::Failure);
    EXPECT_EQ(readBack(*b, 0, 5), "run b");
    b->write(" again", 6);
    EXPECT_EQ(b->size(), 11u);
    EXPECT_EQ(readBack(*b, 0, 11), "run b again");
    size_t beside = 0;
    for (const auto& e : fs::directory_iterator(dir.path()))
      beside += e.path().filename().string().rfind("T.MDX.~", 0) == 0 ? 1 : 0;
    EXPECT_EQ(beside, 2u);
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(RoundTripTree, WholeDataTreeRebuildsTableByTable) {
  DbiExit();
  TempDir dir;
  fixtures::TreeOptions options;
  options.years = {2022, 2023, 2024};
  options.records = 60;
  options.index = IndexState::Damaged;
  options.tagSet = "full";
  fixtures::writeTree(dir.path(), options);
  auto tables = fixtures::treeTables(options.years);
  ASSERT_EQ(tables.size(), 15u + 9u);
  Engine engine;
  for (const auto& relative : tables) {
    // The application's own spelling, backslashes included, from the tree's root.
    std::string dbf = dir.path() + "\\" + relative;
    std::string path = relative;
    for (char& c : path)
      if (c == '\\') c = '/';
    std::string mdx = dir / (path.substr(0, path.size() - 4) + ".MDX");
    const std::string before = readFile(dir / path);
    ASSERT_NE(checkTable(dir / path, mdx), "") << relative;
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(dbf, cursor), DBIERR_NONE) << relative << ": " << stackText();
    ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << relative << ": " << stackText();
    DbiCloseCursor(&cursor);
    EXPECT_EQ(readFile(dir / path), before) << relative;
    EXPECT_EQ(checkTable(dir / path, mdx), "") << relative;
  }
  DbiExit();
}

}  // namespace
}  // namespace enginetest
