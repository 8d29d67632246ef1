// Shared read-only access on POSIX systems. The engine keeps other users out with
// whole-file flock() locks, so that is what the exclusive-use question asks about.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "idxcheck/shared_file.h"
#include "sys/host_path.h"

namespace idxcheck {
namespace {

using idapi::core::Failure;

class PosixFile : public idapi::core::ByteSource {
 public:
  PosixFile(std::string path, int fd, uint64_t size) : path_(std::move(path)), fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > size_ || length > size_ - offset)
      throw Failure(DBIERR_READERR, path_ + ": read beyond the end of the file");
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
      const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw Failure(DBIERR_READERR, path_ + ": read failed");
      out += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
  }

 private:
  std::string path_;
  int fd_;
  uint64_t size_;
};

class TempScratch : public idapi::core::ScratchFile {
 public:
  TempScratch() : f_(std::tmpfile()) {
    if (!f_) throw Failure(DBIERR_WRITEERR, "cannot create a temporary file");
  }
  ~TempScratch() override { std::fclose(f_); }
  void write(const void* data, size_t length) override {
    if (std::fseek(f_, 0, SEEK_END) != 0 || std::fwrite(data, 1, length, f_) != length)
      throw Failure(DBIERR_WRITEERR, "cannot write a temporary file");
    size_ += length;
  }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > size_ || length > size_ - offset || std::fflush(f_) != 0 ||
        ::fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0 || std::fread(buffer, 1, length, f_) != length)
      throw Failure(DBIERR_READERR, "cannot read a temporary file");
  }

 private:
  std::FILE* f_;
  uint64_t size_ = 0;
};

class TempStore : public idapi::core::ScratchStore {
 public:
  std::unique_ptr<idapi::core::ScratchFile> create() override { return std::make_unique<TempScratch>(); }
};

OpenStatus classify(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return OpenStatus::Missing;
    case EACCES:
    case EPERM: return OpenStatus::Denied;
    default: return OpenStatus::Failed;
  }
}

}  // namespace

OpenResult openShared(const std::string& path) {
  OpenResult r;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    r.systemCode = static_cast<uint32_t>(errno);
    r.status = classify(errno);
    return r;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    r.systemCode = static_cast<uint32_t>(errno);
    r.status = OpenStatus::Failed;
    ::close(fd);
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    r.status = OpenStatus::Missing;
    ::close(fd);
    return r;
  }
  r.file = std::make_unique<PosixFile>(path, fd, static_cast<uint64_t>(st.st_size));
  return r;
}

bool exclusiveUsePossible(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != EWOULDBLOCK;
  int rc;
  while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {}
  const bool possible = rc == 0 || errno != EWOULDBLOCK;
  ::close(fd);  // lets go of the lock too
  return possible;
}

bool readOnlyFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
  return ::access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM);
}

std::string nativePath(const std::string& path) { return sys::hostPath(path); }

std::unique_ptr<idapi::core::ScratchStore> temporaryScratch() { return std::make_unique<TempStore>(); }

void writeOutput(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

}  // namespace idxcheck
