// idxcheck's folder mode on program folders from the fixture generator. Each case is
// also run through the launcher's own reindex run (our engine library linked in):
// where the check says the run stops, the run must stop there, and nowhere else.
#include "program_folder.h"

namespace fs = std::filesystem;
using idxcheck::Finding;
using idxchecktest::ProgramFolder;
using idxchecktest::SharedHolder;

namespace {

TEST_F(ProgramFolder, HealthyFolderWalkedInTheLaunchersOrderAndYearWindow) {
  // Years outside the window hold tables that cannot even be read: never looked at.
  for (int y : {year - 5, year + 2}) {
    std::ofstream(path("DATA\\factures\\" + std::to_string(y) + "\\Fact.DBF"), std::ios::trunc) << "x";
    fs::remove(path("DATA\\factures\\" + std::to_string(y) + "\\DetFact.DBF"));
  }
  const auto f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(names(f), expectedTables());
  for (const auto& t : f.tables) {
    EXPECT_EQ(t.finding, Finding::Ok) << t.table << ": " << t.detail;
    EXPECT_GT(t.tags, 0u) << t.table;
  }
  EXPECT_EQ(f.exitCode(), 0);
  EXPECT_EQ(f.firstYear, year - 4);
  EXPECT_EQ(f.lastYear, year + 1);
  EXPECT_EQ(idxcheck::verdictLine(f, idxcheck::Language::French),
            "Verdict : le lancement irait jusqu'au bout ; aucun index à réparer.");
}

TEST_F(ProgramFolder, DamagedIndexesAreRepairedByTheRunSoTheVerdictIsOne) {
  damage("DATA\\CLIENT.DBF", "client");
  damage("DATA\\factures\\" + std::to_string(year) + "\\DetFact.DBF", "detfact");
  const auto f = check();
  EXPECT_EQ(f.exitCode(), 1);
  ASSERT_EQ(f.tables.size(), expectedTables().size());
  EXPECT_EQ(f.tables[2].finding, Finding::Damaged);
  EXPECT_FALSE(f.tables[2].tag.empty());
  EXPECT_EQ(f.tables.back().finding, Finding::Ok);
  EXPECT_EQ(f.tables[f.tables.size() - 2].finding, Finding::Damaged);
  EXPECT_EQ(idxcheck::verdictLine(f, idxcheck::Language::English),
            "Verdict: the launcher's run would succeed and rebuild 2 damaged index(es), the first: DATA\\CLIENT.DBF.");
  // The launcher goes through and leaves sound indexes: the check then says 0.
  EXPECT_EQ(launcherStopsAt(), "");
  EXPECT_EQ(check().exitCode(), 0);
}

TEST_F(ProgramFolder, KeysSpilledToTemporaryFilesGiveTheSameFindings) {
  // Enough records for the keys of a tag to pass the smallest budget the reader takes.
  damage("DATA\\CLIENT.DBF", "client", 6000);
  const auto inMemory = check();
  const auto spilled = check(1);
  ASSERT_EQ(names(spilled), names(inMemory));
  for (size_t i = 0; i < inMemory.tables.size(); ++i) {
    EXPECT_EQ(spilled.tables[i].finding, inMemory.tables[i].finding) << inMemory.tables[i].table;
    EXPECT_EQ(spilled.tables[i].tag, inMemory.tables[i].tag) << inMemory.tables[i].table;
  }
  EXPECT_EQ(spilled.exitCode(), 1);
}

TEST_F(ProgramFolder, TheFirstTableThatStopsTheRunIsNamedAndLaterOnesAreStillShown) {
  fs::remove(path(policy::kTablesFixes[3]));
  fs::remove(path("DATA\\factures\\" + std::to_string(year - 1) + "\\ARCHIVEFACT.DBF"));
  const auto f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.exitCode(), 2);
  EXPECT_EQ(names(f), expectedTables());
  EXPECT_EQ(f.tables[3].finding, Finding::Missing);
  EXPECT_EQ(f.tables[17].finding, Finding::Missing);
  EXPECT_EQ(idxcheck::verdictLine(f, idxcheck::Language::French),
            "Verdict : le lancement s'arrêterait à DATA\\POTENTIEL.DBF : table absente.");
}

TEST_F(ProgramFolder, TablesOrIndexesHeldByAnotherUserStopTheRun) {
  {
    SharedHolder holder(path(policy::kTablesFixes[4]));
    const auto f = checkAgreeingWithTheLauncher();
    EXPECT_EQ(f.exitCode(), 2);
    EXPECT_EQ(f.tables[4].finding, Finding::Held);
    EXPECT_FALSE(f.tables[4].aboutIndex);
  }
  {
    SharedHolder holder(path("DATA\\VEHICULES.MDX"));
    const auto f = checkAgreeingWithTheLauncher();
    EXPECT_EQ(f.tables[4].finding, Finding::Held);
    EXPECT_TRUE(f.tables[4].aboutIndex);
  }
}

TEST_F(ProgramFolder, UnreadableTablesAndIndexesAndMissingIndexesStopTheRun) {
  // A table cut inside its header.
  fs::resize_file(path(policy::kTablesFixes[0]), 20);
  auto f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.tables[0].finding, Finding::Unreadable);
  EXPECT_FALSE(f.tables[0].detail.empty());
  generate("table '" + path(policy::kTablesFixes[0]).string() + "' --kind catalogue-neuf --records 40 --index fresh");

  // A production index that is gone.
  fs::remove(path("DATA\\CLIENT.MDX"));
  f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.tables[2].finding, Finding::IndexMissing);
  generate("table '" + path("DATA\\CLIENT.DBF").string() + "' --kind client --records 40 --index fresh");

  // An index header cut short.
  fs::resize_file(path("DATA\\POTENTIEL.MDX"), 100);
  f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.tables[3].finding, Finding::Unreadable);
  EXPECT_TRUE(f.tables[3].aboutIndex);
  EXPECT_EQ(f.stop(), &f.tables[3]);
}

TEST_F(ProgramFolder, AFolderWhereAFixedTableShouldBeCountsAsMissing) {
  fs::remove(path("DATA\\dosloc.DBF"));
  fs::create_directory(path("DATA\\dosloc.DBF"));
  const auto f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.tables[8].finding, Finding::Missing);
}

TEST_F(ProgramFolder, APipeWhereAnIndexShouldBeCountsAsMissingAndIsNeverWaitedOn) {
  // Opened for reading, a pipe waits for a writer: neither the check nor the run may.
  fs::remove(path("DATA\\dosloc.MDX"));
  ASSERT_EQ(::mkfifo(path("DATA\\dosloc.MDX").c_str(), 0644), 0);
  const auto f = checkAgreeingWithTheLauncher();
  EXPECT_EQ(f.tables[8].finding, Finding::IndexMissing);
}

}  // namespace
