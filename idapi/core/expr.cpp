// Compiler and evaluator of key expressions: a recursive-descent parser building a
// small tree of typed nodes. Types and declared lengths are fixed at compile time, so
// a tag's key length is known before any record is read.
#include "idapi/core/expr.h"
#include "idapi/core/messages.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace idapi::core {

namespace {
constexpr size_t kMaxExpressionText = 1024;
}

// ---------------------------------------------------------------- dates

int32_t julianDay(int y, int m, int d) {
  const int a = (14 - m) / 12;
  const int64_t y2 = int64_t{y} + 4800 - a;
  const int64_t m2 = m + 12 * a - 3;
  return static_cast<int32_t>(d + (153 * m2 + 2) / 5 + 365 * y2 + y2 / 4 - y2 / 100 + y2 / 400 - 32045);
}

void civilDate(int32_t jd, int& year, int& month, int& day) {
  int64_t a = int64_t{jd} + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t d = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * d / 4;
  int64_t m = (5 * e + 2) / 153;
  day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
  month = static_cast<int>(m + 3 - 12 * (m / 10));
  year = static_cast<int>(100 * b + d - 4800 + m / 10);
}

static bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t julianFromText(const char* t) {
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (t[i] < '0' || t[i] > '9') return 0;
    v[i] = t[i] - '0';
  }
  const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  const int m = v[4] * 10 + v[5];
  const int d = v[6] * 10 + v[7];
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return 0;
  if (d > days[m - 1] + (m == 2 && leapYear(y) ? 1 : 0)) return 0;
  return julianDay(y, m, d);
}

std::string defaultAlias(std::string_view name) {
  const size_t slash = name.find_last_of("/\\:");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  std::string alias(name);
  for (auto& c : alias)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return alias;
}

