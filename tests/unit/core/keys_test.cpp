#include "idapi/core/keys.h"
#include "table_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using namespace idapi::core;

using testing_tables::hex;

namespace {

std::vector<uint8_t> numericKey(const std::string& text) {
  std::vector<uint8_t> k(12);
  EXPECT_TRUE(encodeNumericText(text, k.data())) << text;
  return k;
}

std::vector<uint8_t> computedKey(double x) {
  Value v;
  v.type = ValueType::Numeric;
  v.number = x;
  std::vector<uint8_t> k(12);
  encodeNumericKey(v, k.data());
  return k;
}

TEST(NumericKeys, EveryWorkedExampleFromFieldText) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"0", "34 01 00 00 00 00 00 00 00 00 00 00"},
      {"      ", "34 01 00 00 00 00 00 00 00 00 00 00"},  // empty field
      {"1", "35 05 10 00 00 00 00 00 00 00 00 00"},
      {"-1", "35 85 10 00 00 00 00 00 00 00 00 00"},
      {"100", "37 05 10 00 00 00 00 00 00 00 00 00"},
      {"  1500", "38 09 15 00 00 00 00 00 00 00 00 00"},
      {"123.45", "37 15 12 34 50 00 00 00 00 00 00 00"},
      {"-123.45", "37 95 12 34 50 00 00 00 00 00 00 00"},
      {"12.50", "36 0D 12 50 00 00 00 00 00 00 00 00"},
      {"-12.30", "36 8D 12 30 00 00 00 00 00 00 00 00"},
      {"0.005", "32 05 50 00 00 00 00 00 00 00 00 00"},
      {"0.0001", "31 05 10 00 00 00 00 00 00 00 00 00"},
      {"-0.5", "34 85 50 00 00 00 00 00 00 00 00 00"},
      {"1234567", "3B 1D 12 34 56 70 00 00 00 00 00 00"},
      {"99999999.99", "3C 29 99 99 99 99 99 00 00 00 00 00"},
      {"1002", "38 11 10 02 00 00 00 00 00 00 00 00"},
      {"-0.00", "34 01 00 00 00 00 00 00 00 00 00 00"},  // negative zero is zero
      {"  .5", "34 05 50 00 00 00 00 00 00 00 00 00"},
      {"007", "35 05 70 00 00 00 00 00 00 00 00 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(numericKey(c.text), hex(c.bytes)) << c.text;
  uint8_t k[12];
  EXPECT_FALSE(encodeNumericText("12a", k));
  EXPECT_FALSE(encodeNumericText("1.2.3", k));
  EXPECT_FALSE(encodeNumericText("***", k));
}

TEST(NumericKeys, ComputedValuesUseFifteenDigits) {
  EXPECT_EQ(computedKey(123.45), hex("37 15 12 34 50 00 00 00 00 00 00 00"));
  EXPECT_EQ(computedKey(0.1 + 0.2), hex("34 05 30 00 00 00 00 00 00 00 00 00"));  // no binary noise
  EXPECT_EQ(computedKey(-1), hex("35 85 10 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(computedKey(0), hex("34 01 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(computedKey(1e-80), computedKey(0));  // below the exponent range
  Value huge;
  huge.type = ValueType::Numeric;
  huge.number = 1e250;
  uint8_t k[12];
  EXPECT_THROW(encodeNumericKey(huge, k), ExpressionError);
}

TEST(NumericKeys, TextOfKeysRoundTrips) {
  for (const char* t : {"0", "1", "-1", "100", "123.45", "-0.005", "99999999.99", "1234567"}) {
    auto k = numericKey(t);
    EXPECT_EQ(numericKeyText(k.data()), t);
  }
}

TEST(NumericKeys, SortableOrderIsNumericOrder) {
  std::mt19937 rng(7);
  std::vector<std::string> texts = {"0", "-0.001", "0.001", "1", "-1", "10", "-10", "9.99", "-9.99", "100", "0.5"};
  std::uniform_int_distribution<int> digits(0, 999999);
  for (int i = 0; i < 300; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%d.%02d", i % 3 == 0 ? "-" : "", digits(rng) % (i % 7 == 0 ? 10 : 100000),
                  digits(rng) % 100);
    texts.push_back(buf);
  }
  for (const auto& a : texts) {
    for (const auto& b : texts) {
      uint8_t sa[12], sb[12];
      auto ka = numericKey(a), kb = numericKey(b);
      toSortable('N', ka.data(), 12, sa);
      toSortable('N', kb.data(), 12, sb);
      const double x = std::stod(a), y = std::stod(b);
      const int c = std::memcmp(sa, sb, 12);
      EXPECT_EQ(c < 0, x < y) << a << " vs " << b;
      EXPECT_EQ(c == 0, x == y) << a << " vs " << b;
    }
    // The on-disk key comes back exactly from its sortable form.
    uint8_t s[12], back[12];
    auto k = numericKey(a);
    toSortable('N', k.data(), 12, s);
    fromSortable('N', s, 12, back);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 12), k) << a;
    EXPECT_TRUE(wellFormedKey('N', k.data(), 12));
  }
}

