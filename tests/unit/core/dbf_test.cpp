#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/records.h"
#include "table_builder.h"
#include "support/throws.h"

using namespace idapi::core;
using testing_tables::FieldDef;
using testing_tables::makeTable;
using testing_tables::Row;
using testing_tables::TableOptions;

namespace {

using ::testing::HasSubstr;
using ::testing::Throws;
using testsupport::CodeAndText;

const std::vector<FieldDef> kFields = {{"CODE", 'C', 6}, {"QTY", 'N', 5, 0}, {"PRICE", 'N', 9, 2},
                                       {"SOLD", 'D', 8}, {"OK", 'L', 1},     {"NOTES", 'M', 10}};
const std::vector<Row> kRows = {{{"A1", "3", "12.50", "20240101", "T", ""}},
                                {{"B2", "4", "1.00", "20240202", "F", ""}, true}};

TableHeader parse(const std::vector<uint8_t>& bytes) {
  MemorySource src(bytes);
  return readTableHeader(src, "STOCK.DBF");
}

// Expects a Failure with `code` whose text names the file.
void expectFailure(const std::vector<uint8_t>& bytes, DBIResult code, const char* why) {
  EXPECT_THAT([&] { parse(bytes); }, Throws<Failure>(CodeAndText(code, HasSubstr("STOCK.DBF")))) << why;
}

TEST(TableHeader, ReadsFieldsOffsetsAndFlags) {
  auto bytes = makeTable(kFields, kRows, TableOptions{0x8B, true, 0x57});
  TableHeader t = parse(bytes);
  EXPECT_EQ(t.version, 0x8B);
  EXPECT_EQ(t.level, 4);
  EXPECT_EQ(t.recordCount, 2u);
  EXPECT_EQ(t.headerLength, 32 + 32 * 6 + 1);
  EXPECT_EQ(t.recordLength, 1 + 6 + 5 + 9 + 8 + 1 + 10);
  EXPECT_TRUE(t.productionIndex);
  EXPECT_EQ(t.languageId, 0x57);
  EXPECT_EQ(t.languageDriver, "DBWINUS0");
  ASSERT_EQ(t.fields.size(), 6u);
  EXPECT_EQ(t.fields[0].name, "CODE");
  EXPECT_EQ(t.fields[0].offset, 1);
  EXPECT_EQ(t.fields[2].name, "PRICE");
  EXPECT_EQ(t.fields[2].type, 'N');
  EXPECT_EQ(t.fields[2].decimals, 2);
  EXPECT_EQ(t.fields[2].offset, 12);
  EXPECT_EQ(t.fields[5].type, 'M');
}

// The one table writer of the tests and tools, read back by the engine's reader:
// field flags, both descriptor layouts, and cells cut and aligned as documented.
TEST(TableWriter, WritesWhatTheReaderReadsBack) {
  const std::vector<dbfwriter::Field> fields = {
      {"CODE", 'C', 4, 0, true}, {"AMOUNT", 'N', 5, 2}, {"A_LONGER_NAME", 'C', 3}};
  const std::vector<dbfwriter::Field> two(fields.begin(), fields.end() - 1);
  for (uint8_t version : {uint8_t{0x03}, uint8_t{0x04}}) {
    const std::vector<dbfwriter::Field>& columns = version == 0x04 ? fields : two;
    dbfwriter::Header h;
    h.version = version;
    h.records = 2;
    h.languageId = 0x57;
    std::vector<uint8_t> bytes = dbfwriter::headerBytes(h, columns);
    const size_t headerLength = bytes.size();
    dbfwriter::appendRecord(bytes, columns, {"ABCDEF", "1234.5", "x"}, false);
    dbfwriter::appendRecord(bytes, columns, {"Z"}, true);
    bytes.push_back(dbfwriter::kEndOfFile);
    MemorySource src(bytes);
    const TableHeader t = readTableHeader(src, "W.DBF");
    EXPECT_EQ(t.level == 7, version == 0x04);
    EXPECT_EQ(t.recordCount, 2u);
    EXPECT_EQ(t.headerLength, headerLength);
    EXPECT_TRUE(t.productionIndex);
    ASSERT_EQ(t.fields.size(), version == 0x04 ? 3u : 2u);
    EXPECT_EQ(t.fields[0].name, "CODE");
    EXPECT_EQ(t.fields[1].type, 'N');
    EXPECT_EQ(t.fields[1].decimals, 2);
    if (version == 0x03)
      EXPECT_TRUE(t.fields[0].mdxTag);
    else
      EXPECT_EQ(t.fields[2].name, "A_LONGER_NAME");  // level 7 keeps names of up to 32 bytes
    const uint8_t* first = bytes.data() + t.headerLength;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), 10),
              " ABCD234.5");  // text cut at its end, numbers keep their low digits
    EXPECT_EQ(first[t.recordLength], '*');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first + t.recordLength + 1), 9), "Z        ");
  }
}

