// Type-N arithmetic in key expressions is decimal: the values and keys below are the
// exact decimal results, worked out by hand, where binary doubles leave a remainder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/keys.h"
#include "table_builder.h"

using namespace idapi::core;
using ::testing::HasSubstr;
using testing_tables::hex;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

class DecimalArithmetic : public ::testing::Test {
 protected:
  void SetUp() override {
    dbf_ = makeTable({{"NUM", 'N', 12, 2}, {"DIV", 'N', 6, 1}}, {{{"0.10", "1.0"}},
                                                                 {{"1234567.89", "-2.0"}},
                                                                 {{"1234567.01", "0.2"}},
                                                                 {{"123456.01", "3.0"}},
                                                                 {{"-0.50", "-0.2"}}});
    MemorySource src(dbf_);
    table_ = readTableHeader(src, "A.DBF");
  }
  // The value's exact text ("" when it has none) on a record.
  std::string text(const std::string& expression, uint32_t record) {
    Expression e(expression, table_.fields);
    const uint8_t* r = dbf_.data() + table_.headerLength + size_t{record - 1} * table_.recordLength;
    return e.evaluate(r, record).text;
  }
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> leaves(const std::vector<uint8_t>& mdx, int tag) {
    const size_t h = size_t{u32At(Bytes(mdx), 544 + 32 * tag)} * 512;
    const size_t leaf = size_t{u32At(Bytes(mdx), h)} * 512;  // small tags: the root is the leaf
    const uint16_t group = u16At(Bytes(mdx), h + 18);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
    for (uint32_t i = 0; i < u32At(Bytes(mdx), leaf); ++i) {
      const uint8_t* e = mdx.data() + leaf + 8 + size_t{group} * i;
      out.push_back({u32At(Bytes(mdx), leaf + 8 + size_t{group} * i), std::vector<uint8_t>(e + 4, e + 16)});
    }
    return out;
  }
  std::vector<TagReport> check(const std::vector<uint8_t>& mdx) {
    MemorySource d(dbf_), m(mdx);
    return checkIndex(table_, d, m, "A.MDX");
  }
  std::vector<uint8_t> dbf_;
  TableHeader table_;
};

TEST_F(DecimalArithmetic, ResultsAreTheExactDecimals) {
  EXPECT_EQ(text("NUM*3-0.3", 1), "0");
  EXPECT_EQ(text("NUM+0.2", 1), "0.3");
  EXPECT_EQ(text("NUM-INT(NUM)", 2), "0.89");
  EXPECT_EQ(text("MOD(NUM,1)", 3), "0.01");
  EXPECT_EQ(text("MOD(NUM,1)", 4), "0.01");
  EXPECT_EQ(text("MOD(NUM,DIV)", 2), "-0.11");  // the divisor's sign: 1234567.89 - (-2)(-617284)
  EXPECT_EQ(text("MOD(NUM,DIV)", 3), "0.01");
  EXPECT_EQ(text("MOD(NUM,DIV)", 5), "-0.1");
  EXPECT_EQ(text("MOD(-NUM,0.2)", 5), "0.1");
  EXPECT_EQ(text("INT(-NUM)", 2), "-1234567");
  EXPECT_EQ(text("INT(NUM)", 1), "0");
  EXPECT_EQ(text("ABS(NUM)", 5), "0.50");
  EXPECT_EQ(text("NUM*NUM", 2), "1524157875019.0521");
  EXPECT_EQ(text("NUM/DIV", 2), "-617283.945");  // a quotient that ends is exact
  EXPECT_EQ(text("NUM/DIV", 4), "");             // one that does not stays binary
  EXPECT_EQ(text("NUM^2", 1), "");               // so does a power
}

TEST_F(DecimalArithmetic, KeysOfTheIssueValuesAndTheirOrder) {
  IndexHeader ix =
      makeIndex(table_, "A",
                {defineTag(table_, "ZERO", "NUM*3-0.3"), defineTag(table_, "FRAC", "NUM-INT(NUM)"),
                 defineTag(table_, "CENTS", "MOD(NUM,1)"), defineTag(table_, "ONE", "MOD(NUM,1)", "", true)});
  const auto mdx = rebuild(table_, dbf_, ix);
  const auto zero = hex("34 01 00 00 00 00 00 00 00 00 00 00 ");
  const auto cent = hex("33 05 10 00 00 00 00 00 00 00 00 00 ");  // 0.01
  EXPECT_EQ(leaves(mdx, 0)[1], std::make_pair(1u, zero));         // 0.1 * 3 - 0.3, after -1.8
  EXPECT_EQ(leaves(mdx, 1)[4], std::make_pair(2u, hex("34 09 89 00 00 00 00 00 00 00 00 00 ")));  // 0.89
  // 1234567.01 and 123456.01 both give 0.01: one key, in record order; the unique tag
  // keeps the first.
  const auto cents = leaves(mdx, 2);
  ASSERT_EQ(cents.size(), 5u);
  EXPECT_EQ(cents[0], std::make_pair(3u, cent));
  EXPECT_EQ(cents[1], std::make_pair(4u, cent));
  std::vector<uint32_t> unique;
  for (const auto& e : leaves(mdx, 3)) unique.push_back(e.first);
  EXPECT_EQ(unique, (std::vector<uint32_t>{3, 1, 5, 2}));  // 0.01, 0.1, 0.5, 0.89
  for (const auto& r : check(mdx)) EXPECT_TRUE(r.ok) << r.tag << ": " << r.problem;

  // The index binary arithmetic wrote: 1234567.01 keyed 0.0100000000093132 and
  // 123456.01 keyed 0.00999999999476131 (15 digits of the doubles), in that order.
  auto binary = mdx;
  const size_t h = size_t{u32At(Bytes(binary), 544 + 32 * 2)} * 512;
  const size_t leaf = size_t{u32At(Bytes(binary), h)} * 512;
  const uint16_t group = u16At(Bytes(binary), h + 18);
  const auto low = hex("32 3D 99 99 99 99 94 76 13 10 00 00 ");
  const auto high = hex("33 3D 10 00 00 00 00 93 13 20 00 00 ");
  binary[leaf + 8] = 4;
  std::copy(low.begin(), low.end(), binary.begin() + leaf + 8 + 4);
  binary[leaf + 8 + group] = 3;
  std::copy(high.begin(), high.end(), binary.begin() + leaf + 8 + group + 4);
  EXPECT_THAT(check(binary)[2].problem, HasSubstr("stale or wrong key"));
}

}  // namespace
