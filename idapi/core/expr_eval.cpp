// Evaluation of key expressions: decimal texts of numbers, and the values of the
// leaves and operators of a compiled tree.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "idapi/core/expr_internal.h"
#include "idapi/core/messages.h"

namespace idapi::core::expr_detail {

// The significant digits of |x| (15 of them, rounded) and its decimal exponent:
// |x| = 0.d1d2d3... x 10^point. x must be finite and non-zero.
void significantDigits(double x, std::string& digits, int& point) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific, 14);
  digits.clear();
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (asciiDigit(*p)) digits.push_back(*p);
  int exp10 = 0;
  if (p < r.ptr) {
    const char* q = p + 1;
    if (q < r.ptr && *q == '+') ++q;
    std::from_chars(q, r.ptr, exp10);
  }
  point = exp10 + 1;
}

// The name of a value type in the engine's language.
std::string typeText(ValueType t) {
  switch (t) {
    case ValueType::Character: return tr("character");
    case ValueType::Numeric: return tr("numeric");
    case ValueType::Date: return tr("date");
    default: return tr("logical");
  }
}

// Parses a decimal text "[-+]digits[.digits]" (surrounding blanks allowed). Fills the
// canonical text (sign only when negative) and the double. False when not a number.
bool parseDecimal(std::string_view s, std::string& canonical, double& number) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  if (b == e) return false;
  bool neg = false;
  if (s[b] == '-' || s[b] == '+') {
    neg = s[b] == '-';
    ++b;
  }
  size_t digits = 0;
  bool point = false;
  canonical.clear();
  if (neg) canonical.push_back('-');
  for (size_t i = b; i < e; ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      ++digits;
      canonical.push_back(c);
    } else if (c == '.' && !point) {
      point = true;
      canonical.push_back(c);
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  // std::from_chars never consults the locale (strtod would read "1.5" as 1 under a
  // French one).
  const char* first = canonical.data() + (neg ? 1 : 0);
  if (std::from_chars(first, canonical.data() + canonical.size(), number).ec != std::errc()) return false;
  if (neg) number = -number;
  if (neg && number == 0) canonical.erase(0, 1);  // "-0.00" is zero
  return true;
}

// The longest decimal number at the start of s (after blanks), like VAL().
void leadingDecimal(std::string_view s, std::string& canonical, double& number) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  size_t start = i;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  size_t digitsStart = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  size_t intDigits = i - digitsStart;
  size_t fracDigits = 0;
  if (i < s.size() && s[i] == '.') {
    size_t j = i + 1;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    fracDigits = j - i - 1;
    if (fracDigits) i = j;
  }
  if (intDigits + fracDigits == 0 || !parseDecimal(s.substr(start, i - start), canonical, number)) {
    canonical = "0";
    number = 0;
  }
}

NodePtr fold(NodePtr n) {
  if (!n->constant) return n;
  static const uint8_t blank[1] = {' '};
  Ctx c{blank, 0};
  const Value& r = n->eval(c);
  auto lit = make<Literal>(n->type, n->length);
  lit->v = r;
  lit->constant = true;
  return lit;
}

