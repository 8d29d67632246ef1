// The exported engine functions: start and end, opening tables and every way an open
// can fail, the error stack, locking against another process, describing a table and
// the guards of the index rebuild. Every failure path also checks that no file changed.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support.h"

extern char** environ;

namespace enginetest {
namespace {

using fixtures::IndexState;
using fixtures::Kind;

// Copies a member of a packed structure, so that no reference binds to it.
template <class T>
T v(T value) {
  return value;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { DbiExit(); }  // whatever an earlier test left: start from nothing
  void TearDown() override { DbiExit(); }
};

// ---------------------------------------------------------------------------
// Start, end, calls before the start

TEST_F(EngineTest, CallsBeforeStartAreRefused) {
  hDBIDb db = reinterpret_cast<hDBIDb>(0x1234);
  EXPECT_EQ(DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db),
            DBIERR_NOTINITIALIZED);
  hDBICur cursor = nullptr;
  EXPECT_EQ(
      DbiOpenTable(db, "X.DBF", "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, 0, nullptr, &cursor),
      DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NOTINITIALIZED);
  EXPECT_EQ(DbiExit(), DBIERR_NOTINITIALIZED);
  auto stack = errorStack();
  ASSERT_EQ(stack.size(), 1u);
  EXPECT_EQ(stack[0].code, DBIERR_NOTINITIALIZED);
}

TEST_F(EngineTest, StartAcceptsVersion500AndNullEnvironmentOnly) {
  EXPECT_EQ(DbiInitFn(499, nullptr), DBIERR_INTERFACEVER);
  EXPECT_EQ(DbiExit(), DBIERR_NOTINITIALIZED);  // the failed start started nothing
  EXPECT_EQ(DbiInitFn(DBIINTFVER, nullptr), DBIERR_NONE);
  EXPECT_EQ(errorString(DBIERR_NOSUCHFILE), "The file does not exist");
  EXPECT_EQ(DbiExit(), DBIERR_NONE);
  EXPECT_EQ(DbiExit(), DBIERR_NOTINITIALIZED);
}

TEST_F(EngineTest, SecondStartFailsAndChangesNothing) {
  DBIEnv french;
  std::memset(&french, 0, sizeof french);
  std::strcpy(french.szLang, "000C");
  ASSERT_EQ(DbiInitFn(DBIINTFVER, &french), DBIERR_NONE);
  hDBIDb db = nullptr;
  ASSERT_EQ(DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db), 0);

