// idxcheck --repair on generated program folders: each kind of broken index is mended so
// that the launcher's own run goes through, the tables' bytes never change, the old
// index is kept byte for byte, and an interrupted repair leaves the old index or a
// complete new one.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "fault_platform.h"
#include "idapi/engine/repair.h"
#include "idxcheck/definitions.h"
#include "idxcheck/repair.h"
#include "program_folder.h"
#ifdef WALKMDX_PATH
#include "tag_walker_output.h"
#endif

namespace fs = std::filesystem;
using idxcheck::Finding;
using idxcheck::Outcome;
using idxcheck::Source;
using idxchecktest::readAll;

namespace {

struct Repair : idxchecktest::ProgramFolder {
  fs::path backups;
  std::vector<idxcheck::DefinitionLine> saved;  // of the healthy folder

  void SetUp() override {
    ProgramFolder::SetUp();
    backups = root / "sauvegarde-test";
    std::vector<std::pair<std::string, std::string>> skipped;
    saved = idxcheck::definitionsOfFolder(root.string(), surroundings(), skipped);
    EXPECT_TRUE(skipped.empty());
  }

  idxcheck::FolderSurroundings surroundings() const {
    idxcheck::FolderSurroundings around;
    const auto host = std::shared_ptr<sys::System>(sys::makeSystem());
    around.fileExists = [host](const std::string& p) { return host->fileExists(p); };
    around.currentYear = [y = year] { return y; };
    around.separator = '/';
    return around;
  }

  idxcheck::FolderRepair repair(bool dryRun = false, bool withDefinitions = false) {
    idxcheck::RepairSettings settings;
    settings.dryRun = dryRun;
    settings.backupFolder = backups.string() + "/";
    if (withDefinitions) {
      settings.definitions = saved;
      settings.definitionsName = "defs.txt";
    }
    return idxcheck::repairProgramFolder(root.string(), surroundings(), settings);
  }

  // The hashes of every table of the folder: never changed by a repair.
  std::map<fs::path, std::vector<char>> tables() const {
    auto all = snapshot();
    std::erase_if(all, [](const auto& f) { return f.first.extension() != ".DBF"; });
    return all;
  }

  const idxcheck::TableRepair& of(const idxcheck::FolderRepair& r, const std::string& table) {
    const auto it =
        std::find_if(r.tables.begin(), r.tables.end(), [&](const auto& t) { return t.before.table == table; });
    if (it == r.tables.end()) throw std::runtime_error("no line for " + table);
    return *it;
  }