namespace expr_detail {

struct Ctx {
  const uint8_t* record;
  uint32_t recno;
};

struct Node {
  ValueType type = ValueType::Logical;
  uint16_t length = 1;
  bool constant = false;
  mutable Value v;
  virtual ~Node() = default;
  virtual const Value& eval(const Ctx& c) const = 0;
};

using NodePtr = std::unique_ptr<Node>;

namespace {

[[noreturn]] void fail(const std::string& what) { throw ExpressionError(what); }

uint16_t clampLength(int64_t n) { return static_cast<uint16_t>(std::clamp<int64_t>(n, 0, 0xFFFF)); }

// Character classes by ASCII rules only: the C library's would follow the locale.
bool asciiDigit(char c) { return c >= '0' && c <= '9'; }
bool asciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

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

void setNumber(Value& v, double x) {
  v.number = x;
  v.text.clear();
}

// ---------------------------------------------------------------- leaves

struct Literal : Node {
  const Value& eval(const Ctx&) const override { return v; }
};

struct FieldRef : Node {
  char fieldType;
  uint16_t offset, size;
  const Value& eval(const Ctx& c) const override {
    const char* p = reinterpret_cast<const char*>(c.record + offset);
    switch (fieldType) {
      case 'C':
        v.text.assign(p, size);
        break;
      case 'N':
      case 'F':
        if (!parseDecimal(std::string_view(p, size), v.text, v.number)) {
          v.text = "0";
          v.number = 0;
        }
        v.blank = std::all_of(p, p + size, [](char ch) { return ch == ' '; });
        break;
      case 'D':
        v.julian = julianFromText(p);
        break;
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
};

struct RecnoNode : Node {
  const Value& eval(const Ctx& c) const override {
    v.number = c.recno;
    v.text = std::to_string(c.recno);
    return v;
  }
};

struct DeletedNode : Node {
  const Value& eval(const Ctx& c) const override {
    v.logical = c.record[0] == '*';
    return v;
  }
};

// ---------------------------------------------------------------- operators

struct Unary : Node {
  NodePtr a;
};

struct Binary : Node {
  NodePtr a, b;
};

struct Negate : Unary {
  const Value& eval(const Ctx& c) const override {
    const Value& x = a->eval(c);
    v.number = -x.number;
    if (x.text.empty() || x.number == 0) v.text = x.text;
    else if (x.text[0] == '-') v.text = x.text.substr(1);
    else v.text = "-" + x.text;
    return v;
  }
};

enum class Arith { Add, Sub, Mul, Div, Pow };

struct Arithmetic : Binary {
  Arith op;
  const Value& eval(const Ctx& c) const override {
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
};

struct Concat : Binary {
  bool moveBlanks;  // the "-" form
  const Value& eval(const Ctx& c) const override {
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
};

struct DateShift : Binary {  // date + n, n + date, date - n
  bool subtract, dateFirst;
  const Value& eval(const Ctx& c) const override {
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
};

struct DateDiff : Binary {
  const Value& eval(const Ctx& c) const override {
    setNumber(v, double(a->eval(c).julian) - double(b->eval(c).julian));
    return v;
  }
};

enum class Cmp { Eq, Ne, Lt, Gt, Le, Ge, ExactEq };

struct Compare : Binary {
  Cmp op;
  ValueType operand;
  LanguageRules language = LanguageRules::binary();  // order of character values
  const Value& eval(const Ctx& c) const override {
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
          for (size_t i = 0; i < y.text.size() && equal; ++i)
            equal = (i < x.text.size() ? x.text[i] : ' ') == y.text[i];
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
};

struct Contains : Binary {  // a $ b: a occurs in b
  const Value& eval(const Ctx& c) const override {
    const Value& x = a->eval(c);
    const Value& y = b->eval(c);
    v.logical = y.text.find(x.text) != std::string::npos;
    return v;
  }
};

struct Logic : Binary {
  bool isAnd;
  const Value& eval(const Ctx& c) const override {
    bool x = a->eval(c).logical;
    v.logical = isAnd ? (x && b->eval(c).logical) : (x || b->eval(c).logical);
    return v;
  }
};

struct Not : Unary {
  const Value& eval(const Ctx& c) const override {
    v.logical = !a->eval(c).logical;
    return v;
  }
};

// ---------------------------------------------------------------- functions

struct CaseMap : Unary {
  bool upper;
  LanguageRules language = LanguageRules::binary();
  const Value& eval(const Ctx& c) const override {
    v.text = a->eval(c).text;
    if (!(upper ? language.toUpper(v.text) : language.toLower(v.text)))
      fail(tr("the case of a letter under the table's %1 is not known", {language.describe()}));
    return v;
  }
};

struct Substring : Unary {  // SUBSTR, LEFT and RIGHT
  enum Kind { Sub, Left, Right } kind;
  int64_t start = 1, count = 0;
  bool hasCount = true;
  const Value& eval(const Ctx& c) const override {
    const std::string& s = a->eval(c).text;
    const int64_t n = static_cast<int64_t>(s.size());
    int64_t from = 0, len = 0;
    switch (kind) {
      case Sub:
        from = start - 1;
        len = hasCount ? count : n - from;
        break;
      case Left:
        len = count;
        break;
      case Right:
        len = std::min(count, n);
        from = n - len;
        break;
    }
    if (from >= n || len <= 0) v.text.clear();
    else v.text.assign(s, static_cast<size_t>(from), static_cast<size_t>(std::min(len, n - from)));
    return v;
  }
};

struct Trim : Unary {
  bool left, right;
  const Value& eval(const Ctx& c) const override {
    const std::string& s = a->eval(c).text;
    size_t b = 0, e = s.size();
    if (left)
      while (b < e && s[b] == ' ') ++b;
    if (right)
      while (e > b && s[e - 1] == ' ') --e;
    v.text.assign(s, b, e - b);
    return v;
  }
};

struct DateText : Unary {  // DTOS: YYYYMMDD, blanks for an empty date
  const Value& eval(const Ctx& c) const override {
    int32_t jd = a->eval(c).julian;
    if (jd == 0) {
      v.text = "        ";
      return v;
    }
    int y, m, d;
    civilDate(jd, y, m, d);
    y %= 10000;
    const int digits[8] = {y / 1000, y / 100 % 10, y / 10 % 10, y % 10, m / 10, m % 10, d / 10, d % 10};
    v.text.resize(8);
    for (int i = 0; i < 8; ++i) v.text[static_cast<size_t>(i)] = static_cast<char>('0' + digits[i]);
    return v;
  }
};

struct DatePart : Unary {
  int part;  // 0 year, 1 month, 2 day
  const Value& eval(const Ctx& c) const override {
    int32_t jd = a->eval(c).julian;
    int ymd[3] = {0, 0, 0};
    if (jd != 0) civilDate(jd, ymd[0], ymd[1], ymd[2]);
    v.number = ymd[part];
    v.text = std::to_string(ymd[part]);
    return v;
  }
};

// Fixed-point text of x with `decimals` digits, rounded half away from zero on the
// value's 15 significant decimal digits (so that 123.45 rounds to 123.5 as written).
std::string fixedText(double x, int decimals) {
  std::string all;
  int point = 1;
  if (x != 0) significantDigits(x, all, point);
  else all = "0";
  if (point <= 0) {
    all.insert(0, static_cast<size_t>(1 - point), '0');
    point = 1;
  }
  const size_t cut = static_cast<size_t>(point + decimals);
  if (all.size() < cut + 1) all.resize(cut + 1, '0');
  const bool up = all[cut] >= '5';
  all.resize(cut);
  if (up) {
    size_t i = cut;
    while (i > 0 && all[i - 1] == '9') all[--i] = '0';
    if (i == 0) {
      all.insert(all.begin(), '1');
      ++point;
    } else {
      ++all[i - 1];
    }
  }
  std::string whole = all.substr(0, static_cast<size_t>(point));
  const size_t lead = whole.find_first_not_of('0');
  whole = lead == std::string::npos ? "0" : whole.substr(lead);
  std::string text = whole;
  if (decimals > 0) text += "." + all.substr(static_cast<size_t>(point), static_cast<size_t>(decimals));
  const bool zero = all.find_first_not_of('0') == std::string::npos;
  return (x < 0 && !zero ? "-" : "") + text;
}

struct Str : Unary {
  int width = 10, decimals = 0;
  const Value& eval(const Ctx& c) const override {
    double x = a->eval(c).number;
    std::string t = std::isfinite(x) && std::fabs(x) < 1e250 ? fixedText(x, decimals) : std::string();
    if (t.empty() || t.size() > static_cast<size_t>(width)) {
      v.text.assign(static_cast<size_t>(width), '*');
    } else {
      v.text.assign(static_cast<size_t>(width) - t.size(), ' ');
      v.text.append(t);
    }
    return v;
  }
};

struct Val : Unary {
  const Value& eval(const Ctx& c) const override {
    leadingDecimal(a->eval(c).text, v.text, v.number);
    return v;
  }
};

struct AbsInt : Unary {
  bool isAbs;
  const Value& eval(const Ctx& c) const override {
    double x = a->eval(c).number;
    setNumber(v, isAbs ? std::fabs(x) : std::trunc(x));
    return v;
  }
};

struct Iif : Node {
  NodePtr cond, yes, no;
  const Value& eval(const Ctx& c) const override {
    const Node& branch = cond->eval(c).logical ? *yes : *no;
    v = branch.eval(c);
    // The shorter branch is padded with blanks to the longer one's declared length.
    if (type == ValueType::Character && branch.length < length) v.text.append(length - branch.length, ' ');
    return v;
  }
};

struct DayOfWeek : Unary {  // DOW: 1 = Sunday ... 7 = Saturday, 0 for an empty date
  const Value& eval(const Ctx& c) const override {
    const int32_t jd = a->eval(c).julian;
    const int dow = jd == 0 ? 0 : static_cast<int>((int64_t{jd} + 1) % 7) + 1;
    v.number = dow;
    v.text = std::to_string(dow);
    return v;
  }
};

struct At : Binary {  // AT(needle, text): 1-based position, 0 when absent or empty
  const Value& eval(const Ctx& c) const override {
    const std::string& needle = a->eval(c).text;
    const std::string& text = b->eval(c).text;
    const size_t at = needle.empty() ? std::string::npos : text.find(needle);
    const int64_t n = at == std::string::npos ? 0 : static_cast<int64_t>(at) + 1;
    v.number = static_cast<double>(n);
    v.text = std::to_string(n);
    return v;
  }
};

struct Chr : Unary {
  const Value& eval(const Ctx& c) const override {
    const double x = std::trunc(a->eval(c).number);
    if (!(x >= 0 && x <= 255)) fail(tr("CHR() needs a code from 0 to 255"));
    v.text.assign(1, static_cast<char>(static_cast<uint8_t>(x)));
    return v;
  }
};

struct Asc : Unary {  // code of the first byte, 0 for an empty text
  const Value& eval(const Ctx& c) const override {
    const std::string& t = a->eval(c).text;
    const int code = t.empty() ? 0 : static_cast<uint8_t>(t[0]);
    v.number = code;
    v.text = std::to_string(code);
    return v;
  }
};

struct Len : Unary {
  const Value& eval(const Ctx& c) const override {
    const size_t n = a->eval(c).text.size();
    v.number = static_cast<double>(n);
    v.text = std::to_string(n);
    return v;
  }
};

struct Mod : Binary {  // the result takes the sign of the divisor: MOD(-1, 3) = 2
  const Value& eval(const Ctx& c) const override {
    const double x = a->eval(c).number, y = b->eval(c).number;
    if (y == 0) fail(tr("MOD() by zero"));
    double r = std::fmod(x, y);
    if (r != 0 && ((r < 0) != (y < 0))) r += y;
    if (!std::isfinite(r)) fail(tr("numeric overflow"));
    setNumber(v, r);
    return v;
  }
};

// ROUND(n, d): half away from zero at d decimals (d < 0: tens, hundreds...), on the
// value's 15 significant digits like STR().
struct Round : Binary {
  const Value& eval(const Ctx& c) const override {
    const double x = a->eval(c).number;
    const double dd = std::trunc(b->eval(c).number);
    if (!(dd >= -15 && dd <= 15)) fail(tr("the decimals of ROUND() must be -15 to 15"));
    const int d = static_cast<int>(dd);
    if (!std::isfinite(x) || std::fabs(x) >= 1e250) fail(tr("numeric overflow"));
    std::string t;
    if (d >= 0) {
      t = fixedText(x, d);
    } else {
      t = fixedText(x / std::pow(10.0, -d), 0);
      if (t != "0") t.append(static_cast<size_t>(-d), '0');
    }
    if (!parseDecimal(t, v.text, v.number)) fail(tr("numeric overflow"));
    return v;
  }
};

struct Space : Node {
  const Value& eval(const Ctx&) const override {
    v.text.assign(length, ' ');
    return v;
  }
};

struct Replicate : Unary {
  int64_t times = 0;
  const Value& eval(const Ctx& c) const override {
    const std::string& t = a->eval(c).text;
    v.text.clear();
    for (int64_t i = 0; i < times; ++i) v.text.append(t);
    return v;
  }
};

// STUFF(text, start, count, insert): `count` bytes from `start` (1-based) replaced by
// `insert`; a start past the end appends.
struct Stuff : Node {
  NodePtr text, start, count, insert;
  const Value& eval(const Ctx& c) const override {
    const std::string& t = text->eval(c).text;
    const double s0 = std::trunc(start->eval(c).number);
    const double n0 = std::trunc(count->eval(c).number);
    const std::string& ins = insert->eval(c).text;
    const size_t size = t.size();
    const size_t from = s0 <= 1 ? 0 : s0 > double(size) + 1 ? size : static_cast<size_t>(s0) - 1;
    size_t n = 0;
    if (n0 > 0) n = n0 >= double(size - from) ? size - from : static_cast<size_t>(n0);
    v.text.assign(t, 0, from);
    v.text.append(ins);
    v.text.append(t, from + n, std::string::npos);
    return v;
  }
};

struct Empty : Unary {  // EMPTY and ISBLANK
  bool isBlank;
  const Value& eval(const Ctx& c) const override {
    const Value& x = a->eval(c);
    switch (a->type) {
      case ValueType::Character:
        v.logical = std::all_of(x.text.begin(), x.text.end(), [](char ch) { return ch == ' '; });
        break;
      case ValueType::Numeric: v.logical = isBlank ? x.blank : x.number == 0; break;
      case ValueType::Date: v.logical = x.julian == 0; break;
      case ValueType::Logical: v.logical = isBlank ? x.blank : !x.logical; break;
    }
    return v;
  }
};

// SOUNDEX: the first letter and three digits of the consonants after it; leading
// blanks are skipped, the code ends at the first byte that is not a letter, "0000"
// when the text does not start with one. Vowels (and Y) separate equal codes, H and W
// do not. Whether a byte above 0x7F counts as a letter (and which) is the language
// driver's business and not known here: meeting one before the code is complete is
// an error rather than a guess.
struct Soundex : Unary {
  static char code(char up) {
    switch (up) {
      case 'B': case 'F': case 'P': case 'V': return '1';
      case 'C': case 'G': case 'J': case 'K': case 'Q': case 'S': case 'X': case 'Z': return '2';
      case 'D': case 'T': return '3';
      case 'L': return '4';
      case 'M': case 'N': return '5';
      case 'R': return '6';
      case 'H': case 'W': return 'h';
      default: return '0';  // vowels and Y
    }
  }
  const Value& eval(const Ctx& c) const override {
    const std::string& t = a->eval(c).text;
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    auto high = [&](size_t at) {
      if (at < t.size() && static_cast<uint8_t>(t[at]) >= 0x80) fail(tr("SOUNDEX() of a letter outside ASCII is not known"));
    };
    high(i);
    if (i >= t.size() || !asciiLetter(t[i])) {
      v.text = "0000";
      return v;
    }
    v.text.assign(1, asciiUpper(t[i]));
    char last = code(v.text[0]);
    for (++i; v.text.size() < 4 && (high(i), i < t.size() && asciiLetter(t[i])); ++i) {
      const char k = code(asciiUpper(t[i]));
      if (k == 'h') continue;
      if (k != '0' && k != last) v.text.push_back(k);
      last = k;
    }
    v.text.resize(4, '0');
    return v;
  }
};

// ---------------------------------------------------------------- lexer

enum class Tok { End, Number, String, Ident, LParen, RParen, Comma, Arrow, Plus, Minus, Star, Slash, Caret,
                 Eq, ExactEq, Ne, Lt, Gt, Le, Ge, Dollar, And, Or, Not, True, False };

struct Token {
  Tok kind = Tok::End;
  std::string text;
  size_t pos = 0;
};

class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) { advance(); }
  const Token& peek() const { return cur_; }
  Token take() {
    Token t = cur_;
    advance();
    return t;
  }

 private:
  void advance() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    cur_ = Token{};
    cur_.pos = i_;
    if (i_ >= s_.size()) return;
    char ch = s_[i_];
    auto single = [&](Tok k, size_t n = 1) {
      cur_.kind = k;
      cur_.text = std::string(s_.substr(i_, n));
      i_ += n;
    };
    auto next = [&](size_t k) { return i_ + k < s_.size() ? s_[i_ + k] : '\0'; };
    if (asciiDigit(ch) || (ch == '.' && asciiDigit(next(1)))) {
      size_t b = i_;
      while (i_ < s_.size() && asciiDigit(s_[i_])) ++i_;
      if (i_ < s_.size() && s_[i_] == '.' && i_ + 1 < s_.size() && asciiDigit(s_[i_ + 1])) {
        ++i_;
        while (i_ < s_.size() && asciiDigit(s_[i_])) ++i_;
      }
      cur_.kind = Tok::Number;
      cur_.text = std::string(s_.substr(b, i_ - b));
      return;
    }
    if (ch == '.') {
      size_t e = i_ + 1;
      while (e < s_.size() && asciiLetter(s_[e])) ++e;
      if (e < s_.size() && s_[e] == '.' && e > i_ + 1) {
        std::string word(s_.substr(i_ + 1, e - i_ - 1));
        for (auto& c : word) c = asciiUpper(c);
        Tok k = word == "AND" ? Tok::And : word == "OR" ? Tok::Or : word == "NOT" ? Tok::Not
              : (word == "T" || word == "Y" || word == "TRUE") ? Tok::True
              : (word == "F" || word == "N" || word == "FALSE") ? Tok::False : Tok::End;
        if (k == Tok::End) fail(tr("unknown operator .%1.", {word}));
        cur_.kind = k;
        cur_.text = word;
        i_ = e + 1;
        return;
      }
      fail(tr("unexpected '.' at position %1", {std::to_string(i_ + 1)}));
    }
    if (ch == '"' || ch == '\'' || ch == '[') {
      char close = ch == '[' ? ']' : ch;
      size_t e = s_.find(close, i_ + 1);
      if (e == std::string_view::npos) fail(tr("unterminated text literal"));
      cur_.kind = Tok::String;
      cur_.text = std::string(s_.substr(i_ + 1, e - i_ - 1));
      i_ = e + 1;
      return;
    }
    if (asciiLetter(ch) || ch == '_') {
      size_t b = i_;
      while (i_ < s_.size() && (asciiLetter(s_[i_]) || asciiDigit(s_[i_]) || s_[i_] == '_')) ++i_;
      cur_.kind = Tok::Ident;
      cur_.text = std::string(s_.substr(b, i_ - b));
      for (auto& c : cur_.text) c = asciiUpper(c);
      return;
    }
    switch (ch) {
      case '(': return single(Tok::LParen);
      case ')': return single(Tok::RParen);
      case ',': return single(Tok::Comma);
      case '+': return single(Tok::Plus);
      case '-': return next(1) == '>' ? single(Tok::Arrow, 2) : single(Tok::Minus);
      case '*': return next(1) == '*' ? single(Tok::Caret, 2) : single(Tok::Star);
      case '/': return single(Tok::Slash);
      case '^': return single(Tok::Caret);
      case '$': return single(Tok::Dollar);
      case '#': return single(Tok::Ne);
      case '!': return next(1) == '=' ? single(Tok::Ne, 2) : single(Tok::Not);
      case '=': return next(1) == '=' ? single(Tok::ExactEq, 2) : single(Tok::Eq);
      case '<':
        if (next(1) == '=') return single(Tok::Le, 2);
        if (next(1) == '>') return single(Tok::Ne, 2);
        return single(Tok::Lt);
      case '>': return next(1) == '=' ? single(Tok::Ge, 2) : single(Tok::Gt);
      default: break;
    }
    fail(tr("unexpected character '%1' at position %2", {std::string(1, ch), std::to_string(i_ + 1)}));
  }

  std::string_view s_;
  size_t i_ = 0;
  Token cur_;
};

// ---------------------------------------------------------------- parser

constexpr int kMaxDepth = 64;

class Parser {
 public:
  Parser(std::string_view text, const std::vector<Field>& fields, const ExpressionContext& context)
      : lex_(text), fields_(fields), context_(context) {}

  NodePtr parseAll() {
    if (lex_.peek().kind == Tok::End) fail(tr("empty expression"));
    NodePtr n = parseOr();
    if (lex_.peek().kind != Tok::End)
      fail(tr("unexpected '%1' at position %2", {lex_.peek().text, std::to_string(lex_.peek().pos + 1)}));
    return n;
  }

 private:
  struct DepthGuard {
    int& d;
    explicit DepthGuard(int& depth) : d(depth) {
      if (++d > kMaxDepth) fail(tr("expression nested too deeply"));
    }
    ~DepthGuard() { --d; }
  };

  template <class T>
  static std::unique_ptr<T> make(ValueType t, int64_t length) {
    auto n = std::make_unique<T>();
    n->type = t;
    n->length = clampLength(length);
    n->v.type = t;
    return n;
  }

  // Folds a node whose value does not depend on the record into a literal.
  static NodePtr fold(NodePtr n) {
    if (!n->constant) return n;
    static const uint8_t blank[1] = {' '};
    Ctx c{blank, 0};
    const Value& r = n->eval(c);
    auto lit = make<Literal>(n->type, n->length);
    lit->v = r;
    lit->constant = true;
    return lit;
  }

  static void expect(const Node& n, ValueType t, const char* what) {
    if (n.type != t) fail(tr("%1 needs a %2 value, not %3", {tr(what), typeText(t), typeText(n.type)}));
  }

  void eat(Tok k, const char* what) {
    if (lex_.peek().kind != k) fail(tr("expected %1 at position %2", {tr(what), std::to_string(lex_.peek().pos + 1)}));
    lex_.take();
  }

  NodePtr parseOr() {
    DepthGuard g(depth_);
    NodePtr left = parseAnd();
    while (lex_.peek().kind == Tok::Or) {
      lex_.take();
      NodePtr right = parseAnd();
      left = logic(std::move(left), std::move(right), false);
    }
    return left;
  }

  NodePtr parseAnd() {
    NodePtr left = parseNot();
    while (lex_.peek().kind == Tok::And) {
      lex_.take();
      NodePtr right = parseNot();
      left = logic(std::move(left), std::move(right), true);
    }
    return left;
  }

  NodePtr logic(NodePtr a, NodePtr b, bool isAnd) {
    expect(*a, ValueType::Logical, isAnd ? ".AND." : ".OR.");
    expect(*b, ValueType::Logical, isAnd ? ".AND." : ".OR.");
    auto n = make<Logic>(ValueType::Logical, 1);
    n->isAnd = isAnd;
    n->constant = a->constant && b->constant;
    n->a = std::move(a);
    n->b = std::move(b);
    return fold(std::move(n));
  }

  NodePtr parseNot() {
    DepthGuard g(depth_);
    if (lex_.peek().kind == Tok::Not) {
      lex_.take();
      NodePtr a = parseNot();
      expect(*a, ValueType::Logical, ".NOT.");
      auto n = make<Not>(ValueType::Logical, 1);
      n->constant = a->constant;
      n->a = std::move(a);
      return fold(std::move(n));
    }
    return parseRelation();
  }

  NodePtr parseRelation() {
    NodePtr left = parseSum();
    Tok k = lex_.peek().kind;
    Cmp op;
    switch (k) {
      case Tok::Eq: op = Cmp::Eq; break;
      case Tok::ExactEq: op = Cmp::ExactEq; break;
      case Tok::Ne: op = Cmp::Ne; break;
      case Tok::Lt: op = Cmp::Lt; break;
      case Tok::Gt: op = Cmp::Gt; break;
      case Tok::Le: op = Cmp::Le; break;
      case Tok::Ge: op = Cmp::Ge; break;
      case Tok::Dollar: {
        lex_.take();
        NodePtr right = parseSum();
        expect(*left, ValueType::Character, "$");
        expect(*right, ValueType::Character, "$");
        auto n = make<Contains>(ValueType::Logical, 1);
        n->constant = left->constant && right->constant;
        n->a = std::move(left);
        n->b = std::move(right);
        return fold(std::move(n));
      }
      default: return left;
    }
    lex_.take();
    NodePtr right = parseSum();
    if (left->type != right->type)
      fail(tr("cannot compare a %1 value with a %2 value", {typeText(left->type), typeText(right->type)}));
    if (left->type == ValueType::Logical && op != Cmp::Eq && op != Cmp::Ne && op != Cmp::ExactEq)
      fail(tr("logical values can only be tested for equality"));
    auto n = make<Compare>(ValueType::Logical, 1);
    n->op = op;
    n->operand = left->type;
    n->language = context_.language;
    n->constant = left->constant && right->constant;
    n->a = std::move(left);
    n->b = std::move(right);
    return fold(std::move(n));
  }

  NodePtr parseSum() {
    NodePtr left = parseProduct();
    while (lex_.peek().kind == Tok::Plus || lex_.peek().kind == Tok::Minus) {
      bool minus = lex_.take().kind == Tok::Minus;
      NodePtr right = parseProduct();
      left = sum(std::move(left), std::move(right), minus);
    }
    return left;
  }

  NodePtr sum(NodePtr a, NodePtr b, bool minus) {
    const bool constant = a->constant && b->constant;
    const ValueType ta = a->type, tb = b->type;
    NodePtr result;
    if (ta == ValueType::Character && tb == ValueType::Character) {
      auto n = make<Concat>(ValueType::Character, int64_t{a->length} + b->length);
      n->moveBlanks = minus;
      n->a = std::move(a);
      n->b = std::move(b);
      result = std::move(n);
    } else if (ta == ValueType::Numeric && tb == ValueType::Numeric) {
      auto n = make<Arithmetic>(ValueType::Numeric, 20);
      n->op = minus ? Arith::Sub : Arith::Add;
      n->a = std::move(a);
      n->b = std::move(b);
      result = std::move(n);
    } else if (ta == ValueType::Date && tb == ValueType::Numeric) {
      auto n = make<DateShift>(ValueType::Date, 8);
      n->subtract = minus;
      n->dateFirst = true;
      n->a = std::move(a);
      n->b = std::move(b);
      result = std::move(n);
    } else if (ta == ValueType::Numeric && tb == ValueType::Date && !minus) {
      auto n = make<DateShift>(ValueType::Date, 8);
      n->subtract = false;
      n->dateFirst = false;
      n->a = std::move(a);
      n->b = std::move(b);
      result = std::move(n);
    } else if (ta == ValueType::Date && tb == ValueType::Date && minus) {
      auto n = make<DateDiff>(ValueType::Numeric, 20);
      n->a = std::move(a);
      n->b = std::move(b);
      result = std::move(n);
    } else {
      fail(tr(minus ? "cannot subtract a %1 value from a %2 value" : "cannot add a %1 value to a %2 value",
              {typeText(tb), typeText(ta)}));
    }
    result->constant = constant;
    return fold(std::move(result));
  }

  NodePtr parseProduct() {
    NodePtr left = parsePower();
    while (lex_.peek().kind == Tok::Star || lex_.peek().kind == Tok::Slash) {
      Arith op = lex_.take().kind == Tok::Star ? Arith::Mul : Arith::Div;
      NodePtr right = parsePower();
      left = arithmetic(std::move(left), std::move(right), op, op == Arith::Mul ? "*" : "/");
    }
    return left;
  }

  NodePtr parsePower() {
    DepthGuard g(depth_);
    NodePtr left = parseUnary();
    if (lex_.peek().kind == Tok::Caret) {
      lex_.take();
      NodePtr right = parsePower();
      return arithmetic(std::move(left), std::move(right), Arith::Pow, "^");
    }
    return left;
  }

  NodePtr arithmetic(NodePtr a, NodePtr b, Arith op, const char* name) {
    expect(*a, ValueType::Numeric, name);
    expect(*b, ValueType::Numeric, name);
    auto n = make<Arithmetic>(ValueType::Numeric, 20);
    n->op = op;
    n->constant = a->constant && b->constant;
    n->a = std::move(a);
    n->b = std::move(b);
    return fold(std::move(n));
  }

  NodePtr parseUnary() {
    DepthGuard g(depth_);
    Tok k = lex_.peek().kind;
    if (k == Tok::Minus || k == Tok::Plus) {
      lex_.take();
      NodePtr a = parseUnary();
      expect(*a, ValueType::Numeric, k == Tok::Minus ? "unary -" : "unary +");
      if (k == Tok::Plus) return a;
      auto n = make<Negate>(ValueType::Numeric, int64_t{a->length} + 1);
      n->constant = a->constant;
      n->a = std::move(a);
      return fold(std::move(n));
    }
    return parsePrimary();
  }

  NodePtr parsePrimary() {
    Token t = lex_.take();
    switch (t.kind) {
      case Tok::Number: {
        auto n = make<Literal>(ValueType::Numeric, static_cast<int64_t>(t.text.size()));
        parseDecimal(t.text, n->v.text, n->v.number);
        n->constant = true;
        return n;
      }
      case Tok::String: {
        auto n = make<Literal>(ValueType::Character, static_cast<int64_t>(t.text.size()));
        n->v.text = t.text;
        n->constant = true;
        return n;
      }
      case Tok::True:
      case Tok::False: {
        auto n = make<Literal>(ValueType::Logical, 1);
        n->v.logical = t.kind == Tok::True;
        n->constant = true;
        return n;
      }
      case Tok::LParen: {
        NodePtr n = parseOr();
        eat(Tok::RParen, "')'");
        return n;
      }
      case Tok::Ident:
        if (lex_.peek().kind == Tok::LParen) return parseCall(t.text);
        if (lex_.peek().kind == Tok::Arrow) {
          lex_.take();
          Token f = lex_.take();
          if (f.kind != Tok::Ident) fail(tr("expected a field name after '->'"));
          // Only the table's own alias names these fields; another alias is another
          // table (or memory variables, M->), which an index cannot follow.
          if (t.text != context_.alias)
            fail(tr("%1->%2 is a field of another table (alias %1), which this index cannot follow", {t.text, f.text}));
          return fieldRef(f.text);
        }
        return fieldRef(t.text);
      case Tok::End: fail(tr("unexpected end of expression"));
      default: fail(tr("unexpected '%1' at position %2", {t.text, std::to_string(t.pos + 1)}));
    }
  }

  NodePtr fieldRef(const std::string& name) {
    for (const Field& f : fields_) {
      if (f.name != name) continue;
      ValueType t;
      switch (f.type) {
        case 'C': t = ValueType::Character; break;
        case 'N':
        case 'F':
        case 'I':
        case '+': t = ValueType::Numeric; break;
        case 'D': t = ValueType::Date; break;
        case 'L': t = ValueType::Logical; break;
        default: fail(tr("field %1 cannot be used in an expression", {name}));
      }
      auto n = make<FieldRef>(t, t == ValueType::Date ? 8 : f.length);
      n->fieldType = f.type;
      n->offset = f.offset;
      n->size = f.length;
      return n;
    }
    fail(tr("unknown field %1", {name}));
  }

  std::vector<NodePtr> arguments() {
    std::vector<NodePtr> args;
    eat(Tok::LParen, "'('");
    if (lex_.peek().kind != Tok::RParen) {
      for (;;) {
        args.push_back(parseOr());
        if (lex_.peek().kind != Tok::Comma) break;
        lex_.take();
        if (args.size() > 8) fail(tr("too many arguments"));
      }
    }
    eat(Tok::RParen, "')'");
    return args;
  }

  static std::string resolveFunction(const std::string& name) {
    static const char* const known[] = {"UPPER", "LOWER", "SUBSTR", "LEFT", "RIGHT", "TRIM", "RTRIM", "LTRIM",
                                        "ALLTRIM", "DTOS", "DTOC", "STR", "VAL", "IIF", "RECNO", "DELETED",
                                        "YEAR", "MONTH", "DAY", "ABS", "INT", "AT", "CHR", "ASC", "LEN", "MOD",
                                        "ROUND", "SPACE", "REPLICATE", "STUFF", "EMPTY", "ISBLANK", "SOUNDEX",
                                        "CTOD", "DOW", "DATE", "TIME", "CDOW", "CMONTH"};
    for (const char* k : known)
      if (name == k) return name;
    if (name.size() >= 4) {
      std::string found;
      for (const char* k : known) {
        if (std::strncmp(k, name.c_str(), name.size()) == 0) {
          if (!found.empty()) fail(tr("ambiguous function name %1", {name}));
          found = k;
        }
      }
      if (!found.empty()) return found;
    }
    fail(tr("unknown function %1", {name}));
  }

  static int64_t constantInt(const Node& n, const char* what) {
    if (n.type != ValueType::Numeric || !n.constant) fail(tr("%1 must be a constant number", {tr(what)}));
    double x = n.v.number;
    if (!(x >= -1e6 && x <= 1e6)) fail(tr("%1 is out of range", {tr(what)}));
    return static_cast<int64_t>(std::trunc(x));
  }

  NodePtr parseCall(const std::string& rawName) {
    const std::string name = resolveFunction(rawName);
    // Values an index cannot reproduce: they depend on a setting or on the day of the
    // rebuild, none of which the index records.
    if (name == "DTOC") fail(tr("DTOC() writes the date by the date setting, which the index does not record"));
    if (name == "DATE" || name == "TIME") fail(tr("%1() depends on the day of the rebuild", {name}));
    if (name == "CDOW" || name == "CMONTH") fail(tr("%1() depends on the language setting, which the index does not record", {name}));
    std::vector<NodePtr> args = arguments();
    auto arity = [&](size_t lo, size_t hi) {
      if (args.size() < lo || args.size() > hi) fail(hi != lo   ? tr("%1() takes %2 to %3 arguments", {name, std::to_string(lo), std::to_string(hi)})
                                                    : hi == 1 ? tr("%1() takes 1 argument", {name})
                                                              : tr("%1() takes %2 arguments", {name, std::to_string(lo)}));
    };
    NodePtr result;
    bool constant = std::all_of(args.begin(), args.end(), [](const NodePtr& a) { return a->constant; });
    if (name == "UPPER" || name == "LOWER") {
      arity(1, 1);
      expect(*args[0], ValueType::Character, name.c_str());
      auto n = make<CaseMap>(ValueType::Character, args[0]->length);
      n->upper = name == "UPPER";
      n->language = context_.language;
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "SUBSTR" || name == "LEFT" || name == "RIGHT") {
      if (name == "SUBSTR") arity(2, 3);
      else arity(2, 2);
      expect(*args[0], ValueType::Character, name.c_str());
      auto n = make<Substring>(ValueType::Character, 0);
      const int64_t len = args[0]->length;
      int64_t declared = 0;
      if (name == "SUBSTR") {
        n->kind = Substring::Sub;
        n->start = constantInt(*args[1], "the start of SUBSTR()");
        if (n->start < 1) fail(tr("the start of SUBSTR() must be at least 1"));
        n->hasCount = args.size() == 3;
        int64_t rest = std::max<int64_t>(0, len - n->start + 1);
        if (n->hasCount) {
          n->count = constantInt(*args[2], "the length of SUBSTR()");
          if (n->count < 0) fail(tr("the length of SUBSTR() must not be negative"));
          declared = std::min(n->count, rest);
        } else {
          declared = rest;
        }
      } else {
        n->kind = name == "LEFT" ? Substring::Left : Substring::Right;
        n->count = constantInt(*args[1], tr("the length of %1()", {name}).c_str());
        if (n->count < 0) fail(tr("the length of %1() must not be negative", {name}));
        declared = std::min(n->count, len);
      }
      n->length = clampLength(declared);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "TRIM" || name == "RTRIM" || name == "LTRIM" || name == "ALLTRIM") {
      arity(1, 1);
      expect(*args[0], ValueType::Character, name.c_str());
      auto n = make<Trim>(ValueType::Character, args[0]->length);
      n->left = name == "LTRIM" || name == "ALLTRIM";
      n->right = name != "LTRIM";
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "DTOS") {
      arity(1, 1);
      expect(*args[0], ValueType::Date, name.c_str());
      auto n = make<DateText>(ValueType::Character, 8);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "CTOD") {
      // The date order and century of a date text follow settings; only a blank text
      // reads the same under all of them (the empty date).
      arity(1, 1);
      expect(*args[0], ValueType::Character, name.c_str());
      const bool blank = args[0]->constant &&
                         std::all_of(args[0]->v.text.begin(), args[0]->v.text.end(),
                                     [](char ch) { return ch == ' ' || ch == '/' || ch == '.' || ch == '-'; });
      if (!blank) fail(tr("CTOD() reads the date by the date setting, which the index does not record"));
      auto n = make<Literal>(ValueType::Date, 8);
      n->v.julian = 0;
      result = std::move(n);
    } else if (name == "DOW") {
      arity(1, 1);
      expect(*args[0], ValueType::Date, name.c_str());
      auto n = make<DayOfWeek>(ValueType::Numeric, 1);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "AT") {
      arity(2, 2);
      expect(*args[0], ValueType::Character, "AT");
      expect(*args[1], ValueType::Character, "AT");
      auto n = make<At>(ValueType::Numeric, 5);
      n->a = std::move(args[0]);
      n->b = std::move(args[1]);
      result = std::move(n);
    } else if (name == "CHR") {
      arity(1, 1);
      expect(*args[0], ValueType::Numeric, "CHR");
      auto n = make<Chr>(ValueType::Character, 1);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "ASC" || name == "LEN") {
      arity(1, 1);
      expect(*args[0], ValueType::Character, name.c_str());
      NodePtr n;
      if (name == "ASC") {
        auto x = make<Asc>(ValueType::Numeric, 3);
        x->a = std::move(args[0]);
        n = std::move(x);
      } else {
        auto x = make<Len>(ValueType::Numeric, 5);
        x->a = std::move(args[0]);
        n = std::move(x);
      }
      result = std::move(n);
    } else if (name == "MOD" || name == "ROUND") {
      arity(2, 2);
      expect(*args[0], ValueType::Numeric, name.c_str());
      expect(*args[1], ValueType::Numeric, name.c_str());
      NodePtr n;
      if (name == "MOD") {
        auto x = make<Mod>(ValueType::Numeric, args[1]->length);
        x->a = std::move(args[0]);
        x->b = std::move(args[1]);
        n = std::move(x);
      } else {
        auto x = make<Round>(ValueType::Numeric, args[0]->length);
        x->a = std::move(args[0]);
        x->b = std::move(args[1]);
        n = std::move(x);
      }
      result = std::move(n);
    } else if (name == "SPACE") {
      arity(1, 1);
      const int64_t count = constantInt(*args[0], "the length of SPACE()");
      if (count < 0 || count > 255) fail(tr("the length of SPACE() must be 0 to 255"));
      result = make<Space>(ValueType::Character, count);
      constant = true;
    } else if (name == "REPLICATE") {
      arity(2, 2);
      expect(*args[0], ValueType::Character, "REPLICATE");
      const int64_t times = constantInt(*args[1], "the count of REPLICATE()");
      if (times < 0) fail(tr("the count of REPLICATE() must not be negative"));
      if (times * args[0]->length > 255) fail(tr("REPLICATE() gives a text longer than 255 bytes"));
      auto n = make<Replicate>(ValueType::Character, times * args[0]->length);
      n->times = times;
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "STUFF") {
      arity(4, 4);
      expect(*args[0], ValueType::Character, "STUFF");
      expect(*args[1], ValueType::Numeric, "the start of STUFF()");
      expect(*args[2], ValueType::Numeric, "the count of STUFF()");
      expect(*args[3], ValueType::Character, "STUFF");
      // Declared length: what is left of the text plus the inserted text, when the start
      // and count are constants; otherwise the longest the result can be.
      int64_t declared = int64_t{args[0]->length} + args[3]->length;
      if (args[1]->constant && args[2]->constant) {
        const int64_t len = args[0]->length;
        const int64_t from = std::clamp<int64_t>(constantInt(*args[1], "the start of STUFF()"), 1, len + 1) - 1;
        const int64_t count = std::clamp<int64_t>(constantInt(*args[2], "the count of STUFF()"), 0, len - from);
        declared = len - count + args[3]->length;
      }
      auto n = make<Stuff>(ValueType::Character, declared);
      n->text = std::move(args[0]);
      n->start = std::move(args[1]);
      n->count = std::move(args[2]);
      n->insert = std::move(args[3]);
      result = std::move(n);
    } else if (name == "EMPTY" || name == "ISBLANK") {
      arity(1, 1);
      auto n = make<Empty>(ValueType::Logical, 1);
      n->isBlank = name == "ISBLANK";
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "SOUNDEX") {
      arity(1, 1);
      expect(*args[0], ValueType::Character, "SOUNDEX");
      auto n = make<Soundex>(ValueType::Character, 4);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "YEAR" || name == "MONTH" || name == "DAY") {
      arity(1, 1);
      expect(*args[0], ValueType::Date, name.c_str());
      auto n = make<DatePart>(ValueType::Numeric, name == "YEAR" ? 4 : 2);
      n->part = name == "YEAR" ? 0 : name == "MONTH" ? 1 : 2;
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "STR") {
      arity(1, 3);
      expect(*args[0], ValueType::Numeric, "STR");
      auto n = make<Str>(ValueType::Character, 10);
      if (args.size() >= 2) n->width = static_cast<int>(constantInt(*args[1], "the width of STR()"));
      if (args.size() == 3) n->decimals = static_cast<int>(constantInt(*args[2], "the decimals of STR()"));
      if (n->width < 1 || n->width > 255) fail(tr("the width of STR() must be 1 to 255"));
      if (n->decimals < 0 || n->decimals > 18) fail(tr("the decimals of STR() must be 0 to 18"));
      n->length = clampLength(n->width);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "VAL") {
      arity(1, 1);
      expect(*args[0], ValueType::Character, "VAL");
      auto n = make<Val>(ValueType::Numeric, 20);
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "ABS" || name == "INT") {
      arity(1, 1);
      expect(*args[0], ValueType::Numeric, name.c_str());
      auto n = make<AbsInt>(ValueType::Numeric, args[0]->length);
      n->isAbs = name == "ABS";
      n->a = std::move(args[0]);
      result = std::move(n);
    } else if (name == "IIF") {
      arity(3, 3);
      expect(*args[0], ValueType::Logical, "the condition of IIF()");
      if (args[1]->type != args[2]->type) fail(tr("the two results of IIF() have different types"));
      auto n = make<Iif>(args[1]->type, std::max(args[1]->length, args[2]->length));
      n->cond = std::move(args[0]);
      n->yes = std::move(args[1]);
      n->no = std::move(args[2]);
      result = std::move(n);
    } else if (name == "RECNO") {
      arity(0, 0);
      result = make<RecnoNode>(ValueType::Numeric, 10);
      constant = false;
    } else if (name == "DELETED") {
      arity(0, 0);
      result = make<DeletedNode>(ValueType::Logical, 1);
      constant = false;
    } else {
      fail(tr("unknown function %1", {name}));
    }
    result->constant = constant;
    return fold(std::move(result));
  }

  Lexer lex_;
  const std::vector<Field>& fields_;
  const ExpressionContext& context_;
  int depth_ = 0;
};

}  // namespace
}  // namespace expr_detail

Expression::Expression(std::string_view text, const std::vector<Field>& fields, const ExpressionContext& context) {
  // Index files hold at most 220 characters; the bound also keeps the tree shallow.
  if (text.size() > kMaxExpressionText) throw ExpressionError(tr("expression too long"));
  expr_detail::Parser p(text, fields, context);
  root_ = p.parseAll();
}

Expression::~Expression() = default;
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;

ValueType Expression::type() const { return root_->type; }
uint16_t Expression::length() const { return root_->length; }

const Value& Expression::evaluate(const uint8_t* record, uint32_t recordNumber) const {
  return root_->eval(expr_detail::Ctx{record, recordNumber});
}

}  // namespace idapi::core
