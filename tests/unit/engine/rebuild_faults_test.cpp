// The rebuild against a hostile system: another process that writes, appends to or
// renames over the table while its index is rebuilt (the lock is only advisory here),
// locks the system cannot take, folders, pipes and devices where files should be, and
// an index whose identity (permissions, owner, links) must survive its replacement.
//
// Faults and hooks go through the test layer (fault_platform.h), which the engine uses
// in place of the system's file layer for as long as a test keeps it.
#include <gtest/gtest.h>
#include <grp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "fault_checks.h"
#include "fault_platform.h"
#include "support.h"

namespace enginetest {
namespace {

using fixtures::IndexState;
using fixtures::Kind;

class RebuildFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    DbiExit();
    layer.emplace();
  }
  void TearDown() override {
    layer.reset();
    DbiExit();
  }
  std::optional<FaultPlatform> layer;
};

// Runs `work` in a child process and waits for it: "another program".
void inAnotherProcess(const std::function<void()>& work) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    work();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

uint16_t u16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}

void putU32(int fd, off_t at, uint32_t value) {
  unsigned char b[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  if (::pwrite(fd, b, 4, at) != 4) ::_exit(3);
}

uint32_t u32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(u16(b, at)) | (static_cast<uint32_t>(u16(b, at + 2)) << 16);
}

struct Rebuilt {
  DBIResult rc;
  std::string stack;
};

Rebuilt rebuildTable(const std::string& table) {
  Engine engine;
  hDBICur cursor = nullptr;
  DBIResult rc = engine.open(table, cursor);
  if (rc == DBIERR_NONE) rc = DbiRegenIndexes(cursor);
  Rebuilt result{rc, stackText()};
  if (cursor) DbiCloseCursor(&cursor);
  return result;
}

// ---------------------------------------------------------------------------
// The checks the Windows builds run under Wine too (windows/faultcheck.cpp)

TEST_F(RebuildFaults, FileLayerFaultsKeepTheOldIndexAndLeaveNothingBehind) {
  layer.reset();  // the checks bring their own
  TempDir dir;
  std::string table = makeTable(dir, "FACT.DBF", Kind::Fact, 3000, IndexState::Stale, "full");
  std::string log;
  EXPECT_EQ(runFaultChecks(table, log), 0) << log;
  EXPECT_EQ(checkTable(table, dir / "FACT.MDX"), "");
}

// ---------------------------------------------------------------------------
// The table changed under the rebuild

TEST_F(RebuildFaults, TableWrittenDuringTheRebuildKeepsTheOldIndex) {
  struct Change {
    const char* what;
    std::function<void(const std::string& dir, const std::string& table, const std::string& bytes)> write;
  };
  const std::vector<Change> changes = {
      {"a record rewritten in place",
       [](const std::string&, const std::string& table, const std::string& bytes) {
         int fd = ::open(table.c_str(), O_WRONLY);
         off_t at = u16(bytes, 8) + 2;  // inside the first record
         if (fd < 0 || ::pwrite(fd, "ZZZZ", 4, at) != 4) ::_exit(2);
         ::close(fd);
       }},
      {"a record rewritten and the modification time put back",
       [](const std::string&, const std::string& table, const std::string& bytes) {
         struct stat before;
         ::stat(table.c_str(), &before);
         int fd = ::open(table.c_str(), O_WRONLY);
         off_t at = u16(bytes, 8) + 2;
         if (fd < 0 || ::pwrite(fd, "YYYY", 4, at) != 4) ::_exit(2);
         struct timespec times[2] = {before.st_atim, before.st_mtim};
         ::futimens(fd, times);
         ::close(fd);
       }},
      {"a record appended",
       [](const std::string&, const std::string& table, const std::string& bytes) {
         int fd = ::open(table.c_str(), O_WRONLY);
         uint16_t length = u16(bytes, 10);
         uint32_t count = u32(bytes, 4);
         off_t end = u16(bytes, 8) + off_t{count} * length;
         std::string record = bytes.substr(u16(bytes, 8), length);
         if (fd < 0 || ::pwrite(fd, record.data(), length, end) != length) ::_exit(2);
         putU32(fd, 4, count + 1);
         ::close(fd);
       }},
      {"the last record cut off",
       [](const std::string&, const std::string& table, const std::string& bytes) {
         int fd = ::open(table.c_str(), O_WRONLY);
         uint32_t count = u32(bytes, 4);
         if (fd < 0) ::_exit(2);
         putU32(fd, 4, count - 1);
         if (::ftruncate(fd, u16(bytes, 8) + off_t{count - 1} * u16(bytes, 10)) != 0) ::_exit(2);
         ::close(fd);
       }},
      {"another file renamed over the table",
       [](const std::string& dir, const std::string& table, const std::string& bytes) {
         std::string other = dir + "/other.tmp";
         int fd = ::open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
         if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) ::_exit(2);
         ::close(fd);
         if (::rename(other.c_str(), table.c_str()) != 0) ::_exit(2);
       }},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.what);
    TempDir dir;
    std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 300, IndexState::Stale);
    const std::string bytes = readFile(table);
    const std::string oldIndex = readFile(dir / "CLIENT.MDX");
    Engine engine;
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();

    layer->onRead = FaultPlatform::ReadHook{"CLIENT.DBF", u16(bytes, 8),
                                            [&] { inAnotherProcess([&] { change.write(dir.path(), table, bytes); }); }};
    EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_FILEBUSY);
    EXPECT_FALSE(layer->onRead) << "the rebuild never read the records";
    std::string text = stackText();
    EXPECT_NE(text.find("changed during the rebuild"), std::string::npos) << text;
    EXPECT_NE(text.find("CLIENT.DBF"), std::string::npos) << text;
    EXPECT_EQ(errorString(DBIERR_FILEBUSY), "The table was changed by another program");
    DbiCloseCursor(&cursor);

    EXPECT_EQ(readFile(dir / "CLIENT.MDX"), oldIndex);
    auto after = snapshot(dir.path());
    EXPECT_EQ(after.size(), 2u) << "a temporary file was left behind";
  }
}