  std::string yearly(const char* table, int offset = 0) const {
    return "DATA\\factures\\" + std::to_string(year + offset) + "\\" + table;
  }
  static std::string indexOf(std::string table) { return table.substr(0, table.size() - 4) + ".MDX"; }
};

struct Kind {
  std::string table;
  std::function<void(Repair&)> breakIt;
  Finding finding;
  bool stopsTheRun;
  bool recreated;
  Source source;
  bool needsFile = false;  // no definitions but the file's
};

TEST_F(Repair, EachKindIsMendedSoThatTheLaunchersRunGoesThrough) {
  const std::vector<Kind> kinds = {
      {"DATA\\CLIENT.DBF", [](Repair& r) { r.damage("DATA\\CLIENT.DBF", "client"); }, Finding::Damaged, false, false,
       Source::Itself},
      {"DATA\\POTENTIEL.DBF",
       [](Repair& r) {
         r.generate("table '" + r.path("DATA\\POTENTIEL.DBF").string() +
                    "' --kind potentiel --records 40 --seed 5 --index stale");
       },
       Finding::Damaged, false, false, Source::Itself},
      {yearly("Fact.DBF"), [](Repair& r) { fs::remove(r.path(r.yearly("Fact.MDX"))); }, Finding::IndexMissing, true,
       true, Source::OtherTable},
      {yearly("ARCHIVEFACT.DBF", -1), [](Repair& r) { fs::resize_file(r.path(r.yearly("ARCHIVEFACT.MDX", -1)), 100); },
       Finding::Unreadable, true, true, Source::OtherTable},
      {"DATA\\VEHICULES.DBF", [](Repair& r) { fs::resize_file(r.path("DATA\\VEHICULES.MDX"), 300); },
       Finding::Unreadable, true, true, Source::DefinitionsFile, true},
      {"DATA\\dosloc.DBF",
       [](Repair& r) {  // the index of another table copied over this one's
         fs::copy_file(r.path("DATA\\CLIENT.MDX"), r.path("DATA\\dosloc.MDX"), fs::copy_options::overwrite_existing);
       },
       Finding::Unbuildable, true, true, Source::DefinitionsFile, true},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.table);
    k.breakIt(*this);
    const fs::path mdx = path(indexOf(k.table));
    const bool hadIndex = fs::exists(mdx);
    const auto oldIndex = hadIndex ? readAll(mdx) : std::vector<char>();
    EXPECT_EQ(launcherStopsAt(), k.stopsTheRun ? k.table : "");
    if (!k.stopsTheRun) k.breakIt(*this);  // the launcher's run rebuilt it: broken again
    const auto tablesBefore = tables();

    if (k.needsFile) {  // without definitions: nothing changes, and the report says what to do
      const auto before = snapshot();
      const auto none = repair();
      EXPECT_EQ(of(none, k.table).outcome, Outcome::CannotRepair);
      EXPECT_EQ(none.exitCode(), 1);
      EXPECT_EQ(snapshot(), before);
      EXPECT_NE(idxcheck::repairLine(of(none, k.table), true, idxcheck::Language::French).find("--definitions"),
                std::string::npos);
    }
    const auto r = repair(false, k.needsFile);
    const auto& line = of(r, k.table);
    EXPECT_EQ(line.before.finding, k.finding);
    ASSERT_EQ(line.outcome, Outcome::Repaired) << line.detail;
    EXPECT_EQ(line.recreated, k.recreated);
    EXPECT_EQ(line.source, k.source);
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_EQ(r.after.exitCode(), 0) << idxcheck::verdictLine(r.after, idxcheck::Language::English);
    EXPECT_EQ(tables(), tablesBefore) << "a table changed";
    if (hadIndex) {
      ASSERT_FALSE(line.backup.empty());
      EXPECT_EQ(readAll(line.backup), oldIndex) << "the backup is not the old index";
    } else {
      EXPECT_TRUE(line.backup.empty());
    }
    EXPECT_EQ(launcherStopsAt(), "");

    // A second repair right after finds nothing to do and changes nothing.
    const auto after = snapshot();
    const auto again = repair();
    for (const auto& t : again.tables) EXPECT_EQ(t.outcome, Outcome::Ok) << t.before.table;
    EXPECT_FALSE(again.backedUp);
    EXPECT_EQ(snapshot(), after);
    fs::remove_all(backups);
  }
}

