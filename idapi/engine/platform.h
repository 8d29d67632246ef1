// The engine's file layer: the only code that touches the operating system.
//
// What is the same everywhere is in platform_common.cpp, the rest in one file per
// platform (platform_posix.cpp, platform_win.cpp). The rest of the engine sees files
// as core::ByteSource objects and errors as OsStatus values; the current folder and
// the clock are asked for here too, so that no other file of the engine calls the
// system.
//
// Table files are only ever opened for reading. Exclusive use is enforced by the
// operating system: on Windows by the share mode of the open (none for exclusive use,
// read and write for shared use); elsewhere by non-blocking whole-file locks (an
// exclusive lock for exclusive use, a shared lock for shared use), taken on every file
// of the table, so that shared and exclusive users exclude each other.
//
// Index files are replaced, never rewritten in place: the new file is written to a
// temporary file in the same folder, flushed to disk and then renamed over the old one
// in a single step, so that a crash leaves either the old or the new complete file.
#ifndef IDAPI_ENGINE_PLATFORM_H
#define IDAPI_ENGINE_PLATFORM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "idapi/core/core.h"

namespace idapi::engine {

enum class OsStatus {
  Ok,
  NotFound,      // the file or a folder on its path does not exist
  AccessDenied,  // no permission to read (or to create in the folder)
  ReadOnly,      // write access was asked for and the file is read-only
  Locked,        // another user holds the file in a conflicting mode
  NoSpace,       // the disk is full
  NotRegular,    // a folder, a device, a pipe... where a file should be
  LockFailed,    // the system could not take the lock (no lock service, for example)
  NoHandles,     // the process or the system has too many files open
  BadName,       // the name is too long or cannot name a file
  Other,
};

struct OsError {
  OsStatus status = OsStatus::Ok;
  uint32_t native = 0;  // errno or GetLastError()
};

enum class LockMode { Shared, Exclusive };

// The code of a rebuild given up because another program wrote the table meanwhile.
inline constexpr DBIResult kTableChanged = DBIERR_FILEBUSY;
// The code of an index that cannot be replaced because it has other names.
inline constexpr DBIResult kIndexHasLinks = DBIERR_NOTSUPPORTED;

// What tells one state of a file from another: which file it is, its size, when its
// content and its attributes last changed, and how many names it has. Two states of
// the same file compare equal only when nothing was written in between (to the
// resolution of the file system's clock; see settledState).
struct FileState {
  uint64_t volume = 0, file = 0;  // device and inode; volume serial and file index
  uint64_t size = 0;
  int64_t modified = 0;  // content change time (nanoseconds or 100 ns ticks)
  int64_t changed = 0;   // attribute change time (POSIX), 0 elsewhere
  uint32_t links = 1;
  bool sameFile(const FileState& o) const { return volume == o.volume && file == o.file; }
  bool operator==(const FileState& o) const {
    return sameFile(o) && size == o.size && modified == o.modified && changed == o.changed;
  }
  bool operator!=(const FileState& o) const { return !(*this == o); }
};

// A read-only open file, held with a lock for as long as the object lives.
class LockedFile : public core::ByteSource {
 public:
  ~LockedFile() override = default;
  const std::string& path() const { return path_; }
  // The state of the open file now. Throws a read failure naming the file.
  virtual FileState state() const = 0;
  // Takes the file's current size as the size of this source (records appended by
  // another program since the open become readable).
  virtual void refresh() = 0;

