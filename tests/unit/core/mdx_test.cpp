#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "table_builder.h"
#include "support/throws.h"

using namespace idapi::core;
using testing_tables::FieldDef;
using testing_tables::LeafEntry;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Throws;
using testsupport::CodeAndText;

uint32_t u32(const std::vector<uint8_t>& b, size_t at) { return u32At(Bytes(b), at); }
uint16_t u16(const std::vector<uint8_t>& b, size_t at) { return u16At(Bytes(b), at); }

// Reads a tag's tree the way a reader searching the index would, and asserts the
// shape rules of our builder: leaves full except the last, interior nodes below
// keysMax with at least one key, separators equal to the last key of their child,
// all leaves at one depth, pages in writing order with the root last.
struct TreeShape {
  std::vector<LeafEntry> entries;
  int depth = 0;
  int leaves = 0;
  int interior = 0;
};

struct Walker {
  const std::vector<uint8_t>& file;
  uint32_t block, keyLength, group, keysMax;
  TreeShape shape;
  int leafDepth = -1;
  std::vector<int> leafSizes;

  std::vector<uint8_t> walk(uint32_t page, int depth) {
    const size_t at = size_t{page} * 512;
    EXPECT_LE(at + block, file.size());
    if (at + block > file.size()) return {};
    const uint32_t k = u32(file, at);
    EXPECT_EQ(u32(file, at + 4), 0u);
    const uint32_t trailing = u32(file, at + 8 + group * k);
    std::vector<uint8_t> last;
    if (trailing == 0) {
      if (leafDepth < 0) leafDepth = depth;
      EXPECT_EQ(leafDepth, depth) << "leaves at different depths";
      EXPECT_LE(k, keysMax);
      leafSizes.push_back(static_cast<int>(k));
      ++shape.leaves;
      for (uint32_t i = 0; i < k; ++i) {
        const uint8_t* e = file.data() + at + 8 + group * i;
        shape.entries.push_back({u32(file, at + 8 + group * i), std::vector<uint8_t>(e + 4, e + 4 + keyLength)});
        for (uint32_t p = keyLength + 4; p < group; ++p) EXPECT_EQ(e[p], 0) << "padding";
        last.assign(e + 4, e + 4 + keyLength);
      }
      return last;
    }
    ++shape.interior;
    EXPECT_GE(k, 1u);
    EXPECT_LE(k, keysMax - 1) << "interior node must stay below keysMax";
    for (uint32_t i = 0; i <= k; ++i) {
      const uint32_t child = u32(file, at + 8 + group * i);
      EXPECT_LT(child, page) << "children are written before their parent";
      std::vector<uint8_t> childLast = walk(child, depth + 1);
      if (i < k) {
        const uint8_t* e = file.data() + at + 8 + group * i;
        EXPECT_EQ(std::vector<uint8_t>(e + 4, e + 4 + keyLength), childLast) << "separator = last key of child";
      }
      last = childLast;
    }
    return last;
  }
};

TreeShape readTag(const std::vector<uint8_t>& file, size_t tagIndex) {
  const uint32_t block = u16(file, 22);
  const uint32_t headerPage = u32(file, 544 + 32 * tagIndex);
  const size_t h = size_t{headerPage} * 512;
  const uint32_t keyLength = u16(file, h + 12);
  Walker w{file, block, keyLength, u16(file, h + 18), u16(file, h + 14), {}, -1, {}};
  w.walk(u32(file, h), 0);
  w.shape.depth = w.leafDepth + 1;
  for (size_t i = 0; i + 1 < w.leafSizes.size(); ++i)
    EXPECT_EQ(w.leafSizes[i], static_cast<int>(w.keysMax)) << "leaf " << i;
  return w.shape;
}

