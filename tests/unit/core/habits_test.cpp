// Indexes as other writers leave them: what the checker must accept (their habits) and
// what it must still call damage; 512-byte blocks and indexes without tags.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "table_builder.h"
#include "support/throws.h"

using namespace idapi::core;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

std::vector<TagReport> check(const std::vector<uint8_t>& dbf, const std::vector<uint8_t>& mdx) {
  MemorySource d(dbf), m(mdx);
  TableHeader t = readTableHeader(d, "H.DBF");
  return checkIndex(t, d, m, "H.MDX");
}

// Node layout helpers over an index image.
struct Image {
  std::vector<uint8_t>& bytes;
  uint32_t block() const { return u16At(Bytes(bytes), 22); }
  uint32_t tagHeader(int tag) const { return u32At(Bytes(bytes), 544 + 32 * tag); }
  uint32_t root(int tag) const { return u32At(Bytes(bytes), size_t{tagHeader(tag)} * 512); }
  uint16_t group(int tag) const { return u16At(Bytes(bytes), size_t{tagHeader(tag)} * 512 + 18); }
  uint8_t* node(uint32_t page) { return bytes.data() + size_t{page} * 512; }
  uint32_t count(uint32_t page) { return u32At(Bytes(bytes), size_t{page} * 512); }
  bool leaf(uint32_t page, uint16_t g) {
    return u32At(Bytes(bytes), size_t{page} * 512 + 8 + size_t{g} * count(page)) == 0;
  }
  // Leaf pages of a tag, left to right.
  std::vector<uint32_t> leaves(int tag) {
    std::vector<uint32_t> out;
    walk(root(tag), group(tag), out);
    return out;
  }
  void walk(uint32_t page, uint16_t g, std::vector<uint32_t>& out) {
    if (leaf(page, g)) {
      out.push_back(page);
      return;
    }
    const uint32_t k = count(page);
    for (uint32_t i = 0; i <= k; ++i) walk(u32At(Bytes(bytes), size_t{page} * 512 + 8 + size_t{g} * i), g, out);
  }
};

bool allOk(const std::vector<TagReport>& reports) {
  return std::all_of(reports.begin(), reports.end(), [](const TagReport& r) { return r.ok; });
}

std::string problems(const std::vector<TagReport>& reports) {
  std::string s;
  for (const auto& r : reports) s += r.tag + ": " + r.problem + "; ";
  return s;
}

TEST(OtherWriters, EqualKeysInAnyRecordOrderButNotDamage) {
  std::vector<Row> rows;
  for (int i = 0; i < 30; ++i) rows.push_back({{i % 3 == 0 ? "SAME" : "K" + std::to_string(i), std::to_string(i % 4)}});
  auto dbf = makeTable({{"CODE", 'C', 6}, {"QTY", 'N', 3}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto mdx = rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "CODE", "CODE"), defineTag(t, "QTY", "QTY")}));
  ASSERT_TRUE(allOk(check(dbf, mdx)));

  // Newest first among equal keys, as an index kept up by appends has them.
  Image im{mdx};
  for (int tag = 0; tag < 2; ++tag) {
    const uint16_t g = im.group(tag);
    const uint16_t keyLength = tag == 0 ? 6 : 12;
    for (uint32_t page : im.leaves(tag)) {
      uint8_t* n = im.node(page) + 8;
      const uint32_t k = im.count(page);
      for (uint32_t a = 0; a < k;) {
        uint32_t b = a + 1;
        while (b < k && std::memcmp(n + a * g + 4, n + b * g + 4, keyLength) == 0) ++b;
        for (uint32_t x = a, y = b - 1; x < y; ++x, --y) std::swap_ranges(n + x * g, n + x * g + 4, n + y * g);
        a = b;
      }
    }
  }
  EXPECT_TRUE(allOk(check(dbf, mdx))) << problems(check(dbf, mdx));

  // A record listed twice in a run of equal keys, or one swapped for a record of
  // another key, is still a fault.
  auto twice = mdx;
  Image tw{twice};
  uint32_t page = tw.leaves(0).front();
  putU32(tw.node(page) + 8 + tw.group(0), u32At(Bytes(twice), size_t{page} * 512 + 8));
  EXPECT_FALSE(check(dbf, twice)[0].ok);
  auto moved = mdx;
  Image mv{moved};
  page = mv.leaves(0).back();
  const uint16_t g = mv.group(0);
  const uint32_t k = mv.count(page);
  std::swap_ranges(mv.node(page) + 8, mv.node(page) + 12, mv.node(page) + 8 + (k - 1) * g);
  auto r = check(dbf, moved);
  EXPECT_FALSE(r[0].ok);
  EXPECT_NE(r[0].problem.find("stale or wrong key"), std::string::npos) << r[0].problem;
}

