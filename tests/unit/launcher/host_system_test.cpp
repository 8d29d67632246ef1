// The host implementation of the operating-system services, on a real folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "engine/engine.h"
#include "pathwalk/pathwalk.h"
#include "sys/host_path.h"
#include "sys/system.h"

namespace fs = std::filesystem;

namespace {

struct HostSystem : ::testing::Test {
  std::unique_ptr<sys::System> system = sys::makeSystem();
  fs::path root;

  void SetUp() override {
    char pattern[] = "/tmp/orvane-sys-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    fs::create_directories(root / "DATA" / "factures" / "2018");
    std::ofstream(root / "DATA" / "factures" / "2018" / "Fact.DBF") << "x";
    fs::create_directories(root / "DATA" / "factures" / "2019" / "Fact.DBF");
  }
  void TearDown() override { fs::remove_all(root); }
  std::string r() const { return root.string(); }
};

TEST_F(HostSystem, FileExistsTakesBackslashesAndIgnoresLetterCase) {
  EXPECT_TRUE(system->fileExists(r() + "/DATA\\factures\\2018\\Fact.DBF"));
  EXPECT_TRUE(system->fileExists(r() + "/data\\FACTURES\\2018\\fact.dbf"));
  EXPECT_FALSE(system->fileExists(r() + "/DATA\\factures\\2018\\DetFact.DBF"));
  EXPECT_FALSE(system->fileExists(r() + "/DATA\\factures\\2019\\Fact.DBF"));  // a folder
  EXPECT_FALSE(system->fileExists(r() + "/DATA\\factures"));
}

TEST_F(HostSystem, LinksCountWhenTheirTargetExists) {
  fs::create_symlink(root / "DATA" / "factures" / "2018" / "Fact.DBF", root / "lien.DBF");
  fs::create_symlink(root / "absent.DBF", root / "mort.DBF");
  EXPECT_TRUE(system->fileExists(r() + "/lien.DBF"));
  EXPECT_FALSE(system->fileExists(r() + "/mort.DBF"));
}

TEST_F(HostSystem, HostPathKeepsExistingNamesAndMapsMissingOnes) {
  EXPECT_EQ(sys::hostPath(r() + "\\data\\FACTURES\\2018\\FACT.DBF"), r() + "/DATA/factures/2018/Fact.DBF");
  EXPECT_EQ(sys::hostPath(r() + "\\DATA\\absent\\x.DBF"), r() + "/DATA/absent/x.DBF");
}

TEST_F(HostSystem, HostPathChoosesTheSameNameWhateverTheFolderOrder) {
  // Two names that differ only by case, neither written as asked: always the
  // smaller one, not whichever the folder lists first.
  fs::create_directories(root / "bX" / "t");
  fs::create_directories(root / "Bx" / "t");
  EXPECT_EQ(sys::hostPath(r() + "\\BX\\T"), r() + "/Bx/t");
  EXPECT_EQ(sys::hostPath(r() + "\\bX\\T"), r() + "/bX/t");  // the exact name first
}

// The walk itself, over a made-up folder tree.
TEST(PathWalk, MapsEachMissingComponentUntilOneHasNoMatch) {
  const std::set<std::string> tree = {"/", "/Data/", "/Data/Sub/", "/Data/Sub/T.DBF", "rel/", "rel/X.DBF"};
  auto exists = [&](const std::string& p) { return tree.count(p) || tree.count(p + "/"); };
  auto find = [&](const std::string& folder, const std::string& name) {
    pathwalk::Match match(name);
    for (const std::string& entry : tree) {
      if (entry.size() <= folder.size() || entry.compare(0, folder.size(), folder) != 0) continue;
      std::string rest = entry.substr(folder.size());
      if (!rest.empty() && rest.back() == '/') rest.pop_back();
      if (rest.find('/') == std::string::npos) match.offer(rest);
    }
    return match.best();
  };
  EXPECT_EQ(pathwalk::resolveCase("/DATA/sub/t.dbf", exists, find), "/Data/Sub/T.DBF");
  EXPECT_EQ(pathwalk::resolveCase("/DATA//sub/t.dbf", exists, find), "/Data/Sub/T.DBF");
  EXPECT_EQ(pathwalk::resolveCase("REL/x.dbf", exists, find), "rel/X.DBF");
  // From the first name without a match on, the rest stays as written.
  EXPECT_EQ(pathwalk::resolveCase("/data/none/SUB/t.dbf", exists, find), "/Data/none/SUB/t.dbf");
  EXPECT_EQ(pathwalk::resolveCase("/Data/Sub/T.DBF", exists, find), "/Data/Sub/T.DBF");
  EXPECT_EQ(pathwalk::resolveCase("", exists, find), "");
  EXPECT_TRUE(pathwalk::sameIgnoringCase("fact.dbf", "FACT.DBF"));
  EXPECT_FALSE(pathwalk::sameIgnoringCase("\xe9t\xe9", "\xc9T\xc9"));  // letters outside ASCII are not folded
}

TEST_F(HostSystem, ProgramFolderEndsWithItsSeparator) {
  const std::string folder = system->programFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(fs::exists(folder + "launcher_unit_tests"));
}

TEST_F(HostSystem, CurrentDirectoryAndItsFailure) {
  const std::string before = system->currentDirectory();
  EXPECT_EQ(system->setCurrentDirectory(r() + "\\data"), 0u);
  EXPECT_EQ(fs::path(system->currentDirectory()), fs::canonical(root / "DATA"));
  EXPECT_EQ(system->setCurrentDirectory(r() + "/nulle-part"), 2u);
  EXPECT_EQ(system->setCurrentDirectory(before), 0u);
}

TEST_F(HostSystem, LibraryLoadFailuresGiveTheEngineStartCodes) {
  std::ofstream(root / "IDAPI32.DLL") << "pas une bibliotheque";
  const auto damaged = system->loadLibrary(r() + "/IDAPI32.DLL");
  EXPECT_EQ(damaged.handle, nullptr);
  EXPECT_EQ(engine::loadFailureCode(damaged.error), DBIERR_CANTLOADIDAPI);
  const auto missing = system->loadLibrary(r() + "/absent/IDAPI32.DLL");
  EXPECT_EQ(engine::loadFailureCode(missing.error), DBIERR_CANTFINDIDAPI);
  const auto unknown = system->loadLibrary("orvane-no-such-library.so");
  EXPECT_EQ(engine::loadFailureCode(unknown.error), DBIERR_CANTFINDIDAPI);
}

}  // namespace