  DBIEnv english;
  std::memset(&english, 0, sizeof english);
  std::strcpy(english.szLang, "0009");
  EXPECT_EQ(DbiInitFn(DBIINTFVER, &english), DBIERR_MULTIPLEINIT);
  EXPECT_EQ(DbiInitFn(499, &english), DBIERR_MULTIPLEINIT);
  // Still French, and the database opened before is still valid.
  EXPECT_EQ(errorString(DBIERR_NOSUCHFILE), "Le fichier n'existe pas");
  EXPECT_EQ(DbiSetDirectory(db, ""), DBIERR_NONE);
  EXPECT_EQ(DbiCloseDatabase(&db), DBIERR_NONE);
  EXPECT_EQ(db, nullptr);
}

TEST_F(EngineTest, LanguageIsFrenchOnlyFor000C) {
  for (const char* lang : {"0009", "000c", "", "000C "}) {
    DBIEnv env;
    std::memset(&env, 0, sizeof env);
    std::strcpy(env.szLang, lang);
    ASSERT_EQ(DbiInitFn(DBIINTFVER, &env), DBIERR_NONE);
    EXPECT_EQ(errorString(DBIERR_TABLEREADONLY), "The table is read-only") << lang;
    DbiExit();
  }
  Engine engine(true);
  EXPECT_EQ(errorString(DBIERR_TABLEREADONLY), "La table est en lecture seule");
  EXPECT_EQ(errorString(DBIERR_NEEDEXCLACCESS), "Cette opération nécessite un accès exclusif");
  EXPECT_EQ(errorString(DBIERR_NONE), "");
  EXPECT_EQ(errorString(0x3F3F), "Erreur du moteur $3F3F");
}

TEST_F(EngineTest, EnvironmentWithoutTerminatorsIsReadWithinItsFields) {
  DBIEnv env;
  std::memset(&env, 'A', sizeof env);  // no NUL anywhere
  EXPECT_EQ(DbiInitFn(DBIINTFVER, &env), DBIERR_NONE);
  EXPECT_EQ(errorString(DBIERR_NOSUCHFILE), "The file does not exist");
}

// ---------------------------------------------------------------------------
// Handles and parameters

TEST_F(EngineTest, BadHandlesAndParametersAreRefusedWithoutCrashing) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 20);
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE);

  int local = 0;
  hDBICur bogus = &local;
  CURProps props;
  EXPECT_EQ(DbiGetCursorProps(bogus, &props), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiGetCursorProps(nullptr, &props), DBIERR_INVALIDHNDL);
  EXPECT_EQ(DbiGetCursorProps(cursor, nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiRegenIndexes(engine.db()), DBIERR_INVALIDHNDL);  // a database is not a cursor
  EXPECT_EQ(DbiSetDirectory(cursor, ""), DBIERR_INVALIDHNDL);   // and a cursor is not a database
  EXPECT_EQ(DbiCloseCursor(nullptr), DBIERR_INVALIDPARAM);

  hDBICur copy = cursor;
  EXPECT_EQ(DbiCloseCursor(&cursor), DBIERR_NONE);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(DbiCloseCursor(&copy), DBIERR_INVALIDHNDL);  // already closed
  EXPECT_EQ(DbiGetCursorProps(copy, &props), DBIERR_INVALIDHNDL);

  hDBICur out = bogus;
  EXPECT_EQ(DbiOpenTable(engine.db(), nullptr, "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, 0,
                         nullptr, &out),
            DBIERR_INVALIDFILENAME);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DbiOpenTable(engine.db(), table.c_str(), "ASCIIDRV", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL,
                         xltFIELD, 0, nullptr, &out),
            DBIERR_UNKNOWNTBLTYPE);
  EXPECT_EQ(DbiOpenTable(engine.db(), table.c_str(), "DBASE", nullptr, nullptr, 0, 7, dbiOPENEXCL, xltFIELD, 0, nullptr,
                         &out),
            DBIERR_INVALIDPARAM);
  std::string longName(400, 'a');
  EXPECT_EQ(engine.open(longName, out), DBIERR_INVALIDFILENAME);
}

TEST_F(EngineTest, ExitClosesEveryCursorAndReleasesTheTables) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 20);
  {
    Engine engine;
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE);
    ASSERT_EQ(DbiExit(), DBIERR_NONE);
    CURProps props;
    EXPECT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NOTINITIALIZED);
  }
  Engine again;
  hDBICur cursor = nullptr;
  EXPECT_EQ(again.open(table, cursor), DBIERR_NONE) << stackText();
}

// ---------------------------------------------------------------------------
// Opening: names, folders, letter case

