// Finding, loading and starting the engine, and its standard database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/engine.h"
#include "engine/table.h"
#include "fakes.h"
#include "support/throws.h"

namespace {

using ::testing::StrEq;
using ::testing::Throws;
using testsupport::CodeAndText;

constexpr const char* kStartMessage =
    "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur ";

struct EngineStart : ::testing::Test {
  fake::System system;
  fake::Engine fakeEngine;

  // Starts a fresh engine object; returns the error code, 0 on success.
  DBIResult start(std::string* message = nullptr) {
    engine::Engine e(system);
    try {
      e.start();
      return 0;
    } catch (const engine::EngineError& error) {
      if (message) *message = error.what();
      return error.code();
    }
  }
};

TEST_F(EngineStart, TakesTheLibraryInTheCurrentDirectoryFirst) {
  system.cwd = "D:\\Travail";
  system.installEngine("D:\\Travail\\IDAPI32.DLL");
  system.installEngine("IDAPI32.DLL");
  system.dllPath = "C:\\BDE";
  system.installEngine("C:\\BDE\\IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"D:\\Travail\\IDAPI32.DLL"});
  EXPECT_TRUE(system.registryReads.empty());
}

TEST_F(EngineStart, CurrentDirectoryWithTrailingSeparator) {
  system.cwd = "C:\\";
  system.installEngine("C:\\IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"C:\\IDAPI32.DLL"});
}

TEST_F(EngineStart, UnreadableCurrentDirectoryIsNotTheRoot) {
  system.cwd = "";
  system.installEngine("\\IDAPI32.DLL");
  system.installEngine("IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"IDAPI32.DLL"});
}

TEST_F(EngineStart, FollowsTheRegistrySearchPathInOrder) {
  system.dllPath = " C:\\Absent ;;C:\\Program Files\\Common Files\\BDE\\;C:\\Autre";
  system.installEngine("C:\\Program Files\\Common Files\\BDE\\IDAPI32.DLL");
  system.installEngine("C:\\Autre\\IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  ASSERT_EQ(system.registryReads, std::vector<std::string>{"Software\\Borland\\Database Engine|DLLPATH"});
  EXPECT_EQ(system.loads, std::vector<std::string>{"C:\\Program Files\\Common Files\\BDE\\IDAPI32.DLL"});
}

TEST_F(EngineStart, FallsBackToTheStandardSearch) {
  system.installEngine("IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"IDAPI32.DLL"});

  // A search path naming only folders without the library changes nothing.
  system.loads.clear();
  system.dllPath = "C:\\Vide;C:\\Rien";
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"IDAPI32.DLL"});
}

TEST_F(EngineStart, AFolderNamedLikeTheLibraryIsNotTheLibrary) {
  system.folders.insert("C:\\Orvane\\IDAPI32.DLL");
  system.installEngine("IDAPI32.DLL");
  EXPECT_EQ(start(), 0);
  EXPECT_EQ(system.loads, std::vector<std::string>{"IDAPI32.DLL"});
}

TEST_F(EngineStart, LoadFailuresMapToStartCodes) {
  const std::pair<uint32_t, DBIResult> cases[] = {{2, 0x2108},   {3, 0x2108}, {126, 0x2108},
                                                  {161, 0x2108}, {8, 0x2501}, {14, 0x2501},
                                                  {193, 0x2109}, {5, 0x2109}, {1114, 0x2109}};
  for (const auto& [systemError, code] : cases) {
    system.loadErrors["IDAPI32.DLL"] = systemError;
    std::string message;
    EXPECT_EQ(start(&message), code) << "system error " << systemError;
    EXPECT_EQ(message, kStartMessage + engine::hexCode(code) + ")");
  }
  EXPECT_TRUE(fakeEngine.calls.empty());
}

TEST_F(EngineStart, NoLibraryAnywhereGives2108) {
  std::string message;
  EXPECT_EQ(start(&message), 0x2108);
  EXPECT_EQ(message, "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur $2108)");
}

TEST_F(EngineStart, LibraryWithoutStartFunctionGives2A06AndIsReleased) {
  system.installEngine("IDAPI32.DLL");
  system.libraries["IDAPI32.DLL"].exports.erase("DbiInitFn");
  std::string message;
  EXPECT_EQ(start(&message), 0x2A06);
  EXPECT_EQ(message, std::string(kStartMessage) + "$2A06)");
  EXPECT_EQ(system.frees, 1);
}

TEST_F(EngineStart, StartsWithVersion500AndFrenchMessages) {
  system.installEngine("IDAPI32.DLL");
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(fakeEngine.initVersion, 500);
  ASSERT_EQ(fakeEngine.initEnvironment.size(), sizeof(DBIEnv));
  DBIEnv expected;
  std::memset(&expected, 0, sizeof expected);
  std::memcpy(expected.szLang, "000C", 4);
  EXPECT_EQ(std::memcmp(fakeEngine.initEnvironment.data(), &expected, sizeof expected), 0);
}

TEST_F(EngineStart, StartResultsOtherThanSuccessAndAlreadyStartedAreStartFailures) {
  system.installEngine("IDAPI32.DLL");
  fakeEngine.initResult = DBIERR_MULTIPLEINIT;
  EXPECT_EQ(start(), 0);
  fakeEngine.initResult = DBIERR_INTERFACEVER;
  std::string message;
  EXPECT_EQ(start(&message), DBIERR_INTERFACEVER);
  EXPECT_EQ(message, std::string(kStartMessage) + "$2F01)");
}

TEST_F(EngineStart, OpensTheStandardDatabaseOnceWithAnEmptyDirectory) {
  system.installEngine("IDAPI32.DLL");
  engine::Engine e(system);
  e.start();
  e.start();
  EXPECT_TRUE(e.started());
  EXPECT_TRUE(fakeEngine.openDatabaseArgsStandard);
  EXPECT_EQ(fakeEngine.directorySet, "");
  EXPECT_EQ(fakeEngine.calls, (std::vector<std::string>{"init", "opendb", "setdir"}));
  EXPECT_EQ(system.loads.size(), 1u);
}

TEST_F(EngineStart, EndsTheEngineWhenDestroyed) {
  system.installEngine("IDAPI32.DLL");
  {
    engine::Engine e(system);
    e.start();
  }
  EXPECT_EQ(fakeEngine.calls, (std::vector<std::string>{"init", "opendb", "setdir", "closedb", "exit"}));
}

TEST_F(EngineStart, DatabaseFailureIsAComposedEngineErrorAndIsRetried) {
  system.installEngine("IDAPI32.DLL");
  fakeEngine.openDatabaseResult = 0x2501;
  fakeEngine.texts[0x2501] = "Mémoire insuffisante.";
  engine::Engine e(system);
  EXPECT_THAT([&] { e.start(); }, Throws<engine::EngineError>(CodeAndText(0x2501, StrEq("Mémoire insuffisante."))));
  fakeEngine.openDatabaseResult = 0;
  e.start();
  EXPECT_TRUE(e.started());
  // Started once, database asked twice.
  EXPECT_EQ(std::count(fakeEngine.calls.begin(), fakeEngine.calls.end(), "init"), 1);
  EXPECT_EQ(std::count(fakeEngine.calls.begin(), fakeEngine.calls.end(), "opendb"), 2);
}

TEST_F(EngineStart, DirectoryFailureClosesTheDatabaseAgain) {
  system.installEngine("IDAPI32.DLL");
  fakeEngine.setDirectoryResult = 0x2722;
  engine::Engine e(system);
  EXPECT_THROW(e.start(), engine::EngineError);
  EXPECT_FALSE(e.started());
  EXPECT_EQ(fakeEngine.calls.back(), "closedb");
}

TEST_F(EngineStart, FunctionsAreBoundByPlainNameOnlyWhenFirstCalled) {
  system.installEngine("IDAPI32.DLL");
  engine::Engine e(system);
  e.start();
  EXPECT_EQ(system.lookups, (std::vector<std::string>{"DbiInitFn", "DbiOpenDatabase", "DbiSetDirectory"}));
  hDBICur cursor = nullptr;
  e.RegenIndexes(cursor);
  e.RegenIndexes(cursor);
  EXPECT_EQ(system.lookups.back(), "DbiRegenIndexes");
  EXPECT_EQ(system.lookups.size(), 4u);
}

TEST_F(EngineStart, AMissingFunctionIsAFailureNotACrash) {
  system.installEngine("IDAPI32.DLL");
  system.libraries["IDAPI32.DLL"].exports.erase("DbiRegenIndexes");
  system.libraries["IDAPI32.DLL"].exports.erase("DbiGetErrorEntry");
  engine::Engine e(system);
  e.start();
  EXPECT_EQ(e.RegenIndexes(nullptr), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(e.error(DBIERR_NOTINITIALIZED).what(), std::string("Erreur BDE $2A06"));
}

TEST_F(EngineStart, EngineTextsAreReadWithinTheirBuffer) {
  system.installEngine("IDAPI32.DLL");
  fakeEngine.unterminatedText = true;
  engine::Engine e(system);
  e.start();
  EXPECT_EQ(e.error(DBIERR_NOSUCHFILE).what(), std::string(128, 'x'));
}

}  // namespace
