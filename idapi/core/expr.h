// The key-expression language of index tags and FOR conditions.
//
// Field references (optionally "alias->FIELD" with the table's own alias), literals
// ("..." '...' [...], numbers, .T. .F. .TRUE. .FALSE.), + - * / ^ on numbers (decimal
// where exact, see expr_internal.h), + and - on character values (- moves the trailing
// blanks of its left operand to the end),
// date + days, date - days, date - date, the comparisons = == <> # != < > <= >= $,
// .AND. .OR. .NOT. and the functions of the table in expr_functions.cpp (UPPER, SUBSTR,
// TRIM, DTOS, STR, VAL, IIF, RECNO, YEAR, SOUNDEX... and CTOD of a blank text). Function
// names may be shortened to their first four letters.
//
// What an index cannot reproduce is refused when the expression is compiled: values
// that depend on a setting the index does not record (DTOC, CTOD of a date text, DATE,
// CDOW...), another table's fields. Text is read by ASCII rules only, numbers without
// the C library's locale, and UPPER/LOWER follow the table's language driver; ordering
// comparisons of character values use the driver's order.
//
// An expression is compiled once against the table's fields, which fixes its result
// type and declared length, then evaluated per record. Evaluation reuses buffers held
// by the compiled expression: one Expression must not be evaluated by two threads at
// once.
#ifndef IDAPI_CORE_EXPR_H
#define IDAPI_CORE_EXPR_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/core/language.h"

namespace idapi::core {

enum class ValueType : char { Character = 'C', Numeric = 'N', Date = 'D', Logical = 'L' };

struct Value {
  ValueType type = ValueType::Logical;
  std::string text;      // C: the value's bytes; N: its exact decimal text when known, else empty
  double number = 0;     // N
  int32_t julian = 0;    // D: Julian day number, 0 = empty date
  bool logical = false;  // L
  bool blank = false;    // N, L: read from a field holding blanks only (for ISBLANK)
};

// What an expression is compiled against besides the fields.
struct ExpressionContext {
  std::string alias;                                 // the table's own alias, upper-case; "" accepts none
  LanguageRules language = LanguageRules::binary();  // case mapping and order of character values
};

class ExpressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace expr_detail {
struct Node;
}

class Expression {
 public:
  // Throws ExpressionError when the text cannot be compiled.
  Expression(std::string_view text, const std::vector<Field>& fields, const ExpressionContext& context = {});
  ~Expression();
  Expression(Expression&&) noexcept;
  Expression& operator=(Expression&&) noexcept;

  ValueType type() const;
  // Declared length: characters for C (the actual value may be shorter after TRIM),
  // 8 for D, 1 for L, display width for N.
  uint16_t length() const;

  // `record` points at recordLength bytes, deletion flag first. Throws
  // ExpressionError for a run-time fault such as a division by zero.
  const Value& evaluate(const uint8_t* record, uint32_t recordNumber) const;

 private:
  std::unique_ptr<expr_detail::Node> root_;
};

// Julian day number of a Gregorian date, and back.
int32_t julianDay(int year, int month, int day);
void civilDate(int32_t julian, int& year, int& month, int& day);
// Julian day of a date field's text "YYYYMMDD"; 0 for an empty or impossible date.
int32_t julianFromText(const char* text8);

// The alias a table gets by default: its file's base name, upper-case ("CLIENT" for
// "data/client.dbf" or "CLIENT.MDX").
std::string defaultAlias(std::string_view fileName);

}  // namespace idapi::core

#endif  // IDAPI_CORE_EXPR_H
