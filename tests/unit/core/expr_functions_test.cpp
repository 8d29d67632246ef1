// The functions and forms of real index keys, checked against values worked out by
// hand or by plain integer arithmetic in the test; and what the engine refuses because
// an index cannot reproduce it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <tuple>

#include <unistd.h>

#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/keys.h"
#include "table_builder.h"
#include "support/throws.h"

using namespace idapi::core;
using testing_tables::FieldDef;
using testing_tables::Row;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Throws;
using testsupport::CodeAndText;

class Functions : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<FieldDef> fields = {{"NAME", 'C', 10}, {"QTY", 'N', 5}, {"PRICE", 'N', 8, 2},
                                          {"BORN", 'D', 8},  {"OK", 'L', 1},  {"CODE", 'C', 6}};
    bytes_ = testing_tables::makeTable(fields, {{{"Dupont", "12", "123.45", "20240315", "T", "AB-12"}},
                                                {{"", "", "0", "", "", "      "}},
                                                {{"  Lee", "0", "-7.50", "19700101", "F", "x"}}});
    MemorySource src(bytes_);
    table_ = readTableHeader(src, "CLIENT.DBF");
  }
  const uint8_t* record(int n) const { return bytes_.data() + table_.headerLength + (n - 1) * table_.recordLength; }
  Value eval(const std::string& text, int rec = 1) const {
    Expression e(text, table_.fields, context_);
    return e.evaluate(record(rec), static_cast<uint32_t>(rec));
  }
  std::string text(const std::string& t, int rec = 1) const { return eval(t, rec).text; }
  double number(const std::string& t, int rec = 1) const { return eval(t, rec).number; }
  bool logical(const std::string& t, int rec = 1) const { return eval(t, rec).logical; }
  uint16_t length(const std::string& t) const { return Expression(t, table_.fields, context_).length(); }
  std::string refusal(const std::string& t) const {
    try {
      Expression e(t, table_.fields, context_);
    } catch (const ExpressionError& e) {
      return e.what();
    }
    return "(accepted)";
  }

  std::vector<uint8_t> bytes_;
  TableHeader table_;
  ExpressionContext context_{"CLIENT", LanguageRules::binary()};
};

TEST_F(Functions, LiteralsSpacingAndTheTablesOwnAlias) {
  EXPECT_TRUE(logical(".TRUE."));
  EXPECT_FALSE(logical(".false."));
  EXPECT_TRUE(logical(".T. .AND. .NOT. .FALSE."));
  EXPECT_EQ(text("UPPER (NAME)"), "DUPONT    ");
  EXPECT_EQ(text("SUBSTR ( NAME , 2 , 3 )"), "upo");
  EXPECT_EQ(text("CLIENT->NAME"), "Dupont    ");
  EXPECT_EQ(text("client->name + CLIENT -> CODE"), "Dupont    AB-12 ");
  EXPECT_NE(refusal("FACT->NAME").find("another table"), std::string::npos);
  EXPECT_NE(refusal("M->NAME").find("another table"), std::string::npos);
  EXPECT_NE(refusal("A->NAME").find("another table"), std::string::npos);
}

