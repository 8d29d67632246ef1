// The exported engine functions: start and end, the standard database, table cursors,
// the description of an open table, the index rebuild and the error stack.
//
// One engine per process. Every exported function takes the engine's lock, so that
// calls from several threads are serialised. Handles are addresses of engine objects
// and are checked against the live objects before use: a stale or made-up handle
// gives DBIERR_INVALIDHNDL, never a wild access.
//
// Error stack: a failing call replaces the stack with one or more entries (the code,
// a text naming the file concerned, and a context value); a successful call clears
// it; the functions that read the stack leave it as it is.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/core/messages.h"
#include "idapi/engine/platform.h"
#include "idapi/engine/texts.h"
#include "idapi/engine/tuning.h"
#include "idapi/dbi.h"

namespace idapi::engine {
namespace {

// The code reported when another program holds a file in a conflicting mode: the
// table (or its index) is in use elsewhere, so it cannot be opened as asked.
constexpr DBIResult kInUseElsewhere = DBIERR_FILELOCKED;

// Bytes of keys a rebuild keeps in memory before it spills sorted runs to disk. A
// test build of the library (never shipped) compiles in a small one, so that the
// Windows tests reach the scratch files with tables of a few thousand records.
#ifndef IDAPI_REBUILD_BUDGET
#define IDAPI_REBUILD_BUDGET (size_t{64} << 20)
#endif
std::atomic<size_t> rebuildMemoryBudget{IDAPI_REBUILD_BUDGET};

struct ErrorEntry {
  DBIResult code = 0;
  uint32_t native = 0;
  std::string text;
  INT16 context = 0;         // ec... kind of the context value
  std::string contextValue;  // e.g. the full path for ecTABLENAME
};

// Thrown inside the engine; becomes the result code and the error stack.
struct Error {
  DBIResult code;
  std::vector<ErrorEntry> entries;
};

struct Database {
  std::string directory;
  bool readOnly = false;
  bool exclusive = false;
};

struct Cursor {
  Database* database = nullptr;
  std::string tableName;  // as the caller named it (with the default extension added)
  std::string dbfPath;
  std::string mdxPath;  // empty: no production index
  std::unique_ptr<LockedFile> dbf;
  std::unique_ptr<LockedFile> mdx;
  FileState tableAtOpen;  // the table's state when its header was read at the open
  core::TableHeader table;
  std::optional<core::IndexHeader> index;
  int activeTag = -1;
  DBIOpenMode openMode = dbiREADWRITE;
  DBIShareMode shareMode = dbiOPENSHARED;
  XLTMode xlt = xltFIELD;
  bool uniDirectional = false;
  uint32_t position = 0;  // 0: before the first record
};

struct State {
  std::recursive_mutex mutex;
  bool started = false;
  std::string defaultDirectory;
  std::set<Database*> databases;
  std::set<Cursor*> cursors;
  std::vector<ErrorEntry> stack;
  DBIResult lastCode = 0;
};

State& state() {
  static State* s = new State;  // never destroyed: safe to use during process exit
  return *s;
}

ErrorEntry entry(DBIResult code, std::string text, INT16 context = 0, std::string value = {}) {
  return ErrorEntry{code, 0, texts::fit(text), context, std::move(value)};
}

[[noreturn]] void fail(DBIResult code, std::vector<ErrorEntry> entries = {}) {
  if (entries.empty()) entries.push_back(entry(code, texts::forCode(code)));
  throw Error{code, std::move(entries)};
}

// Runs an exported function's body: engine lock, error stack, no exception escaping.
template <class Body>
DBIResult guarded(bool needsStart, Body body) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  try {
    if (needsStart && !s.started) fail(DBIERR_NOTINITIALIZED);
    body(s);
    s.stack.clear();
    s.lastCode = 0;
    return DBIERR_NONE;
  } catch (const Error& e) {
    s.stack = e.entries;
    s.lastCode = e.code;
    return e.code;
  } catch (const core::Failure& f) {
    s.stack = {entry(f.code(), f.what())};
    s.lastCode = f.code();
    return f.code();
  } catch (const std::bad_alloc&) {
    s.stack = {entry(DBIERR_NOMEMORY, texts::forCode(DBIERR_NOMEMORY))};
    s.lastCode = DBIERR_NOMEMORY;
    return DBIERR_NOMEMORY;
  } catch (...) {
    s.stack = {entry(DBIERR_FILECORRUPT, texts::forCode(DBIERR_FILECORRUPT))};
    s.lastCode = DBIERR_FILECORRUPT;
    return DBIERR_FILECORRUPT;
  }
}

// Copies a string into a fixed buffer of `size` bytes (NUL included), cut if needed.
void copyText(char* out, size_t size, const std::string& text) {
  if (!out || size == 0) return;
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// A C string of at most `limit` bytes from a caller's buffer that may lack its NUL.
std::string boundedText(const char* text, size_t limit) {
  if (!text) return {};
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return std::string(text, n);
}

bool sameText(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

Database* findDatabase(State& s, hDBIDb handle) {
  auto* db = static_cast<Database*>(handle);
  if (!handle || !s.databases.count(db)) fail(DBIERR_INVALIDHNDL);
  return db;
}

Cursor* findCursor(State& s, hDBICur handle) {
  auto* cursor = static_cast<Cursor*>(handle);
  if (!handle || !s.cursors.count(cursor)) fail(DBIERR_INVALIDHNDL);
  return cursor;
}

void closeCursor(State& s, Cursor* cursor) {
  s.cursors.erase(cursor);
  delete cursor;  // closing the files releases their locks
}

void closeDatabase(State& s, Database* db) {
  std::vector<Cursor*> doomed;
  for (Cursor* c : s.cursors)
    if (c->database == db) doomed.push_back(c);
  for (Cursor* c : doomed) closeCursor(s, c);
  s.databases.erase(db);
  delete db;
}

// The part of a table name after its last separator.
std::string lastComponent(const std::string& name) {
  size_t cut = name.find_last_of("\\/:");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::string extensionOf(const std::string& name) {
  std::string last = lastComponent(name);
  size_t dot = last.find_last_of('.');
  return dot == std::string::npos ? std::string() : last.substr(dot);
}

// The error for a file that could not be opened.
[[noreturn]] void failOpen(const OsError& error, const std::string& path, bool isIndex, const std::string& tablePath) {
  DBIResult code;
  std::string cause;  // a line naming the file with the cause, where the code alone does not tell it
  switch (error.status) {
    case OsStatus::NotFound: code = isIndex ? DBIERR_NOSUCHINDEX : DBIERR_NOSUCHFILE; break;
    case OsStatus::ReadOnly: code = DBIERR_TABLEREADONLY; break;
    case OsStatus::Locked: code = kInUseElsewhere; break;
    case OsStatus::AccessDenied: code = DBIERR_FILENOACCESS; break;
    case OsStatus::NotRegular:
      code = DBIERR_UNKNOWNFILE;
      cause = texts::notRegular(path);
      break;
    case OsStatus::LockFailed:
      code = DBIERR_OSLOCKVIOL;
      cause = texts::lockError(path);
      break;
    case OsStatus::NoHandles: code = DBIERR_NOFILEHANDLES; break;
    case OsStatus::BadName: code = DBIERR_INVALIDFILENAME; break;
    default: code = DBIERR_READERR; break;
  }
  std::vector<ErrorEntry> entries;
  if (!cause.empty()) entries.push_back(entry(code, cause, isIndex ? ecFILENAME : ecTABLENAME, path));
  if (isIndex) {
    entries.push_back(entry(code, texts::indexEntry(path), ecFILENAME, path));
    entries.push_back(entry(code, texts::tableEntry(tablePath), ecTABLENAME, tablePath));
  } else {
    entries.push_back(entry(code, texts::tableEntry(path), ecTABLENAME, path));
  }
  entries.front().native = error.native;
  fail(code, std::move(entries));
}

// A core failure while reading or rebuilding, with the file and the table named.
[[noreturn]] void failCore(const core::Failure& f, const std::string& filePath, INT16 fileContext,
                           const std::string& tablePath) {
  std::vector<ErrorEntry> entries;
  entries.push_back(entry(f.code(), f.what(), fileContext, filePath));
  if (fileContext != ecTABLENAME) entries.push_back(entry(f.code(), texts::indexEntry(filePath), ecFILENAME, filePath));
  entries.push_back(entry(f.code(), texts::tableEntry(tablePath), ecTABLENAME, tablePath));
  fail(f.code(), std::move(entries));
}

core::IndexHeader readIndex(const LockedFile& mdx, const std::string& tablePath) {
  try {
    return core::readIndexHeader(mdx, fileNameOf(mdx.path()));
  } catch (const core::Failure& f) {
    failCore(f, mdx.path(), ecFILENAME, tablePath);
  }
}

core::TableHeader readTable(const LockedFile& dbf) {
  try {
    return core::readTableHeader(dbf, fileNameOf(dbf.path()));
  } catch (const core::Failure& f) {
    failCore(f, dbf.path(), ecTABLENAME, dbf.path());
  }
}

UINT16 codePageOf(uint8_t languageId) {
  switch (languageId) {
    case 0x01:
    case 0x1B: return 437;
    case 0x02:
    case 0x37: return 850;
    case 0x03:
    case 0x57:
    case 0x58:
    case 0x59: return 1252;
    case 0x64: return 852;
    case 0x65: return 866;
    case 0x66: return 865;
    case 0x67: return 861;
    case 0x6A: return 737;
    case 0x6B: return 857;
    case 0x6C: return 863;
    case 0x6D: return 852;
    case 0xC8: return 1250;
    case 0xC9: return 1251;
    case 0xCA: return 1254;
    case 0xCB: return 1253;
    default: return 0;
  }
}

// Logical type, subtype and buffer size of a field as reported with xltFIELD.
struct Logical {
  UINT16 type, subType, size;
};

Logical logicalOf(const core::Field& f) {
  switch (f.type) {
    case 'C': return {fldZSTRING, 0, static_cast<UINT16>(f.length + 1)};
    case 'N':
    case 'F':
      if (f.decimals == 0 && f.length < 5) return {fldINT16, 0, 2};
      if (f.decimals == 0 && f.length < 10) return {fldINT32, 0, 4};
      return {fldFLOAT, 0, 8};
    case 'D': return {fldDATE, 0, 4};
    case 'L': return {fldBOOL, 0, 2};
    case 'M': return {fldBLOB, fldstMEMO, 10};
    case 'B': return {fldBLOB, fldstBINARY, 10};
    case 'G': return {fldBLOB, fldstDBSOLEOBJ, 10};
    case 'I': return {fldINT32, 0, 4};
    case '+': return {fldINT32, 0, 4};
    case 'O': return {fldFLOAT, 0, 8};
    case '@': return {fldTIMESTAMP, 0, 8};
    default: return {fldBYTES, 0, f.length};
  }
}

UINT16 physicalOf(char type) {
  switch (type) {
    case 'C': return fldDBCHAR;
    case 'N': return fldDBNUM;
    case 'M': return fldDBMEMO;
    case 'L': return fldDBBOOL;
    case 'D': return fldDBDATE;
    case 'F': return fldDBFLOAT;
    case 'G': return fldDBOLEBLOB;
    case 'B': return fldDBBINARY;
    case 'I': return fldDBLONG;
    case '@': return fldDBDATETIME;
    case 'O': return fldDBDOUBLE;
    case '+': return fldDBAUTOINC;
    default: return fldDBBYTES;
  }
}

UINT16 recordBufferSize(const Cursor& c) {
  if (c.xlt == xltNONE) return c.table.recordLength;
  uint32_t total = 0;
  for (const auto& f : c.table.fields) total += logicalOf(f).size;
  return static_cast<UINT16>(std::min<uint32_t>(total, 0xFFFF));
}

// Field number (1-based) of a key expression that is just a field name, else 0.
UINT16 plainField(const core::TableHeader& table, const std::string& expression) {
  std::string e = upperAscii(expression);
  e.erase(0, e.find_first_not_of(' '));
  e.erase(e.find_last_not_of(' ') + 1);
  for (size_t i = 0; i < table.fields.size(); ++i)
    if (upperAscii(table.fields[i].name) == e) return static_cast<UINT16>(i + 1);
  return 0;
}

// Reopens the cursor's index if a failed replacement left it closed.
void reopenIndex(Cursor& c) {
  if (c.mdx) return;
  OsError error;
  c.mdx = openLocked(c.mdxPath, LockMode::Exclusive, false, error, true);
  if (!c.mdx) failOpen(error, c.mdxPath, true, c.dbfPath);
}

// Makes sure the cursor holds its index again however the rebuild ends.
struct IndexKeeper {
  Cursor& c;
  ~IndexKeeper() {
    if (c.mdx) return;
    OsError error;
    c.mdx = openLocked(c.mdxPath, LockMode::Exclusive, false, error, true);
  }
};

// The rebuild given up because the table is not as it was read.
[[noreturn]] void failChanged(const Cursor& c) {
  fail(kTableChanged, {entry(kTableChanged, texts::tableChanged(c.dbfPath), ecTABLENAME, c.dbfPath)});
}

// The table's header bytes as they are on disk now.
std::vector<uint8_t> headerBytes(const Cursor& c, const core::TableHeader& table) {
  std::vector<uint8_t> bytes(table.headerLength);
  try {
    c.dbf->readAt(0, bytes.data(), bytes.size());
  } catch (const core::Failure&) {
    failChanged(c);  // the header was there a moment ago
  }
  return bytes;
}

void rebuild(Cursor& c) {
  reopenIndex(c);
  IndexKeeper keeper{c};
  // The exclusive hold keeps well-behaved programs out, but on some systems the lock
  // is only advisory: the rebuild works from the table as it is now (records appended
  // since the open included), remembers the state it read, and gives up if the table
  // is not the same file in the same state when the new index is ready.
  core::TableHeader table;
  FileState tableState;
  try {
    c.dbf->refresh();
    tableState = settledState(*c.dbf);
  } catch (const core::Failure& f) {
    failCore(f, c.dbfPath, ecTABLENAME, c.dbfPath);
  }
  try {
    table = core::readTableHeader(*c.dbf, fileNameOf(c.dbfPath));
  } catch (const core::Failure& f) {
    if (tableState != c.tableAtOpen) failChanged(c);  // readable at the open: changed meanwhile
    failCore(f, c.dbfPath, ecTABLENAME, c.dbfPath);
  }
  const std::vector<uint8_t> header = headerBytes(c, table);
  core::IndexHeader index = readIndex(*c.mdx, c.dbfPath);
  // An index without tags has nothing to rebuild: it is left exactly as it is (some
  // writers keep only its fixed header), and the table's records are not read.
  if (index.tags.empty()) {
    c.table = std::move(table);
    c.index = std::move(index);
    return;
  }
  // The new index names the table it belongs to. A table copied or renamed with its
  // index keeps another table's name in the index header; the rebuild corrects it.
  std::string base = fileNameOf(c.dbfPath);
  base.resize(std::min(base.find_last_of('.'), base.size()));
  index.tableName = upperAscii(base);
  core::followExistingOrder(table, *c.dbf, *c.mdx, fileNameOf(c.mdxPath), index);
  if (isReadOnlyFile(c.mdxPath)) {
    fail(DBIERR_INDEXREADONLY, {entry(DBIERR_INDEXREADONLY, texts::indexEntry(c.mdxPath), ecFILENAME, c.mdxPath),
                                entry(DBIERR_INDEXREADONLY, texts::tableEntry(c.dbfPath), ecTABLENAME, c.dbfPath)});
  }
  // A symbolic link stays a link: its target is the file replaced.
  const std::string target = replacementTarget(c.mdxPath);
  try {
    if (c.mdx->state().links > 1) throw core::Failure(kIndexHasLinks, texts::hardLinks(c.mdxPath));
    removeLeftovers(target);
    auto scratch = createScratchStore(target);
    auto out = createReplacement(target);
    core::RebuildOptions options;
    options.memoryBudget = rebuildMemoryBudget.load();
    options.scratch = scratch.get();
    const CalendarDate today = todayUtc();
    options.year = today.year;
    options.month = today.month;
    options.day = today.day;
    core::rebuildIndex(table, *c.dbf, index, fileNameOf(c.mdxPath), *out, options);
    scratch.reset();
    // The old index stays open until the new one has taken its name, and the new one
    // is held from its first moment: no other program can take either in between.
    // The table is checked last, with the new index on disk, right before it is put
    // in place.
    std::unique_ptr<LockedFile> fresh = out->commit(c.mdx, [&] {
      if (c.dbf->state() != tableState || !namesFile(c.dbfPath, tableState) || headerBytes(c, table) != header)
        failChanged(c);
    });
    c.mdx = std::move(fresh);
  } catch (const core::Failure& f) {
    failCore(f, c.mdxPath, ecFILENAME, c.dbfPath);
  }
  c.table = std::move(table);
  c.tableAtOpen = tableState;
  if (c.mdx) c.index = readIndex(*c.mdx, c.dbfPath);
}

}  // namespace

size_t setRebuildMemoryBudget(size_t bytes) { return rebuildMemoryBudget.exchange(bytes); }

}  // namespace idapi::engine

using namespace idapi::engine;

extern "C" {

DBIResult DBIFN DbiInitFn(UINT16 iVer, pDBIEnv pEnv) {
  return guarded(false, [&](State& s) {
    if (s.started) fail(DBIERR_MULTIPLEINIT);
    if (iVer != DBIINTFVER) fail(DBIERR_INTERFACEVER);
    std::string lang, workDir;
    if (pEnv) {
      lang = boundedText(pEnv->szLang, sizeof pEnv->szLang);
      workDir = boundedText(pEnv->szWorkDir, sizeof pEnv->szWorkDir);
    }
    texts::setLanguage(lang == "000C" ? texts::Language::French : texts::Language::English);
    s.defaultDirectory = workDir.empty() ? currentDirectory() : workDir;
    s.started = true;
  });
}

DBIResult DBIFN DbiExit(void) {
  return guarded(true, [&](State& s) {
    while (!s.databases.empty()) closeDatabase(s, *s.databases.begin());
    while (!s.cursors.empty()) closeCursor(s, *s.cursors.begin());
    s.started = false;
  });
}

DBIResult DBIFN DbiOpenDatabase(const char* pszDbName, const char* pszDbType, DBIOpenMode eOpenMode,
                                DBIShareMode eShareMode, const char* pszPassword, UINT16 iOptFlds, pFLDDesc pOptFldDesc,
                                void* pOptParams, phDBIDb phDb) {
  return guarded(true, [&](State& s) {
    if (!phDb) fail(DBIERR_INVALIDPARAM);
    *phDb = nullptr;
    std::string name = boundedText(pszDbName, DBIMAXNAMELEN + 1);
    std::string type = boundedText(pszDbType, DBIMAXNAMELEN + 1);
    if (!name.empty()) {
      // Only the standard database exists: no aliases are configured.
      fail(DBIERR_OBJNOTFOUND,
           {entry(DBIERR_OBJNOTFOUND, texts::naming(idapi::core::tr("Alias:"), name), ecALIAS, name)});
    }
    if (!type.empty() && !sameText(type, "STANDARD")) fail(DBIERR_UNKNOWNTBLTYPE);
    if ((eOpenMode != dbiREADWRITE && eOpenMode != dbiREADONLY) ||
        (eShareMode != dbiOPENSHARED && eShareMode != dbiOPENEXCL))
      fail(DBIERR_INVALIDPARAM);
    auto db = std::make_unique<Database>();
    db->directory = s.defaultDirectory;
    db->readOnly = eOpenMode == dbiREADONLY;
    db->exclusive = eShareMode == dbiOPENEXCL;
    s.databases.insert(db.get());
    *phDb = db.release();
  });
}

DBIResult DBIFN DbiCloseDatabase(phDBIDb phDb) {
  return guarded(true, [&](State& s) {
    if (!phDb) fail(DBIERR_INVALIDPARAM);
    Database* db = findDatabase(s, *phDb);
    closeDatabase(s, db);
    *phDb = nullptr;
  });
}

DBIResult DBIFN DbiSetDirectory(hDBIDb hDb, const char* pszDir) {
  return guarded(true, [&](State& s) {
    Database* db = findDatabase(s, hDb);
    if (!pszDir) {
      db->directory = s.defaultDirectory;
      return;
    }
    std::string dir = boundedText(pszDir, DBIMAXPATHLEN + 1);
    if (dir.size() > DBIMAXPATHLEN) fail(DBIERR_INVALIDDIR);
    db->directory = dir;  // an empty name: names are taken from the current directory
  });
}

DBIResult DBIFN DbiOpenTable(hDBIDb hDb, const char* pszTableName, const char* pszDriverType, const char* pszIndexName,
                             const char* pszIndexTagName, UINT16 iIndexId, DBIOpenMode eOpenMode,
                             DBIShareMode eShareMode, XLTMode exltMode, BOOLDBI bUniDirectional, void* pOptParams,
                             phDBICur phCursor) {
  return guarded(true, [&](State& s) {
    if (!phCursor) fail(DBIERR_INVALIDPARAM);
    *phCursor = nullptr;
    Database* db = findDatabase(s, hDb);
    if ((eOpenMode != dbiREADWRITE && eOpenMode != dbiREADONLY) ||
        (eShareMode != dbiOPENSHARED && eShareMode != dbiOPENEXCL) || exltMode < xltNONE || exltMode > xltFIELD)
      fail(DBIERR_INVALIDPARAM);

    std::string name = boundedText(pszTableName, DBIMAXTBLNAMELEN + 1);
    if (name.empty() || name.size() > DBIMAXTBLNAMELEN)
      fail(DBIERR_INVALIDFILENAME, {entry(DBIERR_INVALIDFILENAME, texts::tableEntry(name), ecTABLENAME, name)});
    std::string driver = boundedText(pszDriverType, DBIMAXNAMELEN + 1);
    std::string extension = extensionOf(name);
    if (driver.empty()) {
      if (!extension.empty() && !sameText(extension, ".DBF"))
        fail(DBIERR_UNKNOWNTBLTYPE, {entry(DBIERR_UNKNOWNTBLTYPE, texts::tableEntry(name), ecTABLENAME, name)});
    } else if (!sameText(driver, "DBASE")) {
      fail(DBIERR_UNKNOWNTBLTYPE,
           {entry(DBIERR_UNKNOWNTBLTYPE, texts::naming(idapi::core::tr("Driver:"), driver), ecTOKEN, driver)});
    }
    if (extension.empty()) name += ".DBF";
    if (name.size() > DBIMAXTBLNAMELEN)
      fail(DBIERR_INVALIDFILENAME, {entry(DBIERR_INVALIDFILENAME, texts::tableEntry(name), ecTABLENAME, name)});

    bool readOnly = eOpenMode == dbiREADONLY || db->readOnly;
    bool exclusive = eShareMode == dbiOPENEXCL || db->exclusive;
    LockMode lock = exclusive ? LockMode::Exclusive : LockMode::Shared;

    auto cursor = std::make_unique<Cursor>();
    cursor->database = db;
    cursor->tableName = name;
    cursor->dbfPath = resolvePath(db->directory, name);
    cursor->openMode = readOnly ? dbiREADONLY : dbiREADWRITE;
    cursor->shareMode = exclusive ? dbiOPENEXCL : dbiOPENSHARED;
    cursor->xlt = exltMode;
    cursor->uniDirectional = bUniDirectional != 0;

    OsError error;
    cursor->dbf = openLocked(cursor->dbfPath, lock, !readOnly, error);
    if (!cursor->dbf) failOpen(error, cursor->dbfPath, false, cursor->dbfPath);
    cursor->table = readTable(*cursor->dbf);
    try {
      cursor->tableAtOpen = cursor->dbf->state();
    } catch (const idapi::core::Failure& f) {
      failCore(f, cursor->dbfPath, ecTABLENAME, cursor->dbfPath);
    }

    if (cursor->table.productionIndex) {
      std::string base = fileNameOf(cursor->dbfPath);
      size_t dot = base.find_last_of('.');
      if (dot != std::string::npos) base.resize(dot);
      std::string folder = folderOf(cursor->dbfPath);
      std::string mdxPath = findInFolder(folder, base + ".MDX");
      if (mdxPath.empty()) failOpen(OsError{OsStatus::NotFound, 0}, folder + base + ".MDX", true, cursor->dbfPath);
      cursor->mdx = openLocked(mdxPath, lock, false, error, true);
      if (!cursor->mdx) failOpen(error, mdxPath, true, cursor->dbfPath);
      cursor->mdxPath = mdxPath;
      cursor->index = readIndex(*cursor->mdx, cursor->dbfPath);
    }

    // The order to activate: a tag of the production index, named by its tag name.
    std::string indexName = boundedText(pszIndexName, DBIMAXTBLNAMELEN + 1);
    std::string tagName = boundedText(pszIndexTagName, DBIMAXNAMELEN + 1);
    if (!indexName.empty() || !tagName.empty()) {
      std::string wanted = upperAscii(tagName.empty() ? indexName : tagName);
      if (!tagName.empty() && !indexName.empty()) {
        std::string file = upperAscii(lastComponent(indexName));
        std::string mdxName = upperAscii(fileNameOf(cursor->mdxPath));
        std::string mdxBase = mdxName.substr(0, mdxName.find_last_of('.'));
        if (!cursor->index || (file != mdxName && file != mdxBase))
          fail(DBIERR_NOTSUPPORTED, {entry(DBIERR_NOTSUPPORTED, texts::indexEntry(indexName), ecINDEXNAME, indexName)});
      }
      if (cursor->index)
        for (size_t i = 0; i < cursor->index->tags.size(); ++i)
          if (cursor->index->tags[i].name == wanted) cursor->activeTag = static_cast<int>(i);
      if (cursor->activeTag < 0)
        fail(DBIERR_NOSUCHINDEX,
             {entry(DBIERR_NOSUCHINDEX, texts::indexEntry(wanted), ecINDEXNAME, wanted),
              entry(DBIERR_NOSUCHINDEX, texts::tableEntry(cursor->dbfPath), ecTABLENAME, cursor->dbfPath)});
    }

    s.cursors.insert(cursor.get());
    *phCursor = cursor.release();
  });
}

DBIResult DBIFN DbiCloseCursor(phDBICur phCursor) {
  return guarded(true, [&](State& s) {
    if (!phCursor) fail(DBIERR_INVALIDPARAM);
    Cursor* cursor = findCursor(s, *phCursor);
    closeCursor(s, cursor);
    *phCursor = nullptr;
  });
}

DBIResult DBIFN DbiGetCursorProps(hDBICur hCursor, pCURProps pcurProps) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (!pcurProps) fail(DBIERR_INVALIDPARAM);
    CURProps p;
    std::memset(&p, 0, sizeof p);
    copyText(p.szName, sizeof p.szName, c->tableName);
    p.iFNameSize = static_cast<UINT16>(std::min<size_t>(c->dbfPath.size() + 1, 0xFFFF));
    copyText(p.szTableType, sizeof p.szTableType, "DBASE");
    p.iFields = static_cast<UINT16>(c->table.fields.size());
    p.iRecSize = recordBufferSize(*c);
    p.iRecBufSize = recordBufferSize(*c);
    p.iKeySize = c->activeTag >= 0 ? c->index->tags[static_cast<size_t>(c->activeTag)].keyLength : 0;
    p.iIndexes = c->index ? static_cast<UINT16>(c->index->tags.size()) : 0;
    p.iBookMarkSize = 4;
    p.bBookMarkStable = 1;
    p.eOpenMode = c->openMode;
    p.eShareMode = c->shareMode;
    p.bIndexed = c->activeTag >= 0;
    p.iSeqNums = 0;
    p.bSoftDeletes = 1;
    p.bDeletedOn = 0;
    p.exltMode = c->xlt;
    p.bUniDirectional = c->uniDirectional;
    p.eprvRights = c->openMode == dbiREADONLY ? prvREADONLY : prvFULL;
    p.iCodePage = codePageOf(c->table.languageId);
    p.iTblLevel = static_cast<UINT16>(c->table.level);
    copyText(p.szLangDriver, sizeof p.szLangDriver, c->table.languageDriver);
    p.iBlockSize = c->index ? static_cast<UINT16>(c->index->blockPages / 2) : 0;  // in KiB
    std::memcpy(pcurProps, &p, sizeof p);
  });
}

