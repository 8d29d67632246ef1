// A file layer for tests: it passes every call on to the system's and injects the
// faults a test arms (a lock the system refuses, a file changed or unreadable from a
// given offset on, a full disk while the new index or a scratch file is written, a
// refused replacement). It installs itself for its lifetime and works the same on
// every system, so the same checks run against the POSIX and the Windows file layers.
#ifndef ORVANE_TESTS_ENGINE_FAULT_PLATFORM_H
#define ORVANE_TESTS_ENGINE_FAULT_PLATFORM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "idapi/engine/platform.h"

namespace enginetest {

class FaultPlatform final : public idapi::engine::Platform {
 public:
  FaultPlatform();
  ~FaultPlatform() override;
  FaultPlatform(const FaultPlatform&) = delete;
  FaultPlatform& operator=(const FaultPlatform&) = delete;

  // Faults, all off at first. Files are named by their name without its folder, in
  // any letter case.
  std::optional<idapi::engine::OsError> lockFault;  // every locked open fails with it
  struct ReadHook {
    std::string file;
    uint64_t from = 0;          // the first read at or past this offset runs it, once done
    std::function<void()> run;  // once, then the hook is spent
  };
  std::optional<ReadHook> onRead;
  std::string changedFile;                  // reports a new modification time from now on
  std::optional<ReadHook> readFault;        // reads at or past `from` fail (run unused)
  std::optional<uint64_t> indexWriteFault;  // the new index's write that passes this many bytes fails: disk full
  bool commitFault = false;                 // the new index cannot take its name
  bool scratchFault = false;                // every write to a scratch file fails: disk full
  void clear();

  std::unique_ptr<idapi::engine::LockedFile> openLocked(const std::string& path, idapi::engine::LockMode mode,
                                                        bool wantWrite, idapi::engine::OsError& error,
                                                        bool replaceable) override;
  std::unique_ptr<idapi::engine::LockedFile> openShared(const std::string& path,
                                                        idapi::engine::OsError& error) override;
  bool exclusiveUsePossible(const std::string& path) override { return real_.exclusiveUsePossible(path); }
  idapi::engine::FileState settledState(const idapi::engine::LockedFile& file) override;
  bool namesFile(const std::string& path, const idapi::engine::FileState& state) override {
    return real_.namesFile(path, state);
  }
  bool isFile(const std::string& path) override { return real_.isFile(path); }
  bool isReadOnlyFile(const std::string& path) override { return real_.isReadOnlyFile(path); }
  std::string resolvePath(const std::string& directory, const std::string& name) override {
    return real_.resolvePath(directory, name);
  }
  std::string findInFolder(const std::string& folder, const std::string& name) override {
    return real_.findInFolder(folder, name);
  }
  std::string replacementTarget(const std::string& path) override { return real_.replacementTarget(path); }
  std::unique_ptr<idapi::engine::ReplacementFile> createReplacement(const std::string& target) override;
  std::unique_ptr<idapi::core::ScratchStore> createScratchStore(const std::string& target) override;
  std::unique_ptr<idapi::core::ScratchStore> temporaryScratchStore() override;
  void removeLeftovers(const std::string& target) override { real_.removeLeftovers(target); }
  std::string currentDirectory() override { return real_.currentDirectory(); }
  idapi::engine::CalendarDate todayUtc() override { return real_.todayUtc(); }

  // For the wrapped files.
  void beforeRead(const std::string& path, uint64_t offset);
  void afterRead(const std::string& path, uint64_t offset);
  bool changed(const std::string& path) const;
  std::unique_ptr<idapi::engine::LockedFile> wrap(std::unique_ptr<idapi::engine::LockedFile> file);

 private:
  idapi::engine::Platform& real_;
  idapi::engine::Platform* previous_;
};

}  // namespace enginetest

#endif  // ORVANE_TESTS_ENGINE_FAULT_PLATFORM_H
