// rebuild_bench: how fast and in how much memory DbiRegenIndexes rebuilds the
// production index of large tables, against the floor of the same work done in the
// plainest way (one sequential read of the table and an in-memory sort of its keys).
//
//   rebuild_bench [--records 100000,1000000,5000000] [--tags 3,6] [--repeat N]
//                 [--cache DIR] [--budget BYTES] [--verify] [--huge] [--keep-huge]
//
// Tables are made by the fixture generator and kept in the cache folder (under the
// build folder) for later runs. The rebuild and the floor each run in a child process
// of their own, which reports its time and its peak resident set (VmHWM), so that
// the generator's memory never counts. --huge adds a table of nearly 2 GB (the
// format's limit) with 6 tags, removed afterwards unless --keep-huge.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "idapi/core/records.h"
#include "idapi/engine/tuning.h"
#include "idapi/dbi.h"
#include "measure.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Processor time of this process (user + system): on a machine shared with other
// work it varies far less than the elapsed time.
double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Read-only file through pread, as the engine reads tables.
class FileSource final : public idapi::core::ByteSource {
 public:
  explicit FileSource(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "rb")) {
    if (!file_) throw idapi::core::Failure(DBIERR_READERR, "cannot open " + path);
    size_ = fs::file_size(path);
  }
  ~FileSource() override { std::fclose(file_); }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
      ssize_t got = ::pread(::fileno(file_), out, length, static_cast<off_t>(offset));
      if (got <= 0) throw idapi::core::Failure(DBIERR_READERR, "cannot read " + path_);
      out += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
  }

 private:
  std::string path_;
  std::FILE* file_;
  uint64_t size_ = 0;
};

std::string errorText(DBIResult code) {
  std::string text;
  char entry[DBIMAXMSGLEN + 1];
  UINT32 native = 0;
  for (UINT16 i = 1; i < 8; ++i) {
    if (DbiGetErrorEntry(i, &native, entry) == DBIERR_NONE && entry[0] == '\0') break;
    text += std::string(text.empty() ? "" : " | ") + entry;
  }
  return "error " + std::to_string(code) + ": " + text;
}

// Child: one DbiRegenIndexes of the table, as an application would call it.
int childRebuild(const std::string& dbf, size_t budget) {
  if (budget) idapi::engine::setRebuildMemoryBudget(budget);
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, "0009");
  hDBIDb db = nullptr;
  hDBICur cursor = nullptr;
  DBIResult rc = DbiInitFn(DBIINTFVER, &env);
  if (rc == DBIERR_NONE)
    rc = DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db);
  if (rc == DBIERR_NONE)
    rc = DbiOpenTable(db, dbf.c_str(), "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, 0, nullptr,
                      &cursor);
  if (rc != DBIERR_NONE) {
    std::fprintf(stderr, "rebuild_bench: cannot open %s: %s\n", dbf.c_str(), errorText(rc).c_str());
    return 1;
  }
  const uint64_t before = bench::peakResidentKib();
  const auto start = Clock::now();
  const double cpuStart = cpuSeconds();
  rc = DbiRegenIndexes(cursor);
  const double seconds = secondsSince(start);
  const double cpu = cpuSeconds() - cpuStart;
  if (rc != DBIERR_NONE) {
    std::fprintf(stderr, "rebuild_bench: rebuild of %s failed: %s\n", dbf.c_str(), errorText(rc).c_str());
    return 1;
  }
  std::printf("seconds=%.6f\ncpu_seconds=%.6f\nopen_hwm_kib=%llu\nhwm_kib=%llu\n", seconds, cpu,
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(bench::peakResidentKib()));
  DbiCloseCursor(&cursor);
  DbiCloseDatabase(&db);
  DbiExit();
  return 0;
}

// Order of 16-byte prefixes, then the rest of the entry.
struct Item {
  uint64_t hi, lo;
  uint32_t index;
};

uint64_t bigEndian(const uint8_t* p, size_t available) {
  if (available >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
  }
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < available ? p[i] : 0);
  return v;
}

int compareTail(const uint8_t* a, const uint8_t* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    const uint64_t x = bigEndian(a, 8), y = bigEndian(b, 8);
    if (x != y) return x < y ? -1 : 1;
  }
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return *a < *b ? -1 : 1;
  return 0;
}

