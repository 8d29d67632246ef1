#include "fault_platform.h"

#include "idapi/engine/tuning.h"

namespace enginetest {
namespace {

using idapi::core::Failure;
using namespace idapi::engine;

bool sameName(const std::string& path, const std::string& name) {
  const std::string file = fileNameOf(path);
  if (name.empty() || file.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char a = file[i], b = name[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

class FaultFile final : public LockedFile {
 public:
  FaultFile(FaultPlatform& layer, std::unique_ptr<LockedFile> real)
      : LockedFile(real->path()), layer_(layer), real_(std::move(real)) {}
  uint64_t size() const override { return real_->size(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    layer_.beforeRead(path(), offset);
    real_->readAt(offset, buffer, length);
    layer_.afterRead(path(), offset);
  }
  FileState state() const override {
    FileState s = real_->state();
    if (layer_.changed(path())) s.modified += 1;
    return s;
  }
  void refresh() override { real_->refresh(); }
  std::unique_ptr<LockedFile> release() { return std::move(real_); }

 private:
  FaultPlatform& layer_;
  std::unique_ptr<LockedFile> real_;
};

class FaultReplacement final : public ReplacementFile {
 public:
  FaultReplacement(FaultPlatform& layer, std::unique_ptr<ReplacementFile> real)
      : layer_(layer), real_(std::move(real)) {}
  void write(const void* data, size_t length) override {
    if (layer_.indexWriteFault && written_ + length > *layer_.indexWriteFault)
      throw Failure(DBIERR_NODISKSPACE, "Disk full (injected): " + real_->path());
    real_->write(data, length);
    written_ += length;
  }
  const std::string& path() const override { return real_->path(); }
  std::unique_ptr<LockedFile> commit(std::unique_ptr<LockedFile>& old,
                                     const std::function<void()>& lastCheck) override {
    if (layer_.commitFault) throw Failure(DBIERR_WRITEERR, "Cannot replace (injected): " + real_->path());
    // The system's layer gets the old index as it opened it.
    std::unique_ptr<LockedFile> held = old ? static_cast<FaultFile&>(*old).release() : nullptr;
    old.reset();
    try {
      std::unique_ptr<LockedFile> fresh = real_->commit(held, lastCheck);
      if (held) old = layer_.wrap(std::move(held));
      return layer_.wrap(std::move(fresh));
    } catch (...) {
      if (held) old = layer_.wrap(std::move(held));
      throw;
    }
  }

 private:
  FaultPlatform& layer_;
  std::unique_ptr<ReplacementFile> real_;
  uint64_t written_ = 0;
};

class FaultScratch final : public idapi::core::ScratchFile {
 public:
  FaultScratch(FaultPlatform& layer, std::unique_ptr<idapi::core::ScratchFile> real)
      : layer_(layer), real_(std::move(real)) {}
  void write(const void* data, size_t length) override {
    if (layer_.scratchFault) throw Failure(DBIERR_NODISKSPACE, "Disk full (injected): scratch file");
    real_->write(data, length);
  }
  uint64_t size() const override { return real_->size(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override { real_->readAt(offset, buffer, length); }

 private:
  FaultPlatform& layer_;
  std::unique_ptr<idapi::core::ScratchFile> real_;
};

class FaultStore final : public idapi::core::ScratchStore {
 public:
  FaultStore(FaultPlatform& layer, std::unique_ptr<idapi::core::ScratchStore> real)
      : layer_(layer), real_(std::move(real)) {}
  std::unique_ptr<idapi::core::ScratchFile> create() override {
    return std::make_unique<FaultScratch>(layer_, real_->create());
  }

 private:
  FaultPlatform& layer_;
  std::unique_ptr<idapi::core::ScratchStore> real_;
};

}  // namespace

FaultPlatform::FaultPlatform() : real_(systemPlatform()), previous_(setPlatform(this)) {}

FaultPlatform::~FaultPlatform() { setPlatform(previous_); }

void FaultPlatform::clear() {
  lockFault.reset();
  onRead.reset();
  changedFile.clear();
  readFault.reset();
  indexWriteFault.reset();
  commitFault = false;
  scratchFault = false;
}

std::unique_ptr<LockedFile> FaultPlatform::wrap(std::unique_ptr<LockedFile> file) {
  if (!file) return nullptr;
  return std::make_unique<FaultFile>(*this, std::move(file));
}

std::unique_ptr<LockedFile> FaultPlatform::openLocked(const std::string& path, LockMode mode, bool wantWrite,
                                                      OsError& error, bool replaceable) {
  if (lockFault) {
    error = *lockFault;
    return nullptr;
  }
  return wrap(real_.openLocked(path, mode, wantWrite, error, replaceable));
}

std::unique_ptr<LockedFile> FaultPlatform::openShared(const std::string& path, OsError& error) {
  return wrap(real_.openShared(path, error));
}

FileState FaultPlatform::settledState(const LockedFile& file) {
  return real_.settledState(file);  // asks the wrapped file's state(), changes included
}

void FaultPlatform::beforeRead(const std::string& path, uint64_t offset) {
  if (readFault && offset >= readFault->from && sameName(path, readFault->file))
    throw Failure(DBIERR_READERR, "Read error (injected): " + path);
}

void FaultPlatform::afterRead(const std::string& path, uint64_t offset) {
  if (onRead && offset >= onRead->from && sameName(path, onRead->file)) {
    std::function<void()> run = std::move(onRead->run);
    onRead.reset();
    if (run) run();
  }
}

bool FaultPlatform::changed(const std::string& path) const { return sameName(path, changedFile); }

std::unique_ptr<ReplacementFile> FaultPlatform::createReplacement(const std::string& target) {
  return std::make_unique<FaultReplacement>(*this, real_.createReplacement(target));
}

std::unique_ptr<idapi::core::ScratchStore> FaultPlatform::createScratchStore(const std::string& target) {
  return std::make_unique<FaultStore>(*this, real_.createScratchStore(target));
}

std::unique_ptr<idapi::core::ScratchStore> FaultPlatform::temporaryScratchStore() {
  return std::make_unique<FaultStore>(*this, real_.temporaryScratchStore());
}

}  // namespace enginetest