std::vector<uint32_t> records(const TreeShape& s) {
  std::vector<uint32_t> r;
  for (const auto& e : s.entries) r.push_back(e.record);
  return r;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> numKey(const char* text) {
  std::vector<uint8_t> k(12);
  encodeNumericText(text, k.data());
  return k;
}

std::vector<uint8_t> dateKey(int y, int m, int d) {
  std::vector<uint8_t> k(8);
  encodeDateKey(julianDay(y, m, d), k.data());
  return k;
}

// ---------------------------------------------------------------- the worked example

TEST(Rebuild, WorkedExampleByteForByte) {
  auto dbf = makeTable(
      {{"INVNO", 'N', 6}, {"CUSTNAME", 'C', 20}, {"INVDATE", 'D', 8}},
      {{{"1002", "Baker", "20240315"}}, {{"1001", "adams", "20240102"}, true}, {{"1003", "Baker", "20231231"}}});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "INVOICE.DBF");
  IndexHeader ix = makeIndex(
      t, "INVOICE",
      {defineTag(t, "INVNO", "INVNO"), defineTag(t, "NAME", "UPPER(CUSTNAME)"), defineTag(t, "INVDATE", "INVDATE")});
  std::vector<uint8_t> file = rebuild(t, dbf, ix);

  std::vector<uint8_t> want(8192, 0);
  auto put = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), want.begin() + static_cast<long>(at));
  };
  auto text = [&](size_t at, const std::string& s) {
    std::copy(s.begin(), s.end(), want.begin() + static_cast<long>(at));
  };
  put(0, {0x02, 0x7C, 0x03, 0x14});
  text(4, "INVOICE");
  put(20, {0x02, 0x00, 0x00, 0x04, 0x01, 0x30, 0x20, 0x00});
  put(28, {0x03, 0x00});
  put(32, {0x10, 0x00, 0x00, 0x00});
  put(44, {0x7C, 0x03, 0x14});  // second date
  want[529] = 0x01;
  // Tag table.
  put(544, {4, 0, 0, 0});
  text(548, "INVNO");
  put(559, {0x10, 0x03, 0x02, 0x00, 0x02, 'N'});
  put(576, {6, 0, 0, 0});
  text(580, "NAME");
  put(591, {0x10, 0x00, 0x00, 0x01, 0x02, 'C'});
  put(608, {8, 0, 0, 0});
  text(612, "INVDATE");
  put(623, {0x10, 0x00, 0x00, 0x01, 0x02, 'D'});
  // Tag headers.
  auto tagHeader = [&](size_t at, uint8_t root, char type, uint8_t keyLength, uint8_t keysMax, uint8_t dateFlag,
                       uint8_t group, const std::string& expr) {
    put(at, {root, 0, 0, 0});
    put(at + 8, {0x10, static_cast<uint8_t>(type)});
    put(at + 12, {keyLength, 0, keysMax, 0, dateFlag, 0, group, 0, 0x01});
    text(at + 24, expr);
    want[at + 246] = 1;  // the tag holds keys
  };
  tagHeader(2048, 10, 'N', 12, 63, 0, 16, "INVNO");
  tagHeader(3072, 12, 'C', 20, 42, 0, 24, "UPPER(CUSTNAME)");
  tagHeader(4096, 14, 'D', 8, 84, 1, 12, "INVDATE");
  // Leaves.
  auto leaf = [&](size_t at, size_t group, std::vector<std::pair<uint8_t, std::vector<uint8_t>>> entries) {
    put(at, {static_cast<uint8_t>(entries.size()), 0, 0, 0});
    for (size_t i = 0; i < entries.size(); ++i) {
      put(at + 8 + group * i, {entries[i].first, 0, 0, 0});
      std::copy(entries[i].second.begin(), entries[i].second.end(),
                want.begin() + static_cast<long>(at + 12 + group * i));
    }
  };
  leaf(5120, 16, {{2, {0x38, 0x11, 0x10, 0x01}}, {1, {0x38, 0x11, 0x10, 0x02}}, {3, {0x38, 0x11, 0x10, 0x03}}});
  leaf(6144, 24,
       {{2, bytesOf("ADAMS               ")},
        {1, bytesOf("BAKER               ")},
        {3, bytesOf("BAKER               ")}});
  leaf(7168, 12,
       {{3, {0, 0, 0, 0, 0x4B, 0xC5, 0x42, 0x41}},
        {2, {0, 0, 0, 0, 0x4C, 0xC5, 0x42, 0x41}},
        {1, {0, 0, 0, 0x80, 0x70, 0xC5, 0x42, 0x41}}});
  ASSERT_EQ(file.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(file[i], want[i]) << "first difference at byte " << i;

  // And the header reads back as the same definitions.
  MemorySource back(file);
  IndexHeader again = readIndexHeader(back, "INVOICE.MDX");
  EXPECT_EQ(again.tableName, "INVOICE");
  EXPECT_EQ(again.blockPages, 2);
  ASSERT_EQ(again.tags.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(again.tags[i].name, ix.tags[i].name);
    EXPECT_EQ(again.tags[i].keyExpression, ix.tags[i].keyExpression);
    EXPECT_EQ(again.tags[i].keyType, ix.tags[i].keyType);
    EXPECT_EQ(again.tags[i].keyLength, ix.tags[i].keyLength);
  }
}

