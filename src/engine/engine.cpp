#include "engine/engine.h"

#include <cstring>

namespace engine {
namespace {

constexpr const char* kSlotNames[] = {
#define IDAPI_EXPORT(name, argumentBytes) #name,
#include "idapi/exports.h"
};

bool endsWithSeparator(const std::string& path) { return !path.empty() && (path.back() == '\\' || path.back() == '/'); }

std::string trimmedFolder(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

// Reads a text the engine wrote into a fixed buffer: never past the buffer.
std::string bufferText(const char* buffer, size_t size) { return std::string(buffer, strnlen(buffer, size)); }

}  // namespace

DBIResult loadFailureCode(uint32_t systemError) {
  switch (systemError) {
    case sys::kErrorFileNotFound:
    case sys::kErrorPathNotFound:
    case sys::kErrorModNotFound:
    case sys::kErrorBadPathname: return DBIERR_CANTFINDIDAPI;
    case sys::kErrorNotEnoughMemory:
    case sys::kErrorOutOfMemory: return DBIERR_NOMEMORY;
    default: return DBIERR_CANTLOADIDAPI;
  }
}

Engine::Engine(sys::System& system) : system_(system) {
  static_assert(sizeof(kSlotNames) / sizeof(kSlotNames[0]) == kSlotCount, "one name per engine function");
}

Engine::~Engine() {
  if (database_ != nullptr) {
    if (auto close = bound<PFN_DbiCloseDatabase>(kDbiCloseDatabase)) close(&database_);
    database_ = nullptr;
  }
  unload();
}

template <typename Fn>
Fn Engine::bound(Slot slot) {
  if (slots_[slot] == nullptr && library_ != nullptr) slots_[slot] = system_.findSymbol(library_, kSlotNames[slot]);
  return reinterpret_cast<Fn>(slots_[slot]);
}

void Engine::unload() {
  if (initialised_) {
    if (auto exitFn = bound<PFN_DbiExit>(kDbiExit)) exitFn();
    initialised_ = false;
  }
  if (library_ != nullptr) system_.freeLibrary(library_);
  library_ = nullptr;
  std::memset(slots_, 0, sizeof slots_);
}

void Engine::loadLibrary() {
  const char sep = system_.separator();
  const auto inFolder = [sep](const std::string& folder) {
    return endsWithSeparator(folder) ? folder + kLibraryName : folder + sep + kLibraryName;
  };

  sys::LoadResult loaded;
  // An unreadable current directory must not turn into the root of the drive.
  const std::string currentDirectory = system_.currentDirectory();
  const std::string local = currentDirectory.empty() ? std::string() : inFolder(currentDirectory);
  if (!local.empty() && system_.fileExists(local)) {
    loaded = system_.loadLibrary(local);
  } else {
    bool found = false;
    if (const auto searchPath = system_.machineRegistryString(kInstallationKey, kLibraryPathValue)) {
      size_t pos = 0;
      while (!found && pos <= searchPath->size()) {
        size_t end = searchPath->find(';', pos);
        if (end == std::string::npos) end = searchPath->size();
        const std::string folder = trimmedFolder(searchPath->substr(pos, end - pos));
        if (!folder.empty() && system_.fileExists(inFolder(folder))) {
          loaded = system_.loadLibrary(inFolder(folder));
          found = true;
        }
        pos = end + 1;
      }
    }
    if (!found) loaded = system_.loadLibrary(kLibraryName);
  }
  if (loaded.handle == nullptr) {
    const DBIResult code = loadFailureCode(loaded.error);
    throw EngineError(code, startFailureMessage(code));
  }
  library_ = loaded.handle;
}

void Engine::start() {
  if (database_ != nullptr) return;
  if (!initialised_) {
    if (library_ == nullptr) loadLibrary();
    const auto init = bound<PFN_DbiInitFn>(kDbiInitFn);
    if (init == nullptr) {
      unload();
      throw EngineError(DBIERR_NOTINITIALIZED, startFailureMessage(DBIERR_NOTINITIALIZED));
    }
    DBIEnv environment;
    std::memset(&environment, 0, sizeof environment);
    std::memcpy(environment.szLang, kMessageLanguage, std::strlen(kMessageLanguage));
    const DBIResult rc = init(DBIINTFVER, &environment);
    if (rc != DBIERR_NONE && rc != DBIERR_MULTIPLEINIT) {
      unload();
      throw EngineError(rc, startFailureMessage(rc));
    }
    initialised_ = true;
  }

  hDBIDb db = nullptr;
  const auto openDatabase = bound<PFN_DbiOpenDatabase>(kDbiOpenDatabase);
  DBIResult rc = openDatabase != nullptr
                     ? openDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db)
                     : DBIERR_NOTINITIALIZED;
  if (rc != DBIERR_NONE) throw error(rc);
  // An empty working directory: tables are always named by full path.
  const auto setDirectory = bound<PFN_DbiSetDirectory>(kDbiSetDirectory);
  rc = setDirectory != nullptr ? setDirectory(db, "") : DBIERR_NOTINITIALIZED;
  if (rc != DBIERR_NONE) {
    EngineError failure = error(rc);
    if (auto close = bound<PFN_DbiCloseDatabase>(kDbiCloseDatabase)) close(&db);
    throw failure;
  }
  database_ = db;
}

EngineError Engine::error(DBIResult code) {
  return EngineError(code,
                     composeMessage(
                         code, [this](DBIResult c) { return errorText(c); },
                         [this](UINT16 n, UINT32& native, std::string& text) { return errorEntry(n, native, text); }));
}

void Engine::check(DBIResult code) {
  if (code != DBIERR_NONE) throw error(code);
}

DBIResult Engine::OpenTable(hDBIDb db, const char* name, const char* driver, const char* indexName,
                            const char* indexTagName, UINT16 indexId, DBIOpenMode openMode, DBIShareMode shareMode,
                            XLTMode translation, BOOLDBI uniDirectional, void* optParams, hDBICur* cursor) {
  const auto fn = bound<PFN_DbiOpenTable>(kDbiOpenTable);
  if (fn == nullptr) return DBIERR_NOTINITIALIZED;
  return fn(db, name, driver, indexName, indexTagName, indexId, openMode, shareMode, translation, uniDirectional,
            optParams, cursor);
}

DBIResult Engine::CloseCursor(hDBICur* cursor) {
  const auto fn = bound<PFN_DbiCloseCursor>(kDbiCloseCursor);
  return fn != nullptr ? fn(cursor) : DBIERR_NOTINITIALIZED;
}

DBIResult Engine::GetCursorProps(hDBICur cursor, CURProps* props) {
  const auto fn = bound<PFN_DbiGetCursorProps>(kDbiGetCursorProps);
  return fn != nullptr ? fn(cursor, props) : DBIERR_NOTINITIALIZED;
}

DBIResult Engine::GetFieldDescs(hDBICur cursor, FLDDesc* fields) {
  const auto fn = bound<PFN_DbiGetFieldDescs>(kDbiGetFieldDescs);
  return fn != nullptr ? fn(cursor, fields) : DBIERR_NOTINITIALIZED;
}

DBIResult Engine::GetIndexDescs(hDBICur cursor, IDXDesc* indexes) {
  const auto fn = bound<PFN_DbiGetIndexDescs>(kDbiGetIndexDescs);
  return fn != nullptr ? fn(cursor, indexes) : DBIERR_NOTINITIALIZED;
}

DBIResult Engine::SetToBegin(hDBICur cursor) {
  const auto fn = bound<PFN_DbiSetToBegin>(kDbiSetToBegin);
  return fn != nullptr ? fn(cursor) : DBIERR_NOTINITIALIZED;
}

DBIResult Engine::RegenIndexes(hDBICur cursor) {
  const auto fn = bound<PFN_DbiRegenIndexes>(kDbiRegenIndexes);
  return fn != nullptr ? fn(cursor) : DBIERR_NOTINITIALIZED;
}

std::string Engine::errorText(DBIResult code) {
  const auto fn = bound<PFN_DbiGetErrorString>(kDbiGetErrorString);
  if (fn == nullptr) return {};
  char buffer[DBIMAXMSGLEN + 1] = {};
  fn(code, buffer);
  return system_.ansiToUtf8(bufferText(buffer, sizeof buffer));
}

DBIResult Engine::errorEntry(UINT16 n, UINT32& native, std::string& text) {
  const auto fn = bound<PFN_DbiGetErrorEntry>(kDbiGetErrorEntry);
  native = 0;
  text.clear();
  if (fn == nullptr) return DBIERR_NONE;
  char buffer[DBIMAXMSGLEN + 1] = {};
  UINT32 nativeCode = 0;
  const DBIResult code = fn(n, &nativeCode, buffer);
  native = nativeCode;
  text = system_.ansiToUtf8(bufferText(buffer, sizeof buffer));
  return code;
}

}  // namespace engine