TEST(TableHeader, LevelsFromVersionAndFeatures) {
  EXPECT_EQ(parse(makeTable({{"A", 'C', 3}}, {}, TableOptions{0x03, false, 0})).level, 3);
  EXPECT_EQ(parse(makeTable({{"A", 'C', 3}}, {}, TableOptions{0x03, true, 0})).level, 4);
  EXPECT_EQ(parse(makeTable({{"A", 'C', 3}, {"P", 'G', 10}}, {}, TableOptions{0x03, false, 0})).level, 5);
  EXPECT_EQ(parse(makeTable({{"A", 'C', 3}}, {}, TableOptions{0x83, false, 0})).level, 3);
  auto seven = makeTable({{"LONGER_FIELD_NAME", 'C', 3}, {"N", 'I', 4}}, {{{"abc"}}}, TableOptions{0x04, true, 0});
  TableHeader t = parse(seven);
  EXPECT_EQ(t.level, 7);
  EXPECT_EQ(t.languageDriver, "DBWINUS0");
  ASSERT_EQ(t.fields.size(), 2u);
  EXPECT_EQ(t.fields[0].name, "LONGER_FIELD_NAME");
  EXPECT_EQ(t.fields[1].type, 'I');
}

TEST(TableHeader, ToleratesWhatWritersDo) {
  // No end-of-file marker, and bytes after it.
  auto noMarker = makeTable(kFields, kRows, TableOptions{0x03, true, 0, false});
  EXPECT_EQ(parse(noMarker).recordCount, 2u);
  auto trailing = makeTable(kFields, kRows);
  trailing.insert(trailing.end(), 100, 0xEE);
  EXPECT_EQ(parse(trailing).recordCount, 2u);
  // A header longer than the descriptors need (padding after the terminator).
  auto padded = makeTable(kFields, {});
  padded.insert(padded.begin() + 32 + 32 * 6 + 1, 10, 0);
  putU16(&padded[8], static_cast<uint16_t>(32 + 32 * 6 + 11));
  EXPECT_EQ(parse(padded).fields.size(), 6u);
}