// ---------------------------------------------------------------- tree shapes

struct PackingCase {
  int records;
  int depth;
};

class NodePacking : public ::testing::TestWithParam<PackingCase> {};

TEST_P(NodePacking, NumericTagHasExpectedShape) {
  const PackingCase c = GetParam();
  std::vector<Row> rows;
  std::mt19937 rng(static_cast<unsigned>(c.records));
  for (int i = 0; i < c.records; ++i) rows.push_back({{std::to_string(rng() % 100000)}, i % 5 == 0});
  auto dbf = makeTable({{"NUM", 'N', 8}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "P.DBF");
  IndexHeader ix = makeIndex(t, "P", {defineTag(t, "NUM", "NUM")});
  auto file = rebuild(t, dbf, ix);
  TreeShape s = readTag(file, 0);
  EXPECT_EQ(s.depth, c.depth);
  ASSERT_EQ(s.entries.size(), static_cast<size_t>(c.records));
  // Sorted by value, then by record number; deleted records included.
  std::vector<std::pair<long, uint32_t>> want;
  for (int i = 0; i < c.records; ++i) want.push_back({std::stol(rows[i].values[0]), static_cast<uint32_t>(i + 1)});
  std::sort(want.begin(), want.end());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(s.entries[i].record, want[i].second);
    EXPECT_EQ(s.entries[i].key, numKey(std::to_string(want[i].first).c_str()));
  }
  EXPECT_EQ(u32(file, 32) * 512ull, file.size());
  EXPECT_EQ(file[size_t{u32(file, 544)} * 512 + 246], c.records > 0 ? 1 : 0);
  MemorySource mdx(file);
  auto reports = checkIndex(t, src, mdx, "P.MDX");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].ok) << reports[0].problem;
  EXPECT_EQ(reports[0].keys, static_cast<uint64_t>(c.records));
}

// 63 numeric keys fill one node; 63 x 63 fill the leaves under one root.
INSTANTIATE_TEST_SUITE_P(Counts, NodePacking,
                         ::testing::Values(PackingCase{0, 1}, PackingCase{1, 1}, PackingCase{63, 1}, PackingCase{64, 2},
                                           PackingCase{126, 2}, PackingCase{127, 2}, PackingCase{63 * 63, 2},
                                           PackingCase{63 * 63 + 1, 3}, PackingCase{20000, 3}));

