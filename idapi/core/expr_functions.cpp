// The function library of key expressions: the nodes of every function and the one
// table that names them, with their argument counts and types, result types, builders,
// and the functions refused because an index cannot reproduce their values.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "idapi/core/expr_internal.h"
#include "idapi/core/messages.h"

namespace idapi::core::expr_detail {

namespace {

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
      case Left: len = count; break;
      case Right:
        len = std::min(count, n);
        from = n - len;
        break;
    }
    if (from >= n || len <= 0)
      v.text.clear();
    else
      v.text.assign(s, static_cast<size_t>(from), static_cast<size_t>(std::min(len, n - from)));
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
  if (x != 0)
    significantDigits(x, all, point);
  else
    all = "0";
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
    const Value& xv = a->eval(c);
    if (isAbs) {
      v.number = std::fabs(xv.number);
      v.text = !xv.text.empty() && xv.text[0] == '-' ? xv.text.substr(1) : xv.text;
    } else if (!exactTruncate(xv, v)) {
      setNumber(v, std::trunc(xv.number));
    }
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
    const Value& xv = a->eval(c);
    const Value& yv = b->eval(c);
    const double x = xv.number, y = yv.number;
    if (y == 0) fail(tr("MOD() by zero"));
    if (exactModulo(xv, yv, v)) return v;
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
      case 'B':
      case 'F':
      case 'P':
      case 'V': return '1';
      case 'C':
      case 'G':
      case 'J':
      case 'K':
      case 'Q':
      case 'S':
      case 'X':
      case 'Z': return '2';
      case 'D':
      case 'T': return '3';
      case 'L': return '4';
      case 'M':
      case 'N': return '5';
      case 'R': return '6';
      case 'H':
      case 'W': return 'h';
      default: return '0';  // vowels and Y
    }
  }
  const Value& eval(const Ctx& c) const override {
    const std::string& t = a->eval(c).text;
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    auto high = [&](size_t at) {
      if (at < t.size() && static_cast<uint8_t>(t[at]) >= 0x80)
        fail(tr("SOUNDEX() of a letter outside ASCII is not known"));
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

// ---------------------------------------------------------------- builders

template <class T>
NodePtr unary(Call& c, int64_t length) {
  auto n = make<T>(c.result, length);
  n->a = std::move(c.args[0]);
  return n;
}

template <class T>
NodePtr binary(Call& c, int64_t length) {
  auto n = make<T>(c.result, length);
  n->a = std::move(c.args[0]);
  n->b = std::move(c.args[1]);
  return n;
}

NodePtr caseMap(Call& c) {
  auto n = make<CaseMap>(c.result, c.args[0]->length);
  n->upper = c.name == "UPPER";
  n->language = c.context.language;
  n->a = std::move(c.args[0]);
  return n;
}

NodePtr substring(Call& c) {
  const std::string& name = c.name;
  auto& args = c.args;
  auto n = make<Substring>(c.result, 0);
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
  return n;
}

NodePtr trim(Call& c) {
  auto n = make<Trim>(c.result, c.args[0]->length);
  n->left = c.name == "LTRIM" || c.name == "ALLTRIM";
  n->right = c.name != "LTRIM";
  n->a = std::move(c.args[0]);
  return n;
}

// The date order and century of a date text follow settings; only a blank text reads
// the same under all of them (the empty date).
NodePtr ctod(Call& c) {
  const Node& text = *c.args[0];
  const bool blank = text.constant && std::all_of(text.v.text.begin(), text.v.text.end(), [](char ch) {
                       return ch == ' ' || ch == '/' || ch == '.' || ch == '-';
                     });
  if (!blank) fail(tr("CTOD() reads the date by the date setting, which the index does not record"));
  auto n = make<Literal>(c.result, 8);
  n->v.julian = 0;
  return n;
}

NodePtr space(Call& c) {
  const int64_t count = constantInt(*c.args[0], "the length of SPACE()");
  if (count < 0 || count > 255) fail(tr("the length of SPACE() must be 0 to 255"));
  c.constant = true;
  return make<Space>(c.result, count);
}

NodePtr replicate(Call& c) {
  auto& args = c.args;
  const int64_t times = constantInt(*args[1], "the count of REPLICATE()");
  if (times < 0) fail(tr("the count of REPLICATE() must not be negative"));
  if (times * args[0]->length > 255) fail(tr("REPLICATE() gives a text longer than 255 bytes"));
  auto n = make<Replicate>(c.result, times * args[0]->length);
  n->times = times;
  n->a = std::move(args[0]);
  return n;
}

// Declared length: what is left of the text plus the inserted text, when the start and
// count are constants; otherwise the longest the result can be.
NodePtr stuff(Call& c) {
  auto& args = c.args;
  int64_t declared = int64_t{args[0]->length} + args[3]->length;
  if (args[1]->constant && args[2]->constant) {
    const int64_t len = args[0]->length;
    const int64_t from = std::clamp<int64_t>(constantInt(*args[1], "the start of STUFF()"), 1, len + 1) - 1;
    const int64_t count = std::clamp<int64_t>(constantInt(*args[2], "the count of STUFF()"), 0, len - from);
    declared = len - count + args[3]->length;
  }
  auto n = make<Stuff>(c.result, declared);
  n->text = std::move(args[0]);
  n->start = std::move(args[1]);
  n->count = std::move(args[2]);
  n->insert = std::move(args[3]);
  return n;
}

NodePtr empty(Call& c) {
  auto n = make<Empty>(c.result, 1);
  n->isBlank = c.name == "ISBLANK";
  n->a = std::move(c.args[0]);
  return n;
}

NodePtr datePart(Call& c) {
  auto n = make<DatePart>(c.result, c.name == "YEAR" ? 4 : 2);
  n->part = c.name == "YEAR" ? 0 : c.name == "MONTH" ? 1 : 2;
  n->a = std::move(c.args[0]);
  return n;
}

NodePtr str(Call& c) {
  auto& args = c.args;
  auto n = make<Str>(c.result, 10);
  if (args.size() >= 2) n->width = static_cast<int>(constantInt(*args[1], "the width of STR()"));
  if (args.size() == 3) n->decimals = static_cast<int>(constantInt(*args[2], "the decimals of STR()"));
  if (n->width < 1 || n->width > 255) fail(tr("the width of STR() must be 1 to 255"));
  if (n->decimals < 0 || n->decimals > 18) fail(tr("the decimals of STR() must be 0 to 18"));
  n->length = clampLength(n->width);
  n->a = std::move(args[0]);
  return n;
}

NodePtr absInt(Call& c) {
  auto n = make<AbsInt>(c.result, c.args[0]->length);
  n->isAbs = c.name == "ABS";
  n->a = std::move(c.args[0]);
  return n;
}

NodePtr iif(Call& c) {
  auto& args = c.args;
  if (args[1]->type != args[2]->type) fail(tr("the two results of IIF() have different types"));
  auto n = make<Iif>(c.result, std::max(args[1]->length, args[2]->length));
  n->cond = std::move(args[0]);
  n->yes = std::move(args[1]);
  n->no = std::move(args[2]);
  return n;
}

NodePtr recno(Call& c) {
  c.constant = false;
  return make<RecnoNode>(c.result, 10);
}

NodePtr deleted(Call& c) {
  c.constant = false;
  return make<DeletedNode>(c.result, 1);
}

// Values an index cannot reproduce: they depend on a setting or on the day of the
// rebuild, none of which the index records.
constexpr const char* kDateSetting = "DTOC() writes the date by the date setting, which the index does not record";
constexpr const char* kRebuildDay = "%1() depends on the day of the rebuild";
constexpr const char* kLanguageSetting = "%1() depends on the language setting, which the index does not record";

// Every function name the compiler knows, in the order abbreviations are looked up.
// Result lengths are the builders' (declared lengths, fixed at compile time).
const Function kFunctions[] = {
    // name, least and most arguments, argument types, labels, result, refusal, builder
    {"UPPER", 1, 1, "C", {}, 'C', nullptr, caseMap},
    {"LOWER", 1, 1, "C", {}, 'C', nullptr, caseMap},
    {"SUBSTR", 2, 3, "C", {}, 'C', nullptr, substring},
    {"LEFT", 2, 2, "C", {}, 'C', nullptr, substring},
    {"RIGHT", 2, 2, "C", {}, 'C', nullptr, substring},
    {"TRIM", 1, 1, "C", {}, 'C', nullptr, trim},
    {"RTRIM", 1, 1, "C", {}, 'C', nullptr, trim},
    {"LTRIM", 1, 1, "C", {}, 'C', nullptr, trim},
    {"ALLTRIM", 1, 1, "C", {}, 'C', nullptr, trim},
    {"DTOS", 1, 1, "D", {}, 'C', nullptr, [](Call& c) { return unary<DateText>(c, 8); }},
    {"DTOC", 0, 0, "", {}, 'C', kDateSetting, nullptr},
    {"STR", 1, 3, "N", {}, 'C', nullptr, str},
    {"VAL", 1, 1, "C", {}, 'N', nullptr, [](Call& c) { return unary<Val>(c, 20); }},
    {"IIF", 3, 3, "L", {"the condition of IIF()"}, '2', nullptr, iif},
    {"RECNO", 0, 0, "", {}, 'N', nullptr, recno},
    {"DELETED", 0, 0, "", {}, 'L', nullptr, deleted},
    {"YEAR", 1, 1, "D", {}, 'N', nullptr, datePart},
    {"MONTH", 1, 1, "D", {}, 'N', nullptr, datePart},
    {"DAY", 1, 1, "D", {}, 'N', nullptr, datePart},
    {"ABS", 1, 1, "N", {}, 'N', nullptr, absInt},
    {"INT", 1, 1, "N", {}, 'N', nullptr, absInt},
    {"AT", 2, 2, "CC", {}, 'N', nullptr, [](Call& c) { return binary<At>(c, 5); }},
    {"CHR", 1, 1, "N", {}, 'C', nullptr, [](Call& c) { return unary<Chr>(c, 1); }},
    {"ASC", 1, 1, "C", {}, 'N', nullptr, [](Call& c) { return unary<Asc>(c, 3); }},
    {"LEN", 1, 1, "C", {}, 'N', nullptr, [](Call& c) { return unary<Len>(c, 5); }},
    {"MOD", 2, 2, "NN", {}, 'N', nullptr, [](Call& c) { return binary<Mod>(c, c.args[1]->length); }},
    {"ROUND", 2, 2, "NN", {}, 'N', nullptr, [](Call& c) { return binary<Round>(c, c.args[0]->length); }},
    {"SPACE", 1, 1, "?", {}, 'C', nullptr, space},
    {"REPLICATE", 2, 2, "C?", {}, 'C', nullptr, replicate},
    {"STUFF", 4, 4, "CNNC", {nullptr, "the start of STUFF()", "the count of STUFF()"}, 'C', nullptr, stuff},
    {"EMPTY", 1, 1, "?", {}, 'L', nullptr, empty},
    {"ISBLANK", 1, 1, "?", {}, 'L', nullptr, empty},
    {"SOUNDEX", 1, 1, "C", {}, 'C', nullptr, [](Call& c) { return unary<Soundex>(c, 4); }},
    {"CTOD", 1, 1, "C", {}, 'D', nullptr, ctod},
    {"DOW", 1, 1, "D", {}, 'N', nullptr, [](Call& c) { return unary<DayOfWeek>(c, 1); }},
    {"DATE", 0, 0, "", {}, 'D', kRebuildDay, nullptr},
    {"TIME", 0, 0, "", {}, 'C', kRebuildDay, nullptr},
    {"CDOW", 0, 0, "", {}, 'C', kLanguageSetting, nullptr},
    {"CMONTH", 0, 0, "", {}, 'C', kLanguageSetting, nullptr},
};

}  // namespace

const Function& findFunction(const std::string& name) {
  for (const Function& f : kFunctions)
    if (name == f.name) return f;
  if (name.size() >= 4) {
    const Function* found = nullptr;
    for (const Function& f : kFunctions) {
      if (std::strncmp(f.name, name.c_str(), name.size()) == 0) {
        if (found) fail(tr("ambiguous function name %1", {name}));
        found = &f;
      }
    }
    if (found) return *found;
  }
  fail(tr("unknown function %1", {name}));
}

}  // namespace idapi::core::expr_detail
