// What the parts of the engine share: the open databases and cursors, the error
// entries of a failing call, and the functions each part offers the others. The
// exported functions are in engine.cpp, the rebuild and replacement of an index in
// rebuild.cpp, the descriptions of a table, its fields and its indexes in
// descriptions.cpp.
#ifndef IDAPI_ENGINE_ENGINE_INTERNAL_H
#define IDAPI_ENGINE_ENGINE_INTERNAL_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/dbi.h"
#include "idapi/engine/platform.h"

namespace idapi::engine {

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

// engine.cpp: errors and texts.
ErrorEntry entry(DBIResult code, std::string text, INT16 context = 0, std::string value = {});
[[noreturn]] void fail(DBIResult code, std::vector<ErrorEntry> entries = {});
// The error for a file that could not be opened.
[[noreturn]] void failOpen(const OsError& error, const std::string& path, bool isIndex, const std::string& tablePath);
// A core failure while reading or rebuilding, with the file and the table named.
[[noreturn]] void failCore(const core::Failure& f, const std::string& filePath, INT16 fileContext,
                           const std::string& tablePath);
core::IndexHeader readIndex(const LockedFile& mdx, const std::string& tablePath);
// Copies a string into a fixed buffer of `size` bytes (NUL included), cut if needed.
void copyText(char* out, size_t size, const std::string& text);

// rebuild.cpp: rebuilds the cursor's production index and puts it in place of the old
// one, or leaves the old one as it was. With `definitions`, the new index has those
// tags and the old one (if any) need not be readable.
void rebuild(Cursor& c, const core::IndexHeader* definitions = nullptr);

// descriptions.cpp: the table, its fields and its indexes as the caller sees them.
void describeCursor(const Cursor& c, CURProps& props);
void describeFields(const Cursor& c, FLDDesc* fields);
void describeIndexes(const Cursor& c, IDXDesc* indexes);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_ENGINE_INTERNAL_H