TEST(Rebuild, EmptyTagIsOneEmptyLeaf) {
  auto dbf = makeTable({{"NUM", 'N', 8}}, {});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "E.DBF");
  auto file = rebuild(t, dbf, makeIndex(t, "E", {defineTag(t, "NUM", "NUM")}));
  ASSERT_EQ(file.size(), 2048u + 1024u + 1024u);
  EXPECT_EQ(u32(file, 2048), 6u);  // root right after the tag header
  EXPECT_TRUE(std::all_of(file.begin() + 3072, file.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(file[2048 + 246], 0);
}

TEST(Rebuild, LongCharacterKeysMakeDeepTrees) {
  std::vector<Row> rows;
  for (int i = 0; i < 3000; ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "K%07d", (i * 7919) % 3000);
    rows.push_back({{buf}});
  }
  auto dbf = makeTable({{"CODE", 'C', 100}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "D.DBF");
  auto file = rebuild(t, dbf, makeIndex(t, "D", {defineTag(t, "CODE", "CODE")}));
  TreeShape s = readTag(file, 0);  // 9 keys per node: 334 leaves, 4 levels
  EXPECT_EQ(s.depth, 4);
  ASSERT_EQ(s.entries.size(), 3000u);
  for (size_t i = 1; i < s.entries.size(); ++i) EXPECT_LT(s.entries[i - 1].key, s.entries[i].key);
  // A larger block size is kept and changes the shape.
  auto big = rebuild(t, dbf, makeIndex(t, "D", {defineTag(t, "CODE", "CODE")}, 8));
  EXPECT_EQ(u16(big, 20), 8);
  EXPECT_EQ(u16(big, 22), 4096);
  EXPECT_EQ(readTag(big, 0).depth, 3);  // 39 keys per node
}

// ---------------------------------------------------------------- tag kinds

class TagKinds : public ::testing::Test {
 protected:
  void SetUp() override {
    dbf_ = makeTable({{"NAME", 'C', 8}, {"QTY", 'N', 4}, {"DAY", 'D', 8}}, {{{"pear", "3", "20240105"}},
                                                                            {{"apple", "-2", "20231201"}, true},
                                                                            {{"pear", "3", ""}},
                                                                            {{"Apple", "10", "20240105"}},
                                                                            {{"fig", "0", "20240301"}, true},
                                                                            {{"apple", "7", "20231201"}}});
    MemorySource src(dbf_);
    table_ = readTableHeader(src, "K.DBF");
  }
  TreeShape build(const TagDefinition& tag) {
    auto file = rebuild(table_, dbf_, makeIndex(table_, "K", {tag}));
    MemorySource src(dbf_), mdx(file);
    auto reports = checkIndex(table_, src, mdx, "K.MDX");
    EXPECT_TRUE(reports.at(0).ok) << reports[0].problem;
    return readTag(file, 0);
  }
  std::vector<uint8_t> dbf_;
  TableHeader table_;
};

TEST_F(TagKinds, CharacterKeysByteOrderWithDuplicatesByRecord) {
  TreeShape s = build(defineTag(table_, "NAME", "NAME"));
  EXPECT_EQ(records(s), (std::vector<uint32_t>{4, 2, 6, 5, 1, 3}));  // "Apple" < "apple" (byte order)
  EXPECT_EQ(s.entries[0].key, bytesOf("Apple   "));
}

TEST_F(TagKinds, UniqueKeepsTheFirstRecordOfEachKey) {
  TreeShape s = build(defineTag(table_, "UNAME", "UPPER(NAME)", "", true));
  EXPECT_EQ(records(s), (std::vector<uint32_t>{2, 5, 1}));
  TreeShape n = build(defineTag(table_, "UQTY", "QTY", "", true));
  EXPECT_EQ(records(n), (std::vector<uint32_t>{2, 5, 1, 6, 4}));
}

TEST_F(TagKinds, DescendingReversesKeysButNotTies) {
  TreeShape s = build(defineTag(table_, "DQTY", "QTY", "", false, true));
  EXPECT_EQ(records(s), (std::vector<uint32_t>{4, 6, 1, 3, 5, 2}));
  EXPECT_EQ(s.entries[0].key, numKey("10"));  // keys are stored as they are
  TreeShape d = build(defineTag(table_, "DDAY", "DAY", "", false, true));
  EXPECT_EQ(records(d), (std::vector<uint32_t>{3, 5, 1, 4, 2, 6}));  // the empty date sorts highest: first
  EXPECT_EQ(d.entries[1].key, dateKey(2024, 3, 1));
  TreeShape u = build(defineTag(table_, "DUNAME", "UPPER(NAME)", "", true, true));
  EXPECT_EQ(records(u), (std::vector<uint32_t>{1, 5, 2}));
}

TEST_F(TagKinds, ForConditionFiltersRecords) {
  TreeShape s = build(defineTag(table_, "LIVE", "NAME", ".NOT. DELETED()"));
  EXPECT_EQ(records(s), (std::vector<uint32_t>{4, 6, 1, 3}));
  TreeShape q = build(defineTag(table_, "BIG", "DTOS(DAY)+NAME", "QTY >= 3 .AND. DAY > DAY - 1"));
  EXPECT_EQ(records(q), (std::vector<uint32_t>{6, 4, 1}));
  TreeShape none = build(defineTag(table_, "NONE", "NAME", "QTY > 100"));
  EXPECT_TRUE(none.entries.empty());
}

TEST_F(TagKinds, TagWithTrimmedKeyIsPaddedToItsLength) {
  TreeShape s = build(defineTag(table_, "TN", "TRIM(NAME)+STR(QTY,3)"));
  EXPECT_EQ(s.entries[0].key, bytesOf("Apple 10   "));
}

// ---------------------------------------------------------------- spilling to runs

TEST(Rebuild, SpillingToRunsGivesTheSameFile) {
  std::vector<Row> rows;
  std::mt19937 rng(11);
  for (int i = 0; i < 5000; ++i) {
    char day[16];
    std::snprintf(day, sizeof day, "2024%02d%02d", static_cast<int>(1 + rng() % 12), static_cast<int>(1 + rng() % 28));
    rows.push_back({{"N" + std::to_string(rng() % 700), std::to_string(static_cast<int>(rng() % 2000) - 1000), day},
                    rng() % 10 == 0});
  }
  auto dbf = makeTable({{"NAME", 'C', 12}, {"QTY", 'N', 6}, {"DAY", 'D', 8}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "S.DBF");
  IndexHeader ix = makeIndex(
      t, "S",
      {defineTag(t, "NAME", "UPPER(NAME)"), defineTag(t, "QTY", "QTY", "", true),
       defineTag(t, "DAY", "DAY", "", false, true), defineTag(t, "MIX", "DTOS(DAY)+NAME", ".NOT. DELETED()", true)});
  auto inMemory = rebuild(t, dbf, ix);
  MemoryScratchStore scratch;
  RebuildOptions spill;
  spill.memoryBudget = 8 << 10;
  spill.scratch = &scratch;
  auto spilled = rebuild(t, dbf, ix, spill);
  EXPECT_GT(scratch.created, 4);
  EXPECT_EQ(scratch.live, 0);  // every run released
  EXPECT_EQ(spilled, inMemory);
  // The checker bounds its memory the same way, with the same verdicts.
  MemoryScratchStore checkScratch;
  RebuildOptions bounded = spill;
  bounded.scratch = &checkScratch;
  MemorySource mdx(spilled);
  for (const auto& r : checkIndex(t, src, mdx, "S.MDX", bounded)) EXPECT_TRUE(r.ok) << r.tag << ": " << r.problem;
  EXPECT_GT(checkScratch.created, 4);
  EXPECT_EQ(checkScratch.live, 0);
}

// Long keys that agree on their first 16 bytes, with many duplicates: the order past
// the sorting prefix, the record order among equal keys and the unique rule must hold
// in memory and through many runs merged in tiers, with the scratch files in use at
// any moment bounded whatever the number of runs.
TEST(Rebuild, LongEqualPrefixesInMemoryAndThroughTieredRuns) {
  std::vector<Row> rows;
  std::mt19937 rng(29);
  const int kRows = 20000;
  for (int i = 0; i < kRows; ++i) {
    std::string code = "SAME-PREFIX-0123";  // 16 bytes shared by every key
    for (int c = 0; c < 3; ++c) code += static_cast<char>('A' + rng() % 4);
    if (rng() % 3 == 0) code += static_cast<char>('a' + rng() % 2);  // blank-padded or not
    rows.push_back({{code, std::to_string(rng() % 50)}, rng() % 17 == 0});
  }
  auto dbf = makeTable({{"CODE", 'C', 24}, {"N", 'N', 4}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "L.DBF");
  IndexHeader ix = makeIndex(t, "L",
                             {defineTag(t, "CODE", "CODE"), defineTag(t, "CODEU", "CODE", "", true),
                              defineTag(t, "CODED", "CODE", "", false, true), defineTag(t, "NU", "N", "", true)});

  // Expected orders, straight from the rows.
  std::vector<std::pair<std::string, uint32_t>> byCode;
  for (int i = 0; i < kRows; ++i) {
    std::string k = rows[i].values[0];
    k.resize(24, ' ');
    byCode.push_back({k, static_cast<uint32_t>(i + 1)});
  }
  std::vector<std::pair<std::string, uint32_t>> ascending = byCode, descending = byCode;
  std::stable_sort(ascending.begin(), ascending.end(), [](auto& a, auto& b) { return a.first < b.first; });
  std::stable_sort(descending.begin(), descending.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<uint32_t> expectUp, expectDown, expectUnique;
  for (size_t i = 0; i < ascending.size(); ++i) {
    expectUp.push_back(ascending[i].second);
    if (i == 0 || ascending[i].first != ascending[i - 1].first) expectUnique.push_back(ascending[i].second);
  }
  for (const auto& e : descending) expectDown.push_back(e.second);

  auto inMemory = rebuild(t, dbf, ix);
  EXPECT_EQ(records(readTag(inMemory, 0)), expectUp);
  EXPECT_EQ(records(readTag(inMemory, 1)), expectUnique);
  EXPECT_EQ(records(readTag(inMemory, 2)), expectDown);
  EXPECT_EQ(readTag(inMemory, 3).entries.size(), 50u);

  MemoryScratchStore scratch;
  RebuildOptions tiny;
  tiny.memoryBudget = 1;  // raised to the smallest budget: a few hundred entries per run
  tiny.scratch = &scratch;
  EXPECT_EQ(rebuild(t, dbf, ix, tiny), inMemory);
  EXPECT_GT(scratch.created, 4 * 16 * 2);  // well past one tier of runs for every tag
  EXPECT_LE(scratch.peak, 4 * 2 * 16);     // ... yet never that many open at once
  EXPECT_EQ(scratch.live, 0);

  MemoryScratchStore checkScratch;
  RebuildOptions bounded = tiny;
  bounded.scratch = &checkScratch;
  MemorySource mdx(inMemory);
  for (const auto& r : checkIndex(t, src, mdx, "L.MDX", bounded)) EXPECT_TRUE(r.ok) << r.tag << ": " << r.problem;
  EXPECT_EQ(checkScratch.live, 0);
}

// ---------------------------------------------------------------- failures

TEST(Rebuild, UnusableExpressionNamesTagAndExpressionAndWritesNothing) {
  auto dbf = makeTable({{"NAME", 'C', 8}, {"QTY", 'N', 4}}, {{{"a", "1"}}, {{"b", "0"}}});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "F.DBF");
  struct Case {
    TagDefinition tag;
    const char* expect;
  };
  TagDefinition unknown{"SNDX", "METAPHONE(NAME)", "", 'C', 8, false, false};
  TagDefinition wrongType{"WT", "QTY", "", 'C', 8, false, false};
  TagDefinition badFor{"BF", "NAME", "QTY +", 'C', 8, false, false};
  TagDefinition division{"DIV", "10/QTY", "", 'N', 12, false, false};
  TagDefinition logical{"LOG", "QTY > 1", "", 'L', 1, false, false};
  for (const Case& c : {Case{unknown, "METAPHONE(NAME)"}, Case{wrongType, "QTY"}, Case{badFor, "QTY +"},
                        Case{division, "record 2"}, Case{logical, "QTY > 1"}}) {
    IndexHeader ix = makeIndex(t, "F", {defineTag(t, "GOOD", "NAME"), c.tag});
    VectorSink sink;
    EXPECT_THAT(
        [&] { rebuildIndex(t, src, ix, "F.MDX", sink); },
        Throws<Failure>(CodeAndText(kKeyExpressionError,
                                    AllOf(HasSubstr("F.MDX"), HasSubstr("tag " + c.tag.name), HasSubstr(c.expect)))))
        << c.tag.name;
    EXPECT_TRUE(sink.bytes.empty()) << c.tag.name;
  }
}

TEST(DefineTag, TypesLengthsAndRefusals) {
  auto dbf = makeTable({{"NAME", 'C', 30}, {"QTY", 'N', 4}, {"DAY", 'D', 8}, {"OK", 'L', 1}}, {});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "T.DBF");
  TagDefinition a = defineTag(t, "name", "UPPER(NAME)+DTOS(DAY)");
  EXPECT_EQ(a.name, "NAME");
  EXPECT_EQ(a.keyType, 'C');
  EXPECT_EQ(a.keyLength, 38);
  EXPECT_EQ(defineTag(t, "Q", "QTY*2").keyType, 'N');
  EXPECT_EQ(defineTag(t, "Q", "QTY*2").keyLength, 12);
  EXPECT_EQ(defineTag(t, "D", "DAY+1").keyLength, 8);
  EXPECT_THROW(defineTag(t, "L", "OK"), Failure);
  EXPECT_THROW(defineTag(t, "TOOLONGNAME1", "NAME"), Failure);
  EXPECT_THROW(defineTag(t, "BAD NAME", "NAME"), Failure);
  EXPECT_THROW(defineTag(t, "W", "NAME+NAME+NAME+NAME"), Failure);  // 120-byte key
  EXPECT_THROW(defineTag(t, "F", "NAME", "QTY"), Failure);          // FOR must be a condition
  EXPECT_THROW(defineTag(t, "X", std::string(221, 'A')), Failure);
}

// ---------------------------------------------------------------- reading index headers

class IndexHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dbf_ = makeTable({{"NAME", 'C', 8}, {"QTY", 'N', 4}}, {{{"a", "1"}}});
    MemorySource src(dbf_);
    table_ = readTableHeader(src, "H.DBF");
    good_ = rebuild(table_, dbf_,
                    makeIndex(table_, "H",
                              {defineTag(table_, "NAME", "NAME", "QTY > 0", false, true),
                               defineTag(table_, "QTY", "QTY", "", true)}));
  }
  void expectCorrupt(const std::vector<uint8_t>& bytes, const char* why) {
    MemorySource m(bytes);
    EXPECT_THAT([&] { readIndexHeader(m, "H.MDX"); },
                Throws<Failure>(CodeAndText(DBIERR_INDEXCORRUPT, HasSubstr("H.MDX"))))
        << why;
  }
  std::vector<uint8_t> dbf_, good_;
  TableHeader table_;
};

