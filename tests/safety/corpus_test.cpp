// The malformed-file corpus (tests/safety/corpus, made by tools/mkcorpus): each case is
// copied to a fresh folder, opened exclusively and rebuilt through the exported engine.
// The step named in the manifest gives the code listed there, with an error stack that
// names the damaged file, and every file is byte-identical afterwards. Cases listed
// with code 0 are repaired: the table is unchanged, the new index passes the checker
// and nothing else is left in the folder. The tests run with AddressSanitizer and
// UndefinedBehaviorSanitizer in the host build, so a wild read fails them too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "corpus.h"
#include "support.h"

namespace enginetest {
namespace {

std::vector<corpus::ManifestEntry> manifest() {
  static const std::vector<corpus::ManifestEntry> entries =
      corpus::parseManifest(readFile(std::string(CORPUS_DIR) + "/manifest.txt"));
  return entries;
}

std::string hex(DBIResult code) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", code);
  return text;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

}  // namespace
}  // namespace enginetest

namespace corpus {
void PrintTo(const ManifestEntry& e, std::ostream* os) { *os << e.name; }
}  // namespace corpus

namespace enginetest {
namespace {

class Corpus : public ::testing::TestWithParam<corpus::ManifestEntry> {
 protected:
  void SetUp() override { DbiExit(); }
  void TearDown() override { DbiExit(); }

  // The failure's stack names the file the manifest lists.
  void expectStackNames(const std::string& file) {
    const std::string text = upper(stackText());
    EXPECT_NE(text.find(upper(file)), std::string::npos) << "the error stack does not name " << file << ": " << text;
  }
};

TEST_P(Corpus, EngineGivesTheListedResultAndKeepsTheFiles) {
  const corpus::ManifestEntry& c = GetParam();
  TempDir dir;
  fs::copy(fs::path(CORPUS_DIR) / c.name, dir.path(), fs::copy_options::recursive);
  const auto before = snapshot(dir.path());
  ASSERT_FALSE(before.empty());
  const std::string table = dir / corpus::kTableFile;

  Engine engine;
  hDBICur cursor = nullptr;
  DBIResult opened = engine.open(table, cursor);
  if (c.step == corpus::Step::Open) {
    EXPECT_EQ(hex(opened), hex(c.code)) << stackText();
    EXPECT_EQ(cursor, nullptr);
    expectStackNames(c.namedFile);
    if (cursor) DbiCloseCursor(&cursor);
    EXPECT_EQ(snapshot(dir.path()), before) << "a file changed, appeared or went";
    return;
  }
  ASSERT_EQ(hex(opened), "0000") << stackText();
  DBIResult rebuilt = DbiRegenIndexes(cursor);
  const std::string stack = stackText();
  EXPECT_EQ(hex(rebuilt), hex(c.code)) << stack;
  if (c.code != 0) expectStackNames(c.namedFile);
  // The table must stay usable and closable whatever the rebuild gave.
  CURProps props;
  EXPECT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NONE);
  EXPECT_EQ(DbiCloseCursor(&cursor), DBIERR_NONE);

  const auto after = snapshot(dir.path());
  if (c.code != 0 || rebuilt != DBIERR_NONE) {
    EXPECT_EQ(after, before) << "a file changed, appeared or went";
    return;
  }
  const std::string& tableBytes = before.at(corpus::kTableFile);
  if (tableBytes.size() < 32 || tableBytes[28] != 1) {
    EXPECT_EQ(after, before) << "a table without a production index: nothing to rebuild";
    return;
  }
  // Repaired: only the index changed; it is sound and names its own table.
  ASSERT_EQ(after.size(), before.size()) << "a temporary file was left behind";
  for (const auto& [name, bytes] : before) {
    ASSERT_TRUE(after.count(name)) << name << " went";
    if (name != corpus::kIndexFile) {
      EXPECT_EQ(after.at(name), bytes) << name << " changed";
    }
  }
  const std::string index = after.at(corpus::kIndexFile);
  EXPECT_EQ(checkTable(table, dir / corpus::kIndexFile), "");
  ASSERT_GE(index.size(), 20u);
  EXPECT_EQ(index.substr(4, 16), std::string("CP") + std::string(14, '\0'));
}

std::string caseName(const ::testing::TestParamInfo<corpus::ManifestEntry>& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (ch == '-') ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Malformed, Corpus, ::testing::ValuesIn(manifest()), caseName);

TEST(CorpusManifest, ListsEveryFolderAndEnoughCases) {
  std::vector<std::string> listed, folders;
  for (const auto& e : manifest()) listed.push_back(e.name);
  for (const auto& entry : fs::directory_iterator(CORPUS_DIR))
    if (entry.is_directory()) folders.push_back(entry.path().filename().string());
  std::sort(listed.begin(), listed.end());
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(listed, folders);
  EXPECT_GE(listed.size(), 50u);
  for (const auto& entry : fs::recursive_directory_iterator(CORPUS_DIR))
    if (entry.is_regular_file()) {
      EXPECT_LE(entry.file_size(), 16u * 1024) << entry.path();
    }
}

TEST(CorpusManifest, MatchesTheGenerator) {
  // A changed generator must come with a regenerated corpus (see tools/mkcorpus).
  TempDir scratch;
  auto cases = corpus::buildCases(scratch.path());
  EXPECT_EQ(corpus::manifestText(cases), readFile(std::string(CORPUS_DIR) + "/manifest.txt"));
}

TEST(CorpusManifest, RefusesMalformedLines) {
  EXPECT_THROW(corpus::parseManifest("a\topen\t2301\tCP.DBF\n"), std::runtime_error);       // a column missing
  EXPECT_THROW(corpus::parseManifest("a\tread\t2301\tCP.DBF\tx\n"), std::runtime_error);    // unknown step
  EXPECT_THROW(corpus::parseManifest("a\topen\t23G1\tCP.DBF\tx\n"), std::runtime_error);    // not hex
  EXPECT_THROW(corpus::parseManifest("a\topen\t2301\t-\tx\n"), std::runtime_error);         // failure naming nothing
  EXPECT_THROW(corpus::parseManifest("A b\topen\t2301\tCP.DBF\tx\n"), std::runtime_error);  // not a folder name
  auto ok = corpus::parseManifest("# comment\n\nx-1\trebuild\t0000\t-\tfine\n");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].step, corpus::Step::Rebuild);
  EXPECT_EQ(ok[0].code, 0);
}

}  // namespace
}  // namespace enginetest
