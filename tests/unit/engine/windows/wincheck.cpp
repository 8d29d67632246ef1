// Exercises IDAPI32.DLL on Windows (run under Wine by the host tests): the library is
// loaded at run time and every function bound by its plain name, as the launcher
// does. Checks the Windows file layer: exclusive opens without sharing, shared opens,
// the read-only attribute, missing files, an index rebuild with its replacement while
// another program keeps trying to open the index, and the rebuild of a table whose
// path is close to the system's limit.
//
//   engine_wincheck IDAPI32.DLL TABLE.DBF [LONGPATH.DBF] [--spill]
//   engine_wincheck --intrude INDEX STOP-EVENT READY-EVENT   (the other program, started by the first)
// With --spill (for a library with a small rebuild budget), the table's folder is
// watched during the first rebuild: it must have written sorted runs to scratch files
// beside the index, and none may be left afterwards.
// Prints one line per check; exit status 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "idapi/dbi.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, unsigned got) {
  std::printf("%s %s (got %04X)\n", ok ? "ok  " : "FAIL", what, got);
  if (!ok) ++failures;
}

template <class T>
T bind(HMODULE dll, const char* name) {
  FARPROC p = GetProcAddress(dll, name);
  if (!p) {
    std::printf("FAIL missing export %s\n", name);
    ++failures;
  }
  return reinterpret_cast<T>(reinterpret_cast<void*>(p));
}

// Names of the files created in a folder while it is watched (ReadDirectoryChangesW).
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder) {
    dir_ = CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ok_ = dir_ != INVALID_HANDLE_VALUE && overlapped_.hEvent && issue();
  }
  ~FolderWatch() {
    if (dir_ != INVALID_HANDLE_VALUE) {
      CancelIo(dir_);
      CloseHandle(dir_);
    }
    if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
  }
  bool ok() const { return ok_; }
  // Collects what was reported until nothing more comes for a moment.
  std::vector<std::string> created() {
    std::vector<std::string> names;
    while (ok_ && WaitForSingleObject(overlapped_.hEvent, 2000) == WAIT_OBJECT_0) {
      DWORD bytes = 0;
      if (!GetOverlappedResult(dir_, &overlapped_, &bytes, FALSE)) break;
      for (DWORD at = 0; bytes && at < bytes;) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
        if (info->Action == FILE_ACTION_ADDED || info->Action == FILE_ACTION_RENAMED_NEW_NAME) {
          char name[MAX_PATH * 2] = {};
          WideCharToMultiByte(CP_ACP, 0, info->FileName, static_cast<int>(info->FileNameLength / sizeof(WCHAR)), name,
                              sizeof name - 1, nullptr, nullptr);
          names.push_back(name);
        }
        if (!info->NextEntryOffset) break;
        at += info->NextEntryOffset;
      }
      ResetEvent(overlapped_.hEvent);
      if (!issue()) break;
    }
    return names;
  }

 private:
  bool issue() {
    return ReadDirectoryChangesW(dir_, buffer_, sizeof buffer_, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                 &overlapped_, nullptr) != 0;
  }
  HANDLE dir_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_{};
  alignas(DWORD) BYTE buffer_[64 * 1024];
  bool ok_ = false;
};

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Temporary files beside the index (the engine names them "~IX..." and "~IS...").
int leftovers(const std::string& index) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folderOf(index) + "\\~I*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do ++count;
  while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

// The other program: keeps trying to open the index for reading, as another program
// of the application might, until told to stop; its exit code is the number of times
// it got the index (at most 250), 255 when it could not start. A process of its own
// rather than a thread: a second thread is what user-mode emulation of 32-bit Wine
// handles worst, and another program is what the check is about.
int intrude(const char* path, const char* stopName, const char* readyName) {
  HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, stopName);
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
  if (!stop || !ready) return 255;
  SetEvent(ready);
  int got = 0;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      if (got < 250) ++got;
      Sleep(20);
      CloseHandle(h);
    }
  }
  return got;
}

// Starts the other program on `index` and waits until it runs.
class Intruder {
 public:
  explicit Intruder(const std::string& index) {
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string stopName = "engine_wincheck_stop_" + tag, readyName = "engine_wincheck_ready_" + tag;
    stop_ = CreateEventA(nullptr, TRUE, FALSE, stopName.c_str());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = "\"";
    line.append(self).append("\" --intrude \"").append(index).append("\" ").append(stopName);
    line.append(" ").append(readyName);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (stop_ && ready && CreateProcessA(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_))
      running_ = WaitForSingleObject(ready, 120000) == WAIT_OBJECT_0;
    if (ready) CloseHandle(ready);
  }
  ~Intruder() {
    if (pi_.hProcess) {
      TerminateProcess(pi_.hProcess, 255);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
    if (stop_) CloseHandle(stop_);
  }
  bool running() const { return running_; }
  // Stops it; the number of times it got the index, or -1 when it did not end well.
  int finish() {
    if (!running_) return -1;
    SetEvent(stop_);
    DWORD code = 255;
    if (WaitForSingleObject(pi_.hProcess, 120000) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi_.hProcess, &code) ||
        code == 255)
      return -1;
    return static_cast<int>(code);
  }

