#include "idapi/core/expr.h"

#include <gtest/gtest.h>

#include "table_builder.h"

using namespace idapi::core;
using testing_tables::FieldDef;
using testing_tables::Row;

namespace {

class ExprTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<FieldDef> fields = {{"NAME", 'C', 10}, {"FIRST", 'C', 8},  {"QTY", 'N', 5},   {"PRICE", 'N', 8, 2},
                                    {"BORN", 'D', 8},  {"ACTIVE", 'L', 1}, {"EMPTYD", 'D', 8}};
    rows_ = {{{"Dupont", "Jean", "12", "123.45", "19700102", "T", ""}},
             {{"  Lee", "", "-3", "-0.50", "20240229", "F", ""}, true}};
    bytes_ = testing_tables::makeTable(fields, rows_);
    MemorySource src(bytes_);
    table_ = readTableHeader(src, "T.DBF");
  }

  const uint8_t* record(int n) const { return bytes_.data() + table_.headerLength + (n - 1) * table_.recordLength; }

  Value eval(const std::string& text, int rec = 1) const {
    Expression e(text, table_.fields, context_);
    return e.evaluate(record(rec), static_cast<uint32_t>(rec));
  }
  std::string text(const std::string& t, int rec = 1) const { return eval(t, rec).text; }
  uint16_t length(const std::string& t) const { return Expression(t, table_.fields, context_).length(); }
  ValueType type(const std::string& t) const { return Expression(t, table_.fields, context_).type(); }

  ExpressionContext context_{"T", LanguageRules::binary()};

  std::vector<Row> rows_;
  std::vector<uint8_t> bytes_;
  TableHeader table_;
};

TEST_F(ExprTest, FieldReferencesKeepRawBytesAndLengths) {
  EXPECT_EQ(text("NAME"), "Dupont    ");
  EXPECT_EQ(length("NAME"), 10);
  EXPECT_EQ(text("name"), "Dupont    ");  // names are case-insensitive
  EXPECT_EQ(text("T->NAME"), "Dupont    ");
  EXPECT_EQ(eval("QTY").number, 12);
  EXPECT_EQ(eval("QTY").text, "12");
  EXPECT_EQ(eval("PRICE", 2).text, "-0.50");
  EXPECT_EQ(type("BORN"), ValueType::Date);
  EXPECT_EQ(eval("BORN").julian, julianDay(1970, 1, 2));
  EXPECT_EQ(eval("EMPTYD").julian, 0);
  EXPECT_TRUE(eval("ACTIVE").logical);
  EXPECT_FALSE(eval("ACTIVE", 2).logical);
}

TEST_F(ExprTest, PlusConcatenatesAndMinusMovesTrailingBlanks) {
  EXPECT_EQ(text("NAME+FIRST"), "Dupont    Jean    ");
  EXPECT_EQ(length("NAME+FIRST"), 18);
  EXPECT_EQ(text("NAME-FIRST"), "DupontJean        ");
  EXPECT_EQ(length("NAME-FIRST"), 18);
  EXPECT_EQ(text("\"AB  \" - \"CD\""), "ABCD  ");
  EXPECT_EQ(text("'AB' - 'CD'"), "ABCD");
  // Leading blanks stay where they are; a blank left side moves entirely.
  EXPECT_EQ(text("NAME-FIRST", 2),
            "  Lee        "
            "     ");
  EXPECT_EQ(text("[    ]-'X'"), "X    ");
  EXPECT_EQ(text("NAME-FIRST-'!'"), "DupontJean!        ");
}

TEST_F(ExprTest, CaseAndSubstringFunctions) {
  EXPECT_EQ(text("UPPER(NAME)"), "DUPONT    ");
  EXPECT_EQ(text("LOWER(NAME)"), "dupont    ");
  EXPECT_EQ(text("UPPER('é')"), "é");  // only ASCII letters change
  EXPECT_EQ(text("SUBSTR(NAME,2,3)"), "upo");
  EXPECT_EQ(length("SUBSTR(NAME,2,3)"), 3);
  EXPECT_EQ(text("SUBSTR(NAME,8)"), "   ");
  EXPECT_EQ(length("SUBSTR(NAME,8)"), 3);
  EXPECT_EQ(text("SUBSTR(NAME,20,2)"), "");
  EXPECT_EQ(length("SUBSTR(NAME,20,2)"), 0);
  EXPECT_EQ(length("SUBSTR(NAME,9,5)"), 2);
  EXPECT_EQ(text("LEFT(NAME,3)"), "Dup");
  EXPECT_EQ(text("RIGHT(NAME,5)"), "t    ");
  EXPECT_EQ(text("RIGHT(TRIM(NAME),3)"), "ont");
  EXPECT_EQ(length("LEFT(NAME,30)"), 10);
  EXPECT_EQ(text("SUBS(NAME,1,2)"), "Du");  // four-letter abbreviation
}

