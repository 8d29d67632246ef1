// The reindex run over the application's tables and the one-table routine.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/engine.h"
#include "fakes.h"
#include "engine/reindex.h"
#include "policy/reindex_run.h"

namespace {

const std::string kFolder = "C:\\Orvane\\";

// The fifteen fixed tables in the order the run takes them, written out here rather
// than taken from the program's own list.
std::vector<std::string> fixedTables() {
  std::vector<std::string> out;
  for (const char* t :
       {"DATA\\NEUF\\CATALOGUE.DBF", "DATA\\OCCASION\\CATALOGUE.DBF", "DATA\\CLIENT.DBF", "DATA\\POTENTIEL.DBF",
        "DATA\\VEHICULES.DBF", "DATA\\libVEHIC.DBF", "DATA\\cdepostal.DBF", "DATA\\RDVOUSTECH.DBF", "DATA\\dosloc.DBF",
        "DATA\\factures\\DEVIS\\Fact.DBF", "DATA\\factures\\PROFORMA\\Fact.DBF", "DATA\\factures\\MODELE\\Fact.DBF",
        "DATA\\factures\\DEVIS\\DetFact.DBF", "DATA\\factures\\PROFORMA\\DetFact.DBF",
        "DATA\\factures\\MODELE\\DetFact.DBF"})
    out.push_back(kFolder + t);
  return out;
}

std::vector<std::string> yearTables(int year) {
  const std::string dir = kFolder + "DATA\\factures\\" + std::to_string(year) + "\\";
  return {dir + "Fact.DBF", dir + "DetFact.DBF", dir + "ARCHIVEFACT.DBF"};
}

struct Run : ::testing::Test {
  fake::System system;
  fake::Engine fakeEngine;
  engine::Engine eng{system};
  engine::TTable tabletransit{eng, system};

  Run() {
    system.installEngine("C:\\Orvane\\IDAPI32.DLL");
    fakeEngine.texts[DBIERR_NOSUCHFILE] = "Fichier introuvable.";
  }

  void run() { policy::reindexRun(system, tabletransit, engine::reindexTable); }

  void addYear(int year) {
    for (const std::string& t : yearTables(year)) system.files.insert(t);
  }

  // The tables the engine was asked to open, in order.
  std::vector<std::string> opened() const {
    std::vector<std::string> out;
    for (const std::string& c : fakeEngine.calls) {
      if (c.rfind("open ", 0) == 0) out.push_back(c.substr(5, c.find(" rw ") - 5));
    }
    return out;
  }

  std::string runExpectingError() {
    try {
      run();
    } catch (const engine::EngineError& e) {
      return e.what();
    }
    ADD_FAILURE() << "the run did not fail";
    return {};
  }

