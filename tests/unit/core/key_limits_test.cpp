// What an index key cannot hold is refused, never rounded or cut into a wrong index:
// numeric values of more than 20 significant digits, character keys longer than 100
// bytes; and the signed-byte order of an old index is followed only when that index is
// the table's own. Expected keys are written out by hand from the key layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "table_builder.h"

using namespace idapi::core;
using ::testing::HasSubstr;
using testing_tables::hex;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;
using testing_tables::TableOptions;

namespace {

TableHeader header(const std::vector<uint8_t>& dbf) {
  MemorySource src(dbf);
  return readTableHeader(src, "W.DBF");
}

std::vector<TagReport> check(const std::vector<uint8_t>& dbf, const std::vector<uint8_t>& mdx) {
  MemorySource d(dbf), m(mdx);
  return checkIndex(header(dbf), d, m, "W.MDX");
}

// Leaf entries (record, key) of tag `tag`, left to right.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> leafEntries(const std::vector<uint8_t>& mdx, int tag) {
  const size_t h = size_t{u32At(Bytes(mdx), 544 + 32 * tag)} * 512;
  const uint16_t keyLength = u16At(Bytes(mdx), h + 12), group = u16At(Bytes(mdx), h + 18);
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  auto walk = [&](auto& self, uint32_t page) -> void {
    const size_t at = size_t{page} * 512;
    const uint32_t k = u32At(Bytes(mdx), at);
    if (u32At(Bytes(mdx), at + 8 + size_t{group} * k) != 0) {
      for (uint32_t i = 0; i <= k; ++i) self(self, u32At(Bytes(mdx), at + 8 + size_t{group} * i));
      return;
    }
    for (uint32_t i = 0; i < k; ++i) {
      const uint8_t* e = mdx.data() + at + 8 + size_t{group} * i;
      out.push_back({u32At(Bytes(mdx), at + 8 + size_t{group} * i), std::vector<uint8_t>(e + 4, e + 4 + keyLength)});
    }
  };
  walk(walk, u32At(Bytes(mdx), h));
  return out;
}

std::vector<uint32_t> recordsOf(const std::vector<uint8_t>& mdx, int tag) {
  std::vector<uint32_t> r;
  for (const auto& e : leafEntries(mdx, tag)) r.push_back(e.first);
  return r;
}

std::string failureOf(const TableHeader& t, const std::vector<uint8_t>& dbf, const IndexHeader& ix) {
  try {
    rebuild(t, dbf, ix);
  } catch (const Failure& f) {
    EXPECT_EQ(f.code(), kKeyExpressionError);
    return f.what();
  }
  return "(no failure)";
}

// ---------------------------------------------------------------- wide numbers

TEST(WideNumbers, ValuesBeyondTwentyDigitsAreRefusedNotRounded) {
  for (uint8_t width : {21, 25}) {
    SCOPED_TRACE(width);
    const auto dbf =
        makeTable({{"NUM", 'N', width}},
                  {{{"-1"}}, {{"123456789012345678909"}}, {{"123456789012345678901"}}, {{"123456789012345678905"}}});
    const TableHeader t = header(dbf);
    for (bool unique : {false, true}) {
      const std::string text = failureOf(t, dbf, makeIndex(t, "W", {defineTag(t, "NUM", "NUM", "", unique)}));
      EXPECT_THAT(text, HasSubstr("tag NUM"));
      EXPECT_THAT(text, HasSubstr("\"NUM\""));
      EXPECT_THAT(text, HasSubstr("record 2"));
      EXPECT_THAT(text, HasSubstr("123456789012345678909"));
    }
    // Computed from such a field, the same.
    EXPECT_THAT(failureOf(t, dbf, makeIndex(t, "W", {defineTag(t, "NEG", "-NUM")})), HasSubstr("record 2"));
  }
}

TEST(WideNumbers, WideFieldsWhoseValuesFitKeepWorking) {
  // Leading blanks and zeros, 20 significant digits at most, trailing zeros beyond.
  const auto dbf = makeTable({{"NUM", 'N', 25, 2}}, {{{"12345678901234567891.00"}},
                                                     {{"0000000000000000000001.50"}},
                                                     {{"-0.25"}},
                                                     {{"123456789012345678900.00"}},
                                                     {{"-1234567890123456789.10"}},
                                                     {{""}}});
  const TableHeader t = header(dbf);
  const auto mdx = rebuild(t, dbf, makeIndex(t, "W", {defineTag(t, "NUM", "NUM", "", true)}));
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected = {
      {5, hex("47 D1 12 34 56 78 90 12 34 56 78 91 ")},  // -1234567890123456789.1
      {3, hex("34 89 25 00 00 00 00 00 00 00 00 00 ")},  // -0.25
      {6, hex("34 01 00 00 00 00 00 00 00 00 00 00 ")},  // blank: 0
      {2, hex("35 09 15 00 00 00 00 00 00 00 00 00 ")},  // 1.5
      {1, hex("48 51 12 34 56 78 90 12 34 56 78 91 ")},  // 12345678901234567891
      {4, hex("49 4D 12 34 56 78 90 12 34 56 78 90 ")},  // 123456789012345678900 (19 digits)
  };
  EXPECT_EQ(leafEntries(mdx, 0), expected);
  EXPECT_TRUE(check(dbf, mdx)[0].ok) << check(dbf, mdx)[0].problem;
}

