// Windows implementation of the operating-system services. Texts are UTF-8 inside
// and UTF-16 at the system boundary (W functions), except the engine's installation
// key, which is read in the ANSI code page as the engine itself keeps it.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "sys/system.h"

namespace sys {
namespace {

std::wstring widen(const std::string& text, UINT codePage = CP_UTF8) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string narrow(const std::wstring& text, UINT codePage = CP_UTF8) {
  if (text.empty()) return {};
  // For the ANSI code page, no best-fit look-alikes: an unrepresentable character
  // must become the default character, so that it can never name another file.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n =
      WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// Switches the system's error boxes for missing files and drives off for as long as
// it lives.
class QuietErrors {
 public:
  QuietErrors() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
  ~QuietErrors() { SetErrorMode(previous_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  UINT previous_;
};

class WindowsSystem final : public System {
 public:
  std::string programFolder() override {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    // A path cut short at the buffer's end would name another folder: refuse it.
    if (n == 0 || n >= MAX_PATH) throw std::runtime_error("Impossible de lire le chemin du programme");
    std::wstring path(buffer, n);
    return narrow(path.substr(0, path.find_last_of(L"\\/") + 1));
  }

  std::string currentDirectory() override {
    const DWORD n = GetCurrentDirectoryW(0, nullptr);
    if (n == 0) return {};
    std::wstring buffer(n, L'\0');
    const DWORD written = GetCurrentDirectoryW(n, buffer.data());
    buffer.resize(written < n ? written : 0);
    return narrow(buffer);
  }

  uint32_t setCurrentDirectory(const std::string& path) override {
    return SetCurrentDirectoryW(widen(path).c_str()) ? 0 : GetLastError();
  }

  bool fileExists(const std::string& path) override {
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // A file locked by another program may refuse even its attributes.
      const DWORD error = GetLastError();
      return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    // A link: what counts is its target.
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return ok && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  int currentYear() override {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wYear;
  }

  LoadResult loadLibrary(const std::string& nameOrPath) override {
    QuietErrors quiet;
    const bool isPath = nameOrPath.find_first_of("\\/:") != std::string::npos;
    // A library taken from a given folder finds its own companions in that folder.
    HMODULE h = LoadLibraryExW(widen(nameOrPath).c_str(), nullptr, isPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (h == nullptr) return {nullptr, GetLastError()};
    return {reinterpret_cast<LibraryHandle>(h), 0};
  }

  void freeLibrary(LibraryHandle library) override {
    if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
  }

  void* findSymbol(LibraryHandle library, const char* name) override {
    if (library == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
  }

  std::optional<std::string> machineRegistryString(const std::string& key, const std::string& value) override {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
    BYTE data[261] = {};
    DWORD size = 260;
    DWORD type = 0;
    const LONG rc = RegQueryValueExA(k, value.c_str(), nullptr, &type, data, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size > 260) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return ansiToUtf8(text);
  }

  std::string utf8ToAnsi(const std::string& text) override { return narrow(widen(text), CP_ACP); }
  std::string ansiToUtf8(const std::string& text) override { return narrow(widen(text, CP_ACP)); }
  std::string ansiToOem(const std::string& text) override {
    if (text.empty()) return {};
    // A double-byte OEM code page may need up to twice the room.
    std::string out(text.size() * 2, '\0');
    std::string source = text;
    source.resize(out.size(), '\0');
    if (!CharToOemBuffA(source.data(), out.data(), static_cast<DWORD>(out.size()))) return {};
    out.resize(std::min(out.find('\0', 0), out.size()));
    return out;
  }

  intptr_t shellOpen(NativeWindow owner, const std::string& file, const std::string& parameters,
                     const std::string& directory, int showCommand) override {
    const std::wstring f = widen(file), p = widen(parameters), d = widen(directory);
    HINSTANCE rc = ShellExecuteW(reinterpret_cast<HWND>(owner), L"open", f.c_str(), p.c_str(), d.c_str(), showCommand);
    return reinterpret_cast<intptr_t>(rc);
  }

  char separator() const override { return '\\'; }
};

}  // namespace

std::unique_ptr<System> makeSystem() { return std::make_unique<WindowsSystem>(); }

}  // namespace sys
