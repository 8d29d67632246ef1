// The whole reindex run against our engine library, on a DATA tree of generated
// tables whose indexes are damaged. The library is linked in; the launcher finds it
// as IDAPI32.DLL in the current directory and binds its functions by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "idapi/core/core.h"
#include "engine/engine.h"
#include "engine/reindex.h"
#include "policy/reindex_run.h"
#include "sys/system.h"
#include "support/linked_engine.h"
#include "support/throws.h"

namespace fs = std::filesystem;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::Throws;
using ::testing::ThrowsMessage;
using testsupport::CodeAndText;

std::vector<char> readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class MemorySource final : public idapi::core::ByteSource {
 public:
  explicit MemorySource(std::vector<char> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
      throw idapi::core::Failure(DBIERR_READERR, "lecture hors du fichier");
    }
    std::copy_n(bytes_.data() + offset, length, static_cast<char*>(buffer));
  }

 private:
  std::vector<char> bytes_;
};

// The host services, with the program folder of the test's DATA tree and the linked
// engine library standing for any file named IDAPI32.DLL.
class TreeSystem final : public sys::System {
 public:
  explicit TreeSystem(std::string folder) : host_(sys::makeSystem()), folder_(std::move(folder)) {}
  std::string programFolder() override { return folder_; }
  std::string currentDirectory() override { return host_->currentDirectory(); }
  uint32_t setCurrentDirectory(const std::string& p) override { return host_->setCurrentDirectory(p); }
  bool fileExists(const std::string& p) override { return host_->fileExists(p); }
  int currentYear() override { return host_->currentYear(); }
  sys::LoadResult loadLibrary(const std::string& n) override {
    loads.push_back(n);
    if (fs::path(n).filename() == "IDAPI32.DLL" && host_->fileExists(n)) return {&loads, 0};
    return {nullptr, n.find('/') == std::string::npos ? sys::kErrorModNotFound : sys::kErrorFileNotFound};
  }
  void freeLibrary(sys::LibraryHandle) override {}
  void* findSymbol(sys::LibraryHandle l, const char* n) override {
    return l == &loads ? testsupport::engineFunction(n) : nullptr;
  }
  std::optional<std::string> machineRegistryString(const std::string& k, const std::string& v) override {
    return host_->machineRegistryString(k, v);
  }
  std::string utf8ToAnsi(const std::string& t) override { return host_->utf8ToAnsi(t); }
  std::string ansiToUtf8(const std::string& t) override { return host_->ansiToUtf8(t); }
  std::string ansiToOem(const std::string& t) override { return host_->ansiToOem(t); }
  intptr_t shellOpen(sys::NativeWindow w, const std::string& f, const std::string& p, const std::string& d,
                     int s) override {
    return host_->shellOpen(w, f, p, d, s);
  }
  char separator() const override { return '/'; }

  std::vector<std::string> loads;

 private:
  std::unique_ptr<sys::System> host_;
  std::string folder_;
};

struct ReindexRun : ::testing::Test {
  fs::path root;
  std::string previousDirectory;
  int year = 0;

  void SetUp() override {
    char pattern[] = "/tmp/orvane-run-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    year = sys::makeSystem()->currentYear();
    // Years around the window: the first and the last must never be touched.
    std::string years;
    for (int y = year - 5; y <= year + 2; ++y) {
      if (y == year - 2) continue;  // one year of the window without a folder
      years += (years.empty() ? "" : ",") + std::to_string(y);
    }
    const std::string command = std::string(ORVANE_MKFIXTURES) + " tree '" + root.string() + "' --years " + years +
                                " --records 60 --seed 7 --index damaged";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ofstream(root / "IDAPI32.DLL") << "engine";
    previousDirectory = fs::current_path().string();
    fs::current_path(root);
  }

  void TearDown() override {
    fs::current_path(previousDirectory);
    fs::remove_all(root);
  }

  fs::path tablePath(const std::string& relative) const {
    std::string p = relative;
    for (char& c : p) {
      if (c == '\\') c = '/';
    }
    return root / p;
  }

  static fs::path indexOf(const fs::path& table) {
    fs::path mdx = table;
    return mdx.replace_extension(".MDX");
  }