TEST(WideNumbers, TheCheckerCallsARoundedIndexFaultyOnItsOwnPath) {
  // The index a rounding encoder wrote: every big value keyed 1.234567890123456789E+20,
  // in record order. Made here from a table whose values are that rounding.
  const auto rounded =
      makeTable({{"NUM", 'N', 25}},
                {{{"-1"}}, {{"123456789012345678900"}}, {{"123456789012345678900"}}, {{"123456789012345678900"}}});
  const auto wide =
      makeTable({{"NUM", 'N', 25}},
                {{{"-1"}}, {{"123456789012345678909"}}, {{"123456789012345678901"}}, {{"123456789012345678905"}}});
  const TableHeader t = header(rounded);
  const auto mdx = rebuild(t, rounded, makeIndex(t, "W", {defineTag(t, "NUM", "NUM")}));
  ASSERT_EQ(recordsOf(mdx, 0), (std::vector<uint32_t>{1, 2, 3, 4}));
  ASSERT_TRUE(check(rounded, mdx)[0].ok);
  const TagReport r = check(wide, mdx)[0];
  EXPECT_FALSE(r.ok);
  // Found by comparing the key with the field's characters, not through the encoder.
  EXPECT_THAT(r.problem, HasSubstr("record 2 holds 123456789012345678909 in NUM"));

  // A key that differs from its field by one digit in the twentieth place.
  auto twenty =
      makeTable({{"NUM", 'N', 25}},
                {{{"-1"}}, {{"12345678901234567891"}}, {{"12345678901234567892"}}, {{"12345678901234567893"}}});
  const auto sound = rebuild(t, twenty, makeIndex(t, "W", {defineTag(t, "NUM", "NUM")}));
  ASSERT_TRUE(check(twenty, sound)[0].ok);
  twenty[header(twenty).headerLength + 26 * 2 + 25] = '5';  // record 3 now ends in 5
  EXPECT_THAT(check(twenty, sound)[0].problem, HasSubstr("record 3 is keyed"));
}

// ---------------------------------------------------------------- long character keys

TEST(LongKeys, KeysBeyondOneHundredBytesAreRefused) {
  const auto dbf = makeTable({{"A", 'C', 60}, {"B", 'C', 41}}, {{{"abc", "x"}}, {{"def", "y"}}});
  const TableHeader t = header(dbf);
  // A new tag is refused when it is defined...
  EXPECT_THROW(defineTag(t, "AB", "A+B"), Failure);
  // ...and an old index's tag of such keys when it is rebuilt.
  TagDefinition sum = defineTag(t, "AB", "A+LEFT(B,40)");
  ASSERT_EQ(sum.keyLength, 100);
  EXPECT_TRUE(check(dbf, rebuild(t, dbf, makeIndex(t, "W", {sum})))[0].ok);
  sum.keyExpression = "A+B";
  sum.keyLength = 101;
  EXPECT_THAT(failureOf(t, dbf, makeIndex(t, "W", {sum})), HasSubstr("keys of 101 bytes"));
  TagDefinition rep = defineTag(t, "REP", "LEFT(A,3)");
  rep.keyExpression = "REPLICATE(LEFT(A,3),50)";
  rep.keyLength = 150;
  EXPECT_THAT(failureOf(t, dbf, makeIndex(t, "W", {rep})), HasSubstr("keys of 150 bytes"));

  // The checker reads the length from the tag header alone.
  auto mdx = rebuild(t, dbf, makeIndex(t, "W", {defineTag(t, "AB", "A+LEFT(B,40)")}));
  const size_t h = size_t{u32At(Bytes(mdx), 544)} * 512;
  mdx[h + 12] = 101;
  EXPECT_THAT(check(dbf, mdx)[0].problem, HasSubstr("101 bytes, longer than the 100 bytes"));
}

// ---------------------------------------------------------------- deletion flags

