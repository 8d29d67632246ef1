// The table object: its rules, the open request and the description that follows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/table.h"
#include "fakes.h"
#include "support/throws.h"

namespace {

using ::testing::StrEq;
using ::testing::Throws;
using testsupport::CodeAndText;

const std::string kClient = "C:\\Orvane\\DATA\\CLIENT.DBF";

struct Table : ::testing::Test {
  fake::System system;
  fake::Engine fakeEngine;
  engine::Engine eng{system};
  engine::TTable table{eng, system};

  Table() { system.installEngine("IDAPI32.DLL"); }

  std::vector<std::string> callsAfterStart() const {
    return std::vector<std::string>(fakeEngine.calls.begin() + 3, fakeEngine.calls.end());
  }
};

TEST_F(Table, NameAndExclusiveRules) {
  EXPECT_FALSE(table.Exclusive());
  EXPECT_FALSE(table.Active());
  table.setTableName(kClient);
  table.setExclusive(true);
  table.setExclusive(false);
  table.Open();
  ASSERT_TRUE(table.Active());
  EXPECT_NE(table.Handle(), nullptr);

  EXPECT_NO_THROW(table.setTableName(kClient));  // the same name: accepted while open
  EXPECT_THROW(table.setTableName("C:\\Orvane\\DATA\\POTENTIEL.DBF"), engine::TableStateError);
  EXPECT_EQ(table.TableName(), kClient);
  EXPECT_THROW(table.setExclusive(false), engine::TableStateError);  // even to its current value
  EXPECT_THROW(table.setExclusive(true), engine::TableStateError);
  EXPECT_FALSE(table.Exclusive());

  table.Close();
  EXPECT_EQ(table.Handle(), nullptr);
  table.setTableName("C:\\Orvane\\DATA\\POTENTIEL.DBF");
  table.setExclusive(true);
  EXPECT_TRUE(table.Exclusive());
}

TEST_F(Table, OpenAsksForTheTableByPathThenDescribesItAndMovesToItsStart) {
  table.setTableName(kClient);
  table.setExclusive(true);
  table.Open();
  EXPECT_EQ(callsAfterStart(),
            (std::vector<std::string>{"open " + kClient + " rw excl DBASE", "props", "fields", "indexes", "begin"}));
  EXPECT_EQ(table.fields().size(), 3u);
  EXPECT_EQ(table.fields()[2].iFldNum, 3);
  EXPECT_EQ(table.indexes().size(), 2u);
  EXPECT_FALSE(table.readOnly());
}

TEST_F(Table, DescriptionWithoutFieldsOrIndexesAsksForNoArray) {
  fakeEngine.fieldCount = 0;
  fakeEngine.indexCount = 0;
  table.setTableName(kClient);
  table.Open();
  EXPECT_EQ(callsAfterStart(), (std::vector<std::string>{"open " + kClient + " rw shared DBASE", "props", "begin"}));
}

TEST_F(Table, DriverComesFromTheExtensionLetterCaseAside) {
  EXPECT_STREQ(engine::TTable::driverFor("C:\\A\\b.dbf"), "DBASE");
  EXPECT_STREQ(engine::TTable::driverFor("C:\\A\\b.DbF"), "DBASE");
  EXPECT_EQ(engine::TTable::driverFor("C:\\A\\b.DB"), nullptr);
  EXPECT_EQ(engine::TTable::driverFor("C:\\A.DBF\\b"), nullptr);
  EXPECT_EQ(engine::TTable::driverFor("C:\\A\\b.DBFX"), nullptr);
}

TEST_F(Table, PathGoesToTheEngineInItsOemCharacterSetByWayOfAnsiCutTo260Bytes) {
  // é à ç ô: other bytes in the OEM code page than in ANSI; Ł and ź have no ANSI form
  // and stay '?' through both steps.
  table.setTableName("C:\\Logiciels\\Société à façon\\Côte\\Łódź.DBF");
  table.Open();
  EXPECT_EQ(callsAfterStart().front(),
            "open C:\\Logiciels\\Soci\x82t\x82 \x85 fa\x87on\\C\x93te\\?\xA2"
            "d?.DBF rw shared DBASE");
  table.Close();

  // The cut comes after the conversion: an accented letter at the 260th byte is there in
  // its OEM form, and nothing after it.
  const std::string longName = "C:\\" + std::string(256, 'x') + "é.DBF";
  table.setTableName(longName);
  fakeEngine.calls.clear();
  table.Open();
  EXPECT_EQ(fakeEngine.calls.front(), "open C:\\" + std::string(256, 'x') + "\x82 rw shared DBASE");
  EXPECT_EQ(engine::TTable::enginePath(system, longName), "C:\\" + std::string(256, 'x') + "\x82");
}

TEST_F(Table, ReadOnlyTableIsAskedOnceMoreReadOnly) {
  fakeEngine.openResults[kClient] = DBIERR_TABLEREADONLY;
  table.setTableName(kClient);
  table.setExclusive(true);
  table.Open();
  EXPECT_TRUE(table.Active());
  EXPECT_TRUE(table.readOnly());
  const auto calls = callsAfterStart();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "open " + kClient + " rw excl DBASE");
  EXPECT_EQ(calls[1], "open " + kClient + " ro excl DBASE");
}

