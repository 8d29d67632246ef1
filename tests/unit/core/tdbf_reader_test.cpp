// Our rebuilt indexes read by software we did not write: the TDbf component of Free
// Pascal walks every tag of a rebuilt index (see walkmdx.pas) and must meet the records
// in the order computed here independently of the library (plain sorts of the values).
// Date tags are left out: the component's own date keys differ from the Julian-day
// doubles that dBASE files carry, so it cannot follow any date tag.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "table_builder.h"
#include "tag_walker_output.h"

using namespace idapi::core;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::vector<uint32_t>> walk(const fs::path& table, size_t limit) {
  const std::string cmd = std::string(WALKMDX_PATH) + " '" + table.string() + "' " + std::to_string(limit);
  return runTagWalker(cmd, table.parent_path() / "walk.txt", "reader");
}

struct Record {
  std::string name;  // C(20) as stored
  long cents;        // AMOUNT N(10,2) in cents
  std::string day;   // YYYYMMDD
  bool deleted;
};

template <class Key>
std::vector<uint32_t> orderBy(const std::vector<Record>& recs, Key key, bool unique = false, bool descending = false,
                              bool liveOnly = false) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < recs.size(); ++i)
    if (!liveOnly || !recs[i].deleted) ids.push_back(i + 1);
  std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
    return descending ? key(recs[b - 1]) < key(recs[a - 1]) : key(recs[a - 1]) < key(recs[b - 1]);
  });
  if (unique) {
    std::vector<uint32_t> kept;
    for (uint32_t id : ids)
      if (kept.empty() || key(recs[kept.back() - 1]) != key(recs[id - 1])) kept.push_back(id);
    // The first record of each key is the lowest-numbered one: stable sort keeps it first.
    ids = kept;
  }
  return ids;
}

TEST(IndependentReader, WalksEveryCharacterAndNumericTagInOrder) {
  const fs::path dir = fs::temp_directory_path() / ("tdbf_reader_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::mt19937 rng(31);
  std::vector<Record> recs;
  std::vector<Row> rows;
  const char* names[] = {"Martin",  "Bernard", "Dubois", "Thomas", "Robert",
                         "Richard", "Petit",   "durand", "leroy",  "Moreau"};
  for (int i = 0; i < 6000; ++i) {
    Record r;
    r.name = std::string(names[rng() % 10]) + " " + std::to_string(rng() % 400);
    r.name.resize(20, ' ');
    r.cents = static_cast<long>(rng() % 2000000) - 1000000;
    char day[16];
    std::snprintf(day, sizeof day, "%04d%02d%02d", 1995 + static_cast<int>(rng() % 30),
                  1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28));
    r.day = day;
    r.deleted = rng() % 8 == 0;
    char amount[32];
    std::snprintf(amount, sizeof amount, "%s%ld.%02ld", r.cents < 0 ? "-" : "", std::labs(r.cents) / 100,
                  std::labs(r.cents) % 100);
    rows.push_back({{r.name, amount, r.day}, r.deleted});
    recs.push_back(r);
  }
  const auto dbf = makeTable({{"NAME", 'C', 20}, {"AMOUNT", 'N', 10, 2}, {"DAY", 'D', 8}}, rows);
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "FACT.DBF");
  const IndexHeader ix =
      makeIndex(t, "FACT",
                {defineTag(t, "NAME", "NAME"), defineTag(t, "AMOUNT", "AMOUNT"),
                 defineTag(t, "UNAME", "UPPER(NAME)", "", true), defineTag(t, "DAMOUNT", "AMOUNT", "", false, true),
                 defineTag(t, "LIVE", "NAME", ".NOT. DELETED()"), defineTag(t, "DAYNAME", "DTOS(DAY)+NAME")});
  const auto mdx = rebuild(t, dbf, ix);
  {
    std::ofstream(dir / "fact.dbf", std::ios::binary)
        .write(reinterpret_cast<const char*>(dbf.data()), static_cast<std::streamsize>(dbf.size()));
    std::ofstream(dir / "fact.mdx", std::ios::binary)
        .write(reinterpret_cast<const char*>(mdx.data()), static_cast<std::streamsize>(mdx.size()));
  }
  // The component looks for the index with a lower-case extension.
  auto got = walk(dir / "fact.dbf", recs.size() + 10);
  ASSERT_EQ(got.size(), 6u);
  auto upper = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  EXPECT_EQ(got["NAME"], orderBy(recs, [](const Record& r) { return r.name; }));
  EXPECT_EQ(got["AMOUNT"], orderBy(recs, [](const Record& r) { return r.cents; }));
  EXPECT_EQ(got["UNAME"], orderBy(
                              recs, [&](const Record& r) { return upper(r.name); }, true));
  EXPECT_EQ(got["DAMOUNT"], orderBy(
                                recs, [](const Record& r) { return r.cents; }, false, true));
  EXPECT_EQ(got["LIVE"], orderBy(
                             recs, [](const Record& r) { return r.name; }, false, false, true));
  EXPECT_EQ(got["DAYNAME"], orderBy(recs, [](const Record& r) { return r.day + r.name; }));
  fs::remove_all(dir);
}

}  // namespace
