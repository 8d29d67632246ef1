// Every failure of the malformed-file corpus told in French: each line of the error
// (the text of the code and every entry of the error stack, the format core's detail
// lines included) differs from the same line in English, which a line left in English
// would not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "corpus.h"
#include "support.h"

namespace enginetest {
namespace {

// The lines of the error that opening and rebuilding the case give, in one language.
std::vector<std::string> errorLines(const std::string& caseDir, bool french) {
  TempDir dir;
  fs::copy(caseDir, dir.path(), fs::copy_options::recursive);
  DbiExit();
  std::vector<std::string> lines;
  {
    // The same folder name in both runs: the lines must differ by their words only.
    Engine engine(french);
    const std::string table = "/tmp/orvane-french-case/" + std::string(corpus::kTableFile);
    fs::remove_all("/tmp/orvane-french-case");
    fs::copy(dir.path(), "/tmp/orvane-french-case", fs::copy_options::recursive);
    hDBICur cursor = nullptr;
    DBIResult rc = engine.open(table, cursor);
    if (rc == DBIERR_NONE) rc = DbiRegenIndexes(cursor);
    if (rc != DBIERR_NONE) {
      lines.push_back(errorString(rc));
      for (const auto& e : errorStack()) lines.push_back(e.text);
    }
    if (cursor) DbiCloseCursor(&cursor);
    fs::remove_all("/tmp/orvane-french-case");
  }
  DbiExit();
  return lines;
}

TEST(FrenchCorpus, EveryLineOfEveryFailureIsTranslated) {
  size_t failures = 0, lines = 0;
  for (const auto& c : corpus::parseManifest(readFile(std::string(CORPUS_DIR) + "/manifest.txt"))) {
    if (c.code == 0) continue;
    SCOPED_TRACE(c.name);
    const std::string caseDir = std::string(CORPUS_DIR) + "/" + c.name;
    auto english = errorLines(caseDir, false);
    auto french = errorLines(caseDir, true);
    ASSERT_EQ(english.size(), french.size());
    ASSERT_FALSE(english.empty());
    ++failures;
    for (size_t i = 0; i < english.size(); ++i) {
      ++lines;
      EXPECT_NE(french[i], english[i]) << "left in English: " << english[i];
    }
  }
  EXPECT_GE(failures, 50u);
  std::printf("%zu failures, %zu lines compared\n", failures, lines);
}

}  // namespace
}  // namespace enginetest