TEST_F(Table, ReadOnlyRetryHappensOnceAndItsFailureIsReported) {
  fakeEngine.openResults[kClient] = DBIERR_TABLEREADONLY;
  fakeEngine.readOnlyOpenResults[kClient] = DBIERR_TABLEREADONLY;
  fakeEngine.texts[DBIERR_TABLEREADONLY] = "Table en lecture seule.";
  table.setTableName(kClient);
  EXPECT_THAT([&] { table.Open(); },
              Throws<engine::EngineError>(CodeAndText(DBIERR_TABLEREADONLY, StrEq("Table en lecture seule."))));
  EXPECT_EQ(callsAfterStart().size(), 2u);
  EXPECT_FALSE(table.Active());
}

TEST_F(Table, OpenFailureCarriesTheEngineMessage) {
  fakeEngine.openResults[kClient] = DBIERR_NOSUCHFILE;
  fakeEngine.texts[DBIERR_NOSUCHFILE] = "Fichier introuvable.";
  fakeEngine.stack = {{DBIERR_NOSUCHFILE, 0, "Fichier : CLIENT.DBF"}};
  table.setTableName(kClient);
  EXPECT_THAT([&] { table.Open(); }, Throws<engine::EngineError>(CodeAndText(
                                         DBIERR_NOSUCHFILE, StrEq("Fichier introuvable.\r\nFichier : CLIENT.DBF"))));
  EXPECT_FALSE(table.Active());
}

TEST_F(Table, DescriptionFailureClosesTheCursorAfterReadingTheErrorStack) {
  const std::pair<DBIResult fake::Engine::*, const char*> steps[] = {{&fake::Engine::propsResult, "props"},
                                                                     {&fake::Engine::fieldsResult, "fields"},
                                                                     {&fake::Engine::indexesResult, "indexes"},
                                                                     {&fake::Engine::beginResult, "begin"}};
  fakeEngine.texts[DBIERR_HEADERCORRUPT] = "En-tête endommagé.";
  for (const auto& [member, step] : steps) {
    fakeEngine.propsResult = fakeEngine.fieldsResult = fakeEngine.indexesResult = fakeEngine.beginResult = 0;
    fakeEngine.*member = DBIERR_HEADERCORRUPT;
    fakeEngine.calls.clear();
    fakeEngine.entryCalls = 0;
    fakeEngine.stack = {{DBIERR_HEADERCORRUPT, 0, "Table : CLIENT.DBF"}};
    table.setTableName(kClient);
    EXPECT_THAT([&] { table.Open(); }, Throws<engine::EngineError>(CodeAndText(
                                           DBIERR_HEADERCORRUPT, StrEq("En-tête endommagé.\r\nTable : CLIENT.DBF"))))
        << step;
    EXPECT_FALSE(table.Active()) << step;
    EXPECT_EQ(table.Handle(), nullptr) << step;
    EXPECT_EQ(fakeEngine.calls.back(), "close " + kClient) << step;
    EXPECT_TRUE(fakeEngine.openCursors.empty()) << step;
  }
}

TEST_F(Table, DestroyingAnOpenTableReleasesItsCursor) {
  {
    engine::TTable other(eng, system);
    other.setTableName(kClient);
    other.Open();
    EXPECT_EQ(fakeEngine.openCursors.size(), 1u);
  }
  EXPECT_TRUE(fakeEngine.openCursors.empty());
}

}  // namespace