TEST_F(EngineTest, NamesWithBackslashesAnyCaseAndNoExtensionAreFound) {
  Engine engine;
  TempDir dir;
  fs::create_directories(dir / "DATA/factures/2017");
  makeTable(dir, "DATA/factures/2017/Fact.DBF", Kind::Fact, 10);
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(dir.path() + "\\DATA\\factures\\2017\\Fact.DBF", cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(engine.open(dir.path() + "/data/FACTURES/2017/fact.dbf", cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(engine.open(dir.path() + "/DATA/factures/2017/Fact", cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);

  // Relative names are taken in the database's directory.
  ASSERT_EQ(DbiSetDirectory(engine.db(), (dir.path() + "/DATA/factures").c_str()), DBIERR_NONE);
  EXPECT_EQ(engine.open("2017\\FACT.DBF", cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  // Without a driver the extension decides; only .DBF tables are known.
  EXPECT_EQ(engine.open("2017/Fact.DBF", cursor, dbiOPENEXCL, dbiREADWRITE, nullptr), DBIERR_NONE);
  DbiCloseCursor(&cursor);
  EXPECT_EQ(engine.open("2017/Fact.DB", cursor, dbiOPENEXCL, dbiREADWRITE, nullptr), DBIERR_UNKNOWNTBLTYPE);
}

TEST_F(EngineTest, MissingTableGives2704NamingTheFile) {
  Engine engine;
  TempDir dir;
  auto before = snapshot(dir.path());
  std::string path = dir / "DATA/CLIENT.DBF";
  hDBICur cursor = reinterpret_cast<hDBICur>(1);
  EXPECT_EQ(engine.open(path, cursor), DBIERR_NOSUCHFILE);
  EXPECT_EQ(cursor, nullptr);
  auto stack = errorStack();
  ASSERT_GE(stack.size(), 1u);
  EXPECT_EQ(stack[0].code, DBIERR_NOSUCHFILE);
  EXPECT_NE(stack[0].text.find("CLIENT.DBF"), std::string::npos) << stack[0].text;
  // A local file's error carries no native code: that is a database server's.
  for (const StackEntry& e : stack) EXPECT_EQ(e.native, 0u) << e.text;
  char context[DBIMAXMSGLEN + 1];
  EXPECT_EQ(DbiGetErrorContext(ecTABLENAME, context), DBIERR_NONE);
  EXPECT_NE(std::string(context).find("CLIENT.DBF"), std::string::npos);
  EXPECT_EQ(DbiGetErrorContext(ecINDEXNAME, context), DBIERR_NONE);
  EXPECT_STREQ(context, "");

  DBIErrInfo info;
  EXPECT_EQ(DbiGetErrorInfo(1, &info), DBIERR_NONE);
  EXPECT_EQ(v(info.iError), DBIERR_NOSUCHFILE);
  EXPECT_STREQ(info.szErrCode, "The file does not exist");
  EXPECT_NE(std::string(info.szContext[0]).find("CLIENT.DBF"), std::string::npos);

  // Reading the stack does not clear it; a successful call does.
  EXPECT_EQ(errorStack().size(), stack.size());
  EXPECT_EQ(DbiSetDirectory(engine.db(), ""), DBIERR_NONE);
  EXPECT_TRUE(errorStack().empty());
  EXPECT_EQ(DbiGetErrorInfo(1, &info), DBIERR_NONE);
  EXPECT_EQ(v(info.iError), DBIERR_NONE);
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(EngineTest, ErrorTextsOfLongPathsFitAndKeepTheFileName) {
  Engine engine(true);
  TempDir dir;
  std::string deep = dir.path();
  for (int i = 0; i < 5; ++i) deep += "/dossier-aux-noms-tres-longs-numero-" + std::to_string(i);
  std::string path = deep + "/ARCHIVEFACT.DBF";
  ASSERT_LT(path.size(), size_t{DBIMAXTBLNAMELEN});
  ASSERT_GT(path.size(), size_t{DBIMAXMSGLEN});
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(path, cursor), DBIERR_NOSUCHFILE);
  auto stack = errorStack();
  ASSERT_FALSE(stack.empty());
  for (const auto& e : stack) {
    EXPECT_LE(e.text.size(), size_t{DBIMAXMSGLEN});
    EXPECT_EQ(e.text.substr(e.text.size() - 15), "ARCHIVEFACT.DBF") << e.text;
  }
}

TEST_F(EngineTest, FolderNamedLikeATableIsNotATable) {
  Engine engine;
  TempDir dir;
  fs::create_directories(dir / "Fact.DBF");
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(dir / "Fact.DBF", cursor), DBIERR_UNKNOWNFILE);
  EXPECT_EQ(stackText(), "Not a regular file: " + (dir / "Fact.DBF") + " | Table: " + (dir / "Fact.DBF"));
}

// ---------------------------------------------------------------------------
// Read-only tables

TEST_F(EngineTest, ReadOnlyTableGives2A0BThenOpensReadOnly) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 30);
  fs::permissions(table, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto before = snapshot(dir.path());

  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(table, cursor), DBIERR_TABLEREADONLY);
  EXPECT_EQ(cursor, nullptr);
  auto stack = errorStack();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack[0].code, DBIERR_TABLEREADONLY);
  EXPECT_NE(stack[0].text.find("CLIENT.DBF"), std::string::npos);

  ASSERT_EQ(engine.open(table, cursor, dbiOPENEXCL, dbiREADONLY), DBIERR_NONE) << stackText();
  CURProps props;
  ASSERT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NONE);
  EXPECT_EQ(v(props.eOpenMode), dbiREADONLY);
  EXPECT_EQ(v(props.eprvRights), prvREADONLY);
  // The index itself is writable: a read-only table still gets its index rebuilt.
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiCloseCursor(&cursor), DBIERR_NONE);
  EXPECT_EQ(readFile(table), before["CLIENT.DBF"]);
  EXPECT_EQ(checkTable(table, dir / "CLIENT.MDX"), "");
}