TEST(OtherWriters, InteriorNodesFilledToTheBlock) {
  // 512-byte blocks and C(100) keys: 4 keys a node. 20 records fill 5 leaves; a root
  // holding 4 keys over those 5 leaves is what a writer filling interior nodes makes.
  std::vector<Row> rows;
  for (int i = 0; i < 20; ++i) rows.push_back({{"NAME" + std::to_string(100 + i)}});
  auto dbf = makeTable({{"NAME", 'C', 100}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto mdx = rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "NAME", "NAME")}, 1));
  ASSERT_TRUE(allOk(check(dbf, mdx))) << problems(check(dbf, mdx));
  Image im{mdx};
  const std::vector<uint32_t> leaves = im.leaves(0);
  ASSERT_EQ(leaves.size(), 5u);
  const uint16_t g = im.group(0);
  uint8_t* root = im.node(im.root(0));
  std::memset(root, 0, 512);
  putU32(root, 4);
  for (uint32_t i = 0; i < 5; ++i) {
    uint8_t* slot = root + 8 + size_t{g} * i;
    putU32(slot, leaves[i]);
    if (i < 4) std::memcpy(slot + 4, im.node(leaves[i]) + 8 + size_t{g} * 3 + 4, 100);  // its last key
  }
  EXPECT_TRUE(allOk(check(dbf, mdx))) << problems(check(dbf, mdx));
  // A separator below its child's last key misleads a search: still a fault.
  root[8 + 4 + 99] = ' ' - 1;
  EXPECT_FALSE(check(dbf, mdx)[0].ok);
}

TEST(OtherWriters, NumericDigitCountIsNotChecked) {
  std::vector<Row> rows = {{{"100"}}, {{"123.45"}}, {{"-7"}}, {{"0"}}};
  auto dbf = makeTable({{"AMT", 'N', 8, 2}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto mdx = rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "AMT", "AMT")}));
  Image im{mdx};
  const uint32_t page = im.leaves(0).front();
  // Rounded up to an even count, trailing zeros counted, or fewer than present.
  for (uint8_t count : {2, 3, 10, 20, 1}) {
    auto m = mdx;
    for (uint32_t i = 0; i < 4; ++i) {
      uint8_t* key = m.data() + size_t{page} * 512 + 8 + 16 * i + 4;
      if (key[2] != 0) key[1] = static_cast<uint8_t>((key[1] & 0x83) | (count << 2));
    }
    EXPECT_TRUE(allOk(check(dbf, m))) << int(count) << ": " << problems(check(dbf, m));
  }
  auto bad = mdx;
  bad[size_t{page} * 512 + 8 + 4 + 2] = 0xA1;  // a digit nibble of 10
  EXPECT_FALSE(check(dbf, bad)[0].ok);
}