const Value& FieldRef::eval(const Ctx& c) const {
  const char* p = reinterpret_cast<const char*>(c.record + offset);
  switch (fieldType) {
    case 'C': v.text.assign(p, size); break;
    case 'N':
    case 'F':
      if (!parseDecimal(std::string_view(p, size), v.text, v.number)) {
        v.text = "0";
        v.number = 0;
      }
      v.blank = std::all_of(p, p + size, [](char ch) { return ch == ' '; });
      break;
    case 'D': v.julian = julianFromText(p); break;
    case 'L':
      v.logical = std::strchr("TtYy", p[0]) != nullptr && p[0] != 0;
      v.blank = p[0] == ' ' || p[0] == '?';
      break;
    case 'I':
    case '+': {
      const auto* u = reinterpret_cast<const uint8_t*>(p);
      uint32_t raw = (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
      // Big-endian with the sign bit inverted; all zero bytes is an empty value.
      const int64_t x = raw == 0 ? 0 : static_cast<int32_t>(raw ^ 0x80000000u);
      v.number = static_cast<double>(x);
      v.text = std::to_string(x);
      break;
    }
  }
  return v;
}

const Value& RecnoNode::eval(const Ctx& c) const {
  v.number = c.recno;
  v.text = std::to_string(c.recno);
  return v;
}

const Value& DeletedNode::eval(const Ctx& c) const {
  v.logical = c.record[0] == '*';
  return v;
}

const Value& Negate::eval(const Ctx& c) const {
  const Value& x = a->eval(c);
  v.number = -x.number;
  if (x.text.empty() || x.number == 0)
    v.text = x.text;
  else if (x.text[0] == '-')
    v.text = x.text.substr(1);
  else
    v.text = "-" + x.text;
  return v;
}

const Value& Arithmetic::eval(const Ctx& c) const {
  double x = a->eval(c).number, y = b->eval(c).number, r = 0;
  switch (op) {
    case Arith::Add: r = x + y; break;
    case Arith::Sub: r = x - y; break;
    case Arith::Mul: r = x * y; break;
    case Arith::Div:
      if (y == 0) fail(tr("division by zero"));
      r = x / y;
      break;
    case Arith::Pow: r = std::pow(x, y); break;
  }
  if (!std::isfinite(r)) fail(tr("numeric overflow"));
  setNumber(v, r);
  return v;
}

const Value& Concat::eval(const Ctx& c) const {
  const Value& x = a->eval(c);
  const Value& y = b->eval(c);
  if (!moveBlanks) {
    v.text.assign(x.text);
    v.text.append(y.text);
  } else {
    size_t kept = x.text.size();
    while (kept > 0 && x.text[kept - 1] == ' ') --kept;
    v.text.assign(x.text, 0, kept);
    v.text.append(y.text);
    v.text.append(x.text.size() - kept, ' ');
  }
  return v;
}

const Value& DateShift::eval(const Ctx& c) const {
  const Value& x = a->eval(c);
  const Value& y = b->eval(c);
  const Value& d = dateFirst ? x : y;
  const Value& n = dateFirst ? y : x;
  if (d.julian == 0) {
    v.julian = 0;
    return v;
  }
  double days = std::trunc(n.number);
  double r = subtract ? d.julian - days : d.julian + days;
  v.julian = (r < 1 || r > 5373484) ? 0 : static_cast<int32_t>(r);  // beyond year 9999: empty
  return v;
}

const Value& DateDiff::eval(const Ctx& c) const {
  setNumber(v, double(a->eval(c).julian) - double(b->eval(c).julian));
  return v;
}

const Value& Compare::eval(const Ctx& c) const {
  const Value& x = a->eval(c);
  const Value& y = b->eval(c);
  int r = 0;
  bool equal = false;
  switch (operand) {
    case ValueType::Character: {
      r = language.compare(x.text, y.text);
      if (op == Cmp::Eq || op == Cmp::Ne) {
        // Equality compares as far as the right operand goes (blank-padded left).
        equal = true;
        for (size_t i = 0; i < y.text.size() && equal; ++i) equal = (i < x.text.size() ? x.text[i] : ' ') == y.text[i];
      } else {
        equal = r == 0;
      }
      break;
    }
    case ValueType::Numeric:
      r = x.number < y.number ? -1 : x.number > y.number ? 1 : 0;
      equal = r == 0;
      break;
    case ValueType::Date:
      r = x.julian < y.julian ? -1 : x.julian > y.julian ? 1 : 0;
      equal = r == 0;
      break;
    case ValueType::Logical:
      equal = x.logical == y.logical;
      r = equal ? 0 : 1;
      break;
  }
  switch (op) {
    case Cmp::Eq: v.logical = equal; break;
    case Cmp::ExactEq: v.logical = r == 0; break;
    case Cmp::Ne: v.logical = !equal; break;
    case Cmp::Lt: v.logical = r < 0; break;
    case Cmp::Gt: v.logical = r > 0; break;
    case Cmp::Le: v.logical = r <= 0; break;
    case Cmp::Ge: v.logical = r >= 0; break;
  }
  return v;
}

const Value& Contains::eval(const Ctx& c) const {
  const Value& x = a->eval(c);
  const Value& y = b->eval(c);
  v.logical = y.text.find(x.text) != std::string::npos;
  return v;
}

const Value& Logic::eval(const Ctx& c) const {
  bool x = a->eval(c).logical;
  v.logical = isAnd ? (x && b->eval(c).logical) : (x || b->eval(c).logical);
  return v;
}

const Value& Not::eval(const Ctx& c) const {
  v.logical = !a->eval(c).logical;
  return v;
}

}  // namespace idapi::core::expr_detail