TEST_F(EngineTest, ReadOnlyIndexIsNotReplaced) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 30, IndexState::Stale);
  fs::permissions(dir / "CLIENT.MDX", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto before = snapshot(dir.path());
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_INDEXREADONLY);
  EXPECT_NE(stackText().find("CLIENT.MDX"), std::string::npos) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(snapshot(dir.path()), before);
}

// ---------------------------------------------------------------------------
// Damaged headers and missing or unreadable indexes

TEST_F(EngineTest, CorruptTableHeadersGive2301AndChangeNothing) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "VEHICULES.DBF", Kind::Vehicules, 40);
  const std::string good = readFile(table);

  struct Damage {
    const char* what;
    std::string bytes;
  };
  std::vector<Damage> damages;
  {
    std::string b = good;
    b[4] = '\xFF';  // record count far beyond the file's size
    damages.push_back({"record count", b});
  }
  {
    std::string b = good;
    b[10] = 3;  // record length that does not match the fields
    b[11] = 0;
    damages.push_back({"record length", b});
  }
  {
    std::string b = good;
    b[8] = 40;  // header length shorter than the field descriptors
    b[9] = 0;
    damages.push_back({"header length", b});
  }
  {
    std::string b = good;
    uint16_t headerLength = static_cast<uint8_t>(b[8]) | (static_cast<uint8_t>(b[9]) << 8);
    b[headerLength - 1] = 'X';  // no field terminator
    damages.push_back({"terminator", b});
  }
  {
    std::string b = good;
    b[32 + 16] = 0;  // a field of length zero
    damages.push_back({"field length", b});
  }
  damages.push_back({"cut in the header", good.substr(0, 50)});
  damages.push_back({"empty file", std::string()});

  for (const auto& d : damages) {
    writeFile(table, d.bytes);
    auto before = snapshot(dir.path());
    hDBICur cursor = nullptr;
    EXPECT_EQ(engine.open(table, cursor), DBIERR_HEADERCORRUPT) << d.what;
    EXPECT_EQ(cursor, nullptr);
    auto stack = errorStack();
    ASSERT_FALSE(stack.empty()) << d.what;
    EXPECT_EQ(stack[0].code, DBIERR_HEADERCORRUPT);
    EXPECT_NE(stackText().find("VEHICULES.DBF"), std::string::npos) << d.what << ": " << stackText();
    EXPECT_EQ(snapshot(dir.path()), before) << d.what;
  }
}

TEST_F(EngineTest, ProductionFlagWithoutIndexGives270D) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 25);
  fs::remove(dir / "CLIENT.MDX");
  auto before = snapshot(dir.path());
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(table, cursor), DBIERR_NOSUCHINDEX);
  auto stack = errorStack();
  ASSERT_GE(stack.size(), 2u);
  EXPECT_EQ(stack[0].code, DBIERR_NOSUCHINDEX);
  EXPECT_NE(stack[0].text.find("CLIENT.MDX"), std::string::npos) << stack[0].text;
  EXPECT_NE(stack[1].text.find("CLIENT.DBF"), std::string::npos) << stack[1].text;
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(EngineTest, IndexFoundWithoutRegardToLetterCase) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 25, IndexState::Stale);
  fs::rename(dir / "CLIENT.MDX", dir / "client.mdx");
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_TRUE(fs::exists(dir / "client.mdx"));
  EXPECT_FALSE(fs::exists(dir / "CLIENT.MDX"));
  EXPECT_EQ(checkTable(table, dir / "client.mdx"), "");
}