DBIResult DBIFN DbiGetFieldDescs(hDBICur hCursor, pFLDDesc pfldDesc) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (!pfldDesc) fail(DBIERR_INVALIDPARAM);
    UINT16 offset = 0;
    for (size_t i = 0; i < c->table.fields.size(); ++i) {
      const idapi::core::Field& f = c->table.fields[i];
      FLDDesc d;
      std::memset(&d, 0, sizeof d);
      d.iFldNum = static_cast<UINT16>(i + 1);
      copyText(d.szName, sizeof d.szName, f.name);
      d.iUnits1 = static_cast<INT16>(f.length);
      d.iUnits2 = static_cast<INT16>(f.decimals);
      if (c->xlt == xltNONE) {
        d.iFldType = physicalOf(f.type);
        d.iOffset = f.offset;
        d.iLen = f.length;
      } else {
        Logical l = logicalOf(f);
        d.iFldType = l.type;
        d.iSubType = l.subType;
        d.iOffset = offset;
        d.iLen = l.size;
        offset = static_cast<UINT16>(offset + l.size);
      }
      d.efldvVchk = fldvNOCHECKS;
      d.efldrRights = c->openMode == dbiREADONLY ? fldrREADONLY : fldrREADWRITE;
      std::memcpy(&pfldDesc[i], &d, sizeof d);
    }
  });
}