// Child: the floor. One sequential pass over the records computing every tag's keys
// into arrays sized up front, then an in-memory sort of each array.
int childFloor(const std::string& dbfPath) {
  using namespace idapi::core;
  const std::string mdxPath = dbfPath.substr(0, dbfPath.size() - 4) + ".MDX";
  FileSource dbf(dbfPath);
  FileSource mdx(mdxPath);
  const TableHeader table = readTableHeader(dbf, "CLIENT.DBF");
  const IndexHeader index = readIndexHeader(mdx, "CLIENT.MDX");

  // A bare read of the whole file first: its time alone, and a warm cache for both.
  auto start = Clock::now();
  {
    std::vector<uint8_t> chunk(1u << 20);
    for (uint64_t at = 0; at < dbf.size(); at += chunk.size())
      dbf.readAt(at, chunk.data(), static_cast<size_t>(std::min<uint64_t>(chunk.size(), dbf.size() - at)));
  }
  const double readSeconds = secondsSince(start);

  std::vector<std::unique_ptr<TagKeys>> keys;
  std::vector<std::vector<uint8_t>> arrays;
  std::vector<size_t> used;
  for (const TagDefinition& t : index.tags) {
    keys.push_back(std::make_unique<TagKeys>(table, t, "CLIENT.MDX"));
    arrays.emplace_back(size_t{table.recordCount} * (keys.back()->keyLength() + 4u));
    used.push_back(0);
  }
  start = Clock::now();
  double cpu = cpuSeconds();
  RecordReader reader(table, dbf);
  while (const uint8_t* record = reader.next()) {
    const uint32_t recno = reader.recordNumber();
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint16_t width = keys[i]->keyLength();
      uint8_t* e = arrays[i].data() + used[i];
      if (!keys[i]->sortableKey(record, recno, e)) continue;
      e[width] = static_cast<uint8_t>(recno >> 24);
      e[width + 1] = static_cast<uint8_t>(recno >> 16);
      e[width + 2] = static_cast<uint8_t>(recno >> 8);
      e[width + 3] = static_cast<uint8_t>(recno);
      used[i] += width + 4u;
    }
  }
  const double passSeconds = secondsSince(start);
  const double passCpu = cpuSeconds() - cpu;

  start = Clock::now();
  cpu = cpuSeconds();
  uint64_t checksum = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const size_t stride = keys[i]->keyLength() + 4u;
    const size_t count = used[i] / stride;
    const uint8_t* data = arrays[i].data();
    std::vector<Item> items(count);
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* e = data + k * stride;
      items[k] = {bigEndian(e, stride), stride > 8 ? bigEndian(e + 8, stride - 8) : 0, static_cast<uint32_t>(k)};
    }
    // Entries lie in record order: among equal keys the position stands for the record.
    const size_t tail = stride - 4 > 16 ? stride - 4 - 16 : 0;
    std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
      if (a.hi != b.hi) return a.hi < b.hi;
      if (a.lo != b.lo) return a.lo < b.lo;
      if (tail != 0) {
        const int c = compareTail(data + size_t{a.index} * stride + 16, data + size_t{b.index} * stride + 16, tail);
        if (c != 0) return c < 0;
      }
      return a.index < b.index;
    });
    if (count) checksum += items.front().index + items.back().index;
  }
  const double sortSeconds = secondsSince(start);
  const double sortCpu = cpuSeconds() - cpu;
  std::printf(
      "read_seconds=%.6f\npass_seconds=%.6f\nsort_seconds=%.6f\ncpu_seconds=%.6f\nhwm_kib=%llu\nchecksum=%llu\n",
      readSeconds, passSeconds, sortSeconds, passCpu + sortCpu,
      static_cast<unsigned long long>(bench::peakResidentKib()), static_cast<unsigned long long>(checksum));
  return 0;
}

// Child: the checker's verdict on the rebuilt index.
int childVerify(const std::string& dbfPath) {
  using namespace idapi::core;
  FileSource dbf(dbfPath);
  FileSource mdx(dbfPath.substr(0, dbfPath.size() - 4) + ".MDX");
  const TableHeader table = readTableHeader(dbf, "CLIENT.DBF");
  int bad = 0;
  for (const TagReport& r : checkIndex(table, dbf, mdx, "CLIENT.MDX")) {
    if (!r.ok) {
      std::fprintf(stderr, "tag %s: %s\n", r.tag.c_str(), r.problem.c_str());
      ++bad;
    }
  }
  std::printf("bad_tags=%d\n", bad);
  return bad ? 1 : 0;
}