TEST_F(EngineTest, UnreadableIndexGives2305AndChangesNothing) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 25);
  std::string mdx = dir / "CLIENT.MDX";
  const std::string good = readFile(mdx);
  std::vector<std::pair<const char*, std::string>> damages;
  damages.push_back({"cut header", good.substr(0, 100)});
  {
    std::string b = good;
    b[28] = 60;  // more tags than the table can hold
    damages.push_back({"tag count", b});
  }
  {
    std::string b = good;
    b[544] = '\x7F';  // first tag header beyond the end of the file
    b[545] = '\x7F';
    damages.push_back({"tag page", b});
  }
  damages.push_back({"zeros", std::string(good.size(), '\0')});
  for (const auto& [what, bytes] : damages) {
    writeFile(mdx, bytes);
    auto before = snapshot(dir.path());
    hDBICur cursor = nullptr;
    EXPECT_EQ(engine.open(table, cursor), DBIERR_INDEXCORRUPT) << what;
    EXPECT_NE(stackText().find("CLIENT.MDX"), std::string::npos) << what << ": " << stackText();
    EXPECT_EQ(snapshot(dir.path()), before) << what;
  }
}

// ---------------------------------------------------------------------------
// Describing an open table

TEST_F(EngineTest, ReportsTheCodePageOfEveryLanguageDriverId) {
  // The code pages of the dBASE language drivers and of the code-page marks other
  // xBase software writes; every other byte (none, or a driver whose code page is not
  // known) reports 0.
  const std::map<int, int> expected = {
      {0x01, 437}, {0x02, 850}, {0x03, 1252}, {0x08, 865},  {0x09, 437},  {0x0A, 850},  {0x0B, 437},  {0x0D, 437},
      {0x0E, 850}, {0x0F, 437}, {0x10, 850},  {0x11, 437},  {0x12, 850},  {0x13, 932},  {0x14, 850},  {0x15, 437},
      {0x16, 850}, {0x17, 865}, {0x18, 437},  {0x19, 437},  {0x1A, 850},  {0x1B, 437},  {0x1C, 863},  {0x1D, 850},
      {0x1F, 852}, {0x22, 852}, {0x23, 852},  {0x24, 860},  {0x25, 850},  {0x26, 866},  {0x37, 850},  {0x4D, 936},
      {0x4E, 949}, {0x4F, 950}, {0x50, 874},  {0x56, 932},  {0x57, 1252}, {0x58, 1252}, {0x59, 1252}, {0x64, 852},
      {0x65, 866}, {0x66, 865}, {0x67, 861},  {0x6A, 737},  {0x6B, 857},  {0x6C, 863},  {0x6D, 852},  {0x85, 862},
      {0x87, 852}, {0x88, 857}, {0xC8, 1250}, {0xC9, 1251}, {0xCA, 1254}, {0xCB, 1253},
  };
  Engine engine;
  TempDir dir;
  const std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 3, IndexState::None);
  std::string bytes = readFile(table);
  for (int id = 0; id < 256; ++id) {
    bytes[29] = static_cast<char>(id);
    writeFile(table, bytes);
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(table, cursor, dbiOPENSHARED, dbiREADONLY), DBIERR_NONE) << id << ": " << stackText();
    CURProps props;
    ASSERT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NONE);
    const auto it = expected.find(id);
    EXPECT_EQ(v(props.iCodePage), it == expected.end() ? 0 : it->second) << "driver id 0x" << std::hex << id;
    DbiCloseCursor(&cursor);
  }
}

