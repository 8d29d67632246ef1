#include "fakes.h"

#include <cstring>
#include <stdexcept>

#include "text/codepage.h"

namespace fake {

Engine* Engine::current = nullptr;

Engine::Engine() {
  if (current != nullptr) throw std::logic_error("one fake engine at a time");
  current = this;
}
Engine::~Engine() { current = nullptr; }

namespace {

Engine& E() { return *Engine::current; }

const hDBIDb kDatabase = reinterpret_cast<hDBIDb>(7);

std::string pathOf(hDBICur cursor) {
  const auto it = E().openCursors.find(reinterpret_cast<intptr_t>(cursor));
  return it == E().openCursors.end() ? std::string() : it->second;
}

DBIResult DBIFN InitFn(UINT16 version, pDBIEnv env) {
  E().calls.push_back("init");
  E().initVersion = version;
  if (env != nullptr) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(env);
    E().initEnvironment.assign(bytes, bytes + sizeof(DBIEnv));
  }
  return E().initResult;
}

DBIResult DBIFN Exit() {
  E().calls.push_back("exit");
  return 0;
}

DBIResult DBIFN OpenDatabase(const char* name, const char* type, DBIOpenMode mode, DBIShareMode share,
                             const char* password, UINT16 optCount, pFLDDesc optDesc, void* optParams, phDBIDb db) {
  E().calls.push_back("opendb");
  E().openDatabaseArgsStandard = name == nullptr && type == nullptr && mode == dbiREADWRITE && share == dbiOPENSHARED &&
                                 password == nullptr && optCount == 0 && optDesc == nullptr && optParams == nullptr;
  if (E().openDatabaseResult != 0) return E().openDatabaseResult;
  *db = kDatabase;
  return 0;
}

DBIResult DBIFN CloseDatabase(phDBIDb db) {
  E().calls.push_back("closedb");
  *db = nullptr;
  return 0;
}

DBIResult DBIFN SetDirectory(hDBIDb db, const char* dir) {
  E().calls.push_back("setdir");
  E().directorySet = dir == nullptr ? "<null>" : dir;
  return db == kDatabase ? E().setDirectoryResult : DBIResult{DBIERR_INVALIDHNDL};
}

DBIResult DBIFN OpenTable(hDBIDb db, const char* name, const char* driver, const char* indexName, const char* tag,
                          UINT16 indexId, DBIOpenMode mode, DBIShareMode share, XLTMode xlt, BOOLDBI uni, void* opt,
                          phDBICur cursor) {
  const std::string path = name;
  E().calls.push_back("open " + path + (mode == dbiREADONLY ? " ro" : " rw") +
                      (share == dbiOPENEXCL ? " excl" : " shared") + " " + (driver ? driver : "<none>"));
  if (db != kDatabase || indexName != nullptr || tag != nullptr || indexId != 0 || xlt != xltFIELD || uni != 0 ||
      opt != nullptr) {
    return DBIERR_INVALIDPARAM;
  }
  const auto& results = mode == dbiREADONLY ? E().readOnlyOpenResults : E().openResults;
  const auto it = results.find(path);
  if (it != results.end() && it->second != 0) return it->second;
  const intptr_t handle = E().nextCursor++;
  E().openCursors[handle] = path;
  *cursor = reinterpret_cast<hDBICur>(handle);
  return 0;
}

DBIResult DBIFN CloseCursor(phDBICur cursor) {
  E().calls.push_back("close " + pathOf(*cursor));
  E().openCursors.erase(reinterpret_cast<intptr_t>(*cursor));
  *cursor = nullptr;
  E().stack.clear();  // like the engine: a successful call clears its error stack
  return 0;
}

DBIResult DBIFN GetCursorProps(hDBICur cursor, pCURProps props) {
  E().calls.push_back("props");
  if (E().propsResult != 0) return E().propsResult;
  std::memset(props, 0, sizeof *props);
  props->iFields = E().fieldCount;
  props->iIndexes = E().indexCount;
  return 0;
}

DBIResult DBIFN GetFieldDescs(hDBICur cursor, pFLDDesc fields) {
  E().calls.push_back("fields");
  if (E().fieldsResult != 0) return E().fieldsResult;
  // Writes exactly the count it reported: a smaller buffer shows under the sanitizer.
  for (UINT16 i = 0; i < E().fieldCount; ++i) {
    std::memset(&fields[i], 0, sizeof(FLDDesc));
    fields[i].iFldNum = static_cast<UINT16>(i + 1);
  }
  return 0;
}

DBIResult DBIFN GetIndexDescs(hDBICur cursor, pIDXDesc indexes) {
  E().calls.push_back("indexes");
  if (E().indexesResult != 0) return E().indexesResult;
  for (UINT16 i = 0; i < E().indexCount; ++i) std::memset(&indexes[i], 0, sizeof(IDXDesc));
  return 0;
}

DBIResult DBIFN SetToBegin(hDBICur cursor) {
  E().calls.push_back("begin");
  return E().beginResult;
}

DBIResult DBIFN RegenIndexes(hDBICur cursor) {
  const std::string path = pathOf(cursor);
  E().calls.push_back("regen " + path);
  if (path.empty()) return DBIERR_INVALIDHNDL;
  const auto it = E().regenResults.find(path);
  if (it != E().regenResults.end() && it->second != 0) return it->second;
  E().regenerated.push_back(path);
  return 0;
}

DBIResult DBIFN GetErrorString(DBIResult code, char* text) {
  if (E().unterminatedText) {
    std::memset(text, 'x', DBIMAXMSGLEN + 1);
    return 0;
  }
  const auto it = E().texts.find(code);
  // Texts are programmed in UTF-8; the engine speaks the ANSI code page.
  const std::string t = text::utf8ToCp1252(it == E().texts.end() ? std::string() : it->second);
  // A well-behaved engine: at most 127 characters and the terminating NUL.
  std::strncpy(text, t.c_str(), DBIMAXMSGLEN);
  text[DBIMAXMSGLEN] = '\0';
  return 0;
}

DBIResult DBIFN GetErrorEntry(UINT16 n, UINT32* native, char* text) {
  ++E().entryCalls;
  if (E().endlessStack) {
    *native = 0;
    std::strcpy(text, "encore");
    return DBIERR_LOCKED;
  }
  if (n == 0 || n > E().stack.size()) {
    *native = 0;
    text[0] = '\0';
    return 0;
  }
  const StackEntry& e = E().stack[n - 1];
  *native = e.native;
  std::strncpy(text, text::utf8ToCp1252(e.text).c_str(), DBIMAXMSGLEN);
  text[DBIMAXMSGLEN] = '\0';
  return e.code;
}

const std::map<std::string, void*>& functions() {
  static const std::map<std::string, void*> table = {
      {"DbiInitFn", reinterpret_cast<void*>(&InitFn)},
      {"DbiExit", reinterpret_cast<void*>(&Exit)},
      {"DbiOpenDatabase", reinterpret_cast<void*>(&OpenDatabase)},
      {"DbiCloseDatabase", reinterpret_cast<void*>(&CloseDatabase)},
      {"DbiSetDirectory", reinterpret_cast<void*>(&SetDirectory)},
      {"DbiOpenTable", reinterpret_cast<void*>(&OpenTable)},
      {"DbiCloseCursor", reinterpret_cast<void*>(&CloseCursor)},
      {"DbiGetCursorProps", reinterpret_cast<void*>(&GetCursorProps)},
      {"DbiGetFieldDescs", reinterpret_cast<void*>(&GetFieldDescs)},
      {"DbiGetIndexDescs", reinterpret_cast<void*>(&GetIndexDescs)},
      {"DbiSetToBegin", reinterpret_cast<void*>(&SetToBegin)},
      {"DbiRegenIndexes", reinterpret_cast<void*>(&RegenIndexes)},
      {"DbiGetErrorString", reinterpret_cast<void*>(&GetErrorString)},
      {"DbiGetErrorEntry", reinterpret_cast<void*>(&GetErrorEntry)},
  };
  return table;
}

}  // namespace