DBIResult DBIFN DbiGetIndexDescs(hDBICur hCursor, pIDXDesc pidxDesc) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (!pidxDesc) fail(DBIERR_INVALIDPARAM);
    if (!c->index) return;
    std::string file = fileNameOf(c->mdxPath);
    for (size_t i = 0; i < c->index->tags.size(); ++i) {
      const idapi::core::TagDefinition& t = c->index->tags[i];
      IDXDesc d;
      std::memset(&d, 0, sizeof d);
      copyText(d.szName, sizeof d.szName, file);
      d.iIndexId = static_cast<UINT16>(i + 1);
      copyText(d.szTagName, sizeof d.szTagName, t.name);
      d.bPrimary = 0;
      d.bUnique = t.unique;
      d.bDescending = t.descending;
      d.bMaintained = 1;
      d.bSubset = !t.forExpression.empty();
      UINT16 field = plainField(c->table, t.keyExpression);
      d.bExpIdx = field == 0;
      d.iFldsInKey = 1;
      d.iKeyLen = t.keyLength;
      d.bOutofDate = 0;
      d.iKeyExpType = t.keyType == 'N' ? fldDBNUM : t.keyType == 'D' ? fldDBDATE : fldDBCHAR;
      d.aiKeyFld[0] = field;
      copyText(d.szKeyExp, sizeof d.szKeyExp, t.keyExpression);
      copyText(d.szKeyCond, sizeof d.szKeyCond, t.forExpression);
      d.iBlockSize = static_cast<UINT16>(c->index->blockPages * 512u);
      d.abDescending[0] = t.descending;
      std::memcpy(&pidxDesc[i], &d, sizeof d);
    }
  });
}