TEST_F(EngineTest, DescribesTableFieldsAndTags) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 12, IndexState::Fresh, "full");
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();

  CURProps props;
  std::memset(&props, 0xCC, sizeof props);
  ASSERT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NONE);
  EXPECT_EQ(std::string(props.szName), table);
  EXPECT_STREQ(props.szTableType, "DBASE");
  EXPECT_EQ(v(props.iFields), 10);
  EXPECT_EQ(v(props.iIndexes), 9);  // 4 standard tags + 5 of the full set
  EXPECT_EQ(v(props.eShareMode), dbiOPENEXCL);
  EXPECT_EQ(v(props.eOpenMode), dbiREADWRITE);
  EXPECT_EQ(v(props.iTblLevel), 4);
  EXPECT_EQ(v(props.iCodePage), 1252);
  EXPECT_EQ(v(props.bSoftDeletes), 1);
  EXPECT_EQ(v(props.exltMode), xltFIELD);

  std::vector<FLDDesc> fields(props.iFields + 1);
  std::memset(&fields.back(), 0xAB, sizeof(FLDDesc));
  ASSERT_EQ(DbiGetFieldDescs(cursor, fields.data()), DBIERR_NONE);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&fields.back())[0], 0xAB);  // nothing written past the fields
  EXPECT_EQ(v(fields[0].iFldNum), 1);
  EXPECT_STREQ(fields[0].szName, "NUMCLI");
  EXPECT_EQ(v(fields[0].iFldType), fldINT32);
  EXPECT_EQ(v(fields[0].iUnits1), 8);
  EXPECT_STREQ(fields[2].szName, "NOM");
  EXPECT_EQ(v(fields[2].iFldType), fldZSTRING);
  EXPECT_EQ(v(fields[2].iLen), 31);
  EXPECT_EQ(v(fields[8].iFldType), fldDATE);
  EXPECT_EQ(v(fields[9].iFldType), fldFLOAT);
  EXPECT_EQ(v(fields[9].iUnits2), 2);
  for (size_t i = 1; i < v(props.iFields); ++i)
    EXPECT_EQ(v(fields[i].iOffset), v(fields[i - 1].iOffset) + v(fields[i - 1].iLen));

  std::vector<IDXDesc> tags(props.iIndexes);
  ASSERT_EQ(DbiGetIndexDescs(cursor, tags.data()), DBIERR_NONE);
  EXPECT_STREQ(tags[0].szName, "CLIENT.MDX");
  EXPECT_STREQ(tags[0].szTagName, "NUMCLI");
  EXPECT_STREQ(tags[0].szKeyExp, "NUMCLI");
  EXPECT_EQ(v(tags[0].iKeyLen), 12);
  EXPECT_EQ(v(tags[0].bExpIdx), 0);
  EXPECT_EQ(v(tags[0].aiKeyFld[0]), 1);
  EXPECT_STREQ(tags[1].szKeyExp, "UPPER(NOM)");
  EXPECT_EQ(v(tags[1].iKeyLen), 30);
  EXPECT_EQ(v(tags[1].bExpIdx), 1);
  EXPECT_EQ(v(tags[3].iKeyLen), 8);  // DATECRE
  bool unique = false, descending = false, subset = false;
  for (const auto& t : tags) {
    unique |= t.bUnique != 0;
    descending |= t.bDescending != 0;
    if (t.bSubset) {
      subset = true;
      EXPECT_STREQ(t.szKeyCond, ".NOT. DELETED()");
    }
    EXPECT_EQ(v(t.bMaintained), 1);
    EXPECT_EQ(v(t.iBlockSize), 1024);
  }
  EXPECT_TRUE(unique && descending && subset);
  EXPECT_EQ(DbiSetToBegin(cursor), DBIERR_NONE);
  EXPECT_EQ(DbiCloseCursor(&cursor), DBIERR_NONE);

  // Physical types when asked for no translation.
  ASSERT_EQ(DbiOpenTable(engine.db(), table.c_str(), "DBASE", nullptr, nullptr, 0, dbiREADONLY, dbiOPENSHARED, xltNONE,
                         0, nullptr, &cursor),
            DBIERR_NONE);
  ASSERT_EQ(DbiGetFieldDescs(cursor, fields.data()), DBIERR_NONE);
  EXPECT_EQ(v(fields[0].iFldType), fldDBNUM);
  EXPECT_EQ(v(fields[0].iOffset), 1);
  EXPECT_EQ(v(fields[2].iFldType), fldDBCHAR);
  EXPECT_EQ(v(fields[2].iLen), 30);
  DbiCloseCursor(&cursor);
}

