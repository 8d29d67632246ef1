// The order of character keys under national language drivers, compared with the
// TDbf component of Free Pascal: TDbf builds its own index over a copy of the table
// (tdbforder.pas) and walks the index we rebuilt (walkmdx.pas); both must meet the
// keys in the same order.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "idapi/core/core.h"
#include "table_builder.h"
#include "tag_walker_output.h"

using namespace idapi::core;

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::vector<uint32_t>> run(const std::string& cmd, const fs::path& out) {
  return runTagWalker(cmd, out, "TDbf");
}

void save(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class NationalOrder : public ::testing::TestWithParam<int> {};

TEST_P(NationalOrder, TdbfsOwnOrderIsTheOrderOfOurRebuiltTag) {
  const uint8_t id = static_cast<uint8_t>(GetParam());
  const fs::path dir =
      fs::temp_directory_path() / ("tdbf_order_" + std::to_string(::getpid()) + "_" + std::to_string(id));
  fs::remove_all(dir);
  fs::create_directories(dir / "theirs");
  fs::create_directories(dir / "ours");
  // Names over ASCII letters in both cases, digits, blanks and every byte above 0x7F.
  std::mt19937 rng(id);
  const std::string alphabet = "aAeEzZ0 -";
  std::vector<testing_tables::Row> rows;
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    std::string n;
    const int len = 1 + static_cast<int>(rng() % 5);
    for (int k = 0; k < len; ++k)
      n.push_back(rng() % 2 ? alphabet[rng() % alphabet.size()] : static_cast<char>(0x80 + rng() % 128));
    n.resize(8, ' ');
    names.push_back(n);
    rows.push_back({{n}});
  }
  testing_tables::TableOptions plain;
  plain.languageId = id;
  plain.production = false;
  save(dir / "theirs" / "t.dbf", testing_tables::makeTable({{"NAME", 'C', 8}}, rows, plain));
  const auto theirs =
      run(std::string(TDBFORDER_PATH) + " '" + (dir / "theirs" / "t.dbf").string() + "' NAME NAME", dir / "theirs.txt");

  testing_tables::TableOptions production = plain;
  production.production = true;
  const auto dbf = testing_tables::makeTable({{"NAME", 'C', 8}}, rows, production);
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "T.DBF");
  const auto mdx = testing_tables::rebuild(t, dbf, testing_tables::makeIndex(t, "T", {defineTag(t, "NAME", "NAME")}));
  save(dir / "ours" / "t.dbf", dbf);
  save(dir / "ours" / "t.mdx", mdx);
  const auto ours =
      run(std::string(WALKMDX_PATH) + " '" + (dir / "ours" / "t.dbf").string() + "' 10000", dir / "ours.txt");

  ASSERT_EQ(theirs.count("NAME"), 1u);
  ASSERT_EQ(ours.count("NAME"), 1u);
  auto keys = [&](const std::vector<uint32_t>& recs) {
    std::vector<std::string> k;
    for (uint32_t r : recs) k.push_back(r >= 1 && r <= names.size() ? names[r - 1] : "?");
    return k;
  };
  const auto theirKeys = keys(theirs.at("NAME")), ourKeys = keys(ours.at("NAME"));
  ASSERT_EQ(theirKeys.size(), names.size());
  ASSERT_EQ(ourKeys.size(), names.size());
  size_t first = 0;
  while (first < names.size() && theirKeys[first] == ourKeys[first]) ++first;
  EXPECT_EQ(first, names.size()) << "the orders part at entry " << first;
  std::vector<std::string> bytewise = names;
  std::sort(bytewise.begin(), bytewise.end());
  // The code-page marks 0x02 and 0x03 carry no order, and the tables of DB932JP0,
  // DB866RU0 and DBHEBREW are the identity: byte order, in TDbf as here.
  const bool byteOrder = id == 0x02 || id == 0x03 || id == 0x13 || id == 0x26 || id == 0x85;
  if (byteOrder)
    EXPECT_EQ(ourKeys, bytewise) << "the driver's order should be byte order";
  else
    EXPECT_NE(ourKeys, bytewise) << "the driver's order should not be byte order";
  fs::remove_all(dir);
}

// 'WEurope' ANSI, and national DOS drivers of French, German, Swedish, Czech and Russian
// installations; the Chinese, Korean and Taiwanese drivers (one table: bytes 0x81-0xFF
// before every ASCII byte, 0x80 last); and the drivers kept in byte order.
INSTANTIATE_TEST_SUITE_P(Drivers, NationalOrder,
                         ::testing::Values(0x58, 0x0E, 0x0D, 0x10, 0x16, 0x1F, 0x59, 0x4D, 0x4E, 0x4F, 0x02, 0x03, 0x13,
                                           0x26, 0x85),
                         [](const ::testing::TestParamInfo<int>& p) {
                           char b[16];
                           std::snprintf(b, sizeof b, "ld_%02X", p.param);
                           return std::string(b);
                         });

}  // namespace
