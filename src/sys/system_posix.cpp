// Host (POSIX) implementation of the operating-system services. Paths written with
// backslashes, as the program's fixed table paths are, are taken with '/' as the
// separator, and a name that does not exist with its exact letter case is looked up
// without regard to case, one path component at a time.
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "pathwalk/pathwalk.h"
#include "text/codepage.h"
#include "sys/host_path.h"
#include "sys/system.h"

extern char** environ;

namespace sys {

std::string hostPath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  auto exists = [](const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
  };
  auto find = [](const std::string& folder, const std::string& name) {
    pathwalk::Match match(name);
    if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
      while (dirent* entry = readdir(dir)) match.offer(entry->d_name);
      closedir(dir);
    }
    return match.best();
  };
  return pathwalk::resolveCase(p, exists, find);
}

namespace {

class PosixSystem final : public System {
 public:
  std::string programFolder() override {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size() - 1) {
      throw std::runtime_error("Impossible de lire le chemin du programme");
    }
    std::string path(buffer.data(), static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
  }

  std::string currentDirectory() override {
    std::vector<char> buffer(PATH_MAX + 1);
    if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
    return buffer.data();
  }

  uint32_t setCurrentDirectory(const std::string& path) override {
    if (chdir(hostPath(path).c_str()) == 0) return 0;
    switch (errno) {
      case ENOENT: return kErrorFileNotFound;
      case ENOTDIR: return kErrorPathNotFound;
      case EACCES: return kErrorAccessDenied;
      default: return kErrorGenFailure;
    }
  }

  bool fileExists(const std::string& path) override {
    struct stat st;
    return stat(hostPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  int currentYear() override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
  }

  LoadResult loadLibrary(const std::string& nameOrPath) override {
    const bool isPath = nameOrPath.find_first_of("/\\") != std::string::npos;
    const std::string path = isPath ? hostPath(nameOrPath) : nameOrPath;
    if (isPath) {
      struct stat st;
      if (stat(path.c_str(), &st) != 0) return {nullptr, errno == ENOTDIR ? kErrorPathNotFound : kErrorFileNotFound};
    }
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return {handle, 0};
    return {nullptr, isPath ? kErrorBadExeFormat : kErrorModNotFound};
  }

  void freeLibrary(LibraryHandle library) override {
    if (library != nullptr) dlclose(library);
  }

  void* findSymbol(LibraryHandle library, const char* name) override {
    return library != nullptr ? dlsym(library, name) : nullptr;
  }

  std::optional<std::string> machineRegistryString(const std::string&, const std::string&) override {
    return std::nullopt;  // no registry on this platform
  }

  std::string utf8ToAnsi(const std::string& text) override { return text::utf8ToCp1252(text); }
  std::string ansiToUtf8(const std::string& text) override { return text::cp1252ToUtf8(text); }
  // No OEM code page here: the host engine takes names in Windows-1252.
  std::string ansiToOem(const std::string& text) override { return text; }

  intptr_t shellOpen(NativeWindow, const std::string& file, const std::string& parameters, const std::string& directory,
                     int) override {
    std::string path = file;
    if (path.find_first_of("/\\") == std::string::npos && !directory.empty()) {
      path = directory + "/" + path;
    }
    path = hostPath(path);
    if (access(path.c_str(), X_OK) != 0) return kErrorFileNotFound;
    std::vector<char*> argv{path.data()};
    std::string args = parameters;
    if (!args.empty()) argv.push_back(args.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return kErrorFileNotFound;
    return 42;
  }

  char separator() const override { return '/'; }
};

}  // namespace

std::unique_ptr<System> makeSystem() { return std::make_unique<PosixSystem>(); }

}  // namespace sys