TEST(DeletionFlags, AFlagNeitherBlankNorStarFailsOnlyWhereDeletedIsAsked) {
  // Some programs take any flag but a blank as deleted, others only '*'.
  for (uint8_t flag : {uint8_t{'#'}, uint8_t{0}, uint8_t{'D'}, uint8_t{0xFF}}) {
    SCOPED_TRACE(int{flag});
    auto dbf = makeTable({{"NAME", 'C', 4}}, {{{"a"}}, {{"b"}, true}, {{"c"}}, {{"d"}}});
    const TableHeader t = header(dbf);
    dbf[t.headerLength + 2 * t.recordLength] = flag;  // record 3
    const auto plain = rebuild(t, dbf, makeIndex(t, "W", {defineTag(t, "NAME", "NAME")}));
    EXPECT_EQ(recordsOf(plain, 0), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(check(dbf, plain)[0].ok);
    const std::string text = failureOf(t, dbf, makeIndex(t, "W", {defineTag(t, "LIVE", "NAME", ".NOT. DELETED()")}));
    EXPECT_THAT(text, HasSubstr("tag LIVE"));
    EXPECT_THAT(text, HasSubstr("record 3"));
    EXPECT_THAT(text, HasSubstr("deletion flag"));
  }
}

// ---------------------------------------------------------------- signed-byte order

class SignedOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    // Byte-order driver; every key starts with a byte >= 0x80, and the second bytes
    // order differently as bytes and as signed bytes.
    TableOptions o;
    o.languageId = 0x57;
    dbf_ = makeTable({{"NAME", 'C', 2}},
                     {{{"\xC0\xC1"}},
                      {{"\xC0"
                        "A"}},
                      {{"\xD0"
                        "B"}},
                      {{"\xC0\xC1"}}},
                     o);
    table_ = header(dbf_);
    ix_ = makeIndex(table_, "W", {defineTag(table_, "NAME", "NAME")});
  }
  std::vector<uint8_t> rebuiltFrom(const std::vector<uint8_t>& old) {
    MemorySource d(dbf_), m(old);
    IndexHeader ix = readIndexHeader(m, "W.MDX");
    followExistingOrder(table_, d, m, "W.MDX", ix);
    return rebuild(table_, dbf_, ix);
  }
  // The index with its single leaf's entries put in another record order.
  static std::vector<uint8_t> reordered(std::vector<uint8_t> mdx, const std::vector<uint32_t>& order) {
    const auto entries = leafEntries(mdx, 0);
    const size_t h = size_t{u32At(Bytes(mdx), 544)} * 512;
    const size_t leaf = size_t{u32At(Bytes(mdx), h)} * 512;
    const uint16_t group = u16At(Bytes(mdx), h + 18);
    for (size_t i = 0; i < order.size(); ++i)
      for (const auto& [record, key] : entries)
        if (record == order[i]) {
          for (int b = 0; b < 4; ++b) mdx[leaf + 8 + group * i + b] = static_cast<uint8_t>(record >> (8 * b));
          std::memcpy(mdx.data() + leaf + 8 + group * i + 4, key.data(), key.size());
        }
    return mdx;
  }
  std::vector<uint8_t> dbf_;
  TableHeader table_;
  IndexHeader ix_;
  const std::vector<uint32_t> byteOrder_{2, 1, 4, 3};    // C0 41, C0 C1 (1, 4), D0 42
  const std::vector<uint32_t> signedOrder_{1, 4, 2, 3};  // C0 C1 before C0 41
};

TEST_F(SignedOrder, AnUnrelatedOldIndexChoosesNothing) {
  // An old index of two keys, 0xC0 and "A", in signed-byte order: not this table's.
  TableOptions o;
  o.languageId = 0x57;
  const auto other = makeTable({{"NAME", 'C', 2}}, {{{"A"}}, {{"\xC0"}}}, o);
  const TableHeader ot = header(other);
  const auto otherMdx = reordered(rebuild(ot, other, makeIndex(ot, "W", {defineTag(ot, "NAME", "NAME")})), {2, 1});
  ASSERT_FALSE(check(dbf_, otherMdx)[0].ok);

  const auto first = rebuiltFrom(otherMdx);
  EXPECT_EQ(recordsOf(first, 0), byteOrder_);
  EXPECT_EQ(rebuiltFrom(first), first);
  EXPECT_TRUE(check(dbf_, first)[0].ok);
}

TEST_F(SignedOrder, TheTablesOwnIndexKeepsItsOrderRebuildAfterRebuild) {
  const auto plain = rebuild(table_, dbf_, ix_);
  ASSERT_EQ(recordsOf(plain, 0), byteOrder_);
  EXPECT_EQ(rebuiltFrom(plain), plain);

  const auto own = reordered(plain, signedOrder_);
  ASSERT_TRUE(check(dbf_, own)[0].ok) << check(dbf_, own)[0].problem;  // another writer's habit
  const auto first = rebuiltFrom(own);
  EXPECT_EQ(recordsOf(first, 0), signedOrder_);
  EXPECT_EQ(rebuiltFrom(first), first);

  // The same order, gone stale (a record changed since): byte order.
  auto changed = dbf_;
  changed[header(changed).headerLength + 3 * 3 + 2] = 'C';  // record 4: C0 43
  MemorySource d(changed), m(own);
  IndexHeader ix = readIndexHeader(m, "W.MDX");
  followExistingOrder(header(changed), d, m, "W.MDX", ix);
  EXPECT_FALSE(ix.tags[0].highBytesFirst);
}

}  // namespace