  void expectTableClosedAndShared() {
    EXPECT_FALSE(tabletransit.Active());
    EXPECT_FALSE(tabletransit.Exclusive());
    EXPECT_TRUE(fakeEngine.openCursors.empty());
  }
};

TEST_F(Run, FixedTablesThenTheYearWindowInOrder) {
  system.year = 2018;
  for (int y = 2010; y <= 2025; ++y) addYear(y);
  run();

  std::vector<std::string> expected = fixedTables();
  for (int y = 2014; y <= 2019; ++y) {
    for (const std::string& t : yearTables(y)) expected.push_back(t);
  }
  EXPECT_EQ(opened(), expected);
  EXPECT_EQ(fakeEngine.regenerated, expected);
  EXPECT_EQ(system.yearReads, 1);
  expectTableClosedAndShared();
}

TEST_F(Run, EveryTableIsOpenedExclusivelyRegeneratedAndClosedBeforeTheNext) {
  run();
  std::vector<std::string> tableCalls;
  for (const std::string& c : fakeEngine.calls) {
    if (c.rfind("open ", 0) == 0 || c.rfind("regen ", 0) == 0 || c.rfind("close ", 0) == 0) tableCalls.push_back(c);
  }
  ASSERT_EQ(tableCalls.size(), 45u);
  for (size_t i = 0; i < 15; ++i) {
    const std::string path = fixedTables()[i];
    EXPECT_EQ(tableCalls[3 * i], "open " + path + " rw excl DBASE");
    EXPECT_EQ(tableCalls[3 * i + 1], "regen " + path);
    EXPECT_EQ(tableCalls[3 * i + 2], "close " + path);
  }
  // One engine start for the whole run.
  EXPECT_EQ(std::count(fakeEngine.calls.begin(), fakeEngine.calls.end(), "init"), 1);
}

TEST_F(Run, NoYearFoldersMeansOnlyTheFixedTables) {
  run();
  EXPECT_EQ(opened(), fixedTables());
  expectTableClosedAndShared();
}

TEST_F(Run, YearsCountOnlyWithAnInvoiceHeaderFile) {
  system.year = 2018;
  addYear(2015);
  addYear(2016);
  system.files.erase(yearTables(2016)[0]);     // 2016 has its other two tables only
  system.folders.insert(yearTables(2017)[0]);  // 2017: a folder named Fact.DBF
  addYear(2019);
  run();

  std::vector<std::string> expected = fixedTables();
  for (int y : {2015, 2019}) {
    for (const std::string& t : yearTables(y)) expected.push_back(t);
  }
  EXPECT_EQ(opened(), expected);
}

TEST_F(Run, FirstFailureEndsTheRunAndNothingAfterIsTouched) {
  const std::string third = fixedTables()[2];
  fakeEngine.openResults[third] = DBIERR_NOSUCHFILE;
  addYear(2018);
  EXPECT_EQ(runExpectingError(), "Fichier introuvable.");
  EXPECT_EQ(fakeEngine.regenerated, (std::vector<std::string>{fixedTables()[0], fixedTables()[1]}));
  EXPECT_EQ(opened().back(), third);
  EXPECT_EQ(system.yearReads, 0);
  expectTableClosedAndShared();
}

TEST_F(Run, MissingCompanionOfAYearEndsTheRun) {
  addYear(2017);
  system.files.erase(yearTables(2017)[2]);
  fakeEngine.openResults[yearTables(2017)[2]] = DBIERR_NOSUCHFILE;
  addYear(2018);
  EXPECT_EQ(runExpectingError(), "Fichier introuvable.");
  EXPECT_EQ(opened().back(), yearTables(2017)[2]);
  EXPECT_EQ(fakeEngine.regenerated.back(), yearTables(2017)[1]);
}

TEST_F(Run, RegenerationFailureClosesTheTableBeforeTheErrorLeaves) {
  const std::string table = fixedTables()[0];
  fakeEngine.regenResults[table] = DBIERR_INDEXCORRUPT;
  fakeEngine.texts[DBIERR_INDEXCORRUPT] = "Index endommagé.";
  fakeEngine.stack = {{DBIERR_INDEXCORRUPT, 0, "Index : CATALOGUE.MDX"}};
  EXPECT_EQ(runExpectingError(), "Index endommagé.\r\nIndex : CATALOGUE.MDX");
  EXPECT_EQ(fakeEngine.calls.back(), "close " + table);
  EXPECT_EQ(opened().size(), 1u);
  expectTableClosedAndShared();
}

TEST_F(Run, DescriptionFailureLeavesTheTableClosed) {
  fakeEngine.indexesResult = DBIERR_INDEXCORRUPT;
  EXPECT_EQ(runExpectingError(), "Erreur BDE $2305");
  EXPECT_TRUE(fakeEngine.regenerated.empty());
  expectTableClosedAndShared();
}

TEST_F(Run, NoEngineMeansTheStartMessageAndNoTableTouched) {
  system.libraries.clear();
  system.files.clear();
  EXPECT_EQ(runExpectingError(),
            "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur $2108)");
  EXPECT_TRUE(fakeEngine.calls.empty());
  expectTableClosedAndShared();
}

TEST_F(Run, TablesAreFoundFromTheProgramFolderNotTheCurrentDirectory) {
  system.cwd = "D:\\Ailleurs";
  system.installEngine("IDAPI32.DLL");
  addYear(2018);
  system.files.insert("D:\\Ailleurs\\DATA\\factures\\2017\\Fact.DBF");
  run();
  for (const std::string& path : opened()) EXPECT_EQ(path.rfind(kFolder, 0), 0u) << path;
  EXPECT_EQ(opened().size(), 18u);
  // The folder is read again before every fixed table.
  EXPECT_GE(system.programFolderReads, 15);
}

TEST_F(Run, ReindexTableRestoresAnOpenTable) {
  engine::TTable table(eng, system);
  table.setTableName(fixedTables()[0]);
  engine::reindexTable(table);
  EXPECT_FALSE(table.Active());
  EXPECT_FALSE(table.Exclusive());

  // A caller that hands over an open table gets the refusal of the share-mode change,
  // and its table back open as it was.
  table.Open();
  EXPECT_THROW(engine::reindexTable(table), engine::TableStateError);
  EXPECT_TRUE(table.Active());
  EXPECT_FALSE(table.Exclusive());
  EXPECT_EQ(fakeEngine.regenerated.size(), 1u);
}

TEST_F(Run, ReindexTableKeepsAnExclusiveFlagSetBeforehand) {
  engine::TTable table(eng, system);
  table.setTableName(fixedTables()[0]);
  table.setExclusive(true);
  engine::reindexTable(table);
  EXPECT_FALSE(table.Active());
  EXPECT_TRUE(table.Exclusive());
}

}  // namespace