TEST_F(ExprTest, TrimFunctionsKeepDeclaredLength) {
  EXPECT_EQ(text("TRIM(NAME)"), "Dupont");
  EXPECT_EQ(length("TRIM(NAME)"), 10);
  EXPECT_EQ(text("RTRIM(NAME)", 2), "  Lee");
  EXPECT_EQ(text("LTRIM(NAME)", 2), "Lee     ");
  EXPECT_EQ(text("ALLTRIM(NAME)", 2), "Lee");
  EXPECT_EQ(text("TRIM(NAME)+FIRST"), "DupontJean    ");
  EXPECT_EQ(length("TRIM(NAME)+FIRST"), 18);
}

TEST_F(ExprTest, DateFunctionsAndArithmetic) {
  EXPECT_EQ(text("DTOS(BORN)"), "19700102");
  EXPECT_EQ(text("DTOS(EMPTYD)"), "        ");
  EXPECT_EQ(length("DTOS(BORN)"), 8);
  EXPECT_EQ(text("DTOS(BORN+30)"), "19700201");
  EXPECT_EQ(text("DTOS(BORN-2)"), "19691231");
  EXPECT_EQ(text("DTOS(1+BORN)", 2), "20240301");  // leap day + 1
  EXPECT_EQ(eval("BORN-BORN").number, 0);
  EXPECT_EQ(type("BORN-BORN"), ValueType::Numeric);
  EXPECT_EQ(eval("EMPTYD+5").julian, 0);
  EXPECT_EQ(eval("YEAR(BORN)").number, 1970);
  EXPECT_EQ(text("DTOS(BORN)+NAME"), "19700102Dupont    ");
}

TEST_F(ExprTest, StrValAndNumbers) {
  EXPECT_EQ(text("STR(QTY)"), "        12");
  EXPECT_EQ(length("STR(QTY)"), 10);
  EXPECT_EQ(text("STR(QTY,5)"), "   12");
  EXPECT_EQ(text("STR(PRICE,8,1)"), "   123.5");  // rounded
  EXPECT_EQ(text("STR(PRICE,3)"), "123");
  EXPECT_EQ(text("STR(PRICE,2)"), "**");        // too wide
  EXPECT_EQ(text("STR(PRICE,5)", 2), "   -1");  // -0.5 rounds away from zero
  EXPECT_EQ(text("STR(-0.4,3)"), "  0");        // no negative zero
  EXPECT_EQ(text("STR(QTY,3)+NAME"), " 12Dupont    ");
  EXPECT_EQ(eval("VAL('  12.50xyz')").number, 12.5);
  EXPECT_EQ(eval("VAL('  12.50xyz')").text, "12.50");
  EXPECT_EQ(eval("VAL('abc')").number, 0);
  EXPECT_EQ(eval("VAL('-7')").number, -7);
  EXPECT_EQ(eval("QTY*PRICE").number, 12 * 123.45);
  EXPECT_EQ(eval("QTY*PRICE").text, "1481.4");  // decimal arithmetic: exact
  EXPECT_EQ(eval("2^0.5").text, "");            // binary: no exact text
  EXPECT_EQ(eval("-QTY").text, "-12");
  EXPECT_EQ(eval("2^10").number, 1024);
  EXPECT_EQ(eval("7 - 2 * 3").number, 1);
  EXPECT_EQ(eval("(7 - 2) * 3").number, 15);
  EXPECT_EQ(eval("RECNO()", 2).number, 2);
  EXPECT_EQ(eval("ABS(QTY)", 2).number, 3);
}

