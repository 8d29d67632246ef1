// The Windows build of the library, run under Wine: a Windows program loads
// IDAPI32.DLL, binds its functions by name and checks the Windows file layer
// (windows/wincheck.cpp). Afterwards the table must be unchanged and its rebuilt index
// sound. The Wine prefix is made for the run and its server ended afterwards.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support.h"

namespace enginetest {
namespace {

std::string windowsPath(const std::string& path) {
  std::string w = "Z:" + path;
  for (char& c : w)
    if (c == '/') c = '\\';
  return w;
}

TEST(WindowsLibrary, PassesItsChecksUnderWine) {
  ASSERT_TRUE(fs::exists(WINE)) << "wine64 is missing: run tools/install-deps.sh";
  ASSERT_TRUE(fs::exists(WINCHECK)) << "build the win64 preset first (./dev.sh build)";
  ASSERT_TRUE(fs::exists(WIN64_DLL)) << "build the win64 preset first (./dev.sh build)";
  TempDir dir;
  fs::create_directories(dir / "DATA/factures/2024");
  std::string table = makeTable(dir, "DATA/factures/2024/Fact.DBF", fixtures::Kind::Fact, 800,
                                fixtures::IndexState::Damaged, "full");
  const std::string before = readFile(table);
  // A table path of 255 characters as Windows sees it ("Z:" + the host path): the
  // longest the system opens is 259.
  std::string deepFolder = dir.path();
  const size_t wanted = 255 - 2 - std::string("/LONGTAB.DBF").size();
  int level = 0;
  while (deepFolder.size() < wanted) {
    std::string part = "/d" + std::to_string(level++);
    size_t room = wanted - deepFolder.size();
    if (room < part.size() + 40) part = "/" + std::string(room - 1, 'p');
    else part += std::string(35, 'q');
    deepFolder += part;
  }
  fs::create_directories(deepFolder);
  std::string deepTable = makeTable(dir, deepFolder.substr(dir.path().size() + 1) + "/LONGTAB.DBF", fixtures::Kind::Client,
                                    200, fixtures::IndexState::Stale);
  ASSERT_EQ(windowsPath(deepTable).size(), 255u);

  std::string env = "WINEPREFIX='" + (dir / "prefix") + "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
  std::string log = dir / "wine.log";
  std::string command = env + "'" + std::string(WINE) + "' '" + WINCHECK + "' '" + windowsPath(WIN64_DLL) + "' '" +
                        windowsPath(table) + "' '" + windowsPath(deepTable) +
                        "' > '" + log + "' 2>&1";
  int status = std::system(command.c_str());
  std::system((env + "'" + std::string(WINESERVER) + "' -k").c_str());
  std::string output = fs::exists(log) ? readFile(log) : std::string();
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("PASSED"), std::string::npos) << output;

  EXPECT_EQ(readFile(table), before);
  EXPECT_EQ(checkTable(table, dir / "DATA/factures/2024/Fact.MDX"), "");
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir / "DATA/factures/2024")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u) << "a temporary file was left behind";
  EXPECT_EQ(checkTable(deepTable, deepFolder + "/LONGTAB.MDX"), "");
  EXPECT_EQ(snapshot(deepFolder).size(), 2u) << "a temporary file was left behind";
}

}  // namespace
}  // namespace enginetest