TEST_F(IndexHeaderTest, ReadsDefinitions) {
  MemorySource m(good_);
  IndexHeader ix = readIndexHeader(m, "H.MDX");
  ASSERT_EQ(ix.tags.size(), 2u);
  EXPECT_EQ(ix.tags[0].forExpression, "QTY > 0");
  EXPECT_TRUE(ix.tags[0].descending);
  EXPECT_FALSE(ix.tags[0].unique);
  EXPECT_TRUE(ix.tags[1].unique);
  EXPECT_EQ(ix.tags[1].keyType, 'N');
  EXPECT_TRUE(ix.production);
}

TEST_F(IndexHeaderTest, NodeDamageDoesNotMatterButHeaderDamageDoes) {
  auto nodes = good_;
  std::fill(nodes.begin() + 4096, nodes.end(), 0xFF);  // all node blocks garbage
  MemorySource m(nodes);
  EXPECT_EQ(readIndexHeader(m, "H.MDX").tags.size(), 2u);

  expectCorrupt({}, "empty");
  expectCorrupt(std::vector<uint8_t>(good_.begin(), good_.begin() + 1500), "cut in the tag table");
  expectCorrupt(std::vector<uint8_t>(good_.begin(), good_.begin() + 2100), "cut in a tag header");
  auto b = good_;
  b[0] = 0x07;
  expectCorrupt(b, "version");
  b = good_;
  putU16(&b[20], 1);
  expectCorrupt(b, "block size");
  b = good_;
  putU16(&b[22], 999);
  expectCorrupt(b, "block bytes");
  b = good_;
  putU16(&b[28], 48);
  expectCorrupt(b, "tag count");
  b = good_;
  putU32(&b[544], 2);
  expectCorrupt(b, "tag header inside the file header");
  b = good_;
  putU32(&b[544], 0x00FFFFFF);
  expectCorrupt(b, "tag header beyond the file");
  b = good_;
  putU32(&b[576], u32(good_, 544));
  expectCorrupt(b, "two tags on one header");
  b = good_;
  std::memcpy(&b[580], "NAME\0", 5);
  expectCorrupt(b, "duplicate names");
  b = good_;
  std::fill(b.begin() + 548, b.begin() + 559, 'X');
  expectCorrupt(b, "unterminated name");
  b = good_;
  b[2048 + 24] = 0;
  expectCorrupt(b, "empty key expression");
  b = good_;
  std::fill(b.begin() + 2048 + 24, b.begin() + 2048 + 245, 'A');
  expectCorrupt(b, "unterminated key expression");
  b = good_;
  b[2048 + 9] = 'L';
  expectCorrupt(b, "key type");
  b = good_;
  putU16(&b[3072 + 12], 8);
  expectCorrupt(b, "numeric key length");
  b = good_;
  putU16(&b[2048 + 12], 300);
  expectCorrupt(b, "character key length");
  b = good_;
  std::fill(b.begin() + 2048 + 762, b.begin() + 2048 + 1024, 'A');
  expectCorrupt(b, "unterminated FOR");
}