// The bytes of the production index the engine's own rebuild gives a copy of a table
// whose index is sound.
std::vector<char> healthyRebuild(const fs::path& dbf, const fs::path& mdx) {
  const fs::path dir = fs::temp_directory_path() / ("orvane-healthy-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::copy_file(dbf, dir / dbf.filename(), fs::copy_options::overwrite_existing);
  fs::copy_file(mdx, dir / mdx.filename(), fs::copy_options::overwrite_existing);
  idapi::engine::IndexRepair request;
  request.dbfPath = (dir / dbf.filename()).string();
  request.mdxPath = (dir / mdx.filename()).string();
  idapi::engine::repairIndex(request);
  auto bytes = readAll(dir / mdx.filename());
  fs::remove_all(dir);
  return bytes;
}

// Every tag of a table's production index as the independent reader walks it (the
// table and index copied aside, so that nothing is written into the program folder).
std::map<std::string, std::vector<uint32_t>> walkedByAnotherReader(const fs::path& dbf, const fs::path& mdx) {
#ifdef WALKMDX_PATH
  const fs::path dir = fs::temp_directory_path() / ("orvane-walk-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::copy_file(dbf, dir / dbf.filename(), fs::copy_options::overwrite_existing);
  // TDbf looks for the production index with a lower-case extension on this system.
  fs::copy_file(mdx, dir / mdx.filename().replace_extension(".mdx"), fs::copy_options::overwrite_existing);
  auto tags = runTagWalker(std::string(WALKMDX_PATH) + " '" + (dir / dbf.filename()).string() + "' 100000",
                           dir / "walk.txt", "reader");
  fs::remove_all(dir);
  return tags;
#else
  (void)dbf, (void)mdx;
  return {};
#endif
}

TEST_F(Repair, AReCreatedIndexIsTheOneAHealthyCopyOfTheTableGets) {
  for (const std::string& table : {yearly("DetFact.DBF"), std::string("DATA\\RDVOUSTECH.DBF")}) {
    SCOPED_TRACE(table);
    const auto healthy = healthyRebuild(path(table), path(indexOf(table)));
    const auto walkedBefore = walkedByAnotherReader(path(table), path(indexOf(table)));
    fs::remove(path(indexOf(table)));
    const bool fromFile = table == "DATA\\RDVOUSTECH.DBF";
    const auto r = repair(false, fromFile);
    const auto& line = of(r, table);
    ASSERT_EQ(line.outcome, Outcome::Repaired) << line.detail;
    EXPECT_EQ(line.source, fromFile ? Source::DefinitionsFile : Source::OtherTable);
    EXPECT_EQ(readAll(path(indexOf(table))), healthy) << "tag for tag, key for key";
    // Another program meets the records of every tag in the order the original index gave.
    const auto walkedAfter = walkedByAnotherReader(path(table), path(indexOf(table)));
    EXPECT_EQ(walkedAfter, walkedBefore);
#ifdef WALKMDX_PATH
    EXPECT_FALSE(walkedAfter.empty());
#endif
  }
}

TEST_F(Repair, DefinitionsFileRoundTripsAndALineNamingAMissingFieldIsRefusedWithItsNumber) {
  ASSERT_FALSE(saved.empty());
  const std::string text = idxcheck::formatDefinitions(saved);
  auto back = idxcheck::parseDefinitions(text);
  ASSERT_EQ(back.size(), saved.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].table, saved[i].table);
    EXPECT_EQ(back[i].tag, saved[i].tag);
    EXPECT_EQ(back[i].key, saved[i].key);
    EXPECT_EQ(back[i].forCondition, saved[i].forCondition);
    EXPECT_EQ(back[i].unique, saved[i].unique);
    EXPECT_EQ(back[i].descending, saved[i].descending);
    EXPECT_GT(back[i].line, 4);
  }
  // What a technician may write by hand: other spacing, yes/no, a blank FOR.
  const auto hand = idxcheck::parseDefinitions("\n# note\nDATA\\CLIENT.DBF|NOM|UPPER(NOM)||yes|NO\n");
  ASSERT_EQ(hand.size(), 1u);
  EXPECT_EQ(hand[0].line, 3);
  EXPECT_TRUE(hand[0].unique);
  EXPECT_FALSE(hand[0].descending);
  try {
    idxcheck::parseDefinitions("# x\nDATA\\CLIENT.DBF | NOM | UPPER(NOM) | | non\n");
    ADD_FAILURE() << "five columns accepted";
  } catch (const idxcheck::DefinitionsError& e) {
    EXPECT_EQ(e.line, 2);
  }
  EXPECT_THROW(idxcheck::formatDefinitions({{0, "T", "A", "X|Y", "", false, false}}), idxcheck::DefinitionsError);

  // A line of the file naming a field CLIENT.DBF lacks: the repair refuses the file's
  // lines for that table, names the line and changes nothing.
  fs::remove(path("DATA\\CLIENT.MDX"));
  auto edited = idxcheck::parseDefinitions(text);
  auto client = std::find_if(edited.begin(), edited.end(), [](const auto& l) { return l.table == "DATA\\CLIENT.DBF"; });
  ASSERT_NE(client, edited.end());
  client->key = "UPPER(NOSUCHFIELD)";
  idxcheck::RepairSettings settings;
  settings.definitions = edited;
  settings.definitionsName = "defs.txt";
  settings.backupFolder = backups.string() + "/";
  const auto before = snapshot();
  const auto r = idxcheck::repairProgramFolder(root.string(), surroundings(), settings);
  const auto& line = of(r, "DATA\\CLIENT.DBF");
  EXPECT_EQ(line.outcome, Outcome::CannotRepair);
  EXPECT_NE(line.detail.find("line " + std::to_string(client->line)), std::string::npos) << line.detail;
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(r.exitCode(), 1);
}

