// Test doubles: an operating system with an in-memory file system and libraries,
// and an engine library whose exported functions record every call.
#ifndef ORVANE_TESTS_LAUNCHER_FAKES_H
#define ORVANE_TESTS_LAUNCHER_FAKES_H

#include <idapi/dbi.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sys/system.h"

namespace fake {

struct Library {
  std::set<std::string> exports;  // names findSymbol answers
};

class System final : public sys::System {
 public:
  std::string folder = "C:\\Orvane\\";
  std::string cwd = "C:\\Orvane";
  std::set<std::string> files;    // full paths of files
  std::set<std::string> folders;  // full paths of folders
  int year = 2018;
  std::map<std::string, Library> libraries;    // by path or bare name
  std::map<std::string, uint32_t> loadErrors;  // failures by path or bare name
  std::optional<std::string> dllPath;          // the DLLPATH value
  std::vector<std::string> loads;              // every load request, in order
  std::vector<std::string> lookups;            // every symbol lookup, in order
  std::vector<std::string> registryReads;
  int programFolderReads = 0;
  int yearReads = 0;
  int frees = 0;

  std::string programFolder() override {
    ++programFolderReads;
    return folder;
  }
  std::string currentDirectory() override { return cwd; }
  uint32_t setCurrentDirectoryError = 0;  // answer of setCurrentDirectory when not 0
  uint32_t setCurrentDirectory(const std::string& path) override {
    if (setCurrentDirectoryError != 0) return setCurrentDirectoryError;
    cwd = path;
    return 0;
  }
  bool fileExists(const std::string& path) override { return files.count(path) != 0; }
  int currentYear() override {
    ++yearReads;
    return year;
  }
  sys::LoadResult loadLibrary(const std::string& nameOrPath) override;
  void freeLibrary(sys::LibraryHandle) override { ++frees; }
  void* findSymbol(sys::LibraryHandle library, const char* name) override;
  std::optional<std::string> machineRegistryString(const std::string& key, const std::string& value) override {
    registryReads.push_back(key + "|" + value);
    return dllPath;
  }
  std::string utf8ToAnsi(const std::string& text) override;
  std::string ansiToUtf8(const std::string& text) override;
  // Windows-1252 to code page 850, as a French system converts; '?' where 850 has no
  // such letter.
  std::string ansiToOem(const std::string& text) override;
  struct ShellRequest {
    sys::NativeWindow owner;
    std::string file, parameters, directory, cwd;
    int show;
  };
  std::vector<ShellRequest> shellRequests;
  intptr_t shellOpen(sys::NativeWindow owner, const std::string& file, const std::string& parameters,
                     const std::string& directory, int show) override {
    shellRequests.push_back({owner, file, parameters, directory, cwd, show});
    return 42;
  }
  char separator() const override { return '\\'; }

  // A whole engine library in the program folder, exporting every function.
  void installEngine(const std::string& path);
};

struct StackEntry {
  DBIResult code;
  UINT32 native;
  std::string text;
};

// The engine behind the fake library's functions. One instance is current at a time.
struct Engine {
  Engine();
  ~Engine();

  // Programmed answers.
  DBIResult initResult = 0;
  DBIResult openDatabaseResult = 0;
  DBIResult setDirectoryResult = 0;
  std::map<std::string, DBIResult> openResults;          // first open of a table (by path sent)
  std::map<std::string, DBIResult> readOnlyOpenResults;  // open asking read-only access
  std::map<std::string, DBIResult> regenResults;
  DBIResult propsResult = 0, fieldsResult = 0, indexesResult = 0, beginResult = 0;
  UINT16 fieldCount = 3, indexCount = 2;
  std::map<DBIResult, std::string> texts;  // DbiGetErrorString (UTF-8 here, ANSI to the caller)
  std::vector<StackEntry> stack;           // the error stack of the last failure
  bool endlessStack = false;               // never reports the end of the stack
  bool unterminatedText = false;           // fills the whole text buffer, no NUL

  // What happened.
  std::vector<std::string> calls;        // "init", "opendb", "setdir", "open <path> <rw|ro> <excl|shared>", ...
  std::vector<std::string> regenerated;  // paths whose indexes were rebuilt
  UINT16 initVersion = 0;
  std::vector<unsigned char> initEnvironment;
  std::string directorySet = "<unset>";
  bool openDatabaseArgsStandard = false;
  int entryCalls = 0;
  std::map<intptr_t, std::string> openCursors;  // cursor -> path
  intptr_t nextCursor = 100;

  static Engine* current;
};

}  // namespace fake

#endif  // ORVANE_TESTS_LAUNCHER_FAKES_H
