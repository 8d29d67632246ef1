// A rebuild killed at random moments: another process rebuilds the indexes of a real
// table (thousands of records, several tags, a stale index, a memory budget small
// enough to spill sorted runs) and is killed with SIGKILL, hundreds of times. After
// every kill the table file is unchanged and the index is either the old file, byte
// for byte, or the complete new one; a later rebuild then succeeds and leaves no
// temporary file in the folder.
//
// The kill delays follow the machine's speed (a whole run is timed first): most are
// spread over the run and a short while after it, during which the process stays alive
// as the launcher would, going on with its next table; one in four falls early, before
// the replacement is begun.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

extern char** environ;

namespace enginetest {
namespace {

using Clock = std::chrono::steady_clock;

// The test stops after kWantedKills kills or at kDeadline, whichever comes first, but
// not before kMinimumKills unless kHardDeadline passes (a very slow machine: it fails).
constexpr int kMinimumKills = 200;
constexpr int kWantedKills = 230;
constexpr auto kDeadline = std::chrono::seconds(75);
constexpr auto kHardDeadline = std::chrono::seconds(200);
constexpr const char* kBudget = "131072";  // bytes of keys in memory: the rebuild spills runs

// Bytes 1-3 and 44-46 of an index hold the date of its rebuild.
bool sameIndexApartFromDates(std::string a, std::string b) {
  if (a.size() != b.size() || a.size() < 48) return false;
  for (size_t at : {1, 2, 3, 44, 45, 46}) a[at] = b[at] = 0;
  return a == b;
}

// Files of `dir` other than the table and its index.
std::vector<std::string> strays(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    std::string name = entry.path().filename().string();
    if (name != "FACT.DBF" && name != "FACT.MDX") names.push_back(name);
  }
  return names;
}

// A whole file in one read (the tests read the table and its index after every kill).
std::string slurp(const std::string& path) {
  std::string bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  bytes.resize(size > 0 ? static_cast<size_t>(size) : 0);
  if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
  std::fclose(f);
  return bytes;
}

class Child {
 public:
  Child(const std::string& table, int lingerMs) {
    std::vector<std::string> args = {REBUILD_CHILD, table, kBudget, std::to_string(lingerMs)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, REBUILD_CHILD, nullptr, nullptr, argv.data(), environ);
    if (rc != 0) pid_ = -1;
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }
  bool started() const { return pid_ > 0; }
  void kill() { ::kill(pid_, SIGKILL); }
  // Waits for the process to end; returns its wait status.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

enum class Landed { Before, During, After, NotKilled };

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    DbiExit();
    fixtures::TableOptions options;
    options.kind = fixtures::Kind::Fact;
    options.records = 3000;
    options.seed = 5;
    options.tagSet = "full";
    options.index = fixtures::IndexState::Stale;
    dbf_ = dir_ / "FACT.DBF";
    mdx_ = dir_ / "FACT.MDX";
    fixtures::writeTable(dbf_, options);
    oldTable_ = slurp(dbf_);
    oldIndex_ = slurp(mdx_);
    ASSERT_NE(checkTable(dbf_, mdx_), "") << "the index should be stale";
  }
  void TearDown() override { DbiExit(); }

  // Runs the child to its end; returns the time it took.
  Clock::duration completeRun() {
    auto start = Clock::now();
    Child child(dbf_, 0);
    EXPECT_TRUE(child.started());
    int status = child.reap();
    auto took = Clock::now() - start;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return took;
  }