TEST_F(Functions, TextFunctionsGiveHandWorkedValues) {
  EXPECT_EQ(number("AT('pon', NAME)"), 3);
  EXPECT_EQ(number("AT('x', NAME)"), 0);
  EXPECT_EQ(number("AT('', NAME)"), 0);
  EXPECT_EQ(number("AT('-', CODE)"), 3);
  EXPECT_EQ(text("CHR(65) + CHR(233)"), "A\xE9");
  EXPECT_EQ(length("CHR(65)"), 1);
  EXPECT_EQ(number("ASC(NAME)"), 68);
  EXPECT_EQ(number("ASC(TRIM(NAME))", 2), 0);  // empty text
  EXPECT_EQ(number("ASC(CHR(200))"), 200);
  EXPECT_EQ(number("LEN(NAME)"), 10);
  EXPECT_EQ(number("LEN(TRIM(NAME))"), 6);
  EXPECT_EQ(number("LEN(TRIM(NAME))", 2), 0);
  EXPECT_EQ(text("SPACE(3) + 'x'"), "   x");
  EXPECT_EQ(length("SPACE(4)"), 4);
  EXPECT_EQ(text("REPLICATE('ab', 3)"), "ababab");
  EXPECT_EQ(length("REPLICATE(CODE, 2)"), 12);
  EXPECT_EQ(text("REPLICATE(TRIM(CODE), 2)"), "AB-12AB-12");
  EXPECT_EQ(text("REPLICATE('x', 0)"), "");
  // STUFF(text, start, count, insert)
  EXPECT_EQ(text("STUFF('abcdef', 3, 2, 'XYZ')"), "abXYZef");
  EXPECT_EQ(text("STUFF('abcdef', 1, 0, '>')"), ">abcdef");
  EXPECT_EQ(text("STUFF('abcdef', 5, 10, '')"), "abcd");
  EXPECT_EQ(text("STUFF('abc', 9, 1, 'z')"), "abcz");  // past the end: appended
  EXPECT_EQ(text("STUFF(CODE, 3, 1, '')"), "AB12 ");
  EXPECT_EQ(length("STUFF(CODE, 3, 1, '')"), 5);
  EXPECT_EQ(length("STUFF(CODE, QTY, 1, 'ab')"), 8);  // start unknown: the longest result
  EXPECT_EQ(text("STUFF(CODE, QTY - 10, 1, '/')"), "A/-12 ");
  // SOUNDEX: published codes of the classic algorithm.
  const std::pair<const char*, const char*> sounds[] = {{"Robert", "R163"},   {"Rupert", "R163"},  {"Rubin", "R150"},
                                                        {"Ashcraft", "A261"}, {"Tymczak", "T522"}, {"Pfister", "P236"},
                                                        {"Honeyman", "H555"}, {"Lee", "L000"},     {"  lloyd", "L300"},
                                                        {"1abc", "0000"},     {"", "0000"},        {"O'Hara", "O000"}};
  for (const auto& [word, code] : sounds) EXPECT_EQ(text(std::string("SOUNDEX([") + word + "])"), code) << word;
  EXPECT_EQ(length("SOUNDEX(NAME)"), 4);
  // Whether an accented letter is a letter, and which, is not known: refused, unless
  // the code is complete before it.
  EXPECT_THROW(eval("SOUNDEX('B\xE9nard')"), ExpressionError);
  EXPECT_THROW(eval("SOUNDEX('\xC9mile')"), ExpressionError);
  EXPECT_EQ(text("SOUNDEX('Robert\xE9')"), "R163");
  EXPECT_EQ(text("SOUNDEX(NAME)"), "D153");
}

TEST_F(Functions, EmptyAndIsblankTellZeroFromBlank) {
  EXPECT_FALSE(logical("EMPTY(NAME)"));
  EXPECT_TRUE(logical("EMPTY(NAME)", 2));
  EXPECT_TRUE(logical("EMPTY(QTY)", 2));  // a blank number is zero
  EXPECT_TRUE(logical("EMPTY(QTY)", 3));
  EXPECT_TRUE(logical("ISBLANK(QTY)", 2));
  EXPECT_FALSE(logical("ISBLANK(QTY)", 3));  // 0 is written, not blank
  EXPECT_FALSE(logical("ISBLANK(QTY * 1)", 2));
  EXPECT_TRUE(logical("EMPTY(BORN)", 2));
  EXPECT_TRUE(logical("ISBLANK(BORN)", 2));
  EXPECT_FALSE(logical("EMPTY(BORN)"));
  EXPECT_TRUE(logical("EMPTY(OK)", 3));  // .F.
  EXPECT_FALSE(logical("ISBLANK(OK)", 3));
  EXPECT_TRUE(logical("ISBLANK(OK)", 2));
  EXPECT_TRUE(logical("EMPTY(CODE)", 2));
  EXPECT_TRUE(logical("EMPTY('')"));
  EXPECT_TRUE(logical("BORN = CTOD('  /  /  ')", 2));  // the usual test for an empty date
  EXPECT_TRUE(logical("EMPTY(CTOD(''))"));
  EXPECT_EQ(number("DOW(BORN)"), 6);     // 15 March 2024 was a Friday
  EXPECT_EQ(number("DOW(BORN)", 3), 5);  // 1 January 1970 was a Thursday
  EXPECT_EQ(number("DOW(BORN)", 2), 0);
}

