// File layer for Windows. Every name goes through the ANSI ("A") functions, so that
// Windows interprets the caller's bytes in the system's ANSI code page. Exclusive use
// is an open without any sharing; shared use lets others read and write. An index is
// replaced with MoveFileExA(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "engine/buffered_writer.h"
#include "engine/platform.h"
#include "engine/texts.h"

namespace idapi::engine {
namespace {

OsStatus classify(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return OsStatus::NotFound;
    case ERROR_ACCESS_DENIED:
      return OsStatus::AccessDenied;
    case ERROR_WRITE_PROTECT:
      return OsStatus::ReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OsStatus::Locked;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return OsStatus::NoSpace;
    case ERROR_TOO_MANY_OPEN_FILES:
      return OsStatus::NoHandles;
    case ERROR_FILENAME_EXCED_RANGE:
      return OsStatus::BadName;
    default:
      return OsStatus::Other;
  }
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
  s.modified = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                    info.ftLastWriteTime.dwLowDateTime);
  s.links = info.nNumberOfLinks;
  return s;
}

class WinFile final : public LockedFile {
 public:
  WinFile(std::string path, HANDLE handle, uint64_t size) : LockedFile(std::move(path)), handle_(handle), size_(size) {}
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

 private:
  HANDLE handle_;
  uint64_t size_;
};

bool attributes(const std::string& path, DWORD& attrs) {
  attrs = GetFileAttributesA(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES;
}

std::string hexSuffix() {
  static std::atomic<uint32_t> counter{0};
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  uint64_t value = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                   (0x9E3779B97F4A7C15ull * ++counter);
  value ^= value >> 31;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 29;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

HANDLE createUnique(const std::string& prefix, std::string& path, DWORD flags) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = prefix + hexSuffix();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    DWORD err = GetLastError();
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) continue;
    throw core::Failure(err == ERROR_DISK_FULL            ? DBIERR_NODISKSPACE
                        : err == ERROR_ACCESS_DENIED || err == ERROR_WRITE_PROTECT ? DBIERR_READONLYDIR
                                                                                   : DBIERR_WRITEERR,
                        texts::createError(path));
  }
  throw core::Failure(DBIERR_WRITEERR, texts::createError(path));
}

void writeAll(HANDLE h, const void* data, size_t length, const std::string& path) {
  auto* in = static_cast<const char*>(data);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD put = 0;
    if (!WriteFile(h, in, chunk, &put, nullptr) || put == 0) {
      DWORD err = GetLastError();
      throw core::Failure(err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL ? DBIERR_NODISKSPACE
                                                                                  : DBIERR_WRITEERR,
                          texts::writeError(path));
    }
    in += put;
    length -= put;
  }
}

using Buffered = BufferedWriter<HANDLE, writeAll>;

class WinReplacement final : public ReplacementFile {
 public:
  explicit WinReplacement(std::string target) : target_(std::move(target)) {
    h_ = createUnique(temporaryPrefix(target_), path_, FILE_ATTRIBUTE_NORMAL);
    out_ = std::make_unique<Buffered>(h_, path_);
  }
  ~WinReplacement() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    if (!committed_) DeleteFileA(path_.c_str());
  }
  void write(const void* data, size_t length) override { out_->write(data, length); }
  const std::string& path() const override { return path_; }

  void commit() override {
    out_->flush();
    if (!FlushFileBuffers(h_)) throw core::Failure(DBIERR_WRITEERR, texts::writeError(path_));
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      DWORD err = GetLastError();
      throw core::Failure(err == ERROR_ACCESS_DENIED ? DBIERR_INDEXREADONLY
                          : classify(err) == OsStatus::Locked ? DBIERR_FILELOCKED
                                                              : DBIERR_WRITEERR,
                          texts::replaceError(target_));
    }
    committed_ = true;
  }

 private:
  std::string target_;
  std::string path_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
  bool committed_ = false;
  std::unique_ptr<Buffered> out_;
};

