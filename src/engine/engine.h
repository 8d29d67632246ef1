// Access to the database engine library: finding and starting it, its standard
// database, and every engine function bound by its plain name at its first call.
#ifndef ORVANE_ENGINE_ENGINE_H
#define ORVANE_ENGINE_ENGINE_H

#include <idapi/dbi.h>

#include <string>

#include "engine/engine_error.h"
#include "sys/system.h"

namespace engine {

// Where the engine is looked for, and how it is started.
inline constexpr const char* kLibraryName = "IDAPI32.DLL";
inline constexpr const char* kInstallationKey = "Software\\Borland\\Database Engine";
inline constexpr const char* kLibraryPathValue = "DLLPATH";
inline constexpr const char* kMessageLanguage = "000C";  // French engine messages

// Maps a failed library load to the engine's start-failure code.
DBIResult loadFailureCode(uint32_t systemError);

class Engine {
 public:
  explicit Engine(sys::System& system);
  // Closes the standard database and ends the engine when they were opened.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // At the first call: finds and loads the library, starts the engine and opens the
  // standard database. Throws EngineError; a later call tries again what failed.
  void start();
  bool started() const { return database_ != nullptr; }
  // The standard database, valid once started.
  hDBIDb database() const { return database_; }

  // The engine error for a failed call, its message composed from the engine's
  // texts (call before anything else is asked of the engine: a successful call
  // clears its error stack).
  EngineError error(DBIResult code);
  // Throws error(code) when code is not 0.
  void check(DBIResult code);

  // The engine functions. A function the library does not export answers
  // DBIERR_NOTINITIALIZED (and the error functions: no text, no entry).
  DBIResult OpenTable(hDBIDb db, const char* name, const char* driver, const char* indexName, const char* indexTagName,
                      UINT16 indexId, DBIOpenMode openMode, DBIShareMode shareMode, XLTMode translation,
                      BOOLDBI uniDirectional, void* optParams, hDBICur* cursor);
  DBIResult CloseCursor(hDBICur* cursor);
  DBIResult GetCursorProps(hDBICur cursor, CURProps* props);
  DBIResult GetFieldDescs(hDBICur cursor, FLDDesc* fields);
  DBIResult GetIndexDescs(hDBICur cursor, IDXDesc* indexes);
  DBIResult SetToBegin(hDBICur cursor);
  DBIResult RegenIndexes(hDBICur cursor);
  // The engine's text for a code, at most 128 bytes read, in UTF-8.
  std::string errorText(DBIResult code);
  // Error stack entry n (from 1): its code, 0 past the end.
  DBIResult errorEntry(UINT16 n, UINT32& native, std::string& text);

 private:
  // One slot for each exported function, bound on first use.
  enum Slot {
#define IDAPI_EXPORT(name, argumentBytes) k##name,
#include "idapi/exports.h"
    kSlotCount
  };
  template <typename Fn>
  Fn bound(Slot slot);
  void loadLibrary();
  void unload();

  sys::System& system_;
  sys::LibraryHandle library_ = nullptr;
  void* slots_[kSlotCount] = {};
  bool initialised_ = false;
  hDBIDb database_ = nullptr;
};

}  // namespace engine

#endif  // ORVANE_ENGINE_ENGINE_H
