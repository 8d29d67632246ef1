// File layer for Windows. Names are decoded from the layer's code page (the system's
// ANSI code page for the engine's callers, UTF-8 for the tools) and handed to the
// wide ("W") functions. Exclusive use is an open without read or write sharing; shared
// use lets others read and write.
//
// An index is replaced by renaming the new file, through its own handle, over the old
// one while the old one is still held: an exclusively held index shares deletion only,
// which lets a rename with POSIX semantics replace it and keeps every other program
// out. Where the system or the file system has no such rename, the plain rename is
// tried with the old index still open, and only if that is refused is the old index
// closed and the rename made again. Temporary files get short names ("~IX" or "~IS" and
// hex digits, no longer than the index's own name), so that every index path short
// enough to open is short enough to rebuild.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "idapi/engine/platform.h"
#include "idapi/engine/platform_detail.h"
#include "idapi/engine/texts.h"

namespace idapi::engine {
namespace {

// A name in the layer's code page as the system's wide functions take it.
std::wstring wide(const std::string& text, UINT codePage) {
  int n = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string narrow(const wchar_t* text, UINT codePage) {
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

OsStatus classify(DWORD err) {
  return detail::meaningOf(err, {
                                    {ERROR_FILE_NOT_FOUND, OsStatus::NotFound},
                                    {ERROR_PATH_NOT_FOUND, OsStatus::NotFound},
                                    {ERROR_INVALID_NAME, OsStatus::NotFound},
                                    {ERROR_BAD_PATHNAME, OsStatus::NotFound},
                                    {ERROR_INVALID_DRIVE, OsStatus::NotFound},
                                    {ERROR_BAD_NETPATH, OsStatus::NotFound},
                                    {ERROR_BAD_NET_NAME, OsStatus::NotFound},
                                    {ERROR_ACCESS_DENIED, OsStatus::AccessDenied},
                                    {ERROR_WRITE_PROTECT, OsStatus::ReadOnly},
                                    {ERROR_SHARING_VIOLATION, OsStatus::Locked},
                                    {ERROR_LOCK_VIOLATION, OsStatus::Locked},
                                    {ERROR_DISK_FULL, OsStatus::NoSpace},
                                    {ERROR_HANDLE_DISK_FULL, OsStatus::NoSpace},
                                    {ERROR_TOO_MANY_OPEN_FILES, OsStatus::NoHandles},
                                    {ERROR_FILENAME_EXCED_RANGE, OsStatus::BadName},
                                });
}

// Reads exactly `length` bytes at `offset`, or throws a read failure naming the file.
void readAllAt(HANDLE handle, uint64_t offset, void* buffer, size_t length, const std::string& path) {
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handle, out, chunk, &got, &at) || got == 0)
      throw core::Failure(DBIERR_READERR, texts::readError(path));
    out += got;
    offset += got;
    length -= got;
  }
}

FileState stateOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileState s;
  s.volume = info.dwVolumeSerialNumber;
  s.file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  s.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  s.modified =
      static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime);
  s.links = info.nNumberOfLinks;
  return s;
}

class WinFile final : public LockedFile {
 public:
  WinFile(std::string path, HANDLE handle, uint64_t size, bool canRename = false)
      : LockedFile(std::move(path)), handle_(handle), size_(size), canRename_(canRename) {}
  ~WinFile() override { CloseHandle(handle_); }

  uint64_t size() const override { return size_; }

  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    readAllAt(handle_, offset, buffer, length, path());
  }

  FileState state() const override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_, &info)) throw core::Failure(DBIERR_READERR, texts::readError(path()));
    return stateOf(info);
  }
  void refresh() override { size_ = state().size; }
  HANDLE handle() const { return handle_; }
  bool canRename() const { return canRename_; }  // opened with the right to rename it

 private:
  HANDLE handle_;
  uint64_t size_;
  bool canRename_;
};

bool attributes(const std::string& path, UINT codePage, DWORD& attrs) {
  attrs = GetFileAttributesW(wide(path, codePage).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES;
}

std::string hexSuffix() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return detail::uniqueHex(static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32));
}

// Temporary names in the folder of `target`: `tag` ("~IX" new index, "~IS" sorted
// run) and hex digits, as long as the index's name (at least two digits).
struct TemporaryName {
  std::string folder;
  std::string tag;
  size_t digits;
  UINT codePage;
  std::string next() const { return folder + tag + hexSuffix().substr(0, digits); }
};

