// The engine's file layer: the only code that touches the operating system.
//
// One implementation per platform (platform_posix.cpp, platform_win.cpp). The rest of
// the engine sees files as core::ByteSource objects and errors as OsStatus values.
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
#include <memory>
#include <string>

#include "core/core.h"

namespace idapi::engine {

enum class OsStatus {
  Ok,
  NotFound,      // the file or a folder on its path does not exist
  AccessDenied,  // no permission to read (or to create in the folder)
  ReadOnly,      // write access was asked for and the file is read-only
  Locked,        // another user holds the file in a conflicting mode
  NoSpace,       // the disk is full
  Other,
};

struct OsError {
  OsStatus status = OsStatus::Ok;
  uint32_t native = 0;  // errno or GetLastError()
};

enum class LockMode { Shared, Exclusive };

// A read-only open file, held with a lock for as long as the object lives.
class LockedFile : public core::ByteSource {
 public:
  ~LockedFile() override = default;
  const std::string& path() const { return path_; }

 protected:
  explicit LockedFile(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

// Opens `path` for reading, locked in `mode`. With `wantWrite`, a read-only file gives
// OsStatus::ReadOnly (the file is still never opened for writing).
std::unique_ptr<LockedFile> openLocked(const std::string& path, LockMode mode, bool wantWrite, OsError& error);

// True when `path` names an existing regular file.
bool isFile(const std::string& path);

// True when the file exists and its attributes or permissions forbid writing.
bool isReadOnlyFile(const std::string& path);

// Turns a table name given by the caller (any separators, any letter case on file
// systems that tell cases apart) into the path to open. Relative names are taken in
// `directory` (empty: the process's current directory). When the exact name does not
// exist, each component is looked up without regard to letter case.
std::string resolvePath(const std::string& directory, const std::string& name);

// The folder part of a path, up to and including its last separator ("" if none).
std::string folderOf(const std::string& path);
// The name part of a path (after the last separator).
std::string fileNameOf(const std::string& path);

// Finds `name` in `folder` (which ends with a separator or is empty), exactly or
// without regard to letter case; returns the full path or "" when there is none.
std::string findInFolder(const std::string& folder, const std::string& name);

// A new file in the folder of `target`, for writing the replacement of `target`.
// Removed when the object dies unless commit() succeeded.
class ReplacementFile : public core::ByteSink {
 public:
  ~ReplacementFile() override = default;
  // Flushes everything to disk and renames the file over `target` in one step,
  // then makes the rename itself durable. Throws core::Failure on any failure, after
  // which the temporary file is gone and `target` is unchanged.
  virtual void commit() = 0;
  virtual const std::string& path() const = 0;
};

// Throws core::Failure (a write or disk-space error naming the file) when the file
// cannot be created.
std::unique_ptr<ReplacementFile> createReplacement(const std::string& target);

// Scratch files for sorted runs, in the folder of `target`.
std::unique_ptr<core::ScratchStore> createScratchStore(const std::string& target);

// Removes temporary files that an interrupted rebuild of `target` left behind. Only
// call it while the table is held exclusively.
void removeLeftovers(const std::string& target);

// The prefix every temporary file made for `target` starts with (its name + ".~").
std::string temporaryPrefix(const std::string& target);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_PLATFORM_H