// MOD and ROUND against integer arithmetic on thousandths.
TEST_F(Functions, ModAndRoundAgreeWithIntegerArithmetic) {
  auto decimal = [](long long thousandths) {
    const long long a = thousandths < 0 ? -thousandths : thousandths;
    std::string s = std::to_string(a / 1000) + "." + std::string(3 - std::to_string(a % 1000).size(), '0') +
                    std::to_string(a % 1000);
    return (thousandths < 0 ? "-" : "") + s;
  };
  std::mt19937_64 rng(9);
  for (int i = 0; i < 3000; ++i) {
    const long long x = static_cast<long long>(rng() % 20000001) - 10000000;  // -10000.000 .. 10000.000
    const int d = static_cast<int>(rng() % 6) - 2;                            // -2 .. 3
    // Round half away from zero in integers: unit = 10^(3-d) thousandths.
    long long unit = 1;
    for (int k = 0; k < 3 - d; ++k) unit *= 10;
    const long long a = x < 0 ? -x : x;
    long long r = (a / unit) * unit + ((a % unit) * 2 >= unit ? unit : 0);
    if (x < 0) r = -r;
    const std::string expr = "ROUND(" + decimal(x) + ", " + std::to_string(d) + ")";
    const Value v = eval(expr);
    EXPECT_DOUBLE_EQ(v.number, static_cast<double>(r) / 1000) << expr;

    long long m = static_cast<long long>(rng() % 2001) - 1000;
    if (m == 0) m = 7;
    // The remainder takes the sign of the divisor.
    long long mod = x % (m * 1000);
    if (mod != 0 && ((mod < 0) != (m < 0))) mod += m * 1000;
    const std::string mexpr = "MOD(" + decimal(x) + ", " + std::to_string(m) + ")";
    EXPECT_NEAR(number(mexpr), static_cast<double>(mod) / 1000, 1e-6) << mexpr;
  }
  EXPECT_EQ(number("MOD(-1, 3)"), 2);
  EXPECT_EQ(number("MOD(1, -3)"), -2);
  EXPECT_EQ(number("MOD(5.5, 2)"), 1.5);
  EXPECT_EQ(number("ROUND(PRICE, 1)"), 123.5);
  EXPECT_EQ(number("ROUND(PRICE, 1)", 3), -7.5);
  EXPECT_EQ(number("ROUND(PRICE, 0)", 3), -8);
  EXPECT_EQ(number("ROUND(1250, -2)"), 1300);
  EXPECT_EQ(eval("ROUND(2.675, 2)").text, "2.68");  // as written, not as the nearest double
  EXPECT_THROW(eval("MOD(QTY, 0)"), ExpressionError);
  EXPECT_THROW(eval("CHR(256)"), ExpressionError);
}

TEST_F(Functions, WhatAnIndexCannotReproduceIsRefusedWithItsReason) {
  EXPECT_NE(refusal("DTOC(BORN)").find("date setting"), std::string::npos);
  EXPECT_NE(refusal("CTOD('03/15/2024')").find("date setting"), std::string::npos);
  EXPECT_NE(refusal("CTOD(NAME)").find("date setting"), std::string::npos);
  EXPECT_NE(refusal("DTOS(DATE())").find("day of the rebuild"), std::string::npos);
  EXPECT_NE(refusal("CDOW(BORN)").find("language setting"), std::string::npos);
  EXPECT_NE(refusal("CMON(BORN)").find("language setting"), std::string::npos);  // abbreviated
  EXPECT_EQ(refusal("SPACE(QTY)").find("(accepted)"), std::string::npos);
  EXPECT_EQ(refusal("REPLICATE('ab', 200)").find("(accepted)"), std::string::npos);

  // Through a tag: the index's own error code, naming the tag, its expression and why.
  for (const auto& [key, cond, reason] :
       {std::tuple<std::string, std::string, std::string>{"DTOC(BORN)", "", "date setting"},
        {"NAME", "FACT->QTY > 0", "another table"},
        {"CLIENT->NAME", "CDOW(BORN) = 'Friday'", "language setting"}}) {
    TagDefinition tag;
    tag.name = "BAD";
    tag.keyExpression = key;
    tag.forExpression = cond;
    tag.keyType = 'C';
    tag.keyLength = 10;
    EXPECT_THAT([&] { TagKeys keys(table_, tag, "CLIENT.MDX"); },
                Throws<Failure>(CodeAndText(0x2305, AllOf(HasSubstr("CLIENT.MDX: tag BAD"), HasSubstr(reason)))))
        << key;
  }
  // The table's own alias is the index's base name, in any case.
  TagDefinition own;
  own.name = "OWN";
  own.keyExpression = "Client->NAME";
  own.keyType = 'C';
  own.keyLength = 10;
  EXPECT_NO_THROW(TagKeys(table_, own, "client.mdx"));
}

