// Index keys: their on-disk encodings and a byte-comparable "sortable" form.
//
// On disk a tag's key is
//   C  the expression's bytes, blank-padded or cut to the key length;
//   N  12 bytes of decimal digits: byte 0 = 0x34 + E (value = 0.d1d2... x 10^E),
//      byte 1 = sign (0x80) | significant digits << 2 | 0x01, bytes 2-11 = digits
//      two per byte, first digit in the high nibble;
//   D  the Julian day number as a little-endian IEEE double; an empty date is keyed
//      1.0E+100, so that blanks sort after every date (some older writers key it 0.0,
//      which sorts first: the checker accepts either, a rebuild writes 1.0E+100).
// Sorting works on a sortable form of the same width in which unsigned byte order
// (memcmp) is the tag's order: C keys as the weights of their bytes under the table's
// language driver (the bytes themselves under byte order), dates as big-endian order-
// preserving doubles, numbers as a sign class byte followed by the exponent and digits
// (inverted for negative values). Descending tags complement every sortable byte.
#ifndef IDAPI_CORE_KEYS_H
#define IDAPI_CORE_KEYS_H

#include <cstdint>
#include <optional>
#include <string>

#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/language.h"

namespace idapi::core {

inline constexpr uint16_t kNumericKeyLength = 12;
inline constexpr size_t kNumericKeyDigits = 20;    // significant digits a numeric key holds
inline constexpr uint16_t kMaxCharacterKey = 100;  // bytes of a character key at most
inline constexpr uint16_t kDateKeyLength = 8;

// Numeric key of a value (its exact decimal text when known, else its double rounded
// to 15 significant digits). Throws ExpressionError when it cannot be represented:
// an exact value of more than 20 significant digits is refused, never rounded.
void encodeNumericKey(const Value& value, uint8_t out[12]);
// Numeric key of a decimal text such as a field's characters; false if not a number
// or not one a key holds exactly (more than 20 significant digits).
bool encodeNumericText(std::string_view text, uint8_t out[12]);
// The value of a numeric key as decimal text ("-123.45", "0"); for messages and tests.
std::string numericKeyText(const uint8_t key[12]);

inline constexpr double kBlankDateKey = 1.0E+100;
// Key of a date (Julian day number, 0 = empty date).
void encodeDateKey(int32_t julian, uint8_t out[8], bool blankAsZero = false);

// On-disk key <-> sortable form (same width, ascending order).
void toSortable(char keyType, const uint8_t* disk, uint16_t keyLength, uint8_t* out);
void fromSortable(char keyType, const uint8_t* sortable, uint16_t keyLength, uint8_t* disk);
// Whether stored key bytes are a well-formed key of that type (C keys always are).
// Writers differ in a numeric key's digit count (exact, rounded up to even, trailing
// zeros kept); without checkDigitCount only the digits themselves must be sound.
bool wellFormedKey(char keyType, const uint8_t* disk, uint16_t keyLength, bool checkDigitCount = true);

// The compiled key and FOR expressions of one tag.
class TagKeys {
 public:
  // Throws Failure(kKeyExpressionError) naming the tag, its expression and the file, and
  // Failure(DBIERR_LDNOTFOUND) for a character tag under a language driver whose order
  // is not known. The table's own alias is the index file's base name.
  TagKeys(const TableHeader& table, const TagDefinition& tag, const std::string& indexFileName);

  char keyType() const { return type_; }
  uint16_t keyLength() const { return keyLength_; }

  // For a record that belongs to the tag (FOR true, or no FOR), writes the sortable key
  // (complemented for a descending tag) to `out` (keyLength bytes) and returns true.
  // Throws Failure(kKeyExpressionError) on a run-time fault of the expression.
  bool sortableKey(const uint8_t* record, uint32_t recordNumber, uint8_t* out) const;

  // The on-disk key of a sortable key produced by sortableKey.
  void diskKey(const uint8_t* sortable, uint8_t* disk) const;
  // The sortable form of an on-disk key, as sortableKey gives it: the one order that the
  // rebuild writes and the checker expects.
  void sortableOfDisk(const uint8_t* disk, uint8_t* sortable) const;

 private:
  [[noreturn]] void runtimeFailure(const ExpressionError& e, uint32_t recordNumber, bool inFor) const;

  const TagDefinition& tag_;
  std::string fileName_;
  LanguageRules language_;
  char type_;
  uint16_t keyLength_;
  Expression key_;
  std::optional<Expression> for_;
};

// Text of a failure about a tag's expression: "<file>: tag NAME, expression "..." <what>".
std::string tagExpressionMessage(const std::string& fileName, const std::string& tag, const std::string& expression,
                                 const std::string& what);

}  // namespace idapi::core

#endif  // IDAPI_CORE_KEYS_H
