#include "measure.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

namespace {
// Record length of the customer table: deletion flag + its fields.
constexpr uint64_t kClientRecord = 1 + 8 + 4 + 30 + 20 + 40 + 5 + 30 + 14 + 8 + 12;
constexpr uint64_t kClientHeader = 32 + 10 * 32 + 1;
const char* const kMarker = "COMPLETE";
}  // namespace

std::vector<fixtures::FixtureTag> tagSet(int tags) {
  std::vector<fixtures::FixtureTag> set = {
      {"NUMCLI", "NUMCLI"},
      {"DATECRE", "DATECRE"},
      {"NOM", "UPPER(NOM)"},
  };
  if (tags == 3) return set;
  if (tags != 6) throw std::invalid_argument("tag sets have 3 or 6 tags");
  set.push_back({"CPDATE", "CP+DTOS(DATECRE)"});
  set.push_back({"ENCOURS", "ENCOURS", "ENCOURS > 0", false, true});
  set.push_back({"VILLE", "UPPER(VILLE)", "", true, false});
  return set;
}

uint32_t recordsForSize(uint64_t bytes) {
  if (bytes < kClientHeader + 1) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>((bytes - kClientHeader - 1) / kClientRecord, UINT32_MAX));
}

uint64_t statusKib(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() <= name.size() || line.compare(0, name.size(), name) != 0 || line[name.size()] != ':') continue;
    const char* p = line.c_str() + name.size() + 1;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(p, &end, 10);
    if (end == p || errno != 0) return 0;
    return v;
  }
  return 0;
}

uint64_t peakResidentKib() {
  std::ifstream in("/proc/self/status");
  std::stringstream text;
  text << in.rdbuf();
  uint64_t kib = statusKib(text.str(), "VmHWM");
  if (kib == 0) {
    rusage u{};
    if (getrusage(RUSAGE_SELF, &u) == 0) kib = static_cast<uint64_t>(u.ru_maxrss);
  }
  return kib;
}

std::map<std::string, std::string> parseReport(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

ChildResult runChild(const std::vector<std::string>& argv) {
  ChildResult result;
  int pipeFd[2];
  if (::pipe(pipeFd) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFd[1]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFd[1]);
  if (rc != 0) {
    ::close(pipeFd[0]);
    return result;
  }
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(pipeFd[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipeFd[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {}
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.maxRssKib = static_cast<uint64_t>(usage.ru_maxrss);
  return result;
}

std::vector<std::string> strayFiles(const std::string& folder, const std::vector<std::string>& keep) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (std::find(keep.begin(), keep.end(), name) == keep.end()) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string cachedTable(const std::string& folder, uint32_t records, int tags, bool& generated) {
  generated = false;
  const fs::path dir(folder);
  const fs::path dbf = dir / "CLIENT.DBF";
  const fs::path mdx = dir / "CLIENT.MDX";
  const std::string expected = "records=" + std::to_string(records) + " tags=" + std::to_string(tags) + " v1\n";
  std::error_code ec;
  {
    std::ifstream in(dir / kMarker);
    std::stringstream text;
    text << in.rdbuf();
    const uint64_t size = fs::file_size(dbf, ec);
    if (in && text.str() == expected && !ec && size == kClientHeader + kClientRecord * records + 1 &&
        fs::is_regular_file(mdx, ec) && strayFiles(folder, {"CLIENT.DBF", "CLIENT.MDX", kMarker}).empty())
      return dbf.string();
  }
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  fixtures::TableOptions options;
  options.kind = fixtures::Kind::Client;
  options.records = records;
  options.seed = 20240115;
  options.tagSet = "none";
  options.extraTags = tagSet(tags);
  options.index = fixtures::IndexState::Fresh;
  fixtures::writeTable(dbf.string(), options);
  std::ofstream(dir / kMarker) << expected;
  generated = true;
  return dbf.string();
}

}  // namespace bench