TemporaryName temporaryName(const std::string& target, const char* tag, UINT codePage) {
  std::string name = fileNameOf(target);
  size_t digits = name.size() > 5 ? std::min<size_t>(name.size() - 3, 13) : 2;
  return {folderOf(target), tag, digits, codePage};
}

bool isTemporaryName(const std::string& name) {
  if (name.size() < 5 || name.size() > 16 || name[0] != '~' || name[1] != 'I' || (name[2] != 'X' && name[2] != 'S'))
    return false;
  return detail::isLowerHex(name, 3);
}

HANDLE createUnique(const TemporaryName& name, std::string& path, DWORD access, DWORD share, DWORD flags) {
  DWORD err = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 200; ++attempt) {
    path = name.next();
    HANDLE h = CreateFileW(wide(path, name.codePage).c_str(), access, share, nullptr, CREATE_NEW, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    err = GetLastError();
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) continue;
    break;
  }
  // A name the system cannot take is a bad name here, not a missing folder.
  throw core::Failure(detail::createFailureCode(err == ERROR_INVALID_NAME ? OsStatus::BadName : classify(err)),
                      texts::createError(path));
}

enum class Rename { Posix, Replace, NoReplace };

// Renames the file open at `h` to `target`: replacing it, with POSIX semantics (the
// old file may still be open, if it shares deletion) or without; or only where no
// file has that name.
bool renameByHandle(HANDLE h, const std::string& target, UINT codePage, Rename how) {
  const std::wstring name = wide(target, codePage);
  if (name.empty()) return false;
  struct Info {  // FILE_RENAME_INFO, with the flags of the extended form
    union {
      BOOLEAN ReplaceIfExists;
      DWORD Flags;
    };
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
  };
  std::vector<char> buffer(sizeof(Info) + sizeof(WCHAR) * (name.size() + 1));
  auto* info = reinterpret_cast<Info*>(buffer.data());
  std::copy(name.c_str(), name.c_str() + name.size() + 1, info->FileName);
  info->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * name.size());
  info->RootDirectory = nullptr;
  constexpr DWORD kReplaceIfExists = 0x1, kPosixSemantics = 0x2;
  constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  if (how == Rename::Posix)
    info->Flags = kReplaceIfExists | kPosixSemantics;
  else
    info->ReplaceIfExists = how == Rename::Replace;
  return SetFileInformationByHandle(h, how == Rename::Posix ? kRenameInfoEx : FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

// The true cause of a refused replacement of `target`.
DBIResult replaceFailure(DWORD err, const std::string& target, UINT codePage) {
  if (classify(err) == OsStatus::Locked) return DBIERR_FILELOCKED;
  if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) return DBIERR_NODISKSPACE;
  if (err != ERROR_ACCESS_DENIED) return DBIERR_WRITEERR;
  DWORD attrs;
  if (attributes(target, codePage, attrs) && (attrs & FILE_ATTRIBUTE_READONLY)) return DBIERR_INDEXREADONLY;
  // Refused although writable: another program has it open, or no right to replace it.
  HANDLE probe =
      CreateFileW(wide(target, codePage).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return DBIERR_FILELOCKED;  // the name is free to us: an open elsewhere was in the way
  }
  DWORD why = GetLastError();
  return classify(why) == OsStatus::Locked ? DBIERR_FILELOCKED : DBIERR_FILENOACCESS;
}

void writeAll(HANDLE h, const void* data, size_t length, const std::string& path) {
  auto* in = static_cast<const char*>(data);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD put = 0;
    if (!WriteFile(h, in, chunk, &put, nullptr) || put == 0) {
      DWORD err = GetLastError();
      throw core::Failure(
          err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL ? DBIERR_NODISKSPACE : DBIERR_WRITEERR,
          texts::writeError(path));
    }
    in += put;
    length -= put;
  }
}

