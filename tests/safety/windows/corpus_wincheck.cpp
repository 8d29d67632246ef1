// corpus_wincheck: the malformed-file corpus (tests/safety/corpus) through a Windows
// IDAPI32.DLL, run under Wine by the host test safety_corpus_win32/win64. The 32-bit
// library is where sizes and counts are narrowest, so a length that lies or a count
// near 2^32 must be refused there just as in the host build.
//
//   corpus_wincheck IDAPI32.DLL CORPUS WORK
//
// Each case listed in CORPUS\manifest.txt is copied to WORK\<case>, its table opened
// exclusively and its indexes rebuilt. The step the manifest names must give the code
// listed there, with an error stack that names the damaged file, and then every file
// must be byte for byte as before; a case listed with 0000 must leave the table as it
// was and nothing but the table and its index in the folder (the index itself is
// checked afterwards by the host test). Prints one line per case ("ok" / "FAIL") and
// "repaired <case>" for those; exit status 0 when every case passed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "idapi/dbi.h"

namespace {

struct Case {
  std::string name, step, namedFile;
  unsigned code = 0;
};

std::string readFile(const std::string& path) {
  std::string bytes;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(h);
  return bytes;
}

// Every file of a folder (not below it) with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files[found.cFileName] = readFile(folder + "\\" + found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return files;
}

bool copyFolder(const std::string& from, const std::string& to) {
  CreateDirectoryA(to.c_str(), nullptr);
  for (const auto& [name, bytes] : snapshot(from)) {
    if (!CopyFileA((from + "\\" + name).c_str(), (to + "\\" + name).c_str(), FALSE)) return false;
  }
  return true;
}

std::vector<Case> manifest(const std::string& corpus) {
  std::vector<Case> cases;
  std::istringstream in(readFile(corpus + "\\manifest.txt"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream fields(line);
    while (std::getline(fields, cell, '\t')) cells.push_back(cell);
    if (cells.size() < 4) continue;
    cases.push_back({cells[0], cells[1], cells[3], static_cast<unsigned>(std::strtoul(cells[2].c_str(), nullptr, 16))});
  }
  return cases;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

template <class T>
T bind(HMODULE dll, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: corpus_wincheck IDAPI32.DLL CORPUS WORK\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    std::printf("FAIL cannot load %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  auto init = bind<PFN_DbiInitFn>(dll, "DbiInitFn");
  auto exitFn = bind<PFN_DbiExit>(dll, "DbiExit");
  auto openDb = bind<PFN_DbiOpenDatabase>(dll, "DbiOpenDatabase");
  auto openTable = bind<PFN_DbiOpenTable>(dll, "DbiOpenTable");
  auto closeCursor = bind<PFN_DbiCloseCursor>(dll, "DbiCloseCursor");
  auto props = bind<PFN_DbiGetCursorProps>(dll, "DbiGetCursorProps");
  auto regen = bind<PFN_DbiRegenIndexes>(dll, "DbiRegenIndexes");
  auto errorEntry = bind<PFN_DbiGetErrorEntry>(dll, "DbiGetErrorEntry");
  if (!init || !exitFn || !openDb || !openTable || !closeCursor || !props || !regen || !errorEntry) {
    std::printf("FAIL %s lacks an export\n", argv[1]);
    return 1;
  }
  const std::string corpus = argv[2], work = argv[3];
  const std::vector<Case> cases = manifest(corpus);
  if (cases.size() < 50) {
    std::printf("FAIL only %u cases in %s\\manifest.txt\n", static_cast<unsigned>(cases.size()), corpus.c_str());
    return 1;
  }
  CreateDirectoryA(work.c_str(), nullptr);

  int failures = 0;
  for (const Case& c : cases) {
    std::string problem;
    const std::string folder = work + "\\" + c.name;
    if (!copyFolder(corpus + "\\" + c.name, folder)) {
      std::printf("FAIL %s: cannot copy the case\n", c.name.c_str());
      ++failures;
      continue;
    }
    const auto before = snapshot(folder);
    const std::string table = folder + "\\CP.DBF";

    DBIEnv env;
    std::memset(&env, 0, sizeof env);
    std::strcpy(env.szLang, "0009");
    hDBIDb db = nullptr;
    hDBICur cursor = nullptr;
    DBIResult rc = init(DBIINTFVER, &env);
    if (rc == 0) rc = openDb(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db);
    if (rc != 0) {
      std::printf("FAIL %s: engine start %04X\n", c.name.c_str(), rc);
      ++failures;
      continue;
    }
    rc = openTable(db, table.c_str(), "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, FALSE, nullptr,
                   &cursor);
    DBIResult got = rc;
    if (c.step == "open") {
      if (rc == 0) problem = "the open succeeded";
    } else if (rc != 0) {
      problem = "the open failed";
    } else {
      got = regen(cursor);
    }
    // The failure's stack names the damaged file.
    std::string stack;
    char text[DBIMAXMSGLEN + 1];
    UINT32 native = 0;
    for (UINT16 i = 1; i < 16 && errorEntry(i, &native, text) != 0; ++i) stack += upper(text) + " | ";
    if (cursor) {
      CURProps p;
      if (props(cursor, &p) != 0) problem += " the cursor is unusable after the rebuild;";
      closeCursor(&cursor);
    }
    exitFn();
    if (got != c.code) problem += " expected " + std::to_string(c.code) + ";";
    if (c.code != 0 && stack.find(upper(c.namedFile)) == std::string::npos)
      problem += " the error stack does not name " + c.namedFile + ": " + stack + ";";
    const auto after = snapshot(folder);
    bool repaired = false;
    if (c.code != 0 || got != 0) {
      if (after != before) problem += " a file changed, appeared or went;";
    } else {
      if (after.size() != before.size()) problem += " a scratch or temporary file was left behind;";
      for (const auto& [name, bytes] : before) {
        auto it = after.find(name);
        if (it == after.end())
          problem += " " + name + " went;";
        else if (upper(name) != "CP.MDX" && it->second != bytes)
          problem += " " + name + " changed;";
      }
      repaired = after.count("CP.MDX") && after.at("CP.MDX") != before.at("CP.MDX");
    }
    std::printf("%s %s (got %04X)%s\n", problem.empty() ? "ok  " : "FAIL", c.name.c_str(), got, problem.c_str());
    if (problem.empty() && repaired) std::printf("repaired %s\n", c.name.c_str());
    if (!problem.empty()) ++failures;
  }
  FreeLibrary(dll);
  std::printf("%s (%u cases)\n", failures ? "FAILED" : "PASSED", static_cast<unsigned>(cases.size()));
  return failures ? 1 : 0;
}