sys::LoadResult System::loadLibrary(const std::string& nameOrPath) {
  loads.push_back(nameOrPath);
  const auto failure = loadErrors.find(nameOrPath);
  if (failure != loadErrors.end()) return {nullptr, failure->second};
  const auto it = libraries.find(nameOrPath);
  if (it == libraries.end()) return {nullptr, nameOrPath.find('\\') == std::string::npos ? 126u : 2u};
  return {&it->second, 0};
}

void* System::findSymbol(sys::LibraryHandle library, const char* name) {
  lookups.push_back(name);
  const auto* lib = static_cast<const Library*>(library);
  if (lib == nullptr || lib->exports.count(name) == 0) return nullptr;
  const auto it = functions().find(name);
  return it == functions().end() ? nullptr : it->second;
}

std::string System::utf8ToAnsi(const std::string& text) { return text::utf8ToCp1252(text); }
std::string System::ansiToUtf8(const std::string& text) { return text::cp1252ToUtf8(text); }

std::string System::ansiToOem(const std::string& text) {
  // Code page 850 bytes of the Windows-1252 bytes 0x80 to 0xFF.
  static const unsigned char k850[128] = {
      0x3F, 0x3F, 0x3F, 0x9F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F,
      0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0xFF, 0xAD, 0xBD, 0x9C, 0xCF, 0xBE,
      0xDD, 0xF5, 0xF9, 0xB8, 0xA6, 0xAE, 0xAA, 0xF0, 0xA9, 0xEE, 0xF8, 0xF1, 0xFD, 0xFC, 0xEF, 0xE6, 0xF4, 0xFA, 0xF7,
      0xFB, 0xA7, 0xAF, 0xAC, 0xAB, 0xF3, 0xA8, 0xB7, 0xB5, 0xB6, 0xC7, 0x8E, 0x8F, 0x92, 0x80, 0xD4, 0x90, 0xD2, 0xD3,
      0xDE, 0xD6, 0xD7, 0xD8, 0xD1, 0xA5, 0xE3, 0xE0, 0xE2, 0xE5, 0x99, 0x9E, 0x9D, 0xEB, 0xE9, 0xEA, 0x9A, 0xED, 0xE8,
      0xE1, 0x85, 0xA0, 0x83, 0xC6, 0x84, 0x86, 0x91, 0x87, 0x8A, 0x82, 0x88, 0x89, 0x8D, 0xA1, 0x8C, 0x8B, 0xD0, 0xA4,
      0x95, 0xA2, 0x93, 0xE4, 0x94, 0xF6, 0x9B, 0x97, 0xA3, 0x96, 0x81, 0xEC, 0xE7, 0x98,
  };
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) >= 0x80) c = static_cast<char>(k850[static_cast<unsigned char>(c) - 0x80]);
  return out;
}

void System::installEngine(const std::string& path) {
  Library lib;
  for (const auto& [name, fn] : functions()) lib.exports.insert(name);
  libraries[path] = lib;
  if (path.find('\\') != std::string::npos) files.insert(path);
}

}  // namespace fake