int64_t realtimeNs() {
  struct timespec t;
  ::clock_gettime(CLOCK_REALTIME, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

int64_t monotonicNs() {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

TEST_F(RebuildFaults, WriterAtAnyMomentGivesACorrectIndexOrTheOldOne) {
  // No hook here: another process rewrites a key in place at moments spread over the
  // rebuild and past its end. A rebuild that the write overlaps must fail with the
  // changed-table error and keep the old index; one that answers OK must have built
  // the index of the table it read.
  auto prepare = [](const TempDir& dir, uint64_t seed) {
    std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 1500, IndexState::Fresh, "standard", seed);
    ::usleep(60000);  // let the new table settle, so that the rebuild does not wait
    return table;
  };
  int64_t took = 0;
  {
    TempDir dir;
    std::string table = prepare(dir, 99);
    int64_t t0 = monotonicNs();
    ASSERT_EQ(rebuildTable(table).rc, DBIERR_NONE);
    took = monotonicNs() - t0;
  }
  size_t rebuilt = 0, refused = 0;
  const int rounds = 10;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    std::string table = prepare(dir, static_cast<uint64_t>(round + 1));
    const std::string bytes = readFile(table);
    const std::string oldIndex = readFile(dir / "CLIENT.MDX");
    // NOM starts at byte 13 of a client record; the last record gets a name that sorts first.
    const off_t at = u16(bytes, 8) + off_t{u32(bytes, 4) - 1} * u16(bytes, 10) + 13;
    Engine engine;
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    const int64_t delay = took * 3 / 2 * round / rounds;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::usleep(static_cast<useconds_t>(delay / 1000));
      int fd = ::open(table.c_str(), O_WRONLY);
      if (fd < 0 || ::pwrite(fd, "AAAAAAA", 7, at) != 7) ::_exit(2);
      int64_t when = realtimeNs();
      if (::write(done[1], &when, sizeof when) != sizeof when) ::_exit(3);
      ::_exit(0);
    }
    ::close(done[1]);
    DBIResult rc = DbiRegenIndexes(cursor);
    std::string stack = stackText();
    DbiCloseCursor(&cursor);
    int64_t written = 0;
    ASSERT_EQ(::read(done[0], &written, sizeof written), static_cast<ssize_t>(sizeof written));
    ::close(done[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(status, 0);
    if (rc == DBIERR_NONE) {
      ++rebuilt;
      // The write counts against the rebuild if it came before the index was put in
      // place (the rename stamps the new index's change time), clock ticks allowed for.
      struct stat st;
      ASSERT_EQ(::stat((dir / "CLIENT.MDX").c_str(), &st), 0);
      const int64_t replaced = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
      if (written < replaced - 20000000) {
        EXPECT_EQ(checkTable(table, dir / "CLIENT.MDX"), "") << "an OK with a wrong index";
      } else {
        std::string changed = readFile(table);
        writeFile(table, bytes);  // the write came after: the index is of the table before it
        EXPECT_EQ(checkTable(table, dir / "CLIENT.MDX"), "");
        writeFile(table, changed);
      }
    } else {
      ++refused;
      EXPECT_EQ(rc, DBIERR_FILEBUSY) << stack;
      EXPECT_EQ(readFile(dir / "CLIENT.MDX"), oldIndex);
    }
    EXPECT_EQ(snapshot(dir.path()).size(), 2u);
  }
  std::printf("a rebuild takes %lld ms; rebuilt %zu, refused %zu\n", static_cast<long long>(took / 1000000), rebuilt,
              refused);
}

TEST_F(RebuildFaults, RecordsAppendedAfterTheOpenAreIndexed) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 200, IndexState::Stale);
  Engine engine;
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(table, cursor), DBIERR_NONE) << stackText();

  // Another program ignores the lock and appends ten records (copies of the first
  // ones) between the open and the rebuild.
  const std::string bytes = readFile(table);
  inAnotherProcess([&] {
    int fd = ::open(table.c_str(), O_WRONLY);
    uint16_t header = u16(bytes, 8), length = u16(bytes, 10);
    uint32_t count = u32(bytes, 4);
    std::string records = bytes.substr(header, size_t{10} * length);
    if (fd < 0 || ::pwrite(fd, records.data(), records.size(), header + off_t{count} * length) !=
                      static_cast<ssize_t>(records.size()))
      ::_exit(2);
    putU32(fd, 4, count + 10);
    ::close(fd);
  });
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(checkTable(table, dir / "CLIENT.MDX"), "");
  EXPECT_EQ(u32(readFile(table), 4), 210u);
}