struct Options {
  std::vector<uint32_t> records = {100000, 1000000, 5000000};
  std::vector<int> tags = {3, 6};
  int repeat = 0;  // 0: 3 for tables up to 1,000,000 records, else 1
  std::string cache = ORVANE_BENCH_CACHE;
  size_t budget = 0;
  bool verify = false;
  bool huge = false;
  bool keepHuge = false;
};

int usage() {
  std::fprintf(stderr,
               "usage: rebuild_bench [--records N,N,...] [--tags 3,6] [--repeat N] [--cache DIR]\n"
               "                     [--budget BYTES] [--verify] [--huge] [--keep-huge]\n");
  return 2;
}

bool parseList(const std::string& text, std::vector<unsigned long long>& out) {
  std::stringstream in(text);
  std::string part;
  out.clear();
  while (std::getline(in, part, ',')) {
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 10) return false;
    out.push_back(std::strtoull(part.c_str(), nullptr, 10));
  }
  return !out.empty();
}

double number(const std::map<std::string, std::string>& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? 0.0 : std::strtod(it->second.c_str(), nullptr);
}

std::string self() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

// One table: floor, rebuilds, optional check; prints one line. False on any failure.
bool measureTable(const Options& o, const std::string& dbf, uint32_t records, int tags) {
  const std::string exe = self();
  const int repeat = o.repeat > 0 ? o.repeat : (records <= 1000000 ? 3 : 1);
  // Floor and rebuild alternate, each keeping its best time, so that a busy moment of
  // the machine weighs on both alike.
  std::map<std::string, std::string> f;
  double floorSeconds = 0, floorCpu = 0;
  double best = 0, bestCpu = 0;
  uint64_t peakKib = 0;
  for (int i = 0; i < repeat; ++i) {
    bench::ChildResult floor = bench::runChild({exe, "--child-floor", dbf});
    if (floor.exitCode != 0) {
      std::fprintf(stderr, "rebuild_bench: floor measurement failed for %s\n", dbf.c_str());
      return false;
    }
    const auto fr = bench::parseReport(floor.output);
    const double fs = number(fr, "pass_seconds") + number(fr, "sort_seconds");
    if (i == 0 || fs < floorSeconds) {
      floorSeconds = fs;
      f = fr;
    }
    if (i == 0 || number(fr, "cpu_seconds") < floorCpu) floorCpu = number(fr, "cpu_seconds");
    std::vector<std::string> argv = {exe, "--child-rebuild", dbf};
    if (o.budget) argv.push_back(std::to_string(o.budget));
    bench::ChildResult run = bench::runChild(argv);
    if (run.exitCode != 0) {
      std::fprintf(stderr, "rebuild_bench: rebuild failed for %s\n", dbf.c_str());
      return false;
    }
    const auto r = bench::parseReport(run.output);
    const double s = number(r, "seconds");
    if (i == 0 || s < best) best = s;
    if (i == 0 || number(r, "cpu_seconds") < bestCpu) bestCpu = number(r, "cpu_seconds");
    peakKib = std::max<uint64_t>(peakKib, static_cast<uint64_t>(number(r, "hwm_kib")));
  }
  const auto stray = bench::strayFiles(fs::path(dbf).parent_path().string(), {"CLIENT.DBF", "CLIENT.MDX", "COMPLETE"});
  std::string verdict = "-";
  if (o.verify) {
    bench::ChildResult check = bench::runChild({exe, "--child-verify", dbf});
    verdict = check.exitCode == 0 ? "ok" : "BAD";
  }
  std::printf("%10u %4d %9.3f %7.3f %10.0f %8.1f | %7.3f %7.3f %7.3f %7.3f %8.1f | %5.2f %5.2f %5zu %5s\n", records,
              tags, best, bestCpu, best > 0 ? records / best : 0.0, peakKib / 1024.0, number(f, "read_seconds"),
              number(f, "pass_seconds"), number(f, "sort_seconds"), floorCpu, number(f, "hwm_kib") / 1024.0,
              floorSeconds > 0 ? best / floorSeconds : 0.0, floorCpu > 0 ? bestCpu / floorCpu : 0.0, stray.size(),
              verdict.c_str());
  std::fflush(stdout);
  for (const auto& s : stray) std::fprintf(stderr, "rebuild_bench: left behind: %s\n", s.c_str());
  return stray.empty() && verdict != "BAD";
}

