// What the checker needs of its console and of the launcher's path spelling; its file
// access is the engine's file layer (idapi/engine/platform.h), taken with UTF-8 names.
#ifndef ORVANE_IDXCHECK_CONSOLE_H
#define ORVANE_IDXCHECK_CONSOLE_H

#include <string>

#include "idapi/engine/platform.h"

namespace idxcheck {

// The file layer the checker reads with: the system's, names in UTF-8. Files are
// only ever opened shared (openShared), so that the main application can keep its
// tables open, and go on opening them, while the checker runs.
inline idapi::engine::Platform& files() { return idapi::engine::systemPlatform(idapi::engine::Names::Utf8); }

// A path of the launcher's spelling (backslashes, letter case as listed) in the
// platform's own: unchanged on Windows; elsewhere with '/' and each component matched
// without regard to case when the exact one does not exist.
std::string nativePath(const std::string& path);

// Writes UTF-8 text to standard output: to a Windows console as UTF-16, so that
// accents show whatever its code page; elsewhere (pipes, files, other systems) as the
// bytes themselves.
void writeOutput(const std::string& utf8);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_CONSOLE_H