TEST(TableHeader, InconsistentHeadersFailCleanly) {
  const auto good = makeTable(kFields, kRows);
  const size_t headerLength = 32 + 32 * 6 + 1;

  expectFailure({}, DBIERR_HEADERCORRUPT, "empty file");
  expectFailure(std::vector<uint8_t>(good.begin(), good.begin() + 20), DBIERR_HEADERCORRUPT, "cut inside the header");
  expectFailure(std::vector<uint8_t>(good.begin(), good.begin() + 100), DBIERR_HEADERCORRUPT, "cut inside descriptors");

  auto b = good;
  putU16(&b[8], static_cast<uint16_t>(good.size() + 1));
  expectFailure(b, DBIERR_HEADERCORRUPT, "header length beyond the file");
  b = good;
  putU16(&b[8], 20);
  expectFailure(b, DBIERR_HEADERCORRUPT, "header length too small");
  b = good;
  putU16(&b[10], static_cast<uint16_t>(b[10] + 1));
  expectFailure(b, DBIERR_HEADERCORRUPT, "record length differs from the fields");
  b = good;
  putU32(&b[4], 3);
  expectFailure(b, DBIERR_HEADERCORRUPT, "record count beyond the file");
  b = good;
  putU32(&b[4], 0xFFFFFFFF);
  expectFailure(b, DBIERR_HEADERCORRUPT, "huge record count");
  b = good;
  b[headerLength - 1] = 0x20;
  expectFailure(b, DBIERR_HEADERCORRUPT, "no terminator");
  b = good;
  b[32 + 32 + 16] = 0;  // QTY length 0
  expectFailure(b, DBIERR_HEADERCORRUPT, "zero field length");
  b = good;
  b[32 + 11] = 'X';
  expectFailure(b, DBIERR_HEADERCORRUPT, "unknown field type");
  b = good;
  b[32 + 3 * 32 + 16] = 9;  // date of 9 bytes
  expectFailure(b, DBIERR_HEADERCORRUPT, "date length");
  b = good;
  b[32 + 2 * 32 + 17] = 9;  // PRICE N(9,9)
  expectFailure(b, DBIERR_HEADERCORRUPT, "decimals");
  b = good;
  std::fill(b.begin() + 32, b.begin() + 32 + 11, 0);
  expectFailure(b, DBIERR_HEADERCORRUPT, "field without a name");
  b = good;
  b[0] = 0x30;
  expectFailure(b, DBIERR_HEADERCORRUPT, "foreign version byte");
  b = good;
  b[32 + 5 * 32 + 11] = static_cast<uint8_t>(0x88);  // NOTES: an unknown type with its 10 bytes
  expectFailure(b, DBIERR_HEADERCORRUPT, "unknown field type with a length");
  b = good;
  b[32 + 11] = 'I';
  expectFailure(b, DBIERR_HEADERCORRUPT, "level 7 type in a level 4 table");
  auto empty = makeTable({}, {});
  expectFailure(empty, DBIERR_HEADERCORRUPT, "no fields");

  b = good;
  b[15] = 1;
  expectFailure(b, DBIERR_NOTSUFFTABLERIGHTS, "encrypted");

  // Empty descriptors may only close the list.
  auto gap = makeTable({{"A", 'C', 3}, {"X", 'C', 1}, {"B", 'N', 4}}, {});
  std::fill(gap.begin() + 64, gap.begin() + 96, 0);  // the middle descriptor emptied
  putU16(&gap[10], 8);
  expectFailure(gap, DBIERR_HEADERCORRUPT, "field after an empty descriptor");
}