int run(const Options& o) {
  std::printf(
      "rebuild: DbiRegenIndexes of all tags, best of the repeats; peak = VmHWM of the rebuilding process\n"
      "floor: one sequential pass computing the same keys (keys_s) + in-memory sort of them (sort_s), best\n"
      "       of the repeats, in a process of its own (fl_MiB); read_s = bare read of the file alone\n"
      "cpu_s = processor time of the same (user + system); ratio = rebuild / floor in elapsed time,\n"
      "r_cpu = the same in processor time; stray = files left beside the table; check = the checker's verdict\n\n");
  std::printf("%10s %4s %9s %7s %10s %8s | %7s %7s %7s %7s %8s | %5s %5s %5s %5s\n", "records", "tags", "rebuild_s",
              "cpu_s", "records/s", "peak_MiB", "read_s", "keys_s", "sort_s", "cpu_s", "fl_MiB", "ratio", "r_cpu",
              "stray", "check");
  bool ok = true;
  for (uint32_t n : o.records) {
    for (int t : o.tags) {
      const std::string folder = o.cache + "/client-" + std::to_string(n) + "-" + std::to_string(t);
      bool generated = false;
      const auto start = Clock::now();
      const std::string dbf = bench::cachedTable(folder, n, t, generated);
      if (generated) std::fprintf(stderr, "rebuild_bench: generated %s in %.1f s\n", dbf.c_str(), secondsSince(start));
      ok = measureTable(o, dbf, n, t) && ok;
    }
  }
  if (o.huge) {
    const uint32_t n = bench::recordsForSize((uint64_t{1} << 31) - 1);
    const std::string folder = o.cache + "/client-huge";
    struct statvfs vfs {};
    fs::create_directories(o.cache);
    if (statvfs(o.cache.c_str(), &vfs) == 0 && uint64_t{vfs.f_bavail} * vfs.f_frsize < (uint64_t{12} << 30)) {
      std::fprintf(stderr, "rebuild_bench: the ~2 GB table needs about 12 GB free beside %s\n", o.cache.c_str());
      return 1;
    }
    bool generated = false;
    const auto start = Clock::now();
    const std::string dbf = bench::cachedTable(folder, n, 6, generated);
    std::fprintf(stderr, "rebuild_bench: %s: %llu bytes (%s in %.1f s)\n", dbf.c_str(),
                 static_cast<unsigned long long>(fs::file_size(dbf)), generated ? "generated" : "reused",
                 secondsSince(start));
    Options once = o;
    once.repeat = 1;
    ok = measureTable(once, dbf, n, 6) && ok;
    if (!o.keepHuge) fs::remove_all(folder);
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() >= 2 && args[0] == "--child-rebuild")
      return childRebuild(args[1], args.size() >= 3 ? std::strtoull(args[2].c_str(), nullptr, 10) : 0);
    if (args.size() == 2 && args[0] == "--child-floor") return childFloor(args[1]);
    if (args.size() == 2 && args[0] == "--child-verify") return childVerify(args[1]);

    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      std::vector<unsigned long long> list;
      if (a == "--verify")
        o.verify = true;
      else if (a == "--huge")
        o.huge = true;
      else if (a == "--keep-huge")
        o.keepHuge = o.huge = true;
      else if (i + 1 >= args.size())
        return usage();
      else if (a == "--records" && parseList(args[++i], list)) {
        o.records.clear();
        for (auto n : list) {
          if (n > 0xFFFFFFFFull) return usage();
          o.records.push_back(static_cast<uint32_t>(n));
        }
      } else if (a == "--tags" && parseList(args[++i], list)) {
        o.tags.clear();
        for (auto n : list) {
          if (n != 3 && n != 6) return usage();
          o.tags.push_back(static_cast<int>(n));
        }
      } else if (a == "--repeat" && parseList(args[++i], list) && list.size() == 1 && list[0] >= 1 && list[0] <= 100) {
        o.repeat = static_cast<int>(list[0]);
      } else if (a == "--budget" && parseList(args[++i], list) && list.size() == 1) {
        o.budget = static_cast<size_t>(list[0]);
      } else if (a == "--cache") {
        o.cache = args[++i];
      } else {
        return usage();
      }
    }
    return run(o);
  } catch (const idapi::core::Failure& f) {
    std::fprintf(stderr, "rebuild_bench: %s\n", f.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rebuild_bench: %s\n", e.what());
  }
  return 1;
}
