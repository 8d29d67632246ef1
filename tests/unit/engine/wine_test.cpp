// The Windows builds of the library, run under Wine: a Windows program loads
// IDAPI32.DLL, binds its functions by name and checks the Windows file layer
// (windows/wincheck.cpp). Afterwards the table must be unchanged and its rebuilt index
// sound. The checks run for the 64-bit build (wine64; this file built with
// WINDOWS_BITS 64) and the 32-bit one (tools/wine32; WINDOWS_BITS 32), with the
// library as shipped and with a test build whose small rebuild budget sends the keys
// through scratch files; the index that comes out of the scratch files must be the
// very index the in-memory rebuild writes. The 64-bit checks make a Wine prefix for
// each test and end its server afterwards; the 32-bit ones run in the prefix of the
// test run's 32-bit session (WINE32_SESSION), where every Wine process start may be
// emulated and a new prefix costs half a minute.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "support.h"

namespace enginetest {
namespace {

std::string windowsPath(const std::string& path) {
  std::string w = "Z:" + path;
  for (char& c : w)
    if (c == '/') c = '\\';
  return w;
}

struct Build {
  int bits;
  std::string loader;      // runs a Windows program of this build
  std::string wincheck;    // the checking program
  std::string faultcheck;  // the fault checks through the test layer, the engine linked in
  std::string dll;         // the library as shipped
  std::string smallDll;    // the test build with a small rebuild budget
};

Build build(int bits) {
  if (bits == 64) return {64, WINE, WINCHECK, FAULTCHECK, WIN64_DLL, WIN64_SMALL_DLL};
  return {32, WINE32, WINCHECK32, FAULTCHECK32, WIN32_DLL, WIN32_SMALL_DLL};
}

#if WINDOWS_BITS == 32
// The 32-bit session of the test run (state.json and prefix/ in this folder).
const std::string kSession = WINE32_SESSION;
#endif

// Why this build cannot be run here, or "" when it can.
std::string unavailable(const Build& b) {
  if (b.bits == 32) {
#if WINDOWS_BITS == 32
    const std::string state = kSession + "/state.json";
    if (!fs::exists(state)) return "no 32-bit session in " + kSession + " (made by the CTest fixture wine32_session)";
    std::smatch why;
    const std::string text = readFile(state);
    if (std::regex_search(text, why, std::regex("\"unavailable\": *\"([^\"]*)\"")))
      return "no 32-bit Wine runtime: " + why[1].str();
#endif
  } else if (!fs::exists(b.loader)) {
    return "wine64 is missing: run tools/install-deps.sh";
  }
  for (const auto& file : {b.wincheck, b.faultcheck, b.dll, b.smallDll})
    if (!fs::exists(file)) return file + " is not built (./dev.sh build)";
  return "";
}

// Runs a Windows program of the build with `arguments` (already quoted): in a fresh
// prefix below `dir` for the 64-bit build, in the session's for the 32-bit one.
std::pair<int, std::string> runProgram(const Build& b, const TempDir& dir, const std::string& program,
                                       const std::string& arguments) {
#if WINDOWS_BITS == 32
  const bool shared = b.bits == 32;
  const std::string prefix = shared ? kSession + "/prefix" : std::string(dir / "prefix64");
#else
  const bool shared = false;
  const std::string prefix = dir / ("prefix" + std::to_string(b.bits));
#endif
  std::string env = "WINEPREFIX='" + prefix + "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' WINEARCH=win64 ";
  std::string log = dir / "wine.log";
  std::string command = env + "'" + b.loader + "' '" + program + "' " + arguments + " > '" + log + "' 2>&1";
  int status = std::system(command.c_str());
  if (!shared) std::system((env + "'" + std::string(WINESERVER) + "' -k").c_str());
  return {status, fs::exists(log) ? readFile(log) : std::string()};
}

// Runs the checking program with `dll` on `table`.
std::pair<int, std::string> runCheck(const Build& b, const TempDir& dir, const std::string& dll,
                                     const std::string& table, bool spill, const std::string& longTable = {}) {
  return runProgram(b, dir, b.wincheck,
                    "'" + windowsPath(dll) + "' '" + windowsPath(table) + "'" +
                        (longTable.empty() ? "" : " '" + windowsPath(longTable) + "'") + (spill ? " --spill" : ""));
}

size_t filesIn(const std::string& folder) {
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++files;
  }
  return files;
}

class WindowsLibrary : public ::testing::TestWithParam<int> {};

TEST_P(WindowsLibrary, PassesItsChecksUnderWine) {
  const Build b = build(GetParam());
  if (std::string why = unavailable(b); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  fs::create_directories(dir / "DATA/factures/2024");
  std::string table =
      makeTable(dir, "DATA/factures/2024/Fact.DBF", fixtures::Kind::Fact, 800, fixtures::IndexState::Damaged, "full");
  const std::string before = readFile(table);
  // A table path of 255 characters as Windows sees it ("Z:" + the host path): the
  // longest the system opens is 259.
  std::string deepFolder = dir.path();
  const size_t wanted = 255 - 2 - std::string("/LONGTAB.DBF").size();
  int level = 0;
  while (deepFolder.size() < wanted) {
    std::string part = "/d" + std::to_string(level++);
    size_t room = wanted - deepFolder.size();
    if (room < part.size() + 40)
      part = "/" + std::string(room - 1, 'p');
    else
      part += std::string(35, 'q');
    deepFolder += part;
  }
  fs::create_directories(deepFolder);
  std::string deepTable = makeTable(dir, deepFolder.substr(dir.path().size() + 1) + "/LONGTAB.DBF",
                                    fixtures::Kind::Client, 200, fixtures::IndexState::Stale);
  ASSERT_EQ(windowsPath(deepTable).size(), 255u);

  auto [status, output] = runCheck(b, dir, b.dll, table, false, deepTable);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("PASSED"), std::string::npos) << output;

  EXPECT_EQ(readFile(table), before);
  EXPECT_EQ(checkTable(table, dir / "DATA/factures/2024/Fact.MDX"), "");
  EXPECT_EQ(filesIn(dir / "DATA/factures/2024"), 2u) << "a temporary file was left behind";
  EXPECT_EQ(checkTable(deepTable, deepFolder + "/LONGTAB.MDX"), "");
  EXPECT_EQ(filesIn(deepFolder), 2u) << "a temporary file was left behind";
}

TEST_P(WindowsLibrary, RebuildThroughScratchFilesWritesTheSameIndex) {
  const Build b = build(GetParam());
  if (std::string why = unavailable(b); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  fs::create_directories(dir / "memory");
  fs::create_directories(dir / "spilled");
  // Some thousand records with every tag: far more keys than the test build keeps.
  std::string inMemory =
      makeTable(dir, "memory/Fact.DBF", fixtures::Kind::Fact, 3000, fixtures::IndexState::Damaged, "full");
  std::string spilled = dir / "spilled/Fact.DBF";
  fs::copy_file(inMemory, spilled);
  fs::copy_file(dir / "memory/Fact.MDX", dir / "spilled/Fact.MDX");
  const std::string before = readFile(spilled);

  auto [status, output] = runCheck(b, dir, b.dll, inMemory, false);
  ASSERT_EQ(status, 0) << output;
  auto [spillStatus, spillOutput] = runCheck(b, dir, b.smallDll, spilled, true);
  EXPECT_EQ(spillStatus, 0) << spillOutput;
  EXPECT_NE(spillOutput.find("ok   rebuild spilled sorted runs"), std::string::npos) << spillOutput;

  EXPECT_EQ(readFile(spilled), before);
  EXPECT_EQ(checkTable(spilled, dir / "spilled/Fact.MDX"), "");
  EXPECT_TRUE(readFile(dir / "spilled/Fact.MDX") == readFile(dir / "memory/Fact.MDX"))
      << "the index rebuilt through scratch files differs from the one rebuilt in memory";
  EXPECT_EQ(filesIn(dir / "spilled"), 2u) << "a scratch file was left behind";
}

TEST_P(WindowsLibrary, FileLayerFaultsKeepTheOldIndexAndLeaveNothingBehind) {
  const Build b = build(GetParam());
  if (std::string why = unavailable(b); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  fs::create_directories(dir / "DATA");
  std::string table = makeTable(dir, "DATA/FACT.DBF", fixtures::Kind::Fact, 3000, fixtures::IndexState::Stale, "full");
  const std::string before = readFile(table);
  auto [status, output] = runProgram(b, dir, b.faultcheck, "'" + windowsPath(table) + "'");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("PASSED"), std::string::npos) << output;
  EXPECT_EQ(readFile(table), before);
  EXPECT_EQ(checkTable(table, dir / "DATA/FACT.MDX"), "");
  EXPECT_EQ(filesIn(dir / "DATA"), 2u) << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Builds, WindowsLibrary, ::testing::Values(WINDOWS_BITS),
                         [](const ::testing::TestParamInfo<int>& info) { return "Win" + std::to_string(info.param); });

}  // namespace
}  // namespace enginetest
