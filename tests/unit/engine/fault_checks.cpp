#include "fault_checks.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "fault_platform.h"
#include "idapi/dbi.h"
#include "idapi/engine/tuning.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using idapi::engine::OsError;
using idapi::engine::OsStatus;

std::map<std::string, std::string> folderBytes(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().filename().string()] =
        std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  return files;
}

struct Outcome {
  DBIResult rc = DBIERR_NONE;
  uint32_t native = 0;
  std::string first;  // the first entry of the error stack
};

Outcome lastError(DBIResult rc) {
  Outcome o;
  o.rc = rc;
  char text[DBIMAXMSGLEN + 1] = {};
  UINT32 native = 0;
  DbiGetErrorEntry(1, &native, text);
  o.native = native;
  o.first = text;
  return o;
}

// Opens the table exclusively in a started engine and, unless `openOnly`, rebuilds
// its indexes; ends the engine again.
Outcome rebuild(const std::string& table, bool openOnly = false) {
  DbiInitFn(DBIINTFVER, nullptr);
  hDBIDb db = nullptr;
  hDBICur cursor = nullptr;
  Outcome o;
  DBIResult rc = DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db);
  if (rc == DBIERR_NONE)
    rc = DbiOpenTable(db, table.c_str(), "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, 0, nullptr,
                      &cursor);
  if (rc == DBIERR_NONE && !openOnly) rc = DbiRegenIndexes(cursor);
  o = lastError(rc);
  if (cursor) DbiCloseCursor(&cursor);
  if (db) DbiCloseDatabase(&db);
  DbiExit();
  return o;
}

uint16_t headerLength(const std::string& table) {
  std::ifstream in(table, std::ios::binary);
  unsigned char b[10] = {};
  in.read(reinterpret_cast<char*>(b), sizeof b);
  return static_cast<uint16_t>(b[8] | (b[9] << 8));
}

class Checks {
 public:
  Checks(const std::string& table, std::string& log)
      : table_(table), name_(fs::path(table).filename().string()), folder_(fs::path(table).parent_path()), log_(log) {}

  int failures() const { return failures_; }

  // Runs `arm` on a fresh layer, rebuilds, and expects `code` with the folder as it was.
  void expectRefused(const char* what, DBIResult code, const std::function<void(FaultPlatform&)>& arm,
                     const char* firstEntry = nullptr, bool openOnly = false) {
    const auto before = folderBytes(folder_);
    Outcome o;
    {
      FaultPlatform layer;
      arm(layer);
      o = rebuild(table_, openOnly);
    }
    std::string why;
    if (o.rc != code) why += " code " + hex(o.rc) + " instead of " + hex(code) + " (" + o.first + ");";
    if (firstEntry && o.first.rfind(firstEntry, 0) != 0) why += " first entry \"" + o.first + "\";";
    if (firstEntry && o.first.find(name_) == std::string::npos) why += " the entry does not name " + name_ + ";";
    const auto after = folderBytes(folder_);
    if (after.size() != before.size())
      why += " a temporary file was left behind;";
    else if (after != before)
      why += " a file changed;";
    report(what, why);
  }

  void expect(const char* what, bool ok, const std::string& why) { report(what, ok ? std::string() : why); }

  std::string hex(DBIResult code) const {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(code));
    return text;
  }

  const std::string& table() const { return table_; }
  const std::string& name() const { return name_; }
  const fs::path& folder() const { return folder_; }

 private:
  void report(const char* what, const std::string& why) {
    log_ += (why.empty() ? "ok   " : "FAIL ") + std::string(what) + (why.empty() ? "" : ":" + why) + "\n";
    if (!why.empty()) ++failures_;
  }

  std::string table_, name_;
  fs::path folder_;
  std::string& log_;
  int failures_ = 0;
};

}  // namespace

int runFaultChecks(const std::string& table, std::string& log) {
  Checks c(table, log);
  const uint64_t records = headerLength(table);

  c.expectRefused(
      "a lock the system cannot take is a lock error naming the file", DBIERR_OSLOCKVIOL,
      [](FaultPlatform& f) {
        f.lockFault = OsError{OsStatus::LockFailed, 33};
      },
      "Cannot lock", true);

  c.expectRefused("a table changed while its records are read keeps the old index", DBIERR_FILEBUSY,
                  [&](FaultPlatform& f) {
                    f.onRead = FaultPlatform::ReadHook{c.name(), records, [&f, &c] { f.changedFile = c.name(); }};
                  });

  c.expectRefused("a read error in the records keeps the old index", DBIERR_READERR, [&](FaultPlatform& f) {
    f.readFault = FaultPlatform::ReadHook{c.name(), records, nullptr};
  });

  c.expectRefused("a full disk while the new index is written keeps the old one and no temporary file",
                  DBIERR_NODISKSPACE, [](FaultPlatform& f) { f.indexWriteFault = 4096; });

  c.expectRefused("a new index that cannot take its name keeps the old one and no temporary file", DBIERR_WRITEERR,
                  [](FaultPlatform& f) { f.commitFault = true; });

  {
    const size_t budget = idapi::engine::setRebuildMemoryBudget(64 << 10);
    c.expectRefused("a full disk while sorted runs are spilled keeps the old index and no scratch file",
                    DBIERR_NODISKSPACE, [](FaultPlatform& f) { f.scratchFault = true; });
    idapi::engine::setRebuildMemoryBudget(budget);
  }

  // Every fault gone: the rebuild through the layer succeeds and leaves two files.
  Outcome o;
  {
    FaultPlatform layer;
    o = rebuild(table);
  }
  size_t files = folderBytes(c.folder()).size();
  c.expect("with no fault armed the rebuild succeeds and leaves the table and its index alone",
           o.rc == DBIERR_NONE && files == 2,
           " code " + c.hex(o.rc) + " (" + o.first + "), " + std::to_string(files) + " files");
  return c.failures();
}

}  // namespace enginetest