TEST(NumericKeys, MalformedKeysAreRecognised) {
  auto k = numericKey("123.45");
  EXPECT_TRUE(wellFormedKey('N', k.data(), 12));
  auto bad = k;
  bad[1] = 0x14;  // low bits must be 01
  EXPECT_FALSE(wellFormedKey('N', bad.data(), 12));
  bad = k;
  bad[3] = 0x3A;  // not a decimal digit
  EXPECT_FALSE(wellFormedKey('N', bad.data(), 12));
  bad = k;
  bad[1] = 0x09;  // claims 2 digits, holds 5
  EXPECT_FALSE(wellFormedKey('N', bad.data(), 12));
  bad = numericKey("0");
  bad[1] = 0x81;  // signed zero
  EXPECT_FALSE(wellFormedKey('N', bad.data(), 12));
  // Other writers' digit counts (rounded up to even, trailing zeros kept) are accepted.
  auto even = numericKey("123.45");
  even[1] = 0x19;
  EXPECT_TRUE(wellFormedKey('N', even.data(), 12));
}

TEST(DateKeys, JulianDayDoubles) {
  struct Case {
    const char* date;
    const char* bytes;
  } cases[] = {
      {"20231231", "00 00 00 00 4B C5 42 41"}, {"20240102", "00 00 00 00 4C C5 42 41"},
      {"20240315", "00 00 00 80 70 C5 42 41"}, {"19810101", "00 00 00 00 9F A6 42 41"},
      {"        ", "7D C3 94 25 AD 49 B2 54"},  // 1.0E+100
  };
  for (const auto& c : cases) {
    uint8_t k[8];
    encodeDateKey(julianFromText(c.date), k);
    EXPECT_EQ(std::vector<uint8_t>(k, k + 8), hex(c.bytes)) << c.date;
    EXPECT_TRUE(wellFormedKey('D', k, 8));
  }
  uint8_t early[8], late[8], empty[8], s1[8], s2[8], s0[8];
  encodeDateKey(julianDay(1999, 12, 31), early);
  encodeDateKey(julianDay(2000, 1, 1), late);
  encodeDateKey(0, empty);
  toSortable('D', early, 8, s1);
  toSortable('D', late, 8, s2);
  toSortable('D', empty, 8, s0);
  EXPECT_LT(std::memcmp(s1, s2, 8), 0);
  EXPECT_GT(std::memcmp(s0, s2, 8), 0);  // the empty date sorts after every date
  uint8_t zero[8];
  encodeDateKey(0, zero, true);  // the older writers' blank: 0.0, sorting first
  EXPECT_EQ(std::vector<uint8_t>(zero, zero + 8), hex("00 00 00 00 00 00 00 00"));
  EXPECT_TRUE(wellFormedKey('D', zero, 8));
  toSortable('D', zero, 8, s0);
  EXPECT_LT(std::memcmp(s0, s1, 8), 0);
  uint8_t back[8];
  fromSortable('D', s1, 8, back);
  EXPECT_EQ(std::memcmp(back, early, 8), 0);
  uint8_t half[8];
  encodeDateKey(0, half);
  half[6] = 0xF8;
  half[7] = 0x3F;  // 1.5: not a day number
  EXPECT_FALSE(wellFormedKey('D', half, 8));
}

}  // namespace