 protected:
  explicit LockedFile(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

// A new file in the folder of `target`, for writing the replacement of `target`.
// The new file takes the identity of the file it replaces (its permissions and, where
// the process may give them, its owner and group).
// Removed when the object dies unless commit() succeeded.
class ReplacementFile : public core::ByteSink {
 public:
  ~ReplacementFile() override = default;
  // Flushes everything to disk and renames the file over `target` in one step,
  // then makes the rename itself durable. `old` is the old file, held (an exclusive
  // open of an index allows its replacement); it stays open until the new file has
  // its name, unless the system can replace it no other way than closed. Returns the
  // new file, held exclusively from its first moment under the name. Throws
  // core::Failure on any failure, after which the temporary file is gone and `target`
  // is unchanged (`old` may have been closed). `lastCheck` runs once the new file is
  // on disk, right before it takes the name; what it throws stops the replacement.
  virtual std::unique_ptr<LockedFile> commit(std::unique_ptr<LockedFile>& old,
                                             const std::function<void()>& lastCheck) = 0;
  virtual const std::string& path() const = 0;
};

struct CalendarDate {
  int year = 0, month = 0, day = 0;
};

// The file layer as an object: the engine asks the installed one (platform()), which
// is the system's own (systemPlatform()) unless a program linking the static library
// installed another (setPlatform in tuning.h), such as a test layer that wraps the
// system's to inject faults.
class Platform {
 public:
  virtual ~Platform() = default;

  // Opens `path` for reading, locked in `mode`. With `wantWrite`, a read-only file
  // gives OsStatus::ReadOnly (the file is still never opened for writing). With
  // `replaceable` (an index), an exclusive hold still lets the file be replaced by a
  // new one while it is open.
  virtual std::unique_ptr<LockedFile> openLocked(const std::string& path, LockMode mode, bool wantWrite, OsError& error,
                                                 bool replaceable = false) = 0;
  // Opens `path` for reading without a lock and sharing everything, so that it never
  // stands in another program's way (the technician's checker).
  virtual std::unique_ptr<LockedFile> openShared(const std::string& path, OsError& error) = 0;
  // Whether the file could be had for exclusive use right now: asks for it as
  // openLocked does and lets go at once. Only meaningful for a file that exists.
  virtual bool exclusiveUsePossible(const std::string& path) = 0;

  // The state of the open file once it has been still for longer than the file
  // system's clock can tell apart, so that any later write shows in its state. Waits
  // a little while the file has just been written; throws Failure(kTableChanged) when
  // it keeps being written.
  virtual FileState settledState(const LockedFile& file) = 0;
  // True when `path` still names the file of `state` (not another file renamed over it).
  virtual bool namesFile(const std::string& path, const FileState& state) = 0;
  // True when `path` names an existing regular file.
  virtual bool isFile(const std::string& path) = 0;
  // True when the file exists and its attributes or permissions forbid writing.
  virtual bool isReadOnlyFile(const std::string& path) = 0;

  // Turns a table name given by the caller (any separators, any letter case on file
  // systems that tell cases apart) into the path to open. Relative names are taken in
  // `directory` (empty: the process's current directory). When the exact name does
  // not exist, each component is looked up without regard to letter case.
  virtual std::string resolvePath(const std::string& directory, const std::string& name) = 0;
  // Finds `name` in `folder` (which ends with a separator or is empty), exactly or
  // without regard to letter case; returns the full path or "" when there is none.
  virtual std::string findInFolder(const std::string& folder, const std::string& name) = 0;
  // The file an index path stands for: the target of a symbolic link (followed to the
  // end), else the path itself. Replacing the index replaces that file.
  virtual std::string replacementTarget(const std::string& path) = 0;

  // Throws core::Failure (a write or disk-space error naming the file) when the file
  // cannot be created.
  virtual std::unique_ptr<ReplacementFile> createReplacement(const std::string& target) = 0;
  // Scratch files for sorted runs, in the folder of `target`.
  virtual std::unique_ptr<core::ScratchStore> createScratchStore(const std::string& target) = 0;
  // Scratch files in the system's folder for temporary files.
  virtual std::unique_ptr<core::ScratchStore> temporaryScratchStore() = 0;
  // Removes temporary files that an interrupted rebuild of `target` left behind. Only
  // call it while the table is held exclusively.
  virtual void removeLeftovers(const std::string& target) = 0;

  // The process's current folder, "" when the system cannot tell it.
  virtual std::string currentDirectory() = 0;
  // Today's date in UTC: the date stamped into a new index file.
  virtual CalendarDate todayUtc() = 0;
};

// How the bytes of a path name a file on Windows: in the system's ANSI code page (the
// engine's callers) or in UTF-8 (the tools). Elsewhere a name is its bytes.
enum class Names { Ansi, Utf8 };

// The system's file layer.
Platform& systemPlatform(Names names = Names::Ansi);
// The file layer the engine uses: the system's unless another was installed.
Platform& platform();

// The folder part of a path, up to and including its last separator ("" if none).
std::string folderOf(const std::string& path);
// The name part of a path (after the last separator).
std::string fileNameOf(const std::string& path);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_PLATFORM_H
