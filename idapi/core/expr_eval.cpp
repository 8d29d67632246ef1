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

namespace {

// An exact decimal number: +/- digits x 10^-scale, the digits without leading zeros
// ("" for zero, which is never negative).
struct Decimal {
  bool negative = false;
  std::string digits;
  int scale = 0;
};

// Far beyond any field or literal: a bound on the work of one operation.
constexpr size_t kMaxExactDigits = 600;

bool toDecimal(const Value& x, Decimal& d) {
  const std::string& t = x.text;
  if (t.empty()) return false;
  d = Decimal{};
  size_t i = 0;
  if (t[0] == '-') {
    d.negative = true;
    i = 1;
  }
  bool point = false, any = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (!asciiDigit(c)) return false;
    any = true;
    if (point) ++d.scale;
    if (!(d.digits.empty() && c == '0')) d.digits.push_back(c);
  }
  if (!any || d.digits.size() > kMaxExactDigits || d.scale > int{kMaxExactDigits}) return false;
  if (d.digits.empty()) d.negative = false;
  return true;
}

// Magnitudes: digit strings without leading zeros.
int compareMagnitudes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

std::string trimLeadingZeros(std::string s) {
  const size_t lead = s.find_first_not_of('0');
  s.erase(0, lead == std::string::npos ? s.size() : lead);
  return s;
}

std::string addMagnitudes(const std::string& a, const std::string& b) {
  std::string r;
  int carry = 0;
  for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
    int d = carry;
    if (i < a.size()) d += a[a.size() - 1 - i] - '0';
    if (i < b.size()) d += b[b.size() - 1 - i] - '0';
    r.push_back(static_cast<char>('0' + d % 10));
    carry = d / 10;
  }
  std::reverse(r.begin(), r.end());
  return trimLeadingZeros(r);
}

std::string subtractMagnitudes(const std::string& a, const std::string& b) {  // a >= b
  std::string r;
  int borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int d = (a[a.size() - 1 - i] - '0') - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
    borrow = d < 0;
    r.push_back(static_cast<char>('0' + (d + 10) % 10));
  }
  std::reverse(r.begin(), r.end());
  return trimLeadingZeros(r);
}

std::string multiplyMagnitudes(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return {};
  std::vector<int> r(a.size() + b.size(), 0);
  for (size_t i = a.size(); i-- > 0;)
    for (size_t j = b.size(); j-- > 0;) {
      int& cell = r[i + j + 1];
      cell += (a[i] - '0') * (b[j] - '0');
      r[i + j] += cell / 10;
      cell %= 10;
    }
  std::string out;
  for (int d : r) out.push_back(static_cast<char>('0' + d));
  return trimLeadingZeros(out);
}

void alignScale(Decimal& d, int scale) {
  if (!d.digits.empty()) d.digits.append(static_cast<size_t>(scale - d.scale), '0');
  d.scale = scale;
}

Decimal add(Decimal a, Decimal b) {
  const int scale = std::max(a.scale, b.scale);
  alignScale(a, scale);
  alignScale(b, scale);
  Decimal r;
  r.scale = scale;
  if (a.negative == b.negative) {
    r.digits = addMagnitudes(a.digits, b.digits);
    r.negative = a.negative;
  } else if (compareMagnitudes(a.digits, b.digits) >= 0) {
    r.digits = subtractMagnitudes(a.digits, b.digits);
    r.negative = a.negative;
  } else {
    r.digits = subtractMagnitudes(b.digits, a.digits);
    r.negative = b.negative;
  }
  if (r.digits.empty()) r.negative = false;
  return r;
}

Decimal negated(Decimal d) {
  d.negative = !d.negative && !d.digits.empty();
  return d;
}

Decimal multiply(const Decimal& a, const Decimal& b) {
  Decimal r;
  r.digits = multiplyMagnitudes(a.digits, b.digits);
  r.scale = a.scale + b.scale;
  r.negative = !r.digits.empty() && a.negative != b.negative;
  return r;
}

// The decimal of 0.d1d2... x 10^point (as significantDigits gives it), with its sign.
Decimal fromDigits(bool negative, const std::string& digits, int point) {
  Decimal d;
  d.digits = trimLeadingZeros(digits);
  d.scale = static_cast<int>(digits.size()) - point;
  if (d.scale < 0) alignScale(d, 0);
  d.negative = negative && !d.digits.empty();
  return d;
}