class WinReplacement final : public ReplacementFile {
 public:
  WinReplacement(std::string target, UINT codePage) : target_(std::move(target)), codePage_(codePage) {
    // Shares deletion only, as a held index does: it can be renamed into place and
    // replaced by the next rebuild while it is open.
    h_ = createUnique(temporaryName(target_, "~IX", codePage_), path_, GENERIC_READ | GENERIC_WRITE | DELETE,
                      FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL);
  }
  ~WinReplacement() override {
    if (h_ != INVALID_HANDLE_VALUE) {
      if (!committed_) {
        FILE_DISPOSITION_INFO doomed = {TRUE};
        if (!SetFileInformationByHandle(h_, FileDispositionInfo, &doomed, sizeof doomed)) {
          CloseHandle(h_);
          h_ = INVALID_HANDLE_VALUE;
          DeleteFileW(wide(path_, codePage_).c_str());
        }
      }
      if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
  }
  // The index comes in large blocks already (the format core buffers what it writes).
  void write(const void* data, size_t length) override {
    writeAll(h_, data, length, path_);
    written_ += length;
  }
  const std::string& path() const override { return path_; }

  std::unique_ptr<LockedFile> commit(std::unique_ptr<LockedFile>& old,
                                     const std::function<void()>& lastCheck) override {
    if (!FlushFileBuffers(h_)) throw core::Failure(DBIERR_WRITEERR, texts::writeError(path_));
    lastCheck();
    // Windows 10 and later on NTFS: one rename, the old index open all along.
    bool done = renameByHandle(h_, target_, codePage_, Rename::Posix);
    // Elsewhere a file that is open cannot be replaced. The old index, held with the
    // right to rename it, steps aside under a temporary name, the new one takes the
    // name, and the old one goes when it is closed: another program finds either
    // index held, or for the moment between the two renames none at all.
    auto* held = dynamic_cast<WinFile*>(old.get());
    DWORD err = GetLastError();
    if (!done && held && held->canRename()) {
      std::string aside;
      bool moved = false;
      for (int attempt = 0; attempt < 200 && !moved; ++attempt) {
        aside = temporaryName(target_, "~IX", codePage_).next();
        moved = renameByHandle(held->handle(), aside, codePage_, Rename::NoReplace);
        err = GetLastError();
        if (!moved && err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) break;
      }
      if (moved) {
        done = renameByHandle(h_, target_, codePage_, Rename::NoReplace);
        err = GetLastError();
        if (done) {
          FILE_DISPOSITION_INFO doomed = {TRUE};
          SetFileInformationByHandle(held->handle(), FileDispositionInfo, &doomed, sizeof doomed);
        } else {
          renameByHandle(held->handle(), target_, codePage_, Rename::NoReplace);  // back in its place
        }
      }
    }
    if (!done && !held) {
      done = renameByHandle(h_, target_, codePage_, Rename::Replace);  // nothing held: a plain replacement
      err = GetLastError();
    }
    if (!done) throw core::Failure(replaceFailure(err, target_, codePage_), texts::replaceError(target_));
    committed_ = true;
    auto file = std::make_unique<WinFile>(target_, h_, written_, true);
    h_ = INVALID_HANDLE_VALUE;
    return file;
  }

 private:
  std::string target_;
  UINT codePage_;
  std::string path_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
  bool committed_ = false;
  uint64_t written_ = 0;
};

class WinScratch final : public core::ScratchFile {
 public:
  explicit WinScratch(const TemporaryName& name) {
    h_ = createUnique(name, path_, GENERIC_READ | GENERIC_WRITE, 0,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  }
  ~WinScratch() override { CloseHandle(h_); }
  // Runs come in large blocks already: no buffer of our own, which every run still
  // waiting for its merge would otherwise keep.
  void write(const void* data, size_t length) override {
    writeAll(h_, data, length, path_);
    size_ += length;
  }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    readAllAt(h_, offset, buffer, length, path_);
  }

