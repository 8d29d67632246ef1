// File layer for POSIX systems (the host build): flock() locks, a path mapping that
// accepts backslashes and finds names without regard to letter case, and index
// replacement by rename() followed by an fsync() of the folder.
//
// A replaced index keeps its identity: the new file gets the old one's permission bits
// and, where the process may give them (root, or a member of the group), its owner
// and group. A symbolic link to the index is followed: its target is replaced and the
// link stays. An index with several hard links is refused, because replacing one name
// would leave the other names on the stale index, and writing the file in place could
// leave a torn index after a crash.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "idapi/engine/platform.h"
#include "idapi/engine/platform_detail.h"
#include "idapi/engine/texts.h"
#include "pathwalk/pathwalk.h"

namespace idapi::engine {
namespace {

// Temporary files made for `target` are named after it: its name + ".~" + 16 hex
// digits (the new index) or + ".~s" + 16 hex digits (sorted runs). A name too long to
// take the 19 more characters within the file system's limit is cut first.
std::string temporaryPrefix(const std::string& target) {
  constexpr size_t kNameMax = 255, kAdded = 19;
  size_t slash = target.find_last_of('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string prefix = target;
  if (prefix.size() - nameStart + kAdded > kNameMax) prefix.resize(nameStart + kNameMax - kAdded);
  return prefix + ".~";
}

static_assert(sizeof(off_t) >= 8, "file offsets must be 64-bit (large-file support)");

OsStatus classify(int err) {
  return detail::meaningOf(static_cast<uint32_t>(err), {
                                                           {ENOENT, OsStatus::NotFound},
                                                           {ENOTDIR, OsStatus::NotFound},
                                                           {EACCES, OsStatus::AccessDenied},
                                                           {EPERM, OsStatus::AccessDenied},
                                                           {EROFS, OsStatus::ReadOnly},
                                                           {EWOULDBLOCK, OsStatus::Locked},
                                                           {ENOSPC, OsStatus::NoSpace},
                                                           {EDQUOT, OsStatus::NoSpace},
                                                           {EMFILE, OsStatus::NoHandles},
                                                           {ENFILE, OsStatus::NoHandles},
                                                           {ENAMETOOLONG, OsStatus::BadName},
                                                           {ELOOP, OsStatus::BadName},
                                                           {ENOLCK, OsStatus::LockFailed},
                                                       });
}

// Reads exactly `length` bytes at `offset`, or throws a read failure naming the file.
void readAllAt(int fd, uint64_t offset, void* buffer, size_t length, const std::string& path) {
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw core::Failure(DBIERR_READERR, texts::readError(path));
    out += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
}

int64_t nanoseconds(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

FileState stateOf(const struct stat& st) {
  FileState s;
  s.volume = static_cast<uint64_t>(st.st_dev);
  s.file = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<uint64_t>(st.st_size);
  s.modified = nanoseconds(st.st_mtim);
  s.changed = nanoseconds(st.st_ctim);
  s.links = static_cast<uint32_t>(st.st_nlink);
  return s;
}

class PosixFile final : public LockedFile {
 public:
  PosixFile(std::string path, int fd, uint64_t size) : LockedFile(std::move(path)), fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }  // closing the descriptor releases the lock

  uint64_t size() const override { return size_; }

  FileState state() const override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw core::Failure(DBIERR_READERR, texts::readError(path()));
    return stateOf(st);
  }
  void refresh() override { size_ = state().size; }

  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    readAllAt(fd_, offset, buffer, length, path());
  }