  // Every tag of the table's production index checks out against its records.
  static bool indexChecksOut(const fs::path& table, std::string& problem) {
    const MemorySource dbf(readAll(table));
    const MemorySource mdx(readAll(indexOf(table)));
    try {
      const auto header = idapi::core::readTableHeader(dbf, table.filename().string());
      const auto reports = idapi::core::checkIndex(header, dbf, mdx, indexOf(table).filename().string());
      if (reports.empty()) problem = "aucune étiquette";
      for (const auto& r : reports) {
        if (!r.ok) problem += r.tag + ": " + r.problem + "; ";
      }
      return problem.empty();
    } catch (const std::exception& e) {
      problem = e.what();
      return false;
    }
  }

  std::vector<std::string> windowTables() const {
    std::vector<std::string> out(policy::kTablesFixes.begin(), policy::kTablesFixes.end());
    for (int y = year - 4; y <= year + 1; ++y) {
      if (y == year - 2) continue;
      for (const char* t : policy::kTablesAnnuelles) {
        out.push_back("DATA\\factures\\" + std::to_string(y) + "\\" + t);
      }
    }
    return out;
  }

  std::map<fs::path, std::vector<char>> snapshot() const {
    std::map<fs::path, std::vector<char>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) files[entry.path()] = readAll(entry.path());
    }
    return files;
  }
};

TEST_F(ReindexRun, RebuildsEveryIndexAndChangesNoRecord) {
  const auto before = snapshot();
  std::string problem;
  ASSERT_FALSE(indexChecksOut(tablePath(policy::kTablesFixes[0]), problem)) << "the fixture is not damaged";

  TreeSystem system(root.string() + "/");
  {
    engine::Engine engine(system);
    engine::TTable tabletransit(engine, system);
    policy::reindexRun(system, tabletransit, engine::reindexTable);
    EXPECT_FALSE(tabletransit.Active());
    EXPECT_FALSE(tabletransit.Exclusive());
  }

  for (const std::string& relative : windowTables()) {
    std::string why;
    EXPECT_TRUE(indexChecksOut(tablePath(relative), why)) << relative << ": " << why;
  }
  const auto after = snapshot();
  for (const auto& [path, bytes] : before) {
    const bool isIndex = path.extension() == ".MDX";
    const std::string folder = path.parent_path().filename().string();
    const bool outsideWindow = folder == std::to_string(year - 5) || folder == std::to_string(year + 2);
    ASSERT_TRUE(after.count(path)) << path;
    if (!isIndex || outsideWindow) {
      EXPECT_TRUE(after.at(path) == bytes) << path << " changed";
    }
  }
  // No temporary file left behind.
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(system.loads, std::vector<std::string>{root.string() + "/IDAPI32.DLL"});
}

TEST_F(ReindexRun, FailureAtTheThirdTableKeepsTheFirstTwoRebuiltAndTouchesNothingAfter) {
  const fs::path third = tablePath(policy::kTablesFixes[2]);
  fs::remove(third);
  const auto before = snapshot();

  TreeSystem system(root.string() + "/");
  engine::Engine engine(system);
  engine::TTable tabletransit(engine, system);
  // The engine's text for the code, then its stack entry naming the table.
  EXPECT_THAT(
      [&] { policy::reindexRun(system, tabletransit, engine::reindexTable); },
      Throws<engine::EngineError>(CodeAndText(DBIERR_NOSUCHFILE, AllOf(HasSubstr("\r\n"), HasSubstr("CLIENT.DBF")))));
  EXPECT_FALSE(tabletransit.Active());
  EXPECT_FALSE(tabletransit.Exclusive());

  for (int i = 0; i < 2; ++i) {
    std::string why;
    EXPECT_TRUE(indexChecksOut(tablePath(policy::kTablesFixes[i]), why)) << i << ": " << why;
  }
  const auto after = snapshot();
  for (const auto& [path, bytes] : before) {
    const bool firstTwo =
        path == indexOf(tablePath(policy::kTablesFixes[0])) || path == indexOf(tablePath(policy::kTablesFixes[1]));
    if (!firstTwo) {
      EXPECT_TRUE(after.at(path) == bytes) << path << " changed";
    }
  }
}

TEST_F(ReindexRun, EngineNotFoundAnywhere) {
  fs::remove(root / "IDAPI32.DLL");
  const auto before = snapshot();
  TreeSystem system(root.string() + "/");
  engine::Engine engine(system);
  engine::TTable tabletransit(engine, system);
  EXPECT_THAT([&] { policy::reindexRun(system, tabletransit, engine::reindexTable); },
              ThrowsMessage<engine::EngineError>(
                  StrEq("Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur $2108)")));
  EXPECT_TRUE(snapshot() == before);
}

}  // namespace