TEST_F(ExprTest, ConditionsAndIif) {
  EXPECT_TRUE(eval(".NOT. DELETED()").logical);
  EXPECT_TRUE(eval("DELETED()", 2).logical);
  EXPECT_TRUE(eval("QTY > 10 .AND. PRICE < 200").logical);
  EXPECT_FALSE(eval("QTY > 10 .AND. PRICE < 100").logical);
  EXPECT_TRUE(eval("QTY > 100 .OR. ACTIVE").logical);
  EXPECT_TRUE(eval("!ACTIVE", 2).logical);
  EXPECT_TRUE(eval(".not. qty = 3").logical);
  EXPECT_TRUE(eval("NAME = 'Dup'").logical);  // compares as far as the right side goes
  EXPECT_FALSE(eval("NAME == 'Dup'").logical);
  EXPECT_TRUE(eval("NAME <> 'Lee'").logical);
  EXPECT_TRUE(eval("NAME # 'Lee'").logical);
  EXPECT_TRUE(eval("'pon' $ NAME").logical);
  EXPECT_TRUE(eval("NAME < 'E'").logical);
  EXPECT_TRUE(eval("BORN >= EMPTYD").logical);
  EXPECT_EQ(text("IIF(ACTIVE, 'yes', 'no')"), "yes");
  EXPECT_EQ(text("IIF(ACTIVE, 'yes', 'no')", 2), "no ");
  EXPECT_EQ(length("IIF(ACTIVE, 'yes', 'no')"), 3);
  EXPECT_EQ(text("IIF(ACTIVE, 'yes', 'no') + '|'", 2), "no |");
  EXPECT_EQ(eval("IIF(QTY > 0, QTY, 0)", 2).number, 0);
  EXPECT_TRUE(eval(".T. .AND. .NOT. .F.").logical);
}

TEST_F(ExprTest, ErrorsAreReportedNotGuessed) {
  const char* bad[] = {
      "",                      // empty
      "NOSUCH",                // unknown field
      "NOSUCHFN(NAME)",        // unknown function
      "UPPER(NAME",            // unbalanced
      "UPPER(NAME))",          // trailing text
      "NAME + QTY",            // type mismatch
      "QTY + 'a'",             // type mismatch
      "SUBSTR(NAME, QTY, 2)",  // start must be a constant
      "SUBSTR(NAME, 0, 2)",    // start below 1
      "LEFT(NAME, -1)",        // negative length
      "STR(QTY, 300)",         // width out of range
      "UPPER(QTY)",            // wrong argument type
      "UPPER()",               // wrong arity
      "IIF(ACTIVE, 'a', 1)",   // branches differ
      "'unterminated",
      "NAME .XOR. NAME",
      "ACTIVE < ACTIVE",
      "QTY @ 2",
      "DE(NAME)",  // abbreviation shorter than four letters
  };
  for (const char* b : bad) EXPECT_THROW(Expression(b, table_.fields), ExpressionError) << b;
  std::string deep(200, '(');
  EXPECT_THROW(Expression(deep + "1" + std::string(200, ')'), table_.fields), ExpressionError);
  std::string power = "2";
  for (int i = 0; i < 100; ++i) power += "^2";
  EXPECT_THROW(Expression(power, table_.fields), ExpressionError);
  std::string longSum = "QTY";
  while (longSum.size() < 5000) longSum += "+QTY";
  EXPECT_THROW(Expression(longSum, table_.fields), ExpressionError);
  // A run-time fault is an error too, never a silent value.
  Expression div("QTY / (QTY - 12)", table_.fields);
  EXPECT_THROW(div.evaluate(record(1), 1), ExpressionError);
}

TEST(JulianDays, KnownDatesAndRoundTrip) {
  EXPECT_EQ(julianDay(2024, 3, 15), 2460385);
  EXPECT_EQ(julianDay(2023, 12, 31), 2460310);
  EXPECT_EQ(julianDay(1981, 1, 1), 2444606);
  EXPECT_EQ(julianDay(1, 1, 1), 1721426);
  for (int32_t jd = 1721426; jd < 1721426 + 3700000; jd += 997) {
    int y, m, d;
    civilDate(jd, y, m, d);
    EXPECT_EQ(julianDay(y, m, d), jd);
  }
  EXPECT_EQ(julianFromText("20240229"), julianDay(2024, 2, 29));
  EXPECT_EQ(julianFromText("20230229"), 0);  // no such day
  EXPECT_EQ(julianFromText("20241301"), 0);
  EXPECT_EQ(julianFromText("        "), 0);
  EXPECT_EQ(julianFromText("00000000"), 0);
}

}  // namespace