  // Runs the child and kills it after `delay`; checks the files and tells where the kill
  // landed.
  Landed killAfter(Clock::duration delay, int lingerMs) {
    Child child(dbf_, lingerMs);
    EXPECT_TRUE(child.started());
    std::this_thread::sleep_for(delay);
    child.kill();
    int status = child.reap();
    bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (!killed) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    EXPECT_EQ(slurp(dbf_), oldTable_) << "the table file changed";
    const std::string index = slurp(mdx_);
    const bool replaced = index != oldIndex_;
    if (replaced) {
      // The new index passed the checker once; the same bytes pass it again.
      EXPECT_TRUE(sameIndexApartFromDates(index, newIndex_)) << "the index is neither the old nor the new one";
      if (++checked_ <= 3) {
        EXPECT_EQ(checkTable(dbf_, mdx_), "");
      }
    }
    if (!killed) return Landed::NotKilled;
    if (replaced) return Landed::After;
    return strays(dir_).empty() ? Landed::Before : Landed::During;
  }

  // A rebuild after the kill: succeeds, gives the new index and leaves nothing behind.
  void rebuildAgain() {
    completeRun();
    EXPECT_TRUE(strays(dir_).empty()) << "a temporary file was left behind: " << strays(dir_).front();
    EXPECT_TRUE(sameIndexApartFromDates(slurp(mdx_), newIndex_));
    EXPECT_EQ(slurp(dbf_), oldTable_);
  }

  TempDir dir_;
  std::string dbf_, mdx_;
  std::string oldTable_, oldIndex_, newIndex_;
  int checked_ = 0;
};

TEST_F(CrashSafety, KilledRebuildLeavesTheOldOrTheNewIndex) {
  // The new index, and how long a whole run of the child takes here.
  std::vector<Clock::duration> runs;
  for (int i = 0; i < 3; ++i) {
    writeFile(mdx_, oldIndex_);
    runs.push_back(completeRun());
  }
  newIndex_ = slurp(mdx_);
  ASSERT_NE(newIndex_, oldIndex_);
  ASSERT_EQ(checkTable(dbf_, mdx_), "");
  ASSERT_TRUE(strays(dir_).empty());
  std::sort(runs.begin(), runs.end());
  const double run = std::chrono::duration<double>(runs[1]).count();

  std::mt19937_64 random(20240115);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  const double linger = std::max(0.02, run * 0.3);

  int landed[3] = {0, 0, 0};
  int finished = 0, iterations = 0;
  Clock::duration killing{}, rebuilding{};
  const auto start = Clock::now();
  for (;;) {
    const int kills = landed[0] + landed[1] + landed[2];
    const auto elapsed = Clock::now() - start;
    if (kills >= kWantedKills || elapsed >= kHardDeadline || (kills >= kMinimumKills && elapsed >= kDeadline)) break;
    writeFile(mdx_, oldIndex_);
    const double delay = iterations++ % 4 == 0 ? uniform(0, run * 0.2) : uniform(0, run + linger);
    auto t0 = Clock::now();
    Landed where = killAfter(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay)),
                             static_cast<int>(linger * 1000));
    auto t1 = Clock::now();
    if (where == Landed::NotKilled)
      ++finished;
    else
      ++landed[static_cast<int>(where)];
    rebuildAgain();
    killing += t1 - t0;
    rebuilding += Clock::now() - t1;
    if (::testing::Test::HasFailure()) break;
  }
  auto ms = [](Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  std::printf("[ kills    ] %ld ms killing, %ld ms rebuilding again\n", ms(killing), ms(rebuilding));
  const int kills = landed[0] + landed[1] + landed[2];
  std::printf("[ kills    ] %d kills in %d runs (%d runs ended before their kill); whole run %.0f ms\n", kills,
              iterations, finished, run * 1000);
  std::printf("[ kills    ] before the replacement: %d, during: %d, after: %d\n", landed[0], landed[1], landed[2]);
  EXPECT_GE(kills, kMinimumKills) << "too few kills within the time allowed";
  EXPECT_GT(landed[0], 0) << "no kill landed before the replacement";
  EXPECT_GT(landed[1], 0) << "no kill landed during the replacement";
  EXPECT_GT(landed[2], 0) << "no kill landed after the replacement";
}

}  // namespace
}  // namespace enginetest
