// The operating-system services the launcher's logic needs, behind one narrow
// interface: the logic never calls the platform directly. Windows gets the real
// services; the host build gets a POSIX implementation used by tools and tests.
//
// Every text crossing this interface is UTF-8, except where a function says it
// deals in the system's ANSI code page.
#ifndef ORVANE_SYS_SYSTEM_H
#define ORVANE_SYS_SYSTEM_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sys {

// Windows system error codes the logic tells apart.
enum : uint32_t {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorNotEnoughMemory = 8,
  kErrorOutOfMemory = 14,
  kErrorGenFailure = 31,  // a device attached to the system is not functioning
  kErrorModNotFound = 126,
  kErrorBadPathname = 161,
  kErrorBadExeFormat = 193,
};

// The show command a started program is asked to use its own default with (SW_SHOWDEFAULT).
inline constexpr int kShowDefault = 10;

// An opaque handle of a loaded library; null when nothing is loaded.
using LibraryHandle = void*;
// An opaque native window handle (owner of shell requests); may be null.
using NativeWindow = void*;

struct LoadResult {
  LibraryHandle handle = nullptr;  // null on failure
  uint32_t error = 0;              // system error code when handle is null
};

class System {
 public:
  virtual ~System() = default;

  // The folder of the running executable, up to and including its last separator,
  // taken from the executable's full path as the system reports it (room for 260
  // characters). Throws std::runtime_error when the path cannot be read whole.
  virtual std::string programFolder() = 0;

  virtual std::string currentDirectory() = 0;
  // Returns 0 on success, else the system error code.
  virtual uint32_t setCurrentDirectory(const std::string& path) = 0;

  // True when a file (not a folder) of that name is there. A file held open by
  // another program counts; a symbolic link counts when its target exists.
  virtual bool fileExists(const std::string& path) = 0;

  // Year of the current local date.
  virtual int currentYear() = 0;

  // Loads a library by full path, or by bare name through the system's standard
  // search, with the system's error box for missing files switched off.
  virtual LoadResult loadLibrary(const std::string& nameOrPath) = 0;
  virtual void freeLibrary(LibraryHandle library) = 0;
  // Address of an exported function by its plain name; null when absent.
  virtual void* findSymbol(LibraryHandle library, const char* name) = 0;

  // A string value under HKEY_LOCAL_MACHINE, read with read access into at most
  // 260 bytes. Empty when the key or value is missing, of another type, or longer.
  virtual std::optional<std::string> machineRegistryString(const std::string& key, const std::string& value) = 0;

  // UTF-8 to the system's ANSI code page; characters it cannot represent become
  // its default character ('?'), never a look-alike.
  virtual std::string utf8ToAnsi(const std::string& text) = 0;
  // Text in the system's ANSI code page to UTF-8.
  virtual std::string ansiToUtf8(const std::string& text) = 0;
  // Text in the system's ANSI code page to its OEM code page, the character set the
  // database engine takes names in, by the system's own conversion (CharToOem): a
  // character without an OEM form becomes what that conversion makes of it (a
  // look-alike or '?'). Same length in bytes on single-byte code pages. The host build
  // has no OEM code page and returns the bytes unchanged: there the engine takes
  // names in the host's ANSI convention (Windows-1252).
  virtual std::string ansiToOem(const std::string& text) = 0;

  // Asks the shell to carry out the verb "open" on a file. The result is returned
  // as the shell gives it (greater than 32 on success) and may be ignored.
  virtual intptr_t shellOpen(NativeWindow owner, const std::string& file, const std::string& parameters,
                             const std::string& directory, int showCommand) = 0;

  // The path separator of this platform ('\\' on Windows, '/' elsewhere).
  virtual char separator() const = 0;
};

// The implementation for the platform the program is built for.
std::unique_ptr<System> makeSystem();

}  // namespace sys

#endif  // ORVANE_SYS_SYSTEM_H
