// Shared read-only access on Windows. The engine keeps other users out by the share
// mode of its opens (none for exclusive use), so that is what the exclusive-use
// question asks about.
#include <windows.h>

#include <cstdio>
#include <string>

#include "idxcheck/shared_file.h"

namespace idxcheck {
namespace {

using idapi::core::Failure;

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

void readExactly(HANDLE h, uint64_t offset, void* buffer, size_t length, const std::string& what) {
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD got = 0;
    if (!ReadFile(h, out, chunk, &got, &at) || got == 0) throw Failure(DBIERR_READERR, what + ": read failed");
    out += got;
    offset += got;
    length -= got;
  }
}

class WinFile : public idapi::core::ByteSource {
 public:
  WinFile(std::string path, HANDLE h, uint64_t size) : path_(std::move(path)), h_(h), size_(size) {}
  ~WinFile() override { CloseHandle(h_); }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > size_ || length > size_ - offset)
      throw Failure(DBIERR_READERR, path_ + ": read beyond the end of the file");
    readExactly(h_, offset, buffer, length, path_);
  }

 private:
  std::string path_;
  HANDLE h_;
  uint64_t size_;
};

class TempScratch : public idapi::core::ScratchFile {
 public:
  TempScratch() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"idx", 0, name) == 0)
      throw Failure(DBIERR_WRITEERR, "cannot create a temporary file");
    h_ = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h_ == INVALID_HANDLE_VALUE) {
      DeleteFileW(name);
      throw Failure(DBIERR_WRITEERR, "cannot create a temporary file");
    }
  }
  ~TempScratch() override { CloseHandle(h_); }
  void write(const void* data, size_t length) override {
    const auto* in = static_cast<const char*>(data);
    while (length > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(size_);
      at.OffsetHigh = static_cast<DWORD>(size_ >> 32);
      const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
      DWORD put = 0;
      if (!WriteFile(h_, in, chunk, &put, &at) || put == 0)
        throw Failure(DBIERR_WRITEERR, "cannot write a temporary file");
      in += put;
      size_ += put;
      length -= put;
    }
  }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > size_ || length > size_ - offset) throw Failure(DBIERR_READERR, "cannot read a temporary file");
    readExactly(h_, offset, buffer, length, "temporary file");
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
  uint64_t size_ = 0;
};

class TempStore : public idapi::core::ScratchStore {
 public:
  std::unique_ptr<idapi::core::ScratchFile> create() override { return std::make_unique<TempScratch>(); }
};

OpenStatus classify(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return OpenStatus::Missing;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return OpenStatus::Held;
    case ERROR_ACCESS_DENIED: return OpenStatus::Denied;
    default: return OpenStatus::Failed;
  }
}

bool isFolder(const std::wstring& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

OpenResult openShared(const std::string& path) {
  OpenResult r;
  const std::wstring wide = widen(path);
  if (isFolder(wide)) {
    r.status = OpenStatus::Missing;
    return r;
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    r.systemCode = GetLastError();
    r.status = classify(r.systemCode);
    return r;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) {
    r.systemCode = GetLastError();
    r.status = OpenStatus::Failed;
    CloseHandle(h);
    return r;
  }
  r.file = std::make_unique<WinFile>(path, h, static_cast<uint64_t>(size.QuadPart));
  return r;
}

bool exclusiveUsePossible(const std::string& path) {
  HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    return err != ERROR_SHARING_VIOLATION && err != ERROR_LOCK_VIOLATION;
  }
  CloseHandle(h);
  return true;
}

bool readOnlyFile(const std::string& path) {
  const DWORD attrs = GetFileAttributesW(widen(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY) && (attrs & FILE_ATTRIBUTE_READONLY);
}

std::string nativePath(const std::string& path) { return path; }

std::unique_ptr<idapi::core::ScratchStore> temporaryScratch() { return std::make_unique<TempStore>(); }

void writeOutput(const std::string& utf8) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    DWORD written;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

}  // namespace idxcheck
