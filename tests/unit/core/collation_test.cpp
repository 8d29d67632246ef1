// Character keys under language drivers: the order of the B-tree, the refusal of an
// unknown order, case mapping by the driver, and the checker using the same order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "idapi/core/language.h"
#include "idapi/core/mdx_internal.h"
#include "table_builder.h"
#include "support/throws.h"

using namespace idapi::core;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Throws;
using testsupport::CodeAndText;

// Record numbers and key bytes of a tag's leaves, in tree order.
std::vector<std::pair<uint32_t, std::string>> leaves(const std::vector<uint8_t>& mdx, size_t tagIndex,
                                                     uint16_t keyLength) {
  Bytes b(mdx);
  const uint32_t headerPage = u32At(b, mdx::kSlotsOffset + mdx::kSlotSize * tagIndex);
  const uint16_t group = mdx::groupLength(keyLength);
  std::vector<std::pair<uint32_t, std::string>> out;
  // Depth-first, children in order.
  std::function<void(uint32_t)> visit = [&](uint32_t page) {
    const size_t at = size_t{page} * 512;
    const uint32_t k = u32At(b, at);
    const bool leaf = u32At(b, at + 8 + size_t{group} * k) == 0;
    for (uint32_t i = 0; i < k + (leaf ? 0 : 1); ++i) {
      const size_t e = at + 8 + size_t{group} * i;
      if (leaf)
        out.emplace_back(u32At(b, e), std::string(reinterpret_cast<const char*>(mdx.data() + e + 4), keyLength));
      else
        visit(u32At(b, e));
    }
  };
  visit(u32At(b, size_t{headerPage} * 512));
  return out;
}

TEST(Collation, WesternEuropeanOrderFollowsTheDriversWeights) {
  const LanguageRules we = LanguageRules::of(0x58);
  ASSERT_TRUE(we.orderKnown());
  ASSERT_FALSE(we.byteOrder());
  // The dictionary-like order of the driver: a < A < ä < Ä < b < B (Windows-1252 bytes).
  const std::string order[] = {"a", "A", "\xE4", "\xC4", "b", "B"};
  for (size_t i = 0; i + 1 < std::size(order); ++i) EXPECT_LT(we.compare(order[i], order[i + 1]), 0) << i;
  EXPECT_LT(we.compare("e", "\xE9"), 0);        // e < é
  EXPECT_LT(we.compare("\xE9", "f"), 0);        // é < f, where byte order puts é after z
  EXPECT_GT(we.compare("zz", "\xE9t\xE9"), 0);  // byte order would put é after z
  EXPECT_GT(we.compare("\xE9t\xE9", "ete"), 0);
  EXPECT_EQ(we.compare("ab", "ab  "), 0);  // blank padded
  EXPECT_EQ(we.name(), "DBWINWE0");
  // Byte order drivers: none, the US drivers, the code-page marks of other software.
  for (uint8_t id : {0x00, 0x01, 0x02, 0x03, 0x1B, 0x37, 0x57}) {
    EXPECT_TRUE(LanguageRules::of(id).byteOrder()) << int{id};
    EXPECT_TRUE(LanguageRules::of(id).orderKnown()) << int{id};
  }
}

