#include "idxcheck/holders.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#endif

namespace idxcheck {

#ifdef _WIN32

namespace {

// The restart-management interface, declared here as the system's documentation gives
// it, and bound at run time: a system or an environment without it is told apart from
// one that answers "nobody".
constexpr DWORD kSessionKeyLength = 32;  // CCH_RM_SESSION_KEY - 1
struct RmUniqueProcess {
  DWORD dwProcessId;
  FILETIME ProcessStartTime;
};
struct RmProcessInfo {
  RmUniqueProcess Process;
  WCHAR strAppName[256];
  WCHAR strServiceShortName[64];
  int ApplicationType;
  ULONG AppStatus;
  DWORD TSSessionId;
  BOOL bRestartable;
};
using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RmUniqueProcess*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RmProcessInfo*, DWORD*);

std::string utf8(const WCHAR* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring out(static_cast<size_t>(n - 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), n);
  return out;
}

}  // namespace

Holders whoHolds(const std::string& path) {
  Holders out;
  HMODULE rm = LoadLibraryW(L"rstrtmgr.dll");
  if (!rm) {
    out.why = "the restart-management interface (rstrtmgr.dll) is not available";
    out.whyFr = "l'interface de gestion des redémarrages (rstrtmgr.dll) est absente";
    return out;
  }
  auto start = reinterpret_cast<RmStartSessionFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmStartSession")));
  auto end = reinterpret_cast<RmEndSessionFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmEndSession")));
  auto add =
      reinterpret_cast<RmRegisterResourcesFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmRegisterResources")));
  auto list = reinterpret_cast<RmGetListFn>(reinterpret_cast<void*>(GetProcAddress(rm, "RmGetList")));
  DWORD session = 0;
  WCHAR key[kSessionKeyLength + 1] = {};
  if (!start || !end || !add || !list || start(&session, 0, key) != ERROR_SUCCESS) {
    out.why = "the restart-management interface cannot be used here";
    out.whyFr = "l'interface de gestion des redémarrages est inutilisable ici";
    FreeLibrary(rm);
    return out;
  }
  const std::wstring name = wide(path);
  LPCWSTR names[] = {name.c_str()};
  DWORD status = add(session, 1, names, 0, nullptr, 0, nullptr);
  UINT needed = 0, count = 0;
  DWORD reasons = 0;
  std::vector<RmProcessInfo> infos;
  if (status == ERROR_SUCCESS) {
    status = list(session, &needed, &count, nullptr, &reasons);
    if (status == ERROR_MORE_DATA) {
      infos.resize(needed);
      count = needed;
      status = list(session, &needed, &count, infos.data(), &reasons);
    } else if (status == ERROR_SUCCESS) {
      count = 0;
    }
  }
  end(session);
  FreeLibrary(rm);
  if (status != ERROR_SUCCESS) {
    out.why = "the restart-management interface did not answer (error " + std::to_string(status) + ")";
    out.whyFr = "l'interface de gestion des redémarrages n'a pas répondu (erreur " + std::to_string(status) + ")";
    return out;
  }
  const DWORD self = GetCurrentProcessId();
  for (UINT i = 0; i < count && i < infos.size(); ++i)
    if (infos[i].Process.dwProcessId != self)
      out.holders.push_back({utf8(infos[i].strAppName), infos[i].Process.dwProcessId});
  // Wine answers "nobody" for every file: that is no answer.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (out.holders.empty() && ntdll && GetProcAddress(ntdll, "wine_get_version")) {
    out.why = "Wine's restart-management interface does not name the programs holding a file";
    out.whyFr = "l'interface de gestion des redémarrages de Wine ne nomme pas les programmes qui tiennent un fichier";
    return out;
  }
  out.known = true;
  return out;
}

#else

Holders whoHolds(const std::string& path) {
  Holders out;
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) {
    out.why = "the file's full path cannot be had";
    out.whyFr = "le chemin complet du fichier est introuvable";
    return out;
  }
  const std::string wanted = resolved;
  DIR* proc = ::opendir("/proc");
  if (!proc) {
    out.why = "the system shows no process files (/proc)";
    out.whyFr = "le système ne montre pas les fichiers des processus (/proc)";
    return out;
  }
  out.known = true;
  const unsigned long self = static_cast<unsigned long>(::getpid());
  while (const dirent* e = ::readdir(proc)) {
    char* rest = nullptr;
    const unsigned long id = std::strtoul(e->d_name, &rest, 10);
    if (!rest || *rest || id == 0 || id == self) continue;
    const std::string fds = std::string("/proc/") + e->d_name + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    if (!dir) continue;  // another user's process: not ours to see
    bool holds = false;
    while (const dirent* f = ::readdir(dir)) {
      if (f->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const ssize_t n = ::readlink((fds + "/" + f->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      if (std::string(target, static_cast<size_t>(n)) == wanted) {
        holds = true;
        break;
      }
    }
    ::closedir(dir);
    if (!holds) continue;
    std::string name;
    std::getline(std::ifstream(std::string("/proc/") + e->d_name + "/comm"), name);
    out.holders.push_back({name, id});
  }
  ::closedir(proc);
  return out;
}

#endif

}  // namespace idxcheck
