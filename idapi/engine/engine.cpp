// The exported engine functions: start and end, the standard database, table cursors
// and the error stack. The rebuild itself is in rebuild.cpp, the descriptions of an
// open table in descriptions.cpp.
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
#include "idapi/engine/engine_internal.h"
#include "idapi/engine/names.h"
#include "idapi/engine/platform.h"
#include "idapi/engine/texts.h"
#include "idapi/engine/tuning.h"
#include "idapi/dbi.h"
#include "text/ascii.h"

namespace idapi::engine {
namespace {

// The code reported when another program holds a file in a conflicting mode: the
// table (or its index) is in use elsewhere, so it cannot be opened as asked.
constexpr DBIResult kInUseElsewhere = DBIERR_FILELOCKED;

}  // namespace

ErrorEntry entry(DBIResult code, std::string text, INT16 context, std::string value) {
  return ErrorEntry{code, 0, texts::fit(text), context, std::move(value)};
}

void fail(DBIResult code, std::vector<ErrorEntry> entries) {
  if (entries.empty()) entries.push_back(entry(code, texts::forCode(code)));
  throw Error{code, std::move(entries)};
}

// Copies a string into a fixed buffer of `size` bytes (NUL included), cut if needed.
void copyText(char* out, size_t size, const std::string& text) {
  if (!out || size == 0) return;
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The error for a file that could not be opened.
void failOpen(const OsError& error, const std::string& path, bool isIndex, const std::string& tablePath) {
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
  // No native code: the installed engine's local drivers leave it 0 (it carries a
  // database server's own code), and callers read a non-zero one as a server's error
  // whose text stands alone (docs/engine-interface.md).
  fail(code, std::move(entries));
}

// A core failure while reading or rebuilding, with the file and the table named.
void failCore(const core::Failure& f, const std::string& filePath, INT16 fileContext, const std::string& tablePath) {
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

namespace {

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

// A C string of at most `limit` bytes from a caller's buffer that may lack its NUL.
std::string boundedText(const char* text, size_t limit) {
  if (!text) return {};
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return std::string(text, n);
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

core::TableHeader readTable(const LockedFile& dbf) {
  try {
    return core::readTableHeader(dbf, fileNameOf(dbf.path()));
  } catch (const core::Failure& f) {
    failCore(f, dbf.path(), ecTABLENAME, dbf.path());
  }
}

}  // namespace

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
      workDir = nameFromCaller(boundedText(pEnv->szWorkDir, sizeof pEnv->szWorkDir));
    }
    texts::setLanguage(lang == "000C" ? texts::Language::French : texts::Language::English);
    s.defaultDirectory = workDir.empty() ? platform().currentDirectory() : workDir;
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
    if (!type.empty() && !text::sameAsciiText(type, "STANDARD")) fail(DBIERR_UNKNOWNTBLTYPE);
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
    std::string dir = nameFromCaller(boundedText(pszDir, DBIMAXPATHLEN + 1));
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

    std::string name = nameFromCaller(boundedText(pszTableName, DBIMAXTBLNAMELEN + 1));
    if (name.empty() || name.size() > DBIMAXTBLNAMELEN)
      fail(DBIERR_INVALIDFILENAME, {entry(DBIERR_INVALIDFILENAME, texts::tableEntry(name), ecTABLENAME, name)});
    std::string driver = boundedText(pszDriverType, DBIMAXNAMELEN + 1);
    std::string extension = extensionOf(name);
    if (driver.empty()) {
      if (!extension.empty() && !text::sameAsciiText(extension, ".DBF"))
        fail(DBIERR_UNKNOWNTBLTYPE, {entry(DBIERR_UNKNOWNTBLTYPE, texts::tableEntry(name), ecTABLENAME, name)});
    } else if (!text::sameAsciiText(driver, "DBASE")) {
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
    cursor->dbfPath = platform().resolvePath(db->directory, name);
    cursor->openMode = readOnly ? dbiREADONLY : dbiREADWRITE;
    cursor->shareMode = exclusive ? dbiOPENEXCL : dbiOPENSHARED;
    cursor->xlt = exltMode;
    cursor->uniDirectional = bUniDirectional != 0;

    OsError error;
    cursor->dbf = platform().openLocked(cursor->dbfPath, lock, !readOnly, error);
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
      std::string mdxPath = platform().findInFolder(folder, base + ".MDX");
      if (mdxPath.empty()) failOpen(OsError{OsStatus::NotFound, 0}, folder + base + ".MDX", true, cursor->dbfPath);
      cursor->mdx = platform().openLocked(mdxPath, lock, false, error, true);
      if (!cursor->mdx) failOpen(error, mdxPath, true, cursor->dbfPath);
      cursor->mdxPath = mdxPath;
      cursor->index = readIndex(*cursor->mdx, cursor->dbfPath);
    }

    // The order to activate: a tag of the production index, named by its tag name.
    std::string indexName = nameFromCaller(boundedText(pszIndexName, DBIMAXTBLNAMELEN + 1));
    std::string tagName = boundedText(pszIndexTagName, DBIMAXNAMELEN + 1);
    if (!indexName.empty() || !tagName.empty()) {
      std::string wanted = text::upperAscii(tagName.empty() ? indexName : tagName);
      if (!tagName.empty() && !indexName.empty()) {
        std::string file = text::upperAscii(lastComponent(indexName));
        std::string mdxName = text::upperAscii(fileNameOf(cursor->mdxPath));
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
    describeCursor(*c, *pcurProps);
  });
}

DBIResult DBIFN DbiGetFieldDescs(hDBICur hCursor, pFLDDesc pfldDesc) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (!pfldDesc) fail(DBIERR_INVALIDPARAM);
    describeFields(*c, pfldDesc);
  });
}

DBIResult DBIFN DbiGetIndexDescs(hDBICur hCursor, pIDXDesc pidxDesc) {
  return guarded(true, [&](State& s) {
    Cursor* c = findCursor(s, hCursor);
    if (!pidxDesc) fail(DBIERR_INVALIDPARAM);
    describeIndexes(*c, pidxDesc);
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
