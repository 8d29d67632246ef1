#include "idxcheck/console.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include "sys/host_path.h"
#endif

namespace idxcheck {

#ifdef _WIN32

std::string nativePath(const std::string& path) { return path; }

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

#else

std::string nativePath(const std::string& path) { return sys::hostPath(path); }

void writeOutput(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

#endif

}  // namespace idxcheck