TEST_F(EngineTest, TableWithoutIndexRebuildsNothing) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "cdepostal.DBF", Kind::CodePostal, 30, IndexState::None);
  auto before = snapshot(dir.path());
  ASSERT_EQ(before.size(), 1u);
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
  CURProps props;
  ASSERT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_NONE);
  EXPECT_EQ(v(props.iIndexes), 0);
  EXPECT_EQ(DbiGetIndexDescs(cursor, nullptr), DBIERR_INVALIDPARAM);
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE);
  DbiCloseCursor(&cursor);
  EXPECT_EQ(snapshot(dir.path()), before);
}

// ---------------------------------------------------------------------------
// Rebuild guards

TEST_F(EngineTest, RebuildNeedsExclusiveUseAndTouchesNothingOtherwise) {
  Engine engine(true);
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 50, IndexState::Damaged);
  auto before = snapshot(dir.path());
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor, dbiOPENSHARED), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NEEDEXCLACCESS);
  auto stack = errorStack();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack[0].code, DBIERR_NEEDEXCLACCESS);
  EXPECT_NE(stack[0].text.find("CLIENT.DBF"), std::string::npos);
  EXPECT_EQ(stack[0].text.rfind("Table :", 0), 0u) << stack[0].text;
  DbiCloseCursor(&cursor);
  EXPECT_EQ(snapshot(dir.path()), before);

  // A shared database makes no difference, an exclusive one makes every table exclusive.
  hDBIDb exclusiveDb = nullptr;
  ASSERT_EQ(DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENEXCL, nullptr, 0, nullptr, nullptr, &exclusiveDb),
            DBIERR_NONE);
  ASSERT_EQ(DbiOpenTable(exclusiveDb, table.c_str(), "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENSHARED,
                         xltFIELD, 0, nullptr, &cursor),
            DBIERR_NONE);
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiCloseDatabase(&exclusiveDb), DBIERR_NONE);
  CURProps props;
  EXPECT_EQ(DbiGetCursorProps(cursor, &props), DBIERR_INVALIDHNDL);  // closed with its database
  EXPECT_EQ(checkTable(table, dir / "CLIENT.MDX"), "");
}

TEST_F(EngineTest, UnevaluableKeyExpressionLeavesTheIndexUntouched) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 30, IndexState::Stale);
  std::string mdx = dir / "CLIENT.MDX";
  std::string bytes = readFile(mdx);
  // Second tag's key expression "UPPER(NOM)" becomes "UPPEX(NOM)".
  uint32_t page = static_cast<uint8_t>(bytes[576]) | (static_cast<uint8_t>(bytes[577]) << 8);
  size_t at = size_t{page} * 512 + 24;
  ASSERT_EQ(bytes.substr(at, 10), "UPPER(NOM)");
  bytes[at + 4] = 'X';
  writeFile(mdx, bytes);
  auto before = snapshot(dir.path());

  hDBICur cursor = nullptr;
  DBIResult rc = engine.open(table, cursor);
  if (rc == DBIERR_NONE) rc = DbiRegenIndexes(cursor);
  EXPECT_NE(rc, DBIERR_NONE);
  std::string text = stackText();
  RecordProperty("stack", text);
  if (cursor) DbiCloseCursor(&cursor);
  EXPECT_NE(text.find("NOM"), std::string::npos) << text;
  EXPECT_NE(text.find("UPPEX(NOM)"), std::string::npos) << text;
  EXPECT_NE(text.find("CLIENT.MDX"), std::string::npos) << text;
  EXPECT_EQ(snapshot(dir.path()), before);
}

// The engine gives the date to stamp: a rebuilt index carries today's date (UTC) as
// its creation and its update date, never a blank one.
TEST_F(EngineTest, RebuiltIndexCarriesTodaysDate) {
  auto today = [] {
    const std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
    return std::string{static_cast<char>(static_cast<int>(ymd.year()) - 1900),
                       static_cast<char>(static_cast<unsigned>(ymd.month())),
                       static_cast<char>(static_cast<unsigned>(ymd.day()))};
  };
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 30, IndexState::Stale);
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE);
  const std::string before = today();
  ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  const std::string after = today();
  DbiCloseCursor(&cursor);
  const std::string header = readFile(dir / "CLIENT.MDX");
  ASSERT_GE(header.size(), 47u);
  const std::string created = header.substr(1, 3), updated = header.substr(44, 3);
  EXPECT_TRUE(created == before || created == after);
  EXPECT_EQ(updated, created);
}