 private:
  HANDLE stop_ = nullptr;
  PROCESS_INFORMATION pi_{};
  bool running_ = false;
};

std::string indexOf(const char* table) {
  std::string mdx = table;
  mdx.replace(mdx.size() - 4, 4, ".MDX");
  return mdx;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--intrude") == 0) return intrude(argv[2], argv[3], argv[4]);
  const bool spill = argc >= 4 && std::strcmp(argv[argc - 1], "--spill") == 0;
  const int plain = spill ? argc - 1 : argc;
  if (plain != 3 && plain != 4) return 2;
  const char* longPath = plain == 4 ? argv[3] : nullptr;
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    std::printf("FAIL cannot load %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  auto init = bind<PFN_DbiInitFn>(dll, "DbiInitFn");
  auto exitFn = bind<PFN_DbiExit>(dll, "DbiExit");
  auto openDb = bind<PFN_DbiOpenDatabase>(dll, "DbiOpenDatabase");
  auto setDir = bind<PFN_DbiSetDirectory>(dll, "DbiSetDirectory");
  auto openTable = bind<PFN_DbiOpenTable>(dll, "DbiOpenTable");
  auto closeCursor = bind<PFN_DbiCloseCursor>(dll, "DbiCloseCursor");
  auto props = bind<PFN_DbiGetCursorProps>(dll, "DbiGetCursorProps");
  auto regen = bind<PFN_DbiRegenIndexes>(dll, "DbiRegenIndexes");
  auto errorString = bind<PFN_DbiGetErrorString>(dll, "DbiGetErrorString");
  auto errorEntry = bind<PFN_DbiGetErrorEntry>(dll, "DbiGetErrorEntry");
  if (failures) return 1;

  const char* table = argv[2];
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, "000C");
  DBIResult rc = init(DBIINTFVER, &env);
  check(rc == 0, "start", rc);
  rc = init(DBIINTFVER, &env);
  check(rc == DBIERR_MULTIPLEINIT, "second start", rc);
  hDBIDb db = nullptr;
  rc = openDb(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db);
  check(rc == 0 && db, "standard database", rc);
  rc = setDir(db, "");
  check(rc == 0, "empty directory", rc);

  auto open = [&](const char* path, DBIOpenMode mode, DBIShareMode share, hDBICur& cur) {
    cur = nullptr;
    return openTable(db, path, "DBASE", nullptr, nullptr, 0, mode, share, xltFIELD, FALSE, nullptr, &cur);
  };

  hDBICur a = nullptr, b = nullptr;
  rc = open(table, dbiREADWRITE, dbiOPENEXCL, a);
  check(rc == 0, "exclusive open", rc);
  rc = open(table, dbiREADWRITE, dbiOPENSHARED, b);
  check(rc == DBIERR_FILELOCKED && !b, "shared open while held exclusively", rc);
  char text[DBIMAXMSGLEN + 1];
  UINT32 native = 0;
  rc = errorEntry(1, &native, text);
  check(rc == DBIERR_FILELOCKED && std::strstr(text, "Table :") == text, "error entry names the table", rc);
  rc = errorEntry(2, &native, text);
  check(rc == 0 && text[0] == 0, "no second entry", rc);
  const std::string index = std::string(table).substr(0, std::strlen(table) - 4) + ".MDX";
  std::unique_ptr<FolderWatch> watch;
  if (spill) {
    watch = std::make_unique<FolderWatch>(folderOf(table));
    check(watch->ok(), "watching the table's folder", GetLastError());
  }
  rc = regen(a);
  check(rc == 0, "rebuild", rc);
  if (spill) {
    const std::string scratch = "~IS";
    int runs = 0;
    for (const auto& name : watch->created())
      if (upper(name).compare(0, scratch.size(), scratch) == 0) ++runs;
    check(runs >= 2, "rebuild spilled sorted runs to scratch files", static_cast<unsigned>(runs));
    check(leftovers(index) == 0, "no scratch file left", static_cast<unsigned>(leftovers(index)));
  }
  // The index is never free for another program while the table is held, not even
  // while it is being replaced.
  if (!spill) {
    Intruder intruder(indexOf(table));
    check(intruder.running(), "another program keeps trying to open the index", GetLastError());
    DBIResult worst = 0;
    for (int i = 0; i < 40; ++i) {
      DBIResult r = regen(a);
      if (r != 0) worst = r;
    }
    const int got = intruder.finish();
    check(worst == 0, "rebuilds while another program keeps trying", worst);
    check(got == 0, "the index was never open to another program", static_cast<unsigned>(got));
  }
  closeCursor(&a);
  check(a == nullptr, "close clears the handle", 0);

  // A table whose path is close to the limit opens and rebuilds.
  if (longPath) {
    const char* deep = longPath;
    hDBICur d = nullptr;
    rc = open(deep, dbiREADWRITE, dbiOPENEXCL, d);
    check(rc == 0, "open of a table with a long path", rc);
    rc = regen(d);
    if (rc != 0 && errorEntry(1, &native, text) != 0) std::printf("     %s\n", text);
    check(rc == 0, "rebuild of a table with a long path", rc);
    closeCursor(&d);
    std::printf("     path length %u\n", static_cast<unsigned>(std::strlen(deep)));
  }

  rc = open(table, dbiREADWRITE, dbiOPENSHARED, a);
  check(rc == 0, "shared open", rc);
  rc = open(table, dbiREADWRITE, dbiOPENSHARED, b);
  check(rc == 0, "second shared open", rc);
  hDBICur x = nullptr;
  rc = open(table, dbiREADWRITE, dbiOPENEXCL, x);
  check(rc == DBIERR_FILELOCKED && !x, "exclusive open while shared", rc);
  rc = regen(a);
  check(rc == DBIERR_NEEDEXCLACCESS, "rebuild of a shared cursor", rc);
  closeCursor(&a);
  closeCursor(&b);

  // The read-only attribute: refused for writing, accepted for reading.
  SetFileAttributesA(table, FILE_ATTRIBUTE_READONLY);
  hDBICur c = nullptr;
  rc = open(table, dbiREADWRITE, dbiOPENEXCL, c);
  check(rc == DBIERR_TABLEREADONLY, "read-write open of a read-only table", rc);
  rc = open(table, dbiREADONLY, dbiOPENEXCL, c);
  check(rc == 0, "read-only open", rc);
  CURProps p;
  rc = props(c, &p);
  check(rc == 0 && p.eOpenMode == dbiREADONLY && std::strcmp(p.szTableType, "DBASE") == 0, "properties", rc);
  rc = regen(c);
  check(rc == 0, "rebuild of a read-only table", rc);
  closeCursor(&c);
  SetFileAttributesA(table, FILE_ATTRIBUTE_NORMAL);

  std::string missing = std::string(table) + ".absent.DBF";
  rc = open(missing.c_str(), dbiREADWRITE, dbiOPENEXCL, c);
  check(rc == DBIERR_NOSUCHFILE, "missing table", rc);
  rc = errorString(DBIERR_NOSUCHFILE, text);
  check(rc == 0 && std::strcmp(text, "Le fichier n'existe pas") == 0, "French text", rc);
  rc = errorString(DBIERR_NEEDEXCLACCESS, text);
  check(rc == 0 && std::strcmp(text,
                               "Cette op\xE9ration n\xE9"
                               "cessite un acc\xE8s exclusif") == 0,
        "French text in Windows-1252", rc);

  // Names come in the system's OEM code page, as callers of the installed engine send
  // them (CharToOem): a folder with accented letters is found by its OEM bytes, and its
  // ANSI bytes, read as OEM, name another folder.
  {
    const std::string accented = folderOf(table) + "\\Soci\xE9t\xE9 \xE0 fa\xE7on \xF4";
    CreateDirectoryA(accented.c_str(), nullptr);
    const std::string ansi = accented + "\\Fact.DBF";
    const bool copied =
        CopyFileA(table, ansi.c_str(), FALSE) && CopyFileA(index.c_str(), (accented + "\\Fact.MDX").c_str(), FALSE);
    check(copied, "table copied into a folder with accented letters", GetLastError());
    std::string oem(ansi.size(), '\0');
    CharToOemBuffA(ansi.c_str(), oem.data(), static_cast<DWORD>(ansi.size()));
    rc = open(oem.c_str(), dbiREADWRITE, dbiOPENEXCL, c);
    check(rc == 0, "table named in the OEM code page", rc);
    if (rc == 0) {
      rc = regen(c);
      check(rc == 0, "rebuild of a table named in the OEM code page", rc);
      closeCursor(&c);
    }
    if (GetACP() != GetOEMCP()) {
      rc = open(ansi.c_str(), dbiREADWRITE, dbiOPENEXCL, c);
      check(rc == DBIERR_NOSUCHFILE, "the same name in ANSI bytes is another name", rc);
      if (rc == 0) closeCursor(&c);
    }
    DeleteFileA(ansi.c_str());
    DeleteFileA((accented + "\\Fact.MDX").c_str());
    RemoveDirectoryA(accented.c_str());
  }

  rc = exitFn();
  check(rc == 0, "exit", rc);
  FreeLibrary(dll);
  std::printf("%s\n", failures ? "FAILED" : "PASSED");
  return failures ? 1 : 0;
}
