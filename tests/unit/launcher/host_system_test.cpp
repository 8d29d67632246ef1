// The host implementation of the operating-system services, on a real folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/engine.h"
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
  EXPECT_EQ(launcher::engine::loadFailureCode(damaged.error), DBIERR_CANTLOADIDAPI);
  const auto missing = system->loadLibrary(r() + "/absent/IDAPI32.DLL");
  EXPECT_EQ(launcher::engine::loadFailureCode(missing.error), DBIERR_CANTFINDIDAPI);
  const auto unknown = system->loadLibrary("orvane-no-such-library.so");
  EXPECT_EQ(launcher::engine::loadFailureCode(unknown.error), DBIERR_CANTFINDIDAPI);
}

}  // namespace