// Every function of the library with its result type and declared length (worked out
// by hand from the fields), in full and shortened to four letters.
TEST_F(Functions, EveryFunctionHasItsResultTypeAndLength) {
  const std::vector<std::tuple<std::string, ValueType, uint16_t>> calls = {
      {"UPPER(NAME)", ValueType::Character, 10},
      {"LOWER(NAME)", ValueType::Character, 10},
      {"SUBSTR(NAME, 2, 3)", ValueType::Character, 3},
      {"LEFT(NAME, 4)", ValueType::Character, 4},
      {"RIGHT(NAME, 4)", ValueType::Character, 4},
      {"TRIM(NAME)", ValueType::Character, 10},
      {"RTRIM(NAME)", ValueType::Character, 10},
      {"LTRIM(NAME)", ValueType::Character, 10},
      {"ALLTRIM(NAME)", ValueType::Character, 10},
      {"DTOS(BORN)", ValueType::Character, 8},
      {"STR(PRICE, 8, 2)", ValueType::Character, 8},
      {"VAL(CODE)", ValueType::Numeric, 20},
      {"IIF(OK, NAME, CODE)", ValueType::Character, 10},
      {"RECNO()", ValueType::Numeric, 10},
      {"DELETED()", ValueType::Logical, 1},
      {"YEAR(BORN)", ValueType::Numeric, 4},
      {"MONTH(BORN)", ValueType::Numeric, 2},
      {"DAY(BORN)", ValueType::Numeric, 2},
      {"ABS(PRICE)", ValueType::Numeric, 8},
      {"INT(QTY)", ValueType::Numeric, 5},
      {"AT('A', NAME)", ValueType::Numeric, 5},
      {"CHR(65)", ValueType::Character, 1},
      {"ASC(NAME)", ValueType::Numeric, 3},
      {"LEN(NAME)", ValueType::Numeric, 5},
      {"MOD(QTY, 7)", ValueType::Numeric, 1},
      {"ROUND(PRICE, 1)", ValueType::Numeric, 8},
      {"SPACE(3)", ValueType::Character, 3},
      {"REPLICATE(CODE, 2)", ValueType::Character, 12},
      {"STUFF(NAME, 2, 3, 'xy')", ValueType::Character, 9},
      {"EMPTY(NAME)", ValueType::Logical, 1},
      {"ISBLANK(QTY)", ValueType::Logical, 1},
      {"SOUNDEX(NAME)", ValueType::Character, 4},
      {"CTOD('  /  /  ')", ValueType::Date, 8},
      {"DOW(BORN)", ValueType::Numeric, 1}};
  for (const auto& [call, type, declared] : calls) {
    const std::string name = call.substr(0, call.find('('));
    for (const std::string& form : {call, name.substr(0, 4) + call.substr(name.size())}) {
      try {
        Expression e(form, table_.fields, context_);
        EXPECT_EQ(e.type(), type) << form;
        EXPECT_EQ(e.length(), declared) << form;
      } catch (const ExpressionError& x) {
        ADD_FAILURE() << form << ": " << x.what();
      }
    }
  }
}

