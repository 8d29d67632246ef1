// Names as callers give them. The engine takes file, folder and table names in its own
// character set, the system's OEM code page, as the installed engine does (its callers
// convert names with CharToOem before handing them over). Inside, the engine and its
// messages keep names in the system's ANSI code page, which the file layer's system
// calls read.
//
// The host build has no OEM code page: there names are taken as the bytes they are
// (the host launcher hands over Windows-1252).
#ifndef IDAPI_ENGINE_NAMES_H
#define IDAPI_ENGINE_NAMES_H

#include <string>

namespace idapi::engine {

// A caller's name (OEM code page) in the engine's inside form (ANSI code page). A
// character without an ANSI form becomes '?', which names no file, never a look-alike.
std::string nameFromCaller(const std::string& name);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_NAMES_H