TEST(TableHeader, AcceptsWhatOtherReadersOpen) {
  // Header bytes 12-27 holding a timestamp and other bytes: only byte 15 = 1 is encryption.
  auto stamped = makeTable(kFields, kRows);
  const uint8_t stamp[16] = {0x0C, 0x8D, 0x93, 0x57, 0xE9, 0x00, 0xD3, 0x01, 9, 9, 9, 9, 9, 9, 9, 9};
  std::copy(stamp, stamp + 16, stamped.begin() + 12);
  EXPECT_EQ(parse(stamped).fields.size(), 6u);

  // Character fields of 255, and of 256 and more with the width's high byte in the
  // decimal-count byte.
  std::vector<Row> rows = {{{std::string(255, 'x'), "7"}}};
  auto wide = makeTable({{"TEXT", 'C', 255}, {"N", 'N', 3}}, rows);
  TableHeader t = parse(wide);
  EXPECT_EQ(t.fields[0].length, 255);
  EXPECT_EQ(t.fields[1].offset, 256);
  auto wider = makeTable({{"PATH", 'C', 0, 1}, {"N", 'N', 3}}, {});
  putU16(&wider[10], 1 + 256 + 3);
  t = parse(wider);
  EXPECT_EQ(t.fields[0].length, 256);
  EXPECT_EQ(t.fields[0].decimals, 0);
  EXPECT_EQ(t.recordLength, 260);
  auto widest = makeTable({{"PATH", 'C', 0x10, 2}}, {});  // 2 x 256 + 16
  putU16(&widest[10], 1 + 528);
  EXPECT_EQ(parse(widest).fields[0].length, 528);
  auto lying = wider;
  lying[32 + 17] = 2;  // 512 bytes, but the record says 256
  expectFailure(lying, DBIERR_HEADERCORRUPT, "wide field beyond the record length");

  // A numeric field wider than dBASE's 20 digits.
  auto numeric = makeTable({{"BIG", 'N', 25}}, {{{"1234567890123456789012345"}}});
  EXPECT_EQ(parse(numeric).fields[0].length, 25);

  // Empty descriptors (type 0, length 0) after the last field, with or without the
  // terminator after them.
  for (bool terminator : {true, false}) {
    auto trailingEmpty = makeTable(kFields, kRows);
    const size_t end = 32 + 32 * 6;
    trailingEmpty.insert(trailingEmpty.begin() + static_cast<long>(end), 32, 0);
    const size_t headerLength = end + 32 + (terminator ? 1 : 0);
    if (!terminator) trailingEmpty.erase(trailingEmpty.begin() + static_cast<long>(end + 32));
    putU16(&trailingEmpty[8], static_cast<uint16_t>(headerLength));
    t = parse(trailingEmpty);
    EXPECT_EQ(t.fields.size(), 6u) << terminator;
    EXPECT_EQ(t.recordCount, 2u);
  }

  // A last field of an unknown type and no length (another writer keeps an index tag's
  // name there): it takes no byte and no expression may name it.
  auto tagged = makeTable({{"CODE", 'C', 4}, {"N", 'N', 3}, {"CODE_TAG", static_cast<char>(0x88), 0}},
                          {{{"AB", "7"}}, {{"CD", "12"}}});
  t = parse(tagged);
  ASSERT_EQ(t.fields.size(), 3u);
  EXPECT_EQ(t.fields[2].name, "CODE_TAG");
  EXPECT_EQ(t.fields[2].length, 0);
  EXPECT_EQ(t.fields[2].offset, 8);
  EXPECT_EQ(t.recordLength, 8);
  EXPECT_NO_THROW(Expression("CODE+STR(N,3)", t.fields));
  try {
    Expression("CODE+CODE_TAG", t.fields);
    ADD_FAILURE() << "an expression named a field without data";
  } catch (const ExpressionError& e) {
    EXPECT_THAT(e.what(), HasSubstr("CODE_TAG cannot be used in an expression"));
  }

  // Descriptors filling the header exactly, no terminator (a byte short of the usual).
  auto unterminated = makeTable(kFields, kRows);
  unterminated.erase(unterminated.begin() + 32 + 32 * 6);
  putU16(&unterminated[8], static_cast<uint16_t>(32 + 32 * 6));
  t = parse(unterminated);
  EXPECT_EQ(t.fields.size(), 6u);
  EXPECT_EQ(t.headerLength, 32 + 32 * 6);
}

TEST(TableHeader, EveryTruncationFailsWithoutCrashing) {
  const auto good = makeTable(kFields, kRows, TableOptions{0x03, true, 0, false});
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_THROW(parse(cut), Failure) << n;
  }
  EXPECT_NO_THROW(parse(good));
}

TEST(RecordReader, ReadsEveryRecordAcrossChunks) {
  std::vector<Row> rows;
  for (int i = 0; i < 1000; ++i) rows.push_back({{"R" + std::to_string(i), std::to_string(i)}, i % 7 == 0});
  auto bytes = makeTable({{"CODE", 'C', 6}, {"N", 'N', 5}}, rows);
  MemorySource src(bytes);
  TableHeader t = readTableHeader(src, "R.DBF");
  RecordReader reader(t, src, 100);  // a few records per chunk
  uint32_t n = 0;
  while (const uint8_t* r = reader.next()) {
    ++n;
    EXPECT_EQ(reader.recordNumber(), n);
    EXPECT_EQ(r[0], (n - 1) % 7 == 0 ? '*' : ' ');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 1), 6),
              ("R" + std::to_string(n - 1) + "     ").substr(0, 6));
  }
  EXPECT_EQ(n, 1000u);
}

}  // namespace