 private:
  std::string path_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
  uint64_t size_ = 0;
};

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Opens `path` for reading when it is a file on disk (not a folder, a device or a
// pipe); null with `error` set otherwise. With `refuseReadOnly`, a file marked
// read-only gives OsStatus::ReadOnly.
std::unique_ptr<WinFile> openFile(const std::string& path, UINT codePage, DWORD access, DWORD share,
                                  bool refuseReadOnly, OsError& error) {
  error = {};
  DWORD attrs;
  if (attributes(path, codePage, attrs)) {
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
      error = {OsStatus::NotRegular, 0};
      return nullptr;
    }
    if (refuseReadOnly && (attrs & FILE_ATTRIBUTE_READONLY)) {
      error = {OsStatus::ReadOnly, ERROR_ACCESS_DENIED};
      return nullptr;
    }
  }
  HANDLE h =
      CreateFileW(wide(path, codePage).c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    error = {classify(err), err};
    return nullptr;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {  // a device or a pipe is not a table
    CloseHandle(h);
    error = {OsStatus::NotRegular, 0};
    return nullptr;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) {
    DWORD err = GetLastError();
    CloseHandle(h);
    error = {classify(err), err};
    return nullptr;
  }
  return std::make_unique<WinFile>(path, h, static_cast<uint64_t>(size.QuadPart), (access & DELETE) != 0);
}

class WinPlatform final : public detail::SystemPlatform {
 public:
  explicit WinPlatform(UINT codePage) : codePage_(codePage) {}

  std::unique_ptr<LockedFile> openLocked(const std::string& path, LockMode mode, bool wantWrite, OsError& error,
                                         bool replaceable) override {
    DWORD share = mode == LockMode::Exclusive
                      ? (replaceable ? FILE_SHARE_DELETE : 0)
                      : (FILE_SHARE_READ | FILE_SHARE_WRITE | (replaceable ? FILE_SHARE_DELETE : 0));
    // An index held exclusively is held with the right to rename it out of the way.
    const bool renamable = replaceable && mode == LockMode::Exclusive;
    return openFile(path, codePage_, GENERIC_READ | (renamable ? DELETE : 0), share, wantWrite, error);
  }

  std::unique_ptr<LockedFile> openShared(const std::string& path, OsError& error) override {
    return openFile(path, codePage_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false,
                    error);
  }

  bool exclusiveUsePossible(const std::string& path) override {
    HANDLE h = CreateFileW(wide(path, codePage_).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return classify(GetLastError()) != OsStatus::Locked;
    CloseHandle(h);
    return true;
  }

  FileState settledState(const LockedFile& file) override {
    // The table is open without write sharing: no other program can write it while it
    // is held, so its state cannot move.
    return file.state();
  }

  bool namesFile(const std::string& path, const FileState& state) override {
    HANDLE h = CreateFileW(wide(path, codePage_).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool same = GetFileInformationByHandle(h, &info) && stateOf(info).sameFile(state);
    CloseHandle(h);
    return same;
  }

  bool isFile(const std::string& path) override {
    DWORD attrs;
    return attributes(path, codePage_, attrs) && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool isReadOnlyFile(const std::string& path) override {
    DWORD attrs;
    return attributes(path, codePage_, attrs) && !(attrs & FILE_ATTRIBUTE_DIRECTORY) &&
           (attrs & FILE_ATTRIBUTE_READONLY);
  }

  std::string resolvePath(const std::string& directory, const std::string& name) override {
    bool absolute = (!name.empty() && isSeparator(name[0])) || (name.size() >= 2 && name[1] == ':');
    if (absolute || directory.empty()) return name;
    std::string base = directory;
    if (!isSeparator(base.back())) base += '\\';
    return base + name;
  }

  std::string findInFolder(const std::string& folder, const std::string& name) override {
    // Windows file systems find names without regard to letter case by themselves.
    if (name.empty()) return {};
    DWORD attrs;
    return attributes(folder + name, codePage_, attrs) ? folder + name : std::string();
  }

  std::string replacementTarget(const std::string& path) override { return path; }

  std::unique_ptr<ReplacementFile> createReplacement(const std::string& target) override {
    return std::make_unique<WinReplacement>(target, codePage_);
  }

  std::unique_ptr<core::ScratchStore> createScratchStore(const std::string& target) override {
    return std::make_unique<detail::ScratchStoreOf<WinScratch, TemporaryName>>(temporaryName(target, "~IS", codePage_));
  }

  std::unique_ptr<core::ScratchStore> temporaryScratchStore() override {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH) throw core::Failure(DBIERR_WRITEERR, texts::createError("%TEMP%"));
    return std::make_unique<detail::ScratchStoreOf<WinScratch, TemporaryName>>(
        TemporaryName{narrow(folder, codePage_), "~IS", 13, codePage_});
  }

  void removeLeftovers(const std::string& target) override {
    // Temporary names do not tell which index they were made for: any one in the
    // folder is a leftover once nobody holds it open (a rebuild under way keeps its
    // files open without delete sharing, or with it only while they are its own).
    std::string folder = folderOf(target);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(folder + "~I*", codePage_).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> doomed;
    do {
      std::string candidate = narrow(found.cFileName, codePage_);
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isTemporaryName(candidate))
        doomed.push_back(folder + candidate);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const auto& path : doomed) {
      // Only a file that no one has open can be opened without sharing.
      HANDLE h = CreateFileW(wide(path, codePage_).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }

  std::string currentDirectory() override {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, buffer);
    return n > 0 && n <= MAX_PATH ? narrow(buffer, codePage_) : std::string();
  }

 private:
  UINT codePage_;
};

}  // namespace

Platform& systemPlatform(Names names) {
  static WinPlatform ansi(CP_ACP), utf8(CP_UTF8);
  return names == Names::Utf8 ? static_cast<Platform&>(utf8) : ansi;
}

std::string folderOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) {
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return {};
  }
  return path.substr(0, cut + 1);
}

std::string fileNameOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') return path.substr(2);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace idapi::engine