// ---------------------------------------------------------------------------
// Locks the system cannot take, files that are not files

TEST_F(RebuildFaults, LockFailuresAreReportedAsLockErrorsNamingTheFile) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 20);
  auto before = snapshot(dir.path());
  Engine engine;
  for (int err : {ENOLCK, EINVAL, EIO}) {
    SCOPED_TRACE(err);
    layer->lockFault = idapi::engine::OsError{idapi::engine::OsStatus::LockFailed, static_cast<uint32_t>(err)};
    hDBICur cursor = nullptr;
    EXPECT_EQ(engine.open(table, cursor), DBIERR_OSLOCKVIOL);
    EXPECT_EQ(cursor, nullptr);
    auto stack = errorStack();
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack[0].text.rfind("Cannot lock", 0), 0u) << stack[0].text;
    EXPECT_NE(stack[0].text.find("CLIENT.DBF"), std::string::npos) << stack[0].text;
    EXPECT_EQ(stack[0].native, 0u) << "a local file's error is not a server's";
  }
  layer->lockFault.reset();
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(RebuildFaults, FoldersPipesAndDevicesAreNotRegularFiles) {
  TempDir dir;
  Engine engine;
  fs::create_directories(dir / "FOLDER.DBF");
  ASSERT_EQ(::mkfifo((dir / "PIPE.DBF").c_str(), 0644), 0);
  fs::create_symlink("/dev/null", dir / "DEVICE.DBF");
  for (const char* name : {"FOLDER.DBF", "PIPE.DBF", "DEVICE.DBF"}) {
    SCOPED_TRACE(name);
    hDBICur cursor = nullptr;
    EXPECT_EQ(engine.open(dir / name, cursor), DBIERR_UNKNOWNFILE);  // and no hang on the pipe
    auto stack = errorStack();
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack[0].text, "Not a regular file: " + (dir / name));
  }

  // An index that is a folder.
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 20);
  fs::remove(dir / "CLIENT.MDX");
  fs::create_directories(dir / "CLIENT.MDX");
  hDBICur cursor = nullptr;
  EXPECT_EQ(engine.open(table, cursor), DBIERR_UNKNOWNFILE);
  std::string text = stackText();
  EXPECT_NE(text.find("Not a regular file: " + (dir / "CLIENT.MDX")), std::string::npos) << text;
  EXPECT_NE(text.find("CLIENT.DBF"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------
// The replaced index keeps its identity

TEST_F(RebuildFaults, PermissionsOwnerAndGroupSurviveTheReplacement) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 50, IndexState::Stale);
  std::string mdx = dir / "CLIENT.MDX";
  mode_t mask = ::umask(022);
  for (mode_t mode : {0600, 0640, 0660, 0664, 0604}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(mdx.c_str(), mode), 0);
    auto r = rebuildTable(table);
    EXPECT_EQ(r.rc, DBIERR_NONE) << r.stack;
    struct stat st;
    ASSERT_EQ(::stat(mdx.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
  ::umask(mask);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file another owner needs root";
  ASSERT_EQ(::chown(mdx.c_str(), 4321, 8765), 0);
  ASSERT_EQ(::chmod(mdx.c_str(), 0640), 0);
  auto r = rebuildTable(table);
  EXPECT_EQ(r.rc, DBIERR_NONE) << r.stack;
  struct stat st;
  ASSERT_EQ(::stat(mdx.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(checkTable(table, mdx), "");
}

TEST_F(RebuildFaults, GroupThatCannotBeKeptGainsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 50, IndexState::Stale);
  std::string mdx = dir / "CLIENT.MDX";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(table.c_str(), 0666), 0);
  // The index belongs to a user who is not a member of its group (root's): that user
  // rebuilds it and cannot give the new file that group. The group it gets instead
  // (the user's own) must not gain the old group's rights.
  ASSERT_EQ(::chown(mdx.c_str(), 65534, 0), 0);
  ASSERT_EQ(::chmod(mdx.c_str(), 0664), 0);
  inAnotherProcess([&] {
    gid_t none[1] = {65534};
    if (::setgroups(1, none) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(5);
    auto r = rebuildTable(table);
    if (r.rc != DBIERR_NONE) std::fprintf(stderr, "%04X %s\n", r.rc, r.stack.c_str());
    ::_exit(r.rc == DBIERR_NONE ? 0 : 6);
  });
  struct stat st;
  ASSERT_EQ(::stat(mdx.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // the group keeps only what everybody had
  EXPECT_EQ(checkTable(table, mdx), "");
}

TEST_F(RebuildFaults, SymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  TempDir dir;
  fs::create_directories(dir / "data");
  fs::create_directories(dir / "indexes");
  std::string table = makeTable(dir, "data/CLIENT.DBF", Kind::Client, 80, IndexState::Stale);
  fs::rename(dir / "data/CLIENT.MDX", dir / "indexes/real.mdx");
  fs::create_symlink("../indexes/real.mdx", dir / "data/CLIENT.MDX");
  ASSERT_NE(checkTable(table, dir / "indexes/real.mdx"), "");  // stale to begin with

  auto r = rebuildTable(table);
  EXPECT_EQ(r.rc, DBIERR_NONE) << r.stack;
  EXPECT_TRUE(fs::is_symlink(dir / "data/CLIENT.MDX"));
  EXPECT_EQ(fs::read_symlink(dir / "data/CLIENT.MDX"), "../indexes/real.mdx");
  EXPECT_EQ(checkTable(table, dir / "indexes/real.mdx"), "");
  EXPECT_EQ(snapshot(dir / "indexes").size(), 1u) << "a temporary file was left behind";
  size_t inData = 0;
  for (const auto& e : fs::directory_iterator(dir / "data")) inData += e.path().filename() != "" ? 1 : 0;
  EXPECT_EQ(inData, 2u);
}

TEST_F(RebuildFaults, TableWithTheLongestNameTheSystemTakesIsRebuilt) {
  TempDir dir;
  const std::string name = std::string(251, 'T');  // + ".DBF": 255, the limit of a name
  std::string table = makeTable(dir, name + ".DBF", Kind::Client, 30, IndexState::Stale);
  ASSERT_TRUE(fs::exists(dir / (name + ".MDX")));
  {
    // Named relative to the database's directory, the whole path may pass 260.
    Engine engine;
    ASSERT_EQ(DbiSetDirectory(engine.db(), dir.path().c_str()), DBIERR_NONE);
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(name + ".DBF", cursor), DBIERR_NONE) << stackText();
    EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
    DbiCloseCursor(&cursor);
  }
  EXPECT_EQ(checkTable(table, dir / (name + ".MDX")), "");
  EXPECT_EQ(snapshot(dir.path()).size(), 2u) << "a temporary file was left behind";
}

TEST_F(RebuildFaults, HardLinkedIndexIsRefusedAndEveryNameKeepsItsBytes) {
  TempDir dir;
  std::string table = makeTable(dir, "CLIENT.DBF", Kind::Client, 40, IndexState::Stale);
  fs::create_directories(dir / "copy");
  fs::create_hard_link(dir / "CLIENT.MDX", dir / "copy/CLIENT.MDX");
  auto before = snapshot(dir.path());
  auto r = rebuildTable(table);
  EXPECT_EQ(r.rc, DBIERR_NOTSUPPORTED);
  EXPECT_NE(r.stack.find("hard links"), std::string::npos) << r.stack;
  EXPECT_NE(r.stack.find("CLIENT.MDX"), std::string::npos) << r.stack;
  EXPECT_EQ(snapshot(dir.path()), before);
  EXPECT_EQ(fs::hard_link_count(dir / "CLIENT.MDX"), 2u);
}

}  // namespace
}  // namespace enginetest