DBIResult DBIFN DbiSetToBegin(hDBICur hCursor) {
  return guarded(true, [&](State& s) { findCursor(s, hCursor)->position = 0; });
}

DBIResult DBIFN DbiRegenIndexes(hDBICur hCursor) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (c->shareMode != dbiOPENEXCL)
      fail(DBIERR_NEEDEXCLACCESS,
           {entry(DBIERR_NEEDEXCLACCESS, texts::tableEntry(c->dbfPath), ecTABLENAME, c->dbfPath)});
    if (!c->index) return;  // no production index: nothing to rebuild
    rebuild(*c);
  });
}

DBIResult DBIFN DbiGetErrorString(DBIResult rslt, char* pszError) {
  if (!pszError) return DBIERR_INVALIDPARAM;
  std::lock_guard<std::recursive_mutex> lock(state().mutex);
  copyText(pszError, DBIMAXMSGLEN + 1, texts::forCode(rslt));
  return DBIERR_NONE;
}

DBIResult DBIFN DbiGetErrorEntry(UINT16 uEntry, UINT32* pulNativeError, char* pszError) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (pulNativeError) *pulNativeError = 0;
  if (pszError) pszError[0] = '\0';
  if (uEntry == 0 || uEntry > s.stack.size()) return DBIERR_NONE;
  const ErrorEntry& e = s.stack[uEntry - 1];
  if (pulNativeError) *pulNativeError = e.native;
  copyText(pszError, DBIMAXMSGLEN + 1, e.text);
  return e.code;
}

DBIResult DBIFN DbiGetErrorContext(INT16 eContext, char* pszContext) {
  if (!pszContext) return DBIERR_INVALIDPARAM;
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  pszContext[0] = '\0';
  for (const ErrorEntry& e : s.stack)
    if (e.context == eContext && eContext != 0) {
      copyText(pszContext, DBIMAXMSGLEN + 1, texts::tail(e.contextValue));
      break;
    }
  return DBIERR_NONE;
}

DBIResult DBIFN DbiGetErrorInfo(BOOLDBI bFull, pDBIErrInfo pErrInfo) {
  if (!pErrInfo) return DBIERR_INVALIDPARAM;
  State& s = state();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  DBIErrInfo info;
  std::memset(&info, 0, sizeof info);
  info.iError = s.lastCode;
  copyText(info.szErrCode, sizeof info.szErrCode, texts::forCode(s.lastCode));
  for (size_t i = 0; i < 4 && i < s.stack.size(); ++i)
    copyText(info.szContext[i], sizeof info.szContext[i], s.stack[i].text);
  std::memcpy(pErrInfo, &info, sizeof info);
  return DBIERR_NONE;
}

}  // extern "C"