TEST_F(IndexHeaderTest, EveryTruncationOfTheHeaderFails) {
  for (size_t n = 0; n < 4096; n += 7) {
    std::vector<uint8_t> cut(good_.begin(), good_.begin() + static_cast<long>(n));
    MemorySource m(cut);
    EXPECT_THROW(readIndexHeader(m, "H.MDX"), Failure) << n;
  }
}

TEST(NameTree, SlotLinksFollowNameOrder) {
  auto dbf = makeTable({{"A", 'C', 2}}, {});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "N.DBF");
  std::vector<TagDefinition> tags;
  for (const char* n : {"M", "C", "X", "A", "D", "Z", "M2"}) tags.push_back(defineTag(t, n, "A"));
  auto file = rebuild(t, dbf, makeIndex(t, "N", tags));
  auto slot = [&](int i, int off) { return file[544 + 32 * (i - 1) + off]; };
  // M(1): left C(2), right X(3); C: left A(4), right D(5); X: right Z(6); M2 >= M goes right of M, left of X.
  EXPECT_EQ(slot(1, 16), 2);
  EXPECT_EQ(slot(1, 17), 3);
  EXPECT_EQ(slot(1, 18), 0);
  EXPECT_EQ(slot(2, 16), 4);
  EXPECT_EQ(slot(2, 17), 5);
  EXPECT_EQ(slot(2, 18), 1);
  EXPECT_EQ(slot(3, 16), 7);
  EXPECT_EQ(slot(3, 17), 6);
  EXPECT_EQ(slot(7, 18), 3);
  EXPECT_EQ(slot(4, 18), 2);
}

}  // namespace
