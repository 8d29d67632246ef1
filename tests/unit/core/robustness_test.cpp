// Damaged input of every kind must end in a Failure (or a faulty check report), never
// in a crash, a hang or an out-of-bounds access (the host build runs with sanitizers).
#include <gtest/gtest.h>

#include <random>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "table_builder.h"

using namespace idapi::core;
using testing_tables::makeIndex;
using testing_tables::makeTable;
using testing_tables::rebuild;
using testing_tables::Row;

namespace {

std::vector<uint8_t> mutate(std::vector<uint8_t> b, std::mt19937& rng, size_t limit) {
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < edits && !b.empty(); ++i) {
    const size_t at = rng() % std::min(limit, b.size());
    switch (rng() % 4) {
      case 0: b[at] = static_cast<uint8_t>(rng()); break;
      case 1: b[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 2: b[at] = (rng() % 2) ? 0x00 : 0xFF; break;
      case 3: b.resize(at); break;
    }
  }
  return b;
}

TEST(Robustness, MutatedTablesAndIndexesNeverCrash) {
  std::vector<Row> rows;
  for (int i = 0; i < 200; ++i)
    rows.push_back({{"N" + std::to_string(i % 13), std::to_string(i * 7 % 101), "202401" + std::to_string(10 + i % 18)},
                    i % 5 == 0});
  const auto dbf = makeTable({{"NAME", 'C', 6}, {"QTY", 'N', 4}, {"DAY", 'D', 8}}, rows);
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "R.DBF");
  const auto mdx =
      rebuild(t, dbf,
              makeIndex(t, "R",
                        {defineTag(t, "NAME", "UPPER(NAME)+STR(QTY,4)"), defineTag(t, "QTY", "QTY", "QTY > 10", true),
                         defineTag(t, "DAY", "DAY", ".NOT. DELETED()", false, true)}));
  std::mt19937 rng(2024);
  int tableFailures = 0, indexFailures = 0, faultyReports = 0;
  for (int round = 0; round < 1500; ++round) {
    // Damage the table header region (and sometimes the records).
    auto d = mutate(dbf, rng, round % 3 == 0 ? dbf.size() : t.headerLength + 8);
    MemorySource ds(d);
    TableHeader dt;
    try {
      dt = readTableHeader(ds, "R.DBF");
    } catch (const Failure&) {
      ++tableFailures;
      continue;
    }
    // Damage the index (header, tag headers or nodes).
    auto m = mutate(mdx, rng, round % 2 ? 4096 : mdx.size());
    MemorySource ms(m);
    try {
      for (const auto& r : checkIndex(dt, ds, ms, "R.MDX")) faultyReports += r.ok ? 0 : 1;
      IndexHeader ix = readIndexHeader(ms, "R.MDX");
      VectorSink out;
      rebuildIndex(dt, ds, ix, "R.MDX", out);
      MemorySource rebuilt(out.bytes);
      for (const auto& r : checkIndex(dt, ds, rebuilt, "R.MDX")) EXPECT_TRUE(r.ok) << round << ": " << r.problem;
    } catch (const Failure&) {
      ++indexFailures;
    }
  }
  EXPECT_GT(tableFailures, 50);
  EXPECT_GT(indexFailures, 50);
  EXPECT_GT(faultyReports, 50);
}

TEST(Robustness, RandomExpressionTextNeverCrashes) {
  const auto dbf = makeTable({{"NAME", 'C', 6}, {"QTY", 'N', 4}, {"DAY", 'D', 8}, {"OK", 'L', 1}},
                             {{{"abc", "12", "20240101", "T"}}});
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "E.DBF");
  const char* pieces[] = {"NAME", "QTY",    "DAY",   "OK",    "(",       ")",         ",",         "+",       "-",
                          "*",    "/",      "^",     "=",     "<>",      "$",         ".AND.",     ".OR.",    ".NOT.",
                          "'x'",  "\"yy\"", "[z]",   "3",     "0",       "-1",        "UPPER(",    "SUBSTR(", "STR(",
                          "VAL(", "IIF(",   "DTOS(", "TRIM(", "RECNO()", "DELETED()", "LEFT(",     "RIGHT(",  ".T.",
                          "1.5",  "DTOC(",  "->",    "!",     "#",       ">=",        "999999999", "'",       "["};
  std::mt19937 rng(99);
  int compiled = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = 1 + static_cast<int>(rng() % 9);
    for (int k = 0; k < n; ++k) text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    try {
      Expression e(text, t.fields);
      ++compiled;
      const Value& v = e.evaluate(dbf.data() + t.headerLength, 1);
      if (e.type() == ValueType::Character) {
        EXPECT_LE(v.text.size(), size_t{e.length()}) << text;
      }
    } catch (const ExpressionError&) {}
  }
  EXPECT_GT(compiled, 500);
}

}  // namespace
