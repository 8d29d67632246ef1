#include <gtest/gtest.h>

#include <cstring>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "table_builder.h"

using namespace idapi::core;
using testing_tables::FieldDef;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Row> rows;
    for (int i = 0; i < 500; ++i) {
      char day[16];
      std::snprintf(day, sizeof day, "2023%02d%02d", 1 + i % 12, 1 + i % 28);
      rows.push_back({{"C" + std::to_string(i % 97), std::to_string(i * 37 % 1000), day}, i % 9 == 0});
    }
    dbf_ = makeTable({{"CODE", 'C', 10}, {"AMOUNT", 'N', 7}, {"DAY", 'D', 8}}, rows);
    MemorySource src(dbf_);
    table_ = readTableHeader(src, "C.DBF");
    ix_ = makeIndex(table_, "C",
                    {defineTag(table_, "CODE", "UPPER(CODE)"), defineTag(table_, "AMOUNT", "AMOUNT", "", true),
                     defineTag(table_, "DAY", "DAY", ".NOT. DELETED()", false, true)});
    mdx_ = rebuild(table_, dbf_, ix_);
  }

  std::vector<TagReport> check(const std::vector<uint8_t>& dbf, const std::vector<uint8_t>& mdx) {
    MemorySource d(dbf), m(mdx);
    TableHeader t = readTableHeader(d, "C.DBF");
    return checkIndex(t, d, m, "C.MDX");
  }

  // Offset of the first leaf entry of a tag (the leftmost leaf).
  size_t firstLeaf(const std::vector<uint8_t>& mdx, int tag) {
    uint32_t header = u32At(Bytes(mdx), 544 + 32 * tag);
    uint32_t page = u32At(Bytes(mdx), size_t{header} * 512);
    uint16_t group = u16At(Bytes(mdx), size_t{header} * 512 + 18);
    for (;;) {
      uint32_t k = u32At(Bytes(mdx), size_t{page} * 512);
      if (u32At(Bytes(mdx), size_t{page} * 512 + 8 + size_t{group} * k) == 0) return size_t{page} * 512;
      page = u32At(Bytes(mdx), size_t{page} * 512 + 8);
    }
  }

  std::vector<uint8_t> dbf_, mdx_;
  TableHeader table_;
  IndexHeader ix_;
};

TEST_F(CheckTest, FreshIndexPasses) {
  auto reports = check(dbf_, mdx_);
  ASSERT_EQ(reports.size(), 3u);
  for (const auto& r : reports) EXPECT_TRUE(r.ok) << r.tag << ": " << r.problem;
  EXPECT_EQ(reports[0].keys, 500u);
  EXPECT_EQ(reports[1].keys, 500u);  // i*37 % 1000 is distinct for i < 500... by construction
  EXPECT_EQ(reports[2].keys, 500u - 56u);
}

TEST_F(CheckTest, StaleIndexAfterTableChangeIsCaught) {
  auto dbf = dbf_;
  const size_t rec7 = table_.headerLength + 6 * table_.recordLength;
  std::memcpy(&dbf[rec7 + 1], "ZZZ", 3);  // record 7 CODE changed
  auto reports = check(dbf, mdx_);
  EXPECT_FALSE(reports[0].ok);
  EXPECT_NE(reports[0].problem.find("record 7"), std::string::npos) << reports[0].problem;
  EXPECT_TRUE(reports[1].ok);
  // Deleting a record changes what the FOR tag must hold.
  dbf = dbf_;
  dbf[table_.headerLength + 1 * table_.recordLength] = '*';  // record 2
  reports = check(dbf, mdx_);
  EXPECT_TRUE(reports[0].ok);
  EXPECT_FALSE(reports[2].ok);
  EXPECT_NE(reports[2].problem.find("record 2"), std::string::npos) << reports[2].problem;
  // An appended record is missing from every tag.
  std::vector<Row> more;
  auto grown = dbf_;
  grown.pop_back();  // end marker
  std::string extra = std::string(" C1        ") + "     -5" + "20240101";
  grown.insert(grown.end(), extra.begin(), extra.end());
  putU32(&grown[4], 501);
  reports = check(grown, mdx_);
  for (const auto& r : reports) {
    EXPECT_FALSE(r.ok) << r.tag;
    EXPECT_NE(r.problem.find("record 501 is missing"), std::string::npos) << r.problem;
  }
}

