// Compiler of key expressions: a lexer and a recursive-descent parser building a small
// tree of typed nodes. Types and declared lengths are fixed at compile time, so a
// tag's key length is known before any record is read.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "idapi/core/expr_internal.h"
#include "idapi/core/messages.h"

namespace idapi::core {

namespace {
constexpr size_t kMaxExpressionText = 1024;
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

void expect(const Node& n, ValueType t, const char* what) {
  if (n.type != t) fail(tr("%1 needs a %2 value, not %3", {tr(what), typeText(t), typeText(n.type)}));
}

int64_t constantInt(const Node& n, const char* what) {
  if (n.type != ValueType::Numeric || !n.constant) fail(tr("%1 must be a constant number", {tr(what)}));
  double x = n.v.number;
  if (!(x >= -1e6 && x <= 1e6)) fail(tr("%1 is out of range", {tr(what)}));
  return static_cast<int64_t>(std::trunc(x));
}

namespace {

// ---------------------------------------------------------------- lexer

enum class Tok {
  End,
  Number,
  String,
  Ident,
  LParen,
  RParen,
  Comma,
  Arrow,
  Plus,
  Minus,
  Star,
  Slash,
  Caret,
  Eq,
  ExactEq,
  Ne,
  Lt,
  Gt,
  Le,
  Ge,
  Dollar,
  And,
  Or,
  Not,
  True,
  False
};

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
        Tok k = word == "AND"                                     ? Tok::And
                : word == "OR"                                    ? Tok::Or
                : word == "NOT"                                   ? Tok::Not
                : (word == "T" || word == "Y" || word == "TRUE")  ? Tok::True
                : (word == "F" || word == "N" || word == "FALSE") ? Tok::False
                                                                  : Tok::End;
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

  NodePtr parseCall(const std::string& rawName) {
    const Function& f = findFunction(rawName);
    const std::string name = f.name;
    if (f.refusal) fail(tr(f.refusal, {name}));
    std::vector<NodePtr> args = arguments();
    const size_t lo = f.minArgs, hi = f.maxArgs;
    if (args.size() < lo || args.size() > hi)
      fail(hi != lo  ? tr("%1() takes %2 to %3 arguments", {name, std::to_string(lo), std::to_string(hi)})
           : hi == 1 ? tr("%1() takes 1 argument", {name})
                     : tr("%1() takes %2 arguments", {name, std::to_string(lo)}));
    for (size_t i = 0; f.argTypes[i] != '\0' && i < args.size(); ++i)
      if (f.argTypes[i] != '?')
        expect(*args[i], static_cast<ValueType>(f.argTypes[i]),
               i < 4 && f.argLabels[i] ? f.argLabels[i] : name.c_str());
    const ValueType result = f.result == '2' ? args[1]->type : static_cast<ValueType>(f.result);
    Call call{name, args, result, context_,
              std::all_of(args.begin(), args.end(), [](const NodePtr& a) { return a->constant; })};
    NodePtr node = f.build(call);
    node->constant = call.constant;
    return fold(std::move(node));
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
