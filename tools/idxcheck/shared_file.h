// Read-only access to a program folder's tables that never stands in another
// program's way: every file is opened for reading with full sharing, so that the main
// application can keep its tables open, and go on opening them, while the checker runs.
#ifndef ORVANE_IDXCHECK_SHARED_FILE_H
#define ORVANE_IDXCHECK_SHARED_FILE_H

#include <cstdint>
#include <memory>
#include <string>

#include "idapi/core/core.h"

namespace idxcheck {

enum class OpenStatus {
  Ok,
  Missing,  // no file of that name (a folder of that name counts as missing)
  Held,     // another program holds the file so that it cannot be had for exclusive use
  Denied,   // the system refuses access to it
  Failed,   // any other failure of the system
};

struct OpenResult {
  OpenStatus status = OpenStatus::Ok;
  uint32_t systemCode = 0;                        // errno or Windows error code; 0 when not applicable
  std::unique_ptr<idapi::core::ByteSource> file;  // set when status is Ok
};

// Opens a file for reading, shared with every other user. The path is UTF-8, in the
// platform's own spelling (see nativePath).
OpenResult openShared(const std::string& path);

// Whether the file could be had for exclusive use right now, as the launcher's open
// asks for it: true when it could. Answered by asking for exclusive use and letting go
// at once; nothing is read or written. Only meaningful for a file that exists.
bool exclusiveUsePossible(const std::string& path);

// Whether the file is marked read-only (the engine then refuses to replace an index).
bool readOnlyFile(const std::string& path);

// A path of the launcher's spelling (backslashes, letter case as listed) in the
// platform's own: unchanged on Windows; elsewhere with '/' and each component matched
// without regard to case when the exact one does not exist.
std::string nativePath(const std::string& path);

// Scratch files for the expected keys of very large tables, in the system's folder
// for temporary files, removed when closed.
std::unique_ptr<idapi::core::ScratchStore> temporaryScratch();

// Writes UTF-8 text to standard output: to a Windows console as UTF-16, so that
// accents show whatever its code page; elsewhere (pipes, files, other systems) as the
// bytes themselves.
void writeOutput(const std::string& utf8);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_SHARED_FILE_H
