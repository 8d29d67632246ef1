#include "idapi/core/keys.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "idapi/core/messages.h"

namespace idapi::core {

namespace {

// Byte order with bytes >= 0x80 first (signed bytes), as a byte-comparable form.
void flipHighBit(uint8_t* key, uint16_t length) {
  for (uint16_t i = 0; i < length; ++i) key[i] ^= 0x80;
}

// Packs a decimal number given as its significant digits (first one non-zero) and E.
// False when it cannot be held: more than 20 significant digits, or E too large.
bool packDigits(bool negative, std::string_view digits, int exponent, uint8_t out[12]) {
  std::memset(out, 0, 12);
  size_t n = digits.size();
  while (n > 0 && digits[n - 1] == '0') --n;
  if (n > kNumericKeyDigits) return false;
  if (n == 0) {
    out[0] = 0x34;
    out[1] = 0x01;
    return true;
  }
  if (exponent < -0x34) {  // too small to be told from zero
    out[0] = 0x34;
    out[1] = 0x01;
    return true;
  }
  if (exponent > 0xFF - 0x34) return false;
  out[0] = static_cast<uint8_t>(0x34 + exponent);
  out[1] = static_cast<uint8_t>((n << 2) | 0x01 | (negative ? 0x80 : 0));
  for (size_t i = 0; i < n; ++i) {
    uint8_t d = static_cast<uint8_t>(digits[i] - '0');
    out[2 + i / 2] |= (i % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
  }
  return true;
}

}  // namespace

bool encodeNumericText(std::string_view s, uint8_t out[12]) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  bool negative = false, sign = false;
  if (b < e && (s[b] == '-' || s[b] == '+')) {
    negative = s[b] == '-';
    sign = true;
    ++b;
  }
  if (b == e) {
    if (sign) return false;                // a sign alone is not a number
    return packDigits(false, {}, 0, out);  // an all-blank field is zero
  }
  // Significant digits (leading zeros dropped) and the exponent E.
  std::string digits;
  int exponent = 0;
  bool point = false, seenNonZero = false, anyDigit = false;
  for (size_t i = b; i < e; ++i) {
    const char c = s[i];
    if (c == '.') {
      if (point) return false;
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    anyDigit = true;
    if (!seenNonZero) {
      if (c == '0') {
        if (point) --exponent;  // a zero between the point and the first digit
        continue;
      }
      seenNonZero = true;
    }
    if (!point) ++exponent;
    digits.push_back(c);
  }
  if (!anyDigit) return false;
  if (!seenNonZero) return packDigits(false, {}, 0, out);
  return packDigits(negative, digits, exponent, out);
}

void encodeNumericKey(const Value& v, uint8_t out[12]) {
  if (!v.text.empty()) {
    if (encodeNumericText(v.text, out)) return;
    // An exact value the key cannot hold is never rounded: two different values would
    // share a key, and a unique tag would lose records.
    const std::string shown = v.text.size() > 40 ? v.text.substr(0, 37) + "..." : v.text;
    throw ExpressionError(tr("gives %1, which has more significant digits than the %2 a numeric key holds",
                             {shown, std::to_string(kNumericKeyDigits)}));
  }
  double x = v.number;
  if (!std::isfinite(x)) throw ExpressionError(tr("numeric overflow"));
  if (x == 0) {
    packDigits(false, {}, 0, out);
    return;
  }
  // "d.dddddddddddddde+XX", written without the locale.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific, 14);
  std::string digits;
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits.push_back(*p);
  int exp10 = 0;
  if (p < r.ptr) {
    const char* q = p + 1;
    if (q < r.ptr && *q == '+') ++q;
    std::from_chars(q, r.ptr, exp10);
  }
  if (!packDigits(x < 0, digits, exp10 + 1, out)) throw ExpressionError(tr("numeric overflow"));
}

std::string numericKeyText(const uint8_t key[12]) {
  const int n = (key[1] >> 2) & 0x1F;
  std::string digits;
  for (int i = 0; i < n && i < 20; ++i)
    digits.push_back(static_cast<char>('0' + ((i % 2 == 0) ? key[2 + i / 2] >> 4 : key[2 + i / 2] & 0x0F)));
  if (digits.empty()) return "0";
  const int e = int{key[0]} - 0x34;
  std::string s;
  if (e <= 0)
    s = "0." + std::string(static_cast<size_t>(-e), '0') + digits;
  else if (static_cast<size_t>(e) >= digits.size())
    s = digits + std::string(static_cast<size_t>(e) - digits.size(), '0');
  else
    s = digits.substr(0, static_cast<size_t>(e)) + "." + digits.substr(static_cast<size_t>(e));
  return (key[1] & 0x80 ? "-" : "") + s;
}

void encodeDateKey(int32_t julian, uint8_t out[8], bool blankAsZero) {
  const double value = julian != 0 ? static_cast<double>(julian) : blankAsZero ? 0.0 : kBlankDateKey;
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

void toSortable(char type, const uint8_t* disk, uint16_t keyLength, uint8_t* out) {
  if (type == 'D') {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t{disk[i]} << (8 * i);
    bits = (bits >> 63) ? ~bits : (bits | (uint64_t{1} << 63));
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  } else if (type == 'N') {
    bool zero = true;
    for (int i = 2; i < 12; ++i) zero = zero && disk[i] == 0;
    std::memset(out, 0, 12);
    if (zero) {
      out[0] = 1;
    } else if (disk[1] & 0x80) {
      out[0] = 0;
      out[1] = static_cast<uint8_t>(~disk[0]);
      for (int i = 2; i < 12; ++i) out[i] = static_cast<uint8_t>(~disk[i]);
    } else {
      out[0] = 2;
      std::memcpy(out + 1, disk, 1);
      std::memcpy(out + 2, disk + 2, 10);
    }
  } else {
    std::memcpy(out, disk, keyLength);
  }
}

void fromSortable(char type, const uint8_t* in, uint16_t keyLength, uint8_t* disk) {
  if (type == 'D') {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | in[i];
    bits = (bits >> 63) ? (bits & ~(uint64_t{1} << 63)) : ~bits;
    for (int i = 0; i < 8; ++i) disk[i] = static_cast<uint8_t>(bits >> (8 * i));
  } else if (type == 'N') {
    std::memset(disk, 0, 12);
    if (in[0] == 1) {
      disk[0] = 0x34;
      disk[1] = 0x01;
      return;
    }
    const bool negative = in[0] == 0;
    disk[0] = negative ? static_cast<uint8_t>(~in[1]) : in[1];
    int n = 0;
    for (int i = 2; i < 12; ++i) {
      disk[i] = negative ? static_cast<uint8_t>(~in[i]) : in[i];
      if (disk[i] & 0xF0) n = 2 * (i - 2) + 1;
      if (disk[i] & 0x0F) n = 2 * (i - 2) + 2;
    }
    disk[1] = static_cast<uint8_t>((n << 2) | 0x01 | (negative ? 0x80 : 0));
  } else {
    std::memcpy(disk, in, keyLength);
  }
}

bool wellFormedKey(char type, const uint8_t* disk, uint16_t keyLength, bool checkDigitCount) {
  if (type == 'D') {
    double d;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t{disk[i]} << (8 * i);
    d = std::bit_cast<double>(bits);
    return d == 0 || d == kBlankDateKey || (d >= 1 && d <= 5373484 && d == std::trunc(d));
  }
  if (type == 'N') {
    if ((disk[1] & 0x03) != 0x01) return false;
    const int n = (disk[1] >> 2) & 0x1F;
    if (checkDigitCount && n > 20) return false;
    int last = 0;  // position (1-based) of the last non-zero digit
    for (int i = 0; i < 20; ++i) {
      int d = (i % 2 == 0) ? disk[2 + i / 2] >> 4 : disk[2 + i / 2] & 0x0F;
      if (d > 9) return false;
      if (d != 0) last = i + 1;
    }
    if (last == 0) return (disk[1] & 0x80) == 0;  // zero has no sign
    if ((disk[2] >> 4) == 0) return false;        // first digit must be significant
    return !checkDigitCount || last <= n;
  }
  return true;
}

std::string tagExpressionMessage(const std::string& fileName, const std::string& tag, const std::string& expression,
                                 const std::string& what) {
  std::string shown = expression.size() > 40 ? expression.substr(0, 37) + "..." : expression;
  return tr("%1: tag %2, expression \"%3\" %4", {fileName, tag, shown, what});
}

TagKeys::TagKeys(const TableHeader& table, const TagDefinition& tag, const std::string& indexFileName)
    : tag_(tag),
      fileName_(indexFileName),
      language_(LanguageRules::of(table)),
      type_(tag.keyType == 'F' ? 'N' : tag.keyType),
      keyLength_(tag.keyLength),
      key_([&] {
        try {
          return Expression(tag.keyExpression, table.fields, ExpressionContext{defaultAlias(indexFileName), language_});
        } catch (const ExpressionError& e) {
          throw Failure(kKeyExpressionError, tagExpressionMessage(indexFileName, tag.name, tag.keyExpression,
                                                                  tr("cannot be evaluated: %1", {e.what()})));
        }
      }()) {
  auto wrongType = [&](const char* what) {
    throw Failure(kKeyExpressionError, tagExpressionMessage(indexFileName, tag.name, tag.keyExpression, tr(what)));
  };
  switch (type_) {
    case 'C':
      if (key_.type() != ValueType::Character) wrongType("does not give the tag's character key");
      if (keyLength_ < 1) wrongType("has an empty key");
      // A longer key is not an index other programs read: refused like an empty one.
      if (keyLength_ > kMaxCharacterKey)
        throw Failure(kKeyExpressionError,
                      tagExpressionMessage(indexFileName, tag.name, tag.keyExpression,
                                           tr("has keys of %1 bytes, longer than the %2 bytes a character key may have",
                                              {std::to_string(keyLength_), std::to_string(kMaxCharacterKey)})));
      if (!language_.orderKnown())
        throw Failure(DBIERR_LDNOTFOUND,
                      tr("%1: tag %2: the order of character keys under the table's %3 is not known, so the tag "
                         "cannot be rebuilt",
                         {indexFileName, tag.name, language_.describe()}));
      break;
    case 'N':
      if (key_.type() != ValueType::Numeric) wrongType("does not give the tag's numeric key");
      keyLength_ = kNumericKeyLength;
      break;
    case 'D':
      if (key_.type() != ValueType::Date) wrongType("does not give the tag's date key");
      keyLength_ = kDateKeyLength;
      break;
    default: wrongType("has a key type that cannot be indexed");
  }
  if (!tag.forExpression.empty()) {
    try {
      for_.emplace(tag.forExpression, table.fields, ExpressionContext{defaultAlias(indexFileName), language_});
    } catch (const ExpressionError& e) {
      throw Failure(kKeyExpressionError, tagExpressionMessage(indexFileName, tag.name, tag.forExpression,
                                                              tr("cannot be evaluated: %1", {e.what()})));
    }
    if (for_->type() != ValueType::Logical)
      throw Failure(kKeyExpressionError,
                    tagExpressionMessage(indexFileName, tag.name, tag.forExpression, tr("is not a condition")));
  }
}

void TagKeys::runtimeFailure(const ExpressionError& e, uint32_t recordNumber, bool inFor) const {
  throw Failure(kKeyExpressionError,
                tagExpressionMessage(fileName_, tag_.name, inFor ? tag_.forExpression : tag_.keyExpression,
                                     tr("fails on record %1: %2", {std::to_string(recordNumber), e.what()})));
}

bool TagKeys::sortableKey(const uint8_t* record, uint32_t recordNumber, uint8_t* out) const {
  if (for_) {
    try {
      if (!for_->evaluate(record, recordNumber).logical) return false;
    } catch (const ExpressionError& e) {
      runtimeFailure(e, recordNumber, true);
    }
  }
  try {
    const Value& v = key_.evaluate(record, recordNumber);
    switch (type_) {
      case 'C': {
        const size_t n = std::min<size_t>(v.text.size(), keyLength_);
        std::memcpy(out, v.text.data(), n);
        std::memset(out + n, ' ', keyLength_ - n);
        language_.toWeights(out, keyLength_, out);
        if (tag_.highBytesFirst) flipHighBit(out, keyLength_);
        break;
      }
      case 'N': {
        uint8_t disk[12];
        encodeNumericKey(v, disk);
        toSortable('N', disk, 12, out);
        break;
      }
      case 'D': {
        uint8_t disk[8];
        encodeDateKey(v.julian, disk, tag_.blankDateZero);
        toSortable('D', disk, 8, out);
        break;
      }
    }
  } catch (const ExpressionError& e) {
    runtimeFailure(e, recordNumber, false);
  }
  if (tag_.descending)
    for (uint16_t i = 0; i < keyLength_; ++i) out[i] = static_cast<uint8_t>(~out[i]);
  return true;
}

void TagKeys::diskKey(const uint8_t* sortable, uint8_t* disk) const {
  if (type_ == 'C') {
    // Weights back to bytes, after undoing the complement of a descending tag.
    for (uint16_t i = 0; i < keyLength_; ++i)
      disk[i] = tag_.descending ? static_cast<uint8_t>(~sortable[i]) : sortable[i];
    if (tag_.highBytesFirst) flipHighBit(disk, keyLength_);
    language_.fromWeights(disk, keyLength_, disk);
    return;
  }
  if (!tag_.descending) {
    fromSortable(type_, sortable, keyLength_, disk);
    return;
  }
  uint8_t tmp[16];  // N and D keys are 12 and 8 bytes
  for (uint16_t i = 0; i < keyLength_; ++i) tmp[i] = static_cast<uint8_t>(~sortable[i]);
  fromSortable(type_, tmp, keyLength_, disk);
}

void TagKeys::sortableOfDisk(const uint8_t* disk, uint8_t* out) const {
  if (type_ == 'C') {
    language_.toWeights(disk, keyLength_, out);
    if (tag_.highBytesFirst) flipHighBit(out, keyLength_);
  } else {
    toSortable(type_, disk, keyLength_, out);
  }
  if (tag_.descending)
    for (uint16_t i = 0; i < keyLength_; ++i) out[i] = static_cast<uint8_t>(~out[i]);
}

}  // namespace idapi::core