 private:
  int fd_;
  uint64_t size_;
};

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` ("" = current folder) whose name equals `name` without regard
// to letter case; the smallest such name when several do, "" when none does.
std::string matchEntry(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return {};
  pathwalk::Match match(name);
  while (dirent* entry = ::readdir(dir)) match.offer(entry->d_name);
  ::closedir(dir);
  return match.best();
}

void syncFolder(const std::string& folder) {
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string randomSuffix() {
  static const uint64_t seed =
      std::random_device{}() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return detail::uniqueHex(seed + static_cast<uint64_t>(::getpid()));
}

// Creates a new file named prefix + random hex with O_EXCL. Throws on failure.
// Created readable by the owner only: the file holds data of the table, and gets its
// final permissions once it replaces a file.
int createUnique(const std::string& prefix, std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = prefix + randomSuffix();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno == EEXIST) continue;
    int err = errno;
    // A loop of links on the folder's path is a failed write here, not a bad name.
    throw core::Failure(detail::createFailureCode(err == ELOOP ? OsStatus::Other : classify(err)),
                        texts::createError(path));
  }
  throw core::Failure(DBIERR_WRITEERR, texts::createError(path));
}

void writeAll(int fd, const void* data, size_t length, const std::string& path) {
  auto* in = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t put = ::write(fd, in, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int err = put < 0 ? errno : ENOSPC;
      throw core::Failure(err == ENOSPC || err == EDQUOT ? DBIERR_NODISKSPACE : DBIERR_WRITEERR,
                          texts::writeError(path));
    }
    in += put;
    length -= static_cast<size_t>(put);
  }
}

// Gives the new file at `fd` the owner, group and permission bits of `old`. The owner
// can only be given away by a privileged process and the group only by a member of
// it; where the group cannot be kept, the group gets no more than everybody else had,
// so that no one gains access the old index did not give.
void takeIdentity(int fd, const struct stat& old) {
  mode_t mode = old.st_mode & 07777;
  struct stat mine;
  if (::fstat(fd, &mine) != 0) return;
  if (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)!::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    if (::fstat(fd, &mine) != 0) return;
    if (mine.st_gid != old.st_gid) mode &= ~(static_cast<mode_t>(070) & ~((mode & 07) << 3));
  }
  ::fchmod(fd, mode);
}

class PosixReplacement final : public ReplacementFile {
 public:
  explicit PosixReplacement(std::string target) : target_(std::move(target)) {
    fd_ = createUnique(temporaryPrefix(target_), path_);
    struct stat old;
    if (::stat(target_.c_str(), &old) == 0) {
      takeIdentity(fd_, old);
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      ::fchmod(fd_, 0666 & ~mask);  // a new index: as any new file of this process
    }
  }
  ~PosixReplacement() override {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  // The index comes in large blocks already (the format core buffers what it writes).
  void write(const void* data, size_t length) override {
    writeAll(fd_, data, length, path_);
    written_ += length;
  }
  const std::string& path() const override { return path_; }

  std::unique_ptr<LockedFile> commit(std::unique_ptr<LockedFile>&, const std::function<void()>& lastCheck) override {
    if (::fsync(fd_) != 0) throw core::Failure(DBIERR_WRITEERR, texts::writeError(path_));
    // Locked before it gets its name, so that it is held from its first moment there;
    // a rename over an open file is allowed here, the old index needs no release.
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
      if (errno != EINTR) throw core::Failure(DBIERR_OSLOCKVIOL, texts::lockError(path_));
    struct stat old;
    if (::lstat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode) && old.st_nlink > 1)
      throw core::Failure(kIndexHasLinks, texts::hardLinks(target_));
    lastCheck();
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
      int err = errno;
      throw core::Failure(err == EACCES || err == EPERM || err == EROFS ? DBIERR_INDEXREADONLY : DBIERR_WRITEERR,
                          texts::replaceError(target_));
    }
    committed_ = true;
    syncFolder(folderOf(target_));
    auto file = std::make_unique<PosixFile>(target_, fd_, written_);
    fd_ = -1;
    return file;
  }

 private:
  std::string target_;
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
  uint64_t written_ = 0;
};

class PosixScratch final : public core::ScratchFile {
 public:
  explicit PosixScratch(const std::string& prefix) { fd_ = createUnique(prefix, path_); }
  ~PosixScratch() override {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  // Runs come in large blocks already: no buffer of our own, which every run still
  // waiting for its merge would otherwise keep.
  void write(const void* data, size_t length) override {
    writeAll(fd_, data, length, path_);
    size_ += length;
  }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    readAllAt(fd_, offset, buffer, length, path_);
  }

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Opens `path` for reading when it is a regular file (never a device or a pipe, and
// without waiting on one); -1 with `error` set otherwise.
int openRegular(const std::string& path, OsError& error, struct stat& st) {
  error = {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    error = {OsStatus::NotRegular, 0};
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = {classify(errno), static_cast<uint32_t>(errno)};
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    error = {classify(err), static_cast<uint32_t>(err)};
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {  // a folder, a device or a pipe is not a table
    ::close(fd);
    error = {OsStatus::NotRegular, 0};
    return -1;
  }
  return fd;
}

// Takes a whole-file lock without waiting; 0, or the errno of the refusal.
int lockWhole(int fd, LockMode mode) {
  while (::flock(fd, (mode == LockMode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

class PosixPlatform final : public detail::SystemPlatform {
 public:
  std::unique_ptr<LockedFile> openLocked(const std::string& path, LockMode mode, bool wantWrite, OsError& error,
                                         bool /*replaceable: a rename over an open file is always allowed*/) override {
    struct stat st;
    int fd = openRegular(path, error, st);
    if (fd < 0) return nullptr;
    if (wantWrite && isReadOnlyFile(path)) {
      ::close(fd);
      error = {OsStatus::ReadOnly, 0};
      return nullptr;
    }
    if (int err = lockWhole(fd, mode)) {
      ::close(fd);
      // Anything but a conflict with another user means the lock could not be taken.
      error = {err == EWOULDBLOCK ? OsStatus::Locked : OsStatus::LockFailed, static_cast<uint32_t>(err)};
      return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd, static_cast<uint64_t>(st.st_size));
  }

  std::unique_ptr<LockedFile> openShared(const std::string& path, OsError& error) override {
    struct stat st;
    int fd = openRegular(path, error, st);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFile>(path, fd, static_cast<uint64_t>(st.st_size));
  }

  bool exclusiveUsePossible(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno != EWOULDBLOCK;
    int err = lockWhole(fd, LockMode::Exclusive);
    ::close(fd);  // lets go of the lock too
    return err != EWOULDBLOCK;
  }

  FileState settledState(const LockedFile& file) override {
    // File times come from a clock that advances in ticks of a few milliseconds: a
    // write in the same tick as the last one leaves the times as they were. A file
    // last changed well before now shows any later write in its times.
    constexpr int64_t kQuiet = 50'000'000;  // 50 ms, several ticks of any usual clock
    for (int attempt = 0; attempt < 8; ++attempt) {
      FileState s = file.state();
      struct timespec now;
      ::clock_gettime(CLOCK_REALTIME, &now);
      int64_t n = nanoseconds(now);
      auto recent = [&](int64_t t) { return t > n - kQuiet && t < n + kQuiet; };
      if (!recent(s.modified) && !recent(s.changed)) return s;
      struct timespec pause = {0, 60'000'000};
      ::nanosleep(&pause, nullptr);
    }
    throw core::Failure(kTableChanged, texts::tableChanged(file.path()));
  }

  bool namesFile(const std::string& path, const FileState& state) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && stateOf(st).sameFile(state);
  }

  bool isFile(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool isReadOnlyFile(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    // The permission bits decide even for a privileged user, who could write anyway.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return ::access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM);
  }

  std::string resolvePath(const std::string& directory, const std::string& name) override {
    std::string path = name;
    for (char& c : path)
      if (c == '\\') c = '/';
    if (path.empty() || path[0] != '/') {
      std::string base = directory;
      for (char& c : base)
        if (c == '\\') c = '/';
      if (!base.empty() && base.back() != '/') base += '/';
      path = base + path;
    }
    return pathwalk::resolveCase(path, exists, matchEntry);
  }

  std::string findInFolder(const std::string& folder, const std::string& name) override {
    if (name.empty()) return {};
    if (exists(folder + name)) return folder + name;
    std::string match = matchEntry(folder, name);
    return match.empty() ? std::string() : folder + match;
  }

  std::string replacementTarget(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string target = real;
    std::free(real);
    return target;
  }

  std::unique_ptr<ReplacementFile> createReplacement(const std::string& target) override {
    return std::make_unique<PosixReplacement>(target);
  }

  std::unique_ptr<core::ScratchStore> createScratchStore(const std::string& target) override {
    return std::make_unique<detail::ScratchStoreOf<PosixScratch, std::string>>(temporaryPrefix(target) + "s");
  }

  std::unique_ptr<core::ScratchStore> temporaryScratchStore() override {
    const char* folder = std::getenv("TMPDIR");
    std::string prefix = folder && *folder ? folder : "/tmp";
    if (prefix.back() != '/') prefix += '/';
    return std::make_unique<detail::ScratchStoreOf<PosixScratch, std::string>>(prefix + "orvane-scratch.~s");
  }

  void removeLeftovers(const std::string& target) override {
    std::string folder = folderOf(target);
    std::string prefix = fileNameOf(temporaryPrefix(target));
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    std::vector<std::string> doomed;
    while (dirent* entry = ::readdir(dir)) {
      std::string candidate = entry->d_name;
      // Our names: prefix + 16 hex digits, or prefix + "s" + 16 hex digits.
      if (candidate.size() > prefix.size() && candidate.compare(0, prefix.size(), prefix) == 0) {
        std::string rest = candidate.substr(prefix.size());
        if (!rest.empty() && rest[0] == 's') rest.erase(0, 1);
        if (rest.size() == 16 && detail::isLowerHex(rest)) doomed.push_back(folder + candidate);
      }
    }
    ::closedir(dir);
    for (const auto& path : doomed) ::unlink(path.c_str());
  }

  std::string currentDirectory() override {
    std::vector<char> buffer(4096);
    return ::getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
  }
};

}  // namespace

Platform& systemPlatform(Names) {
  static PosixPlatform system;  // names are bytes here, whatever their encoding
  return system;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string fileNameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace idapi::engine