TEST(OtherWriters, HighBytesBeforeAsciiWithoutALanguageDriver) {
  // Text in a double-byte code page, no language driver: one writer sorts the bytes
  // >= 0x80 before every ASCII byte.
  std::vector<Row> rows = {{{"CPU"}}, {{"\xB4\xDF\xBB"}}, {{"Bx"}}, {{"\xCE\xC2"}}, {{"B\xBD"}}, {{"\xB4\xDF\xBB"}}};
  auto dbf = makeTable({{"NAME", 'C', 4}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto mdx = rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "NAME", "NAME")}));
  ASSERT_TRUE(allOk(check(dbf, mdx)));
  Image im{mdx};
  const uint32_t page = im.leaves(0).front();
  uint8_t* n = im.node(page) + 8;
  const uint32_t k = im.count(page);
  ASSERT_EQ(k, 6u);
  auto reorder = [&](std::vector<uint8_t>& m, auto less) {
    uint8_t* e = m.data() + (n - mdx.data());
    std::vector<std::vector<uint8_t>> entries;
    for (uint32_t i = 0; i < k; ++i) entries.emplace_back(e + 8 * i, e + 8 * i + 8);
    std::stable_sort(entries.begin(), entries.end(), less);
    for (uint32_t i = 0; i < k; ++i) std::memcpy(e + 8 * i, entries[i].data(), 8);
  };
  auto signedLess = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    for (int i = 4; i < 8; ++i)
      if (a[i] != b[i]) return (a[i] ^ 0x80) < (b[i] ^ 0x80);
    return false;
  };
  auto high = mdx;
  reorder(high, signedLess);
  ASSERT_NE(high, mdx);
  EXPECT_TRUE(allOk(check(dbf, high))) << problems(check(dbf, high));
  // Neither order: a fault.
  auto mixed = high;
  std::swap_ranges(mixed.begin() + (n - mdx.data()), mixed.begin() + (n - mdx.data()) + 8,
                   mixed.begin() + (n - mdx.data()) + 8 * 5);
  EXPECT_FALSE(check(dbf, mixed)[0].ok);
  // Under a driver with an order of its own the signed order is not accepted.
  auto weDbf = dbf;
  weDbf[29] = 0x58;
  EXPECT_FALSE(check(weDbf, high)[0].ok);

  // A rebuild keeps the order the existing index shows, and byte order where it shows
  // none or does not hold to one.
  auto rebuiltFrom = [&](const std::vector<uint8_t>& existing) {
    MemorySource m(existing), d(dbf);
    IndexHeader ix = readIndexHeader(m, "H.MDX");
    followExistingOrder(t, d, m, "H.MDX", ix);
    return rebuild(t, dbf, ix);
  };
  auto keys = [&](const std::vector<uint8_t>& m) {
    return std::vector<uint8_t>(m.begin() + (n - mdx.data()), m.begin() + (n - mdx.data()) + 8 * k);
  };
  auto again = rebuiltFrom(high);
  EXPECT_EQ(keys(again), keys(high));
  EXPECT_TRUE(allOk(check(dbf, again))) << problems(check(dbf, again));
  EXPECT_EQ(keys(rebuiltFrom(mdx)), keys(mdx));
  EXPECT_EQ(keys(rebuiltFrom(mixed)), keys(mdx));
  auto garbage = high;
  std::fill(garbage.begin() + (n - mdx.data()) - 8, garbage.begin() + (n - mdx.data()) + 64, 0xFF);
  EXPECT_EQ(keys(rebuiltFrom(garbage)), keys(mdx));
}

class BlankDates : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Row> rows;
    for (int i = 0; i < 12; ++i) rows.push_back({{i % 4 == 1 ? "" : "2024030" + std::to_string(1 + i % 7)}});
    dbf_ = makeTable({{"DAY", 'D', 8}}, rows);
    MemorySource src(dbf_);
    table_ = readTableHeader(src, "H.DBF");
  }
  std::vector<uint8_t> build(bool descending) {
    return rebuild(table_, dbf_, makeIndex(table_, "H", {defineTag(table_, "DAY", "DAY", "", false, descending)}));
  }
  // Rewrites the single leaf: blank keys become `blank`, moved to the start (or end).
  static void rewriteBlanks(std::vector<uint8_t>& mdx, double blank, bool toFront) {
    Image im{mdx};
    const uint32_t page = im.leaves(0).front();
    const uint32_t k = im.count(page);
    uint8_t* n = im.node(page) + 8;
    std::vector<std::vector<uint8_t>> blanks, dates;
    uint8_t high[8];
    encodeDateKey(0, high);
    for (uint32_t i = 0; i < k; ++i) {
      std::vector<uint8_t> e(n + 12 * i, n + 12 * i + 12);
      if (std::memcmp(e.data() + 4, high, 8) == 0) {
        const uint64_t bits = std::bit_cast<uint64_t>(blank);
        for (int b = 0; b < 8; ++b) e[4 + b] = static_cast<uint8_t>(bits >> (8 * b));
        blanks.push_back(e);
      } else {
        dates.push_back(e);
      }
    }
    std::vector<std::vector<uint8_t>> all = toFront ? blanks : dates;
    all.insert(all.end(), (toFront ? dates : blanks).begin(), (toFront ? dates : blanks).end());
    for (uint32_t i = 0; i < k; ++i) std::memcpy(n + 12 * i, all[i].data(), 12);
  }
  std::vector<uint8_t> dbf_;
  TableHeader table_;
};