TEST(Collation, EveryKnownOrderIsABijectionAndUnknownOnesAreSaidSo) {
  int national = 0;
  for (int id = 0; id < 256; ++id) {
    const LanguageRules r = LanguageRules::of(static_cast<uint8_t>(id));
    if (!r.orderKnown()) continue;
    uint8_t bytes[256], weights[256], back[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    r.toWeights(bytes, 256, weights);
    r.fromWeights(weights, 256, back);
    EXPECT_EQ(std::memcmp(bytes, back, 256), 0) << id;
    std::sort(weights, weights + 256);
    EXPECT_EQ(std::unique(weights, weights + 256) - weights, 256) << id;  // two bytes never tie
    if (!r.byteOrder()) ++national;
  }
  EXPECT_GE(national, 30);
  EXPECT_FALSE(LanguageRules::of(0x56).orderKnown());  // weights with ties
  EXPECT_FALSE(LanguageRules::of(0x5E).orderKnown());
  EXPECT_FALSE(LanguageRules::of(0xF0).orderKnown());
  // A level-7 table names its driver; the name decides.
  EXPECT_FALSE(LanguageRules::of(0x58, "NOSUCHLD").orderKnown());
  EXPECT_FALSE(LanguageRules::of(0x00, "DBWINWE0").byteOrder());
}

TEST(Collation, UpperAndLowerFollowTheDriversCodePage) {
  auto up = [](uint8_t id, std::string s) {
    EXPECT_TRUE(LanguageRules::of(id).toUpper(s));
    return s;
  };
  EXPECT_EQ(up(0x58, "caf\xE9 \xFF\x9C"), "CAF\xC9 \x9F\x8C");  // é→É, ÿ→Ÿ, œ→Œ in Windows-1252
  EXPECT_EQ(up(0x58,
               "stra\xDF"
               "e"),
            "STRA\xDF"
            "E");                                 // ß has no one-letter capital
  EXPECT_EQ(up(0x0D, "\x82t\x82"), "\x90T\x90");  // é→É in code page 437 (French)
  EXPECT_EQ(up(0x0E, "\x85"), "\xB7");            // à→À in code page 850
  EXPECT_EQ(up(0x00, "caf\xE9"), "CAF\xE9");      // no driver: ASCII letters only
  EXPECT_EQ(up(0x57, "caf\xE9"), "CAF\xE9");      // nor the US drivers
  EXPECT_EQ(up(0x1B, "\x82t\x82"), "\x82T\x82");
  std::string lower = "\xC9T\xC9";
  EXPECT_TRUE(LanguageRules::of(0x58).toLower(lower));
  EXPECT_EQ(lower, "\xE9t\xE9");
  // Double-byte text: the byte after a lead byte is not a letter, even when it looks like one.
  EXPECT_EQ(up(0x13,
               "a\x82"
               "a"
               "b"),
            "A\x82"
            "aB");
  // A code page whose letters are not known here: a byte above 0x7F is reported.
  std::string s = "x\xE9";
  EXPECT_FALSE(LanguageRules::of(0xF0).toUpper(s));
}

struct Names {
  std::vector<uint8_t> dbf;
  TableHeader table;
  std::vector<std::string> values;
};

Names frenchNames(uint8_t languageId) {
  Names n;
  n.values = {"\xC9lise",
              "eric",
              "Eric",
              "zo\xE9",
              "Zo\xE9",
              "\xE9mile",
              "emile",
              "Andr\xE9",
              "andre",
              "\xC0 part",
              "apart",
              "b\xE9"
              "b\xE9",
              "Bebe",
              "\xE7"
              "a",
              "ca",
              "Ca",
              "d",
              "\xE9t\xE9",
              "ete",
              "Ete"};
  std::vector<Row> rows;
  for (const auto& v : n.values) rows.push_back({{v}});
  testing_tables::TableOptions o;
  o.languageId = languageId;
  n.dbf = makeTable({{"NAME", 'C', 10}}, rows, o);
  MemorySource src(n.dbf);
  n.table = readTableHeader(src, "NOMS.DBF");
  return n;
}

TEST(Collation, RebuiltTagFollowsTheDriverAndKeepsRawBytes) {
  Names n = frenchNames(0x58);
  const IndexHeader ix =
      makeIndex(n.table, "NOMS",
                {defineTag(n.table, "NAME", "NAME"), defineTag(n.table, "DNAME", "NAME", "", false, true),
                 defineTag(n.table, "UNAME", "UPPER(NAME)", "", true)});
  const auto mdx = rebuild(n.table, n.dbf, ix);
  const LanguageRules we = LanguageRules::of(0x58);
  // The expected order computed from the values with the driver's comparison (equal
  // keys by record number).
  std::vector<uint32_t> expected(n.values.size());
  for (uint32_t i = 0; i < expected.size(); ++i) expected[i] = i + 1;
  auto padded = [&](uint32_t r) {
    std::string s = n.values[r - 1];
    s.resize(10, ' ');
    return s;
  };
  std::stable_sort(expected.begin(), expected.end(),
                   [&](uint32_t a, uint32_t b) { return we.compare(padded(a), padded(b)) < 0; });
  const auto got = leaves(mdx, 0, 10);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, expected[i]) << i;
    EXPECT_EQ(got[i].second, padded(got[i].first)) << "keys keep their bytes";
  }
  // Descending: the exact reverse of the key order.
  const auto down = leaves(mdx, 1, 10);
  ASSERT_EQ(down.size(), got.size());
  for (size_t i = 1; i < down.size(); ++i) EXPECT_GE(we.compare(down[i - 1].second, down[i].second), 0);
  // Unique over upper-cased names: "Eric" and "eric" are one key; É is not E.
  const auto unique = leaves(mdx, 2, 10);
  std::vector<std::string> keys;
  for (const auto& e : unique) keys.push_back(e.second);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), std::string("ERIC      ")), 1);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), std::string("\xC9LISE     ")), 1);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), std::string("\xC9T\xC9       ")), 1);
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(we.compare(keys[i - 1], keys[i]), 0);

  // The checker uses the same order: our index passes, one in byte order does not.
  MemorySource dbf(n.dbf), index(mdx);
  for (const TagReport& r : checkIndex(n.table, dbf, index, "NOMS.MDX"))
    EXPECT_TRUE(r.ok) << r.tag << ": " << r.problem;
  Names bin = frenchNames(0x00);
  auto byteOrdered = rebuild(bin.table, bin.dbf, makeIndex(bin.table, "NOMS", {defineTag(bin.table, "NAME", "NAME")}));
  byteOrdered[31] = 0x58;
  MemorySource other(byteOrdered);
  const auto reports = checkIndex(n.table, dbf, other, "NOMS.MDX");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(reports[0].ok);
  EXPECT_NE(reports[0].problem.find("out of order"), std::string::npos) << reports[0].problem;
}