TEST_F(CheckTest, CorruptNodesAreCaught) {
  const size_t leaf = firstLeaf(mdx_, 0);
  const uint16_t group = 16;  // C(10) keys

  auto m = mdx_;
  // Swap the first entry with the first one of a higher key (equal keys may be in any order).
  size_t other = 1;
  while (std::equal(m.begin() + static_cast<long>(leaf + 12), m.begin() + static_cast<long>(leaf + 12 + 10),
                    m.begin() + static_cast<long>(leaf + 12 + other * group)))
    ++other;
  std::swap_ranges(m.begin() + static_cast<long>(leaf + 8), m.begin() + static_cast<long>(leaf + 8 + group),
                   m.begin() + static_cast<long>(leaf + 8 + other * group));
  EXPECT_FALSE(check(dbf_, m)[0].ok);
  EXPECT_NE(check(dbf_, m)[0].problem.find("order"), std::string::npos) << check(dbf_, m)[0].problem;

  m = mdx_;
  putU32(&m[leaf + 8], 9999);  // record number beyond the table
  EXPECT_NE(check(dbf_, m)[0].problem.find("does not exist"), std::string::npos);

  m = mdx_;
  putU32(&m[leaf], 70);  // key count beyond the block
  EXPECT_FALSE(check(dbf_, m)[0].ok);

  m = mdx_;
  const size_t amountLeaf = firstLeaf(mdx_, 1);
  m[amountLeaf + 8 + 4 + 1] = 0x02;  // numeric key with bad low bits
  EXPECT_NE(check(dbf_, m)[1].problem.find("malformed"), std::string::npos) << check(dbf_, m)[1].problem;

  // The root of a multi-level tag pointing into the header, at a tag header, at itself.
  const uint32_t header = u32At(Bytes(mdx_), 544);
  const uint32_t root = u32At(Bytes(mdx_), size_t{header} * 512);
  for (uint32_t target : {1u, header, root}) {
    m = mdx_;
    putU32(&m[size_t{root} * 512 + 8], target);
    auto r = check(dbf_, m);
    EXPECT_FALSE(r[0].ok) << target;
    EXPECT_TRUE(r[1].ok);
  }
  // A truncated file: nodes beyond its end.
  m = mdx_;
  m.resize(m.size() - 1024);
  auto r = check(dbf_, m);
  EXPECT_FALSE(r[2].ok);
  EXPECT_FALSE(r[2].problem.empty());
}

TEST_F(CheckTest, UniqueAndDescendingRulesAreChecked) {
  // Mark the non-unique CODE tag unique in its header: duplicates now violate it.
  auto m = mdx_;
  const uint32_t header = u32At(Bytes(m), 544);
  m[size_t{header} * 512 + 8] |= 0x40;
  m[size_t{header} * 512 + 23] = 0x40;
  auto r = check(dbf_, m);
  EXPECT_FALSE(r[0].ok);
  EXPECT_NE(r[0].problem.find("unique"), std::string::npos) << r[0].problem;
  // Flip the descending DAY tag to ascending: the order is now wrong.
  m = mdx_;
  const uint32_t dayHeader = u32At(Bytes(m), 544 + 64);
  m[size_t{dayHeader} * 512 + 8] &= static_cast<uint8_t>(~0x08);
  r = check(dbf_, m);
  EXPECT_FALSE(r[2].ok);
}

TEST_F(CheckTest, UnusableExpressionIsReportedPerTag) {
  auto m = mdx_;
  const uint32_t header = u32At(Bytes(m), 544 + 32);
  std::memcpy(&m[size_t{header} * 512 + 24], "NOFIELD\0", 8);
  auto r = check(dbf_, m);
  EXPECT_TRUE(r[0].ok);
  EXPECT_FALSE(r[1].ok);
  EXPECT_NE(r[1].problem.find("NOFIELD"), std::string::npos) << r[1].problem;
  EXPECT_TRUE(r[2].ok);
}

TEST_F(CheckTest, RebuildRepairsDamagedIndexWithoutTouchingTheTable) {
  auto damaged = mdx_;
  std::fill(damaged.begin() + 2048 + 3 * 1024, damaged.end(), 0xA5);
  const auto dbfBefore = dbf_;
  MemorySource d(dbf_), old(damaged);
  TableHeader t = readTableHeader(d, "C.DBF");
  IndexHeader ix = readIndexHeader(old, "C.MDX");
  VectorSink out;
  RebuildOptions o;
  o.year = 2024;
  o.month = 3;
  o.day = 20;
  rebuildIndex(t, d, ix, "C.MDX", out, o);
  EXPECT_EQ(out.bytes, mdx_);
  EXPECT_EQ(dbf_, dbfBefore);
  for (const auto& r : check(dbf_, out.bytes)) EXPECT_TRUE(r.ok) << r.problem;
}

}  // namespace
