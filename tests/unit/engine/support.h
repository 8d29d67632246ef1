// Shared helpers of the engine tests: scratch folders, file snapshots, the error stack.
#ifndef ORVANE_TESTS_ENGINE_SUPPORT_H
#define ORVANE_TESTS_ENGINE_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fixtures.h"
#include "idapi/dbi.h"

namespace enginetest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// Every file below `root` with its bytes (paths relative to root).
std::map<std::string, std::string> snapshot(const std::string& root);

struct StackEntry {
  DBIResult code;
  uint32_t native;
  std::string text;
};
// The engine's error stack, entry 1 first, read until it reports no further entry.
std::vector<StackEntry> errorStack();
// All entry texts joined by " | ".
std::string stackText();

std::string errorString(DBIResult code);

// Starts the engine (English texts unless `french`) and opens the standard database;
// ends it again on destruction.
class Engine {
 public:
  explicit Engine(bool french = false);
  ~Engine();
  hDBIDb db() const { return db_; }
  // Opens a table; returns the result code and the cursor (null on failure).
  DBIResult open(const std::string& path, hDBICur& cursor, DBIShareMode share = dbiOPENEXCL,
                 DBIOpenMode mode = dbiREADWRITE, const char* driver = "DBASE");

 private:
  hDBIDb db_ = nullptr;
};

// Writes a generated table; returns its path.
std::string makeTable(const TempDir& dir, const std::string& name, fixtures::Kind kind, uint32_t records,
                      fixtures::IndexState index = fixtures::IndexState::Fresh, const std::string& tagSet = "standard",
                      uint64_t seed = 7);

// Runs the format core's checker over a table and its index; "" when every tag is
// sound, else the problems found.
std::string checkTable(const std::string& dbfPath, const std::string& mdxPath);

}  // namespace enginetest

#endif  // ORVANE_TESTS_ENGINE_SUPPORT_H