TEST(Collation, UnknownOrderRefusesCharacterTagsOnly) {
  Names n = frenchNames(0x5E);
  const IndexHeader ix = makeIndex(n.table, "NOMS", {defineTag(n.table, "NAME", "NAME")});
  EXPECT_THAT([&] { rebuild(n.table, n.dbf, ix); },
              Throws<Failure>(CodeAndText(DBIERR_LDNOTFOUND, AllOf(HasSubstr("tag NAME"), HasSubstr("0x5E")))));
  // Numbers and dates do not depend on the driver.
  const auto dbf = makeTable({{"QTY", 'N', 5}}, {{{"3"}}, {{"1"}}}, {0x03, true, 0x5E, true});
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "Q.DBF");
  EXPECT_NO_THROW(rebuild(t, dbf, makeIndex(t, "Q", {defineTag(t, "QTY", "QTY")})));
  // The checker reports the tag rather than calling it damaged or sound.
  const auto mdx = rebuild(frenchNames(0x58).table, n.dbf, ix);
  MemorySource d(n.dbf), m(mdx);
  const auto reports = checkIndex(n.table, d, m, "NOMS.MDX");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(reports[0].ok);
  EXPECT_NE(reports[0].problem.find("is not known"), std::string::npos) << reports[0].problem;
}

TEST(Collation, TdbfsOwnIndexOverAWesternEuropeanTableHasOurOrder) {
  const std::filesystem::path wild = std::filesystem::path(WILD_DIR) / "made-by-tdbf";
  const auto dbfPath = wild / "TDBF5K.DBF", mdxPath = wild / "TDBF5K.MDX";
  if (!std::filesystem::exists(dbfPath) || !std::filesystem::exists(mdxPath))
    GTEST_SKIP() << "the files written by TDbf are not beside the project (" << wild << ")";
  auto slurp = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  const auto dbf = slurp(dbfPath), original = slurp(mdxPath);
  MemorySource dsrc(dbf), msrc(original);
  const TableHeader t = readTableHeader(dsrc, "TDBF5K.DBF");
  ASSERT_EQ(t.languageId, 0x58);
  const IndexHeader ix = readIndexHeader(msrc, "TDBF5K.MDX");
  const auto ours = rebuild(t, dbf, ix);
  int compared = 0;
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    const TagDefinition& tag = ix.tags[i];
    // Plain character fields: TDbf wrote them in its driver order; ours must agree key
    // for key (records of equal keys may come in either order).
    if (tag.keyType != 'C' || tag.keyExpression.find('(') != std::string::npos || !tag.forExpression.empty()) continue;
    const auto theirs = leaves(original, i, tag.keyLength), mine = leaves(ours, i, tag.keyLength);
    ASSERT_EQ(theirs.size(), mine.size()) << tag.name;
    size_t differ = 0;
    for (size_t k = 0; k < mine.size(); ++k) differ += theirs[k].second != mine[k].second;
    EXPECT_EQ(differ, 0u) << tag.name;
    // And byte order would not have agreed: the table holds keys where the two differ.
    std::vector<std::string> sorted;
    for (const auto& e : mine) sorted.push_back(e.second);
    std::vector<std::string> bytewise = sorted;
    std::sort(bytewise.begin(), bytewise.end());
    EXPECT_NE(sorted, bytewise) << tag.name << ": no key where the orders differ";
    ++compared;
  }
  EXPECT_GE(compared, 2);
}

}  // namespace
