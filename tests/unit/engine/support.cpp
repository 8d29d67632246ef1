#include "support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "idapi/core/core.h"

namespace enginetest {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "orvane-engine-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Restore write permission on anything a test made read-only, then remove.
  for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored))
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = readFile(entry.path().string());
  return files;
}

std::vector<StackEntry> errorStack() {
  std::vector<StackEntry> entries;
  for (UINT16 n = 1; n < 64; ++n) {
    UINT32 native = 0xDEADBEEF;
    char text[DBIMAXMSGLEN + 1 + 16];
    std::memset(text, 'x', sizeof text);
    DBIResult code = DbiGetErrorEntry(n, &native, text);
    EXPECT_LE(std::strlen(text), size_t{DBIMAXMSGLEN});
    if (code == DBIERR_NONE) {
      EXPECT_STREQ(text, "");
      break;
    }
    entries.push_back({code, native, text});
  }
  return entries;
}

std::string stackText() {
  std::string joined;
  for (const auto& e : errorStack()) joined += (joined.empty() ? "" : " | ") + e.text;
  return joined;
}

std::string errorString(DBIResult code) {
  char text[DBIMAXMSGLEN + 1];
  EXPECT_EQ(DbiGetErrorString(code, text), DBIERR_NONE);
  return text;
}

Engine::Engine(bool french) {
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, french ? "000C" : "0009");
  EXPECT_EQ(DbiInitFn(DBIINTFVER, &env), DBIERR_NONE);
  EXPECT_EQ(DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db_),
            DBIERR_NONE);
  EXPECT_EQ(DbiSetDirectory(db_, ""), DBIERR_NONE);
}

Engine::~Engine() { DbiExit(); }

DBIResult Engine::open(const std::string& path, hDBICur& cursor, DBIShareMode share, DBIOpenMode mode,
                       const char* driver) {
  cursor = nullptr;
  return DbiOpenTable(db_, path.c_str(), driver, nullptr, nullptr, 0, mode, share, xltFIELD, 0, nullptr, &cursor);
}

std::string makeTable(const TempDir& dir, const std::string& name, fixtures::Kind kind, uint32_t records,
                      fixtures::IndexState index, const std::string& tagSet, uint64_t seed) {
  fixtures::TableOptions options;
  options.kind = kind;
  options.records = records;
  options.index = index;
  options.tagSet = tagSet;
  options.seed = seed;
  std::string path = dir / name;
  fixtures::writeTable(path, options);
  return path;
}

namespace {
class MemorySource : public idapi::core::ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset)
      throw idapi::core::Failure(DBIERR_READERR, "read past the end");
    std::memcpy(buffer, bytes_.data() + offset, length);
  }

 private:
  std::string bytes_;
};
}  // namespace

std::string checkTable(const std::string& dbfPath, const std::string& mdxPath) {
  MemorySource dbf(readFile(dbfPath));
  MemorySource mdx(readFile(mdxPath));
  std::string problems;
  try {
    auto table = idapi::core::readTableHeader(dbf, fs::path(dbfPath).filename().string());
    for (const auto& report : idapi::core::checkIndex(table, dbf, mdx, fs::path(mdxPath).filename().string()))
      if (!report.ok) problems += report.tag + ": " + report.problem + "\n";
  } catch (const idapi::core::Failure& f) {
    problems += f.what();
  }
  return problems;
}

}  // namespace enginetest