TEST_F(EngineTest, LeftoversOfAnInterruptedRebuildAreRemoved) {
  Engine engine;
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 30, IndexState::Stale);
  writeFile(dir / "CLIENT.MDX.~0123456789abcdef", "half an index");
  writeFile(dir / "CLIENT.MDX.~s0123456789abcdef", "a sorted run");
  writeFile(dir / "CLIENT.MDX.~notours", "someone else's file");
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE);
  ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  auto after = snapshot(dir.path());
  EXPECT_EQ(after.size(), 3u);
  EXPECT_TRUE(after.count("CLIENT.MDX.~notours"));
}

// ---------------------------------------------------------------------------
// Another process holding the table

class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("spawn " + program);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = ::fdopen(out[0], "r");
  }
  ~Child() {
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_) std::fclose(fromChild_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::string readLine() {
    char line[256] = {};
    if (!std::fgets(line, sizeof line, fromChild_)) return "<eof>";
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  void writeLine(const std::string& s) {
    std::string l = s + "\n";
    EXPECT_EQ(::write(toChild_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
  }
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  FILE* fromChild_ = nullptr;
  bool reaped_ = false;
};

TEST_F(EngineTest, TableHeldByAnotherProcessCannotBeOpenedExclusively) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 40, IndexState::Damaged);
  auto before = snapshot(dir.path());
  Engine engine;

  Child holder(ENGINE_HOLDER, {table, "shared"});
  ASSERT_EQ(holder.readLine(), "open");
  hDBICur cursor = nullptr;
  // The code for a table in use elsewhere: category 0x28 (lock conflict), file locked.
  EXPECT_EQ(engine.open(table, cursor), DBIERR_FILELOCKED);
  EXPECT_EQ(cursor, nullptr);
  auto stack = errorStack();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack[0].code >> 8, ERRCAT_LOCKCONFLICT);
  EXPECT_NE(stack[0].text.find("CLIENT.DBF"), std::string::npos);
  // Sharing with the holder works, and a shared cursor cannot rebuild.
  ASSERT_EQ(engine.open(table, cursor, dbiOPENSHARED), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NEEDEXCLACCESS);
  DbiCloseCursor(&cursor);

  holder.writeLine("go");
  EXPECT_EQ(holder.readLine(), "ok 10");
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(snapshot(dir.path()), before);

  // Once the holder is gone the table is free.
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
}

TEST_F(EngineTest, ExclusiveHolderKeepsOthersOutUntilItCloses) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 40);
  Engine engine;
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE);
  {
    Child other(ENGINE_HOLDER, {table, "shared"});
    EXPECT_EQ(other.readLine(), "fail 2805");
    EXPECT_EQ(other.wait(), 0);
  }
  DbiCloseCursor(&cursor);
  {
    Child other(ENGINE_HOLDER, {table, "exclusive"});
    ASSERT_EQ(other.readLine(), "open");
    EXPECT_EQ(engine.open(table, cursor, dbiOPENSHARED), DBIERR_FILELOCKED);
    other.writeLine("go");
    EXPECT_EQ(other.readLine(), "ok 10");
    EXPECT_EQ(other.wait(), 0);
  }
}

TEST_F(EngineTest, IndexHeldElsewhereBlocksTheExclusiveOpen) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 40);
  Engine engine;
  int fd = ::open((dir / "CLIENT.MDX").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(table, cursor), DBIERR_FILELOCKED);
  auto stack = errorStack();
  ASSERT_GE(stack.size(), 2u);
  EXPECT_NE(stack[0].text.find("CLIENT.MDX"), std::string::npos) << stack[0].text;
  // The table itself was released again: once the index is free the open succeeds.
  ::close(fd);
  EXPECT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
}

}  // namespace
}  // namespace enginetest