class WinScratch final : public core::ScratchFile {
 public:
  explicit WinScratch(const std::string& prefix) {
    h_ = createUnique(prefix, path_, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    // Runs come in large blocks already: no buffer of our own, which every run still
    // waiting for its merge would otherwise keep.
    out_ = std::make_unique<Buffered>(h_, path_, 0);
  }
  ~WinScratch() override { CloseHandle(h_); }
  void write(const void* data, size_t length) override { out_->write(data, length); }
  uint64_t size() const override { return out_->written(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    const_cast<Buffered&>(*out_).release();
    readAllAt(h_, offset, buffer, length, path_);
  }

 private:
  std::string path_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<Buffered> out_;
};

class WinScratchStore final : public core::ScratchStore {
 public:
  explicit WinScratchStore(std::string prefix) : prefix_(std::move(prefix)) {}
  std::unique_ptr<core::ScratchFile> create() override { return std::make_unique<WinScratch>(prefix_); }

 private:
  std::string prefix_;
};

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::unique_ptr<LockedFile> openLocked(const std::string& path, LockMode mode, bool wantWrite, OsError& error) {
  error = {};
  DWORD attrs;
  if (attributes(path, attrs)) {
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
      error = {OsStatus::NotRegular, 0};
      return nullptr;
    }
    if (wantWrite && (attrs & FILE_ATTRIBUTE_READONLY)) {
      error = {OsStatus::ReadOnly, ERROR_ACCESS_DENIED};
      return nullptr;
    }
  }
  DWORD share = mode == LockMode::Exclusive ? 0 : (FILE_SHARE_READ | FILE_SHARE_WRITE);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  return std::make_unique<WinFile>(path, h, static_cast<uint64_t>(size.QuadPart));
}

FileState settledState(const LockedFile& file) {
  // The table is open without write sharing: no other program can write it while it
  // is held, so its state cannot move.
  return file.state();
}

bool namesFile(const std::string& path, const FileState& state) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool same = GetFileInformationByHandle(h, &info) && stateOf(info).sameFile(state);
  CloseHandle(h);
  return same;
}

std::string replacementTarget(const std::string& path) { return path; }

bool isFile(const std::string& path) {
  DWORD attrs;
  return attributes(path, attrs) && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool isReadOnlyFile(const std::string& path) {
  DWORD attrs;
  return attributes(path, attrs) && !(attrs & FILE_ATTRIBUTE_DIRECTORY) && (attrs & FILE_ATTRIBUTE_READONLY);
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

std::string findInFolder(const std::string& folder, const std::string& name) {
  // Windows file systems find names without regard to letter case by themselves.
  if (name.empty()) return {};
  DWORD attrs;
  return attributes(folder + name, attrs) ? folder + name : std::string();
}

std::string resolvePath(const std::string& directory, const std::string& name) {
  bool absolute = (!name.empty() && isSeparator(name[0])) || (name.size() >= 2 && name[1] == ':');
  if (absolute || directory.empty()) return name;
  std::string base = directory;
  if (!isSeparator(base.back())) base += '\\';
  return base + name;
}

std::string temporaryPrefix(const std::string& target) { return target + ".~"; }

std::unique_ptr<ReplacementFile> createReplacement(const std::string& target) {
  return std::make_unique<WinReplacement>(target);
}

std::unique_ptr<core::ScratchStore> createScratchStore(const std::string& target) {
  return std::make_unique<WinScratchStore>(temporaryPrefix(target) + "s");
}

void removeLeftovers(const std::string& target) {
  std::string folder = folderOf(target);
  std::string prefix = fileNameOf(temporaryPrefix(target));
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((temporaryPrefix(target) + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> doomed;
  do {
    std::string candidate = found.cFileName;
    if (candidate.size() <= prefix.size() || _strnicmp(candidate.c_str(), prefix.c_str(), prefix.size()) != 0)
      continue;
    std::string rest = candidate.substr(prefix.size());
    if (!rest.empty() && rest[0] == 's') rest.erase(0, 1);
    if (rest.size() == 16 && rest.find_first_not_of("0123456789abcdef") == std::string::npos)
      doomed.push_back(folder + candidate);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  for (const auto& path : doomed) DeleteFileA(path.c_str());
}

}  // namespace idapi::engine