// The exact texts of wrong calls: argument counts, argument types (named by the
// function or by the argument's role), unknown and refused names.
TEST_F(Functions, WrongCallsSayExactlyWhatIsWrong) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"UPPER(QTY)", "UPPER needs a character value, not numeric"},
      {"UPPE(QTY)", "UPPER needs a character value, not numeric"},
      {"STUFF(NAME, 'a', 1, 'x')", "the start of STUFF() needs a numeric value, not character"},
      {"STUFF(NAME, 1, 'a', 'x')", "the count of STUFF() needs a numeric value, not character"},
      {"STUFF(NAME, 1, 1, 2)", "STUFF needs a character value, not numeric"},
      {"IIF(NAME, 1, 2)", "the condition of IIF() needs a logical value, not character"},
      {"IIF(OK, 1, NAME)", "the two results of IIF() have different types"},
      {"MOD(QTY, NAME)", "MOD needs a numeric value, not character"},
      {"SUBSTR(NAME)", "SUBSTR() takes 2 to 3 arguments"},
      {"STR()", "STR() takes 1 to 3 arguments"},
      {"UPPER()", "UPPER() takes 1 argument"},
      {"LEFT(NAME)", "LEFT() takes 2 arguments"},
      {"RECNO(1)", "RECNO() takes 0 arguments"},
      {"SUBSTR(NAME, QTY)", "the start of SUBSTR() must be a constant number"},
      {"LEFT(NAME, -1)", "the length of LEFT() must not be negative"},
      {"NOSUCH(1)", "unknown function NOSUCH"},
      {"UPP(NAME)", "unknown function UPP"},
      {"DATE()", "DATE() depends on the day of the rebuild"},
      {"TIME(1, 2)", "TIME() depends on the day of the rebuild"},
      {"CMONTH(BORN)", "CMONTH() depends on the language setting, which the index does not record"},
      {"DTOC(BORN)", "DTOC() writes the date by the date setting, which the index does not record"}};
  for (const auto& [call, text] : cases) EXPECT_EQ(refusal(call), text) << call;
}

// A host program that sets a French locale must get the same index, byte for byte.
TEST(LocaleProof, FrenchLocaleGivesByteIdenticalIndexes) {
  const std::vector<FieldDef> fields = {{"NAME", 'C', 12}, {"PRICE", 'N', 9, 2}, {"RATE", 'F', 6, 3}};
  std::vector<Row> rows;
  std::mt19937 rng(4);
  for (int i = 0; i < 400; ++i) {
    char price[16], rate[16];
    std::snprintf(price, sizeof price, "%d.%02d", static_cast<int>(rng() % 5000) - 2500, static_cast<int>(rng() % 100));
    std::snprintf(rate, sizeof rate, "%d.%03d", static_cast<int>(rng() % 10), static_cast<int>(rng() % 1000));
    rows.push_back(
        {{std::string(1, static_cast<char>('a' + rng() % 26)) + "\xE9" + std::to_string(rng() % 90), price, rate}});
  }
  testing_tables::TableOptions o;
  o.languageId = 0x58;
  const auto dbf = testing_tables::makeTable(fields, rows, o);
  MemorySource src(dbf);
  const TableHeader t = readTableHeader(src, "PRIX.DBF");
  auto build = [&] {
    const auto ix = testing_tables::makeIndex(
        t, "PRIX",
        {defineTag(t, "P15", "PRICE * 1.5"), defineTag(t, "SP", "STR(PRICE * 1.25, 12, 3) + UPPER(NAME)"),
         defineTag(t, "HALF", "NAME", "PRICE > 100.5 .AND. RATE < 4.75"), defineTag(t, "VAL", "VAL('1.5') * RATE"),
         defineTag(t, "RND", "ROUND(PRICE / 3, 2)"), defineTag(t, "UN", "UPPER(NAME)", "", true)});
    return testing_tables::rebuild(t, dbf, ix);
  };
  const auto inC = build();
  const std::string before = std::setlocale(LC_ALL, nullptr);
  const char* french = nullptr;
  for (const char* name : {"fr_FR.UTF-8", "fr_FR.utf8", "fr_FR.ISO-8859-1", "fr_FR@euro", "fr_FR"})
    if (std::setlocale(LC_ALL, name)) {
      french = name;
      break;
    }
  if (!french) {
    // No French locale installed: compile one for this process.
    const auto dir = std::filesystem::temp_directory_path() / ("locale_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string cmd = "localedef -i fr_FR -f UTF-8 '" + (dir / "fr_FR.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) {
      ::setenv("LOCPATH", dir.c_str(), 1);
      if (std::setlocale(LC_ALL, "fr_FR.UTF-8")) french = "fr_FR.UTF-8 (compiled for the test)";
    }
  }
  if (!french) GTEST_SKIP() << "no French locale available and localedef could not make one";
  // The locale really reads numbers the French way: the faults this guards against.
  EXPECT_EQ(std::strtod("1.5", nullptr), 1.0) << french;
  const auto inFrench = build();
  std::setlocale(LC_ALL, before.c_str());
  EXPECT_TRUE(inC == inFrench) << "the index depends on the locale " << french;
}

}  // namespace