TEST_F(BlankDates, RebuildKeysThemHighAndTheCheckerTakesEitherEncoding) {
  for (bool descending : {false, true}) {
    auto mdx = build(descending);
    ASSERT_TRUE(allOk(check(dbf_, mdx))) << problems(check(dbf_, mdx));
    Image im{mdx};
    const uint32_t page = im.leaves(0).front();
    const uint8_t* last = im.node(page) + 8 + 12 * (descending ? 0 : im.count(page) - 1) + 4;
    double v;
    std::memcpy(&v, last, 8);
    EXPECT_EQ(v, 1.0E+100) << "blank dates sort after every date";

    // Keyed 0.0 by an older writer: they sort first (last in a descending tag).
    auto zero = mdx;
    rewriteBlanks(zero, 0.0, !descending);
    EXPECT_TRUE(allOk(check(dbf_, zero))) << descending << problems(check(dbf_, zero));
    // 0.0 at the high end is out of order.
    auto misplaced = mdx;
    rewriteBlanks(misplaced, 0.0, descending);
    EXPECT_FALSE(check(dbf_, misplaced)[0].ok) << descending;
    // One library's high blank.
    auto library = mdx;
    rewriteBlanks(library, 21474835648.0, descending);
    EXPECT_TRUE(allOk(check(dbf_, library))) << descending << problems(check(dbf_, library));
  }
}

TEST(BlockSize, OnePageBlocksRebuildAndCheck) {
  std::vector<Row> rows;
  for (int i = 0; i < 300; ++i) rows.push_back({{"C" + std::to_string(i * 7 % 101), std::to_string(i % 17)}});
  auto dbf = makeTable({{"CODE", 'C', 10}, {"QTY", 'N', 4}}, rows);
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto mdx =
      rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "CODE", "CODE"), defineTag(t, "QTY", "QTY", "", true)}, 1));
  MemorySource m(mdx);
  IndexHeader ix = readIndexHeader(m, "H.MDX");
  EXPECT_EQ(ix.blockPages, 1);
  EXPECT_EQ(u16At(Bytes(mdx), 22), 512);
  EXPECT_EQ(u16At(Bytes(mdx), size_t{u32At(Bytes(mdx), 544)} * 512 + 14), (512 - 12) / 16);
  EXPECT_EQ(mdx.size() % 512, 0u);
  auto reports = check(dbf, mdx);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(allOk(reports)) << problems(reports);
  EXPECT_EQ(reports[0].keys, 300u);
  EXPECT_EQ(reports[1].keys, 17u);

  // A FOR condition lies beyond a 512-byte tag header: refused both ways.
  EXPECT_THAT([&] { rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "CODE", "CODE", "QTY > 3")}, 1)); },
              ThrowsMessage<Failure>(HasSubstr("FOR condition")));
  auto withFor = mdx;
  withFor[size_t{u32At(Bytes(mdx), 544)} * 512 + 245] = 1;
  MemorySource w(withFor);
  EXPECT_THROW(readIndexHeader(w, "H.MDX"), Failure);
}

TEST(NoTags, AnIndexWithoutTagsMayStopAfterItsFixedHeader) {
  auto dbf = makeTable({{"A", 'C', 2}}, {{{"x"}}});
  MemorySource src(dbf);
  TableHeader t = readTableHeader(src, "H.DBF");
  auto full = rebuild(t, dbf, makeIndex(t, "H", {}));
  ASSERT_EQ(full.size(), 2048u);
  for (size_t size : {48, 544, 1000, 2048}) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(size));
    MemorySource m(cut);
    EXPECT_TRUE(readIndexHeader(m, "H.MDX").tags.empty()) << size;
    EXPECT_TRUE(check(dbf, cut).empty()) << size;
  }
  std::vector<uint8_t> tooShort(full.begin(), full.begin() + 47);
  MemorySource s(tooShort);
  EXPECT_THROW(readIndexHeader(s, "H.MDX"), Failure);
  // With tags the whole header is needed.
  auto tagged = rebuild(t, dbf, makeIndex(t, "H", {defineTag(t, "A", "A")}));
  std::vector<uint8_t> cut(tagged.begin(), tagged.begin() + 544);
  MemorySource c(cut);
  EXPECT_THROW(readIndexHeader(c, "H.MDX"), Failure);
}

}  // namespace
