// The fixture generator: files that tests and the demo rely on.
#include <gtest/gtest.h>

#include <set>

#include "support.h"

namespace enginetest {
namespace {

using fixtures::IndexState;
using fixtures::Kind;

TEST(Fixtures, SameSeedGivesSameBytesAndAnotherSeedOtherData) {
  TempDir dir;
  std::string a = makeTable(dir, "A.DBF", Kind::Client, 200, IndexState::Fresh, "full", 5);
  std::string b = makeTable(dir, "B.DBF", Kind::Client, 200, IndexState::Fresh, "full", 5);
  std::string c = makeTable(dir, "C.DBF", Kind::Client, 200, IndexState::Fresh, "full", 6);
  EXPECT_EQ(readFile(a), readFile(b));
  EXPECT_NE(readFile(a), readFile(c));
  // The index stores the table's base name, so compare the node blocks only.
  EXPECT_EQ(readFile(dir / "A.MDX").substr(2048), readFile(dir / "B.MDX").substr(2048));
}

TEST(Fixtures, TablesHoldDeletedRecordsAccentsAndTheProductionFlag) {
  TempDir dir;
  std::string path = makeTable(dir, "CLIENT.DBF", Kind::Client, 500);
  std::string bytes = readFile(path);
  EXPECT_EQ(bytes[0], '\x03');
  EXPECT_EQ(bytes[28], '\x01');
  EXPECT_EQ(bytes[29], '\x57');
  EXPECT_EQ(bytes.back(), '\x1A');
  size_t headerLength = uint8_t(bytes[8]) | uint8_t(bytes[9]) << 8;
  size_t recordLength = uint8_t(bytes[10]) | uint8_t(bytes[11]) << 8;
  ASSERT_EQ(bytes.size(), headerLength + 500 * recordLength + 1);
  size_t deleted = 0;
  for (size_t i = 0; i < 500; ++i) {
    char flag = bytes[headerLength + i * recordLength];
    ASSERT_TRUE(flag == ' ' || flag == '*');
    deleted += flag == '*';
  }
  EXPECT_GT(deleted, 5u);
  EXPECT_LT(deleted, 60u);
  EXPECT_NE(bytes.find("Lef\xE8vre"), std::string::npos);  // Windows-1252, not UTF-8
  EXPECT_EQ(bytes.find("\xC3\xA8"), std::string::npos);
  EXPECT_EQ(checkTable(path, dir / "CLIENT.MDX"), "");

  std::string bare = makeTable(dir, "BARE.DBF", Kind::Client, 10, IndexState::None);
  EXPECT_EQ(readFile(bare)[28], '\0');
  EXPECT_FALSE(fs::exists(dir / "BARE.MDX"));
}

TEST(Fixtures, StaleAndDamagedIndexesFailTheCheckButKeepTheirDefinitions) {
  TempDir dir;
  std::string stale = makeTable(dir, "S.DBF", Kind::Fact, 300, IndexState::Stale, "full");
  std::string damaged = makeTable(dir, "D.DBF", Kind::Fact, 300, IndexState::Damaged, "full");
  std::string fresh = makeTable(dir, "F.DBF", Kind::Fact, 300, IndexState::Fresh, "full");
  EXPECT_NE(checkTable(stale, dir / "S.MDX"), "");
  EXPECT_NE(checkTable(damaged, dir / "D.MDX"), "");
  // Same table content for the same seed, whatever became of the index.
  EXPECT_EQ(readFile(stale), readFile(fresh));
  EXPECT_EQ(readFile(damaged), readFile(fresh));
  // Header and tag table intact: the first 2048 bytes only differ by the stored name.
  std::string d = readFile(dir / "D.MDX"), f = readFile(dir / "F.MDX");
  EXPECT_EQ(d.substr(20, 2048 - 20), f.substr(20, 2048 - 20));
}

TEST(Fixtures, TreeHasTheApplicationsPathsAndYearlyFolders) {
  TempDir dir;
  fixtures::TreeOptions options;
  options.years = {2019, 2021};
  options.records = 5;
  fixtures::writeTree(dir.path(), options);
  std::set<std::string> files;
  for (const auto& [path, bytes] : snapshot(dir.path())) files.insert(path);
  for (const char* expected : {"DATA/NEUF/CATALOGUE.DBF",
                               "DATA/OCCASION/CATALOGUE.DBF",
                               "DATA/CLIENT.DBF",
                               "DATA/POTENTIEL.DBF",
                               "DATA/VEHICULES.DBF",
                               "DATA/libVEHIC.DBF",
                               "DATA/cdepostal.DBF",
                               "DATA/RDVOUSTECH.DBF",
                               "DATA/dosloc.DBF",
                               "DATA/factures/DEVIS/Fact.DBF",
                               "DATA/factures/PROFORMA/Fact.DBF",
                               "DATA/factures/MODELE/Fact.DBF",
                               "DATA/factures/DEVIS/DetFact.DBF",
                               "DATA/factures/PROFORMA/DetFact.DBF",
                               "DATA/factures/MODELE/DetFact.DBF",
                               "DATA/factures/2019/Fact.DBF",
                               "DATA/factures/2019/DetFact.DBF",
                               "DATA/factures/2019/ARCHIVEFACT.DBF",
                               "DATA/factures/2021/Fact.DBF",
                               "DATA/factures/2021/DetFact.DBF",
                               "DATA/factures/2021/ARCHIVEFACT.DBF",
                               "DATA/libVEHIC.MDX",
                               "DATA/factures/2021/ARCHIVEFACT.MDX"})
    EXPECT_TRUE(files.count(expected)) << expected;
  EXPECT_EQ(files.size(), 42u);
  EXPECT_FALSE(fs::exists(dir / "DATA/factures/2020"));
  // Invoices of a yearly folder are dated in that year.
  std::string fact = readFile(dir / "DATA/factures/2019/Fact.DBF");
  EXPECT_NE(fact.find("2019"), std::string::npos);
  EXPECT_EQ(fact.find("2024"), std::string::npos);
}

TEST(Fixtures, CommandLineWritesTablesAndTrees) {
  TempDir dir;
  auto run = [&](const std::string& args) { return std::system((std::string(MKFIXTURES) + " " + args).c_str()); };
  EXPECT_EQ(run("table '" + (dir / "V.DBF") +
                "' --kind vehicules --records 40 --seed 3 --index stale "
                "--tag 'KMD=KM;descending' --tag 'IMM=IMMAT;for=.NOT. DELETED();unique'"),
            0);
  EXPECT_NE(checkTable(dir / "V.DBF", dir / "V.MDX"), "");
  EXPECT_EQ(run("tree '" + (dir / "root") + "' --years 2023 --records 3 --index none"), 0);
  EXPECT_TRUE(fs::exists(dir / "root/DATA/factures/2023/ARCHIVEFACT.DBF"));
  EXPECT_FALSE(fs::exists(dir / "root/DATA/CLIENT.MDX"));
  EXPECT_NE(run("table '" + (dir / "X.DBF") + "' --kind nothing 2>/dev/null"), 0);
  EXPECT_NE(run("table '" + (dir / "X.DBF") + "' --kind client --tag 'BAD=NOSUCHFIELD' 2>/dev/null"), 0);
  EXPECT_NE(run("2>/dev/null"), 0);
}

}  // namespace
}  // namespace enginetest
