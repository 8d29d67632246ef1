// A program folder from the fixture generator for the index checker's tests, with the
// launcher's own reindex run over it (our engine library linked in).
#ifndef ORVANE_TESTS_IDXCHECK_PROGRAM_FOLDER_H
#define ORVANE_TESTS_IDXCHECK_PROGRAM_FOLDER_H

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/engine.h"
#include "engine/reindex.h"
#include "policy/reindex_run.h"
#include "idxcheck/folder_check.h"
#include "idxcheck/report.h"
#include "support/linked_engine.h"
#include "sys/system.h"

namespace fs = std::filesystem;
using idxcheck::Finding;

namespace idxchecktest {

// The host services with a fixed program folder; the linked engine stands for the
// engine library.
class FolderSystem final : public sys::System {
 public:
  explicit FolderSystem(std::string folder) : host_(sys::makeSystem()), folder_(std::move(folder)) {}
  std::string programFolder() override { return folder_; }
  std::string currentDirectory() override { return host_->currentDirectory(); }
  uint32_t setCurrentDirectory(const std::string& p) override { return host_->setCurrentDirectory(p); }
  bool fileExists(const std::string& p) override { return host_->fileExists(p); }
  int currentYear() override { return host_->currentYear(); }
  sys::LoadResult loadLibrary(const std::string&) override { return {this, 0}; }
  void freeLibrary(sys::LibraryHandle) override {}
  void* findSymbol(sys::LibraryHandle, const char* n) override { return testsupport::engineFunction(n); }
  std::optional<std::string> machineRegistryString(const std::string&, const std::string&) override { return {}; }
  std::string utf8ToAnsi(const std::string& t) override { return host_->utf8ToAnsi(t); }
  std::string ansiToUtf8(const std::string& t) override { return host_->ansiToUtf8(t); }
  std::string ansiToOem(const std::string& t) override { return host_->ansiToOem(t); }
  intptr_t shellOpen(sys::NativeWindow, const std::string&, const std::string&, const std::string&, int) override {
    return 42;
  }
  char separator() const override { return '/'; }

 private:
  std::unique_ptr<sys::System> host_;
  std::string folder_;
};

inline std::vector<char> readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Holds a file as the engine does for a shared user: a shared whole-file lock.
struct SharedHolder {
  int fd;
  explicit SharedHolder(const fs::path& p) : fd(::open(p.c_str(), O_RDONLY)) {
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_SH | LOCK_NB), 0);
  }
  ~SharedHolder() { ::close(fd); }
};

struct ProgramFolder : ::testing::Test {
  fs::path root;
  int year = 0;

  void SetUp() override {
    char pattern[] = "/tmp/orvane-idxcheck-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    year = sys::makeSystem()->currentYear();
    // Years just outside the window on both sides, and two inside.
    const std::string years = std::to_string(year - 5) + "," + std::to_string(year - 1) + "," + std::to_string(year) +
                              "," + std::to_string(year + 2);
    generate("tree '" + root.string() + "' --years " + years + " --records 40 --seed 5 --index fresh");
  }
  void TearDown() override { fs::remove_all(root); }

  void generate(const std::string& args) {
    const std::string command = std::string(ORVANE_MKFIXTURES) + " " + args + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  fs::path path(std::string relative) const {
    for (char& c : relative)
      if (c == '\\') c = '/';
    return root / relative;
  }

  // A table of the run remade with a damaged production index.
  void damage(const std::string& relative, const std::string& kind, int records = 40) {
    generate("table '" + path(relative).string() + "' --kind " + kind + " --records " + std::to_string(records) +
             " --seed 9 --index damaged");
  }

  std::map<fs::path, std::vector<char>> snapshot() const {
    std::map<fs::path, std::vector<char>> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file()) files[e.path()] = readAll(e.path());
    return files;
  }

  idxcheck::FolderFindings check(size_t memoryBudget = 256u << 20) {
    idxcheck::FolderSurroundings around;
    around.memoryBudget = memoryBudget;
    const auto host = std::shared_ptr<sys::System>(sys::makeSystem());
    around.fileExists = [host](const std::string& p) { return host->fileExists(p); };
    around.currentYear = [host] { return host->currentYear(); };
    around.separator = '/';
    const auto before = snapshot();
    auto findings = idxcheck::checkProgramFolder(root.string(), around);
    EXPECT_EQ(snapshot(), before) << "the check changed a file";
    return findings;
  }

  // The launcher's run on the folder: the relative name of the table it stopped at,
  // or "" when it went through.
  std::string launcherStopsAt() {
    FolderSystem system(root.string() + "/");
    engine::Engine eng(system);
    engine::TTable tabletransit(eng, system);
    std::string current;
    try {
      policy::reindexRun(system, tabletransit, [&](engine::TTable& t) {
        current = t.TableName().substr(root.string().size() + 1);
        engine::reindexTable(t);
      });
    } catch (const engine::EngineError&) {
      return current;
    }
    return {};
  }

  // The check and the launcher agree on where the run stops; returns the findings.
  idxcheck::FolderFindings checkAgreeingWithTheLauncher() {
    auto findings = check();
    const idxcheck::TableFinding* stop = findings.stop();
    const std::string expected = stop ? stop->table : "";
    EXPECT_EQ(launcherStopsAt(), expected) << idxcheck::verdictLine(findings, idxcheck::Language::English);
    return findings;
  }

  std::vector<std::string> expectedTables() const {
    std::vector<std::string> out(policy::kTablesFixes.begin(), policy::kTablesFixes.end());
    for (int y : {year - 1, year})
      for (const char* t : policy::kTablesAnnuelles) out.push_back("DATA\\factures\\" + std::to_string(y) + "\\" + t);
    return out;
  }

  static std::vector<std::string> names(const idxcheck::FolderFindings& f) {
    std::vector<std::string> out;
    for (const auto& t : f.tables) out.push_back(t.table);
    return out;
  }
};

}  // namespace idxchecktest

#endif  // ORVANE_TESTS_IDXCHECK_PROGRAM_FOLDER_H
