// The key-expression language of index tags and FOR conditions.
//
// Field references (optionally "alias->FIELD"), literals ("..." '...' [...], numbers,
// .T. .F.), + - * / ^ on numbers, + and - on character values (- moves the trailing
// blanks of its left operand to the end), date + days, date - days, date - date, the
// comparisons = == <> # != < > <= >= $, .AND. .OR. .NOT. and the functions UPPER
// LOWER SUBSTR LEFT RIGHT TRIM RTRIM LTRIM ALLTRIM DTOS DTOC STR VAL IIF RECNO DELETED
// YEAR MONTH DAY ABS INT. Function names may be shortened to their first four letters.
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

#include "core/core.h"

namespace idapi::core {

enum class ValueType : char { Character = 'C', Numeric = 'N', Date = 'D', Logical = 'L' };

struct Value {
  ValueType type = ValueType::Logical;
  std::string text;      // C: the value's bytes; N: its exact decimal text when known, else empty
  double number = 0;     // N
  int32_t julian = 0;    // D: Julian day number, 0 = empty date
  bool logical = false;  // L
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
  Expression(std::string_view text, const std::vector<Field>& fields);
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

}  // namespace idapi::core

#endif  // IDAPI_CORE_EXPR_H