// Sets v to d (canonical text and its double); false when d is beyond a double's range
// or the size bound.
bool setDecimal(Decimal d, Value& v) {
  while (d.scale > 0 && !d.digits.empty() && d.digits.back() == '0') {
    d.digits.pop_back();
    --d.scale;
  }
  if (d.digits.size() > kMaxExactDigits || d.scale > int{kMaxExactDigits}) return false;
  std::string text;
  if (d.digits.empty()) {
    text = "0";
  } else if (static_cast<size_t>(d.scale) >= d.digits.size()) {
    text = "0." + std::string(static_cast<size_t>(d.scale) - d.digits.size(), '0') + d.digits;
  } else {
    text = d.digits;
    if (d.scale > 0) text.insert(text.size() - static_cast<size_t>(d.scale), ".");
  }
  double number = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), number).ec != std::errc() || !std::isfinite(number))
    return false;
  v.text = d.negative ? "-" + text : text;
  v.number = d.negative ? -number : number;
  return true;
}

}  // namespace

bool exactArithmetic(Arith op, const Value& x, const Value& y, Value& v) {
  Decimal a, b;
  if (!toDecimal(x, a) || !toDecimal(y, b)) return false;
  switch (op) {
    case Arith::Add: return setDecimal(add(a, b), v);
    case Arith::Sub: return setDecimal(add(a, negated(b)), v);
    case Arith::Mul: return setDecimal(multiply(a, b), v);
    case Arith::Div: {
      // Exact when the quotient ends within 15 digits: the binary quotient rounded to
      // them, multiplied back, gives the dividend.
      const double r = x.number / y.number;
      if (b.digits.empty() || !std::isfinite(r) || r == 0) return false;
      std::string digits;
      int point = 0;
      significantDigits(r, digits, point);
      const Decimal q = fromDigits(r < 0, digits, point);
      if (!add(multiply(q, b), negated(a)).digits.empty()) return false;
      return setDecimal(q, v);
    }
    default: return false;
  }
}

bool exactTruncate(const Value& x, Value& v) {
  Decimal d;
  if (!toDecimal(x, d)) return false;
  const size_t cut = static_cast<size_t>(d.scale);
  d.digits = cut >= d.digits.size() ? std::string() : d.digits.substr(0, d.digits.size() - cut);
  d.scale = 0;
  d.negative = d.negative && !d.digits.empty();
  return setDecimal(d, v);
}

bool exactModulo(const Value& x, const Value& y, Value& v) {
  Decimal a, b;
  if (!toDecimal(x, a) || !toDecimal(y, b) || b.digits.empty()) return false;
  // The quotient's floor from the doubles, then corrected by whole divisors: the
  // remainder has the divisor's sign and is smaller than it.
  const double q = std::floor(x.number / y.number);
  if (!(std::fabs(q) < 1e15)) return false;
  Value whole;
  whole.text = std::to_string(static_cast<int64_t>(q));
  Decimal qd;
  if (!toDecimal(whole, qd)) return false;
  Decimal r = add(a, negated(multiply(qd, b)));
  for (int i = 0; i < 4; ++i) {
    Decimal rs = r, bs = b;
    const int scale = std::max(rs.scale, bs.scale);
    alignScale(rs, scale);
    alignScale(bs, scale);
    if (!r.digits.empty() && r.negative != b.negative)
      r = add(r, b);
    else if (compareMagnitudes(rs.digits, bs.digits) >= 0)
      r = add(r, negated(b));
    else
      return setDecimal(r, v);
  }
  return false;
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

// A flag other than '*' and blank is read one way by some programs (deleted when not
// blank) and the other way by others (deleted only when '*'): no key can follow both.
const Value& DeletedNode::eval(const Ctx& c) const {
  const uint8_t flag = c.record[0];
  if (flag != '*' && flag != ' ') {
    static const char* const digits = "0123456789ABCDEF";
    fail(tr("its deletion flag is 0x%1, neither blank nor '*', which programs read differently",
            {std::string{digits[flag >> 4], digits[flag & 15]}}));
  }
  v.logical = flag == '*';
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
  const Value& xv = a->eval(c);
  const Value& yv = b->eval(c);
  double x = xv.number, y = yv.number, r = 0;
  if (op == Arith::Div && y == 0) fail(tr("division by zero"));
  if (exactArithmetic(op, xv, yv, v)) return v;
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