TEST_F(Repair, DryRunTellsWhatWouldBeDoneAndChangesNothing) {
  damage("DATA\\CLIENT.DBF", "client");
  fs::remove(path(yearly("Fact.MDX")));
  fs::resize_file(path("DATA\\VEHICULES.MDX"), 300);
  const auto before = snapshot();
  const auto r = repair(true);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(of(r, "DATA\\CLIENT.DBF").outcome, Outcome::WouldRepair);
  EXPECT_EQ(of(r, yearly("Fact.DBF")).outcome, Outcome::WouldRepair);
  EXPECT_EQ(of(r, "DATA\\VEHICULES.DBF").outcome, Outcome::CannotRepair);
  EXPECT_EQ(r.exitCode(), 1);
  const auto withFile = repair(true, true);
  for (const auto& t : withFile.tables)
    EXPECT_NE(t.outcome, Outcome::CannotRepair) << idxcheck::repairLine(t, true, idxcheck::Language::English);
  EXPECT_EQ(withFile.exitCode(), 0);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(Repair, AnInterruptedRepairLeavesTheOldIndexOrACompleteNewOne) {
  damage("DATA\\CLIENT.DBF", "client", 3000);
  fs::remove(path(yearly("Fact.MDX")));
  const auto oldClient = readAll(path("DATA\\CLIENT.MDX"));
  const fs::path fact = path(yearly("Fact.MDX"));
  // Every file of DATA but the re-created index, which either is complete or is not there.
  const auto files = [&] {
    std::vector<fs::path> names;
    for (const auto& e : fs::recursive_directory_iterator(root / "DATA"))
      if (e.path() != fact) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto listing = files();
  enginetest::FaultPlatform faults;
  for (int point = 0; point < 6; ++point) {
    SCOPED_TRACE(point);
    faults.clear();
    if (point < 5)
      faults.indexWriteFault = std::vector<uint64_t>{0, 1, 512, 4096, 40000}[point];
    else
      faults.commitFault = true;
    const auto r = repair();
    const auto& client = of(r, "DATA\\CLIENT.DBF");
    EXPECT_EQ(client.outcome, Outcome::CannotRepair);
    EXPECT_TRUE(client.attempted);
    EXPECT_EQ(readAll(path("DATA\\CLIENT.MDX")), oldClient);
    // The small index of the year's invoices may be written whole before the fault.
    const auto& invoices = of(r, yearly("Fact.DBF"));
    if (invoices.outcome == Outcome::CannotRepair) {
      EXPECT_FALSE(fs::exists(fact));
    }
    for (const auto& t : r.after.tables) {
      if (t.table == yearly("Fact.DBF")) {
        EXPECT_EQ(t.finding, fs::exists(fact) ? Finding::Ok : Finding::IndexMissing);
      }
    }
    EXPECT_EQ(files(), listing) << "a partial index or a temporary file was left";
    EXPECT_EQ(r.exitCode(), fs::exists(fact) ? 0 : 1);
    fs::remove_all(backups);
  }
  faults.clear();
  const auto r = repair();
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.after.exitCode(), 0);
}

TEST_F(Repair, HeldTablesAndReadOnlyIndexesAreLeftAloneWithTheHolderNamed) {
  // Another process holds VEHICULES.DBF as a shared user of the engine does.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open(path("DATA\\VEHICULES.DBF").c_str(), O_RDONLY);
    ::flock(fd, LOCK_SH);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::chmod(path("DATA\\CLIENT.MDX").c_str(), 0444);
  EXPECT_EQ(launcherStopsAt(), "DATA\\CLIENT.DBF");
  const auto before = snapshot();
  const auto r = repair();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(snapshot(), before);

  const auto& readOnly = of(r, "DATA\\CLIENT.DBF");
  EXPECT_EQ(readOnly.before.finding, Finding::IndexReadOnly);
  EXPECT_EQ(readOnly.outcome, Outcome::LeftAlone);
  const auto& held = of(r, "DATA\\VEHICULES.DBF");
  EXPECT_EQ(held.before.finding, Finding::Held);
  EXPECT_EQ(held.outcome, Outcome::LeftAlone);
  ASSERT_TRUE(held.holders.known) << held.holders.why;
  ASSERT_EQ(held.holders.holders.size(), 1u);
  EXPECT_EQ(held.holders.holders[0].id, static_cast<unsigned long>(child));
  const std::string text = idxcheck::repairLine(held, true, idxcheck::Language::French);
  EXPECT_NE(text.find("(processus " + std::to_string(child) + ")"), std::string::npos) << text;
  EXPECT_EQ(r.exitCode(), 1);
  ::chmod(path("DATA\\CLIENT.MDX").c_str(), 0644);
}

}  // namespace
