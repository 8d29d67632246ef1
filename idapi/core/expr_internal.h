// Shared by the parts of the key-expression compiler: the typed node tree, the value
// helpers, and the table of functions.
//
//   expr_parse.cpp      lexer and recursive-descent parser, the Expression class
//   expr_eval.cpp       values (number texts) and the evaluation of leaves and operators
//   expr_functions.cpp  the function library: one table of every function name
//   expr_dates.cpp      Julian day numbers
#ifndef IDAPI_CORE_EXPR_INTERNAL_H
#define IDAPI_CORE_EXPR_INTERNAL_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "idapi/core/expr.h"

namespace idapi::core::expr_detail {

struct Ctx {
  const uint8_t* record;
  uint32_t recno;
};

// A compiled node: its type and declared length are fixed when it is built, and a
// constant one is folded into a literal. `v` is the buffer its value is evaluated into.
struct Node {
  ValueType type = ValueType::Logical;
  uint16_t length = 1;
  bool constant = false;
  mutable Value v;
  virtual ~Node() = default;
  virtual const Value& eval(const Ctx& c) const = 0;
};

using NodePtr = std::unique_ptr<Node>;

[[noreturn]] inline void fail(const std::string& what) { throw ExpressionError(what); }

inline uint16_t clampLength(int64_t n) { return static_cast<uint16_t>(std::clamp<int64_t>(n, 0, 0xFFFF)); }

// Character classes by ASCII rules only: the C library's would follow the locale.
inline bool asciiDigit(char c) { return c >= '0' && c <= '9'; }
inline bool asciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The significant digits of |x| (15 of them, rounded) and its decimal exponent:
// |x| = 0.d1d2d3... x 10^point. x must be finite and non-zero.
void significantDigits(double x, std::string& digits, int& point);
// The name of a value type in the engine's language.
std::string typeText(ValueType t);
// Parses a decimal text "[-+]digits[.digits]" (surrounding blanks allowed). Fills the
// canonical text (sign only when negative) and the double. False when not a number.
bool parseDecimal(std::string_view s, std::string& canonical, double& number);
// The longest decimal number at the start of s (after blanks), like VAL().
void leadingDecimal(std::string_view s, std::string& canonical, double& number);

inline void setNumber(Value& v, double x) {
  v.number = x;
  v.text.clear();
}

enum class Arith { Add, Sub, Mul, Div, Pow };

// Type-N arithmetic is decimal: a number whose exact decimal text is known (a field, a
// literal, VAL, and the results below) is added, subtracted, multiplied, truncated and
// taken modulo digit by digit, so that 0.1 * 3 - 0.3 is 0 and not a binary remainder.
// Each function sets v (text and double) and returns true, or returns false when an
// operand has no exact text (or the digits would run beyond a sane size): the caller
// then computes in binary as before.
bool exactArithmetic(Arith op, const Value& x, const Value& y, Value& v);
bool exactTruncate(const Value& x, Value& v);
bool exactModulo(const Value& x, const Value& y, Value& v);

// A new node of type t and declared length `length` (clamped to 16 bits).
template <class T>
std::unique_ptr<T> make(ValueType t, int64_t length) {
  auto n = std::make_unique<T>();
  n->type = t;
  n->length = clampLength(length);
  n->v.type = t;
  return n;
}

// Folds a node whose value does not depend on the record into a literal.
NodePtr fold(NodePtr n);
// Compile-time checks of operands: `what` names the operator or argument.
void expect(const Node& n, ValueType t, const char* what);
int64_t constantInt(const Node& n, const char* what);

// Leaves.

struct Literal : Node {
  const Value& eval(const Ctx&) const override { return v; }
};

struct FieldRef : Node {
  char fieldType;
  uint16_t offset, size;
  const Value& eval(const Ctx& c) const override;
};

struct RecnoNode : Node {
  const Value& eval(const Ctx& c) const override;
};

struct DeletedNode : Node {
  const Value& eval(const Ctx& c) const override;
};

// Operators.

struct Unary : Node {
  NodePtr a;
};

struct Binary : Node {
  NodePtr a, b;
};

struct Negate : Unary {
  const Value& eval(const Ctx& c) const override;
};

struct Arithmetic : Binary {
  Arith op;
  const Value& eval(const Ctx& c) const override;
};

struct Concat : Binary {
  bool moveBlanks;  // the "-" form
  const Value& eval(const Ctx& c) const override;
};

struct DateShift : Binary {  // date + n, n + date, date - n
  bool subtract, dateFirst;
  const Value& eval(const Ctx& c) const override;
};

struct DateDiff : Binary {
  const Value& eval(const Ctx& c) const override;
};

enum class Cmp { Eq, Ne, Lt, Gt, Le, Ge, ExactEq };

struct Compare : Binary {
  Cmp op;
  ValueType operand;
  LanguageRules language = LanguageRules::binary();  // order of character values
  const Value& eval(const Ctx& c) const override;
};

struct Contains : Binary {  // a $ b: a occurs in b
  const Value& eval(const Ctx& c) const override;
};

struct Logic : Binary {
  bool isAnd;
  const Value& eval(const Ctx& c) const override;
};

struct Not : Unary {
  const Value& eval(const Ctx& c) const override;
};

// A function call being compiled, handed to its entry's builder once the arguments
// have passed the entry's count and type checks.
struct Call {
  const std::string& name;  // in full, as the table spells it
  std::vector<NodePtr>& args;
  ValueType result;  // the entry's result type
  const ExpressionContext& context;
  bool constant;  // every argument constant; a builder may decide otherwise
};

// One function of the library. Argument types are checked in order before the builder
// runs: 'C', 'N', 'D', 'L', or '?' for one the builder checks itself (as a constant)
// or that takes any type. A refused function fails with `refusal` (%1 = its name)
// before its arguments are read.
struct Function {
  const char* name;
  uint8_t minArgs, maxArgs;
  const char* argTypes;
  const char* argLabels[4];  // what an argument type error names; nullptr: the function
  char result;               // 'C', 'N', 'D', 'L', or '2': the type of the second argument
  const char* refusal;
  NodePtr (*build)(Call& call);
};

// The table entry of a function name, which may be shortened to its first four
// letters or more; fails for an unknown or ambiguous name.
const Function& findFunction(const std::string& name);

}  // namespace idapi::core::expr_detail

#endif  // IDAPI_CORE_EXPR_INTERNAL_H
