#include "idapi/engine/names.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace idapi::engine {

#ifdef _WIN32

std::string nameFromCaller(const std::string& name) {
  if (name.empty() || GetOEMCP() == GetACP()) return name;
  const int n = MultiByteToWideChar(CP_OEMCP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (n <= 0) return std::string(name.size(), '?');
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_OEMCP, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return std::string(name.size(), '?');
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

#else

std::string nameFromCaller(const std::string& name) { return name; }

#endif

}  // namespace idapi::engine
