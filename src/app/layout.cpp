#include "app/layout.h"

#include <charconv>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "app/errors.h"

namespace app {

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

[[noreturn]] void fail(int line, const std::string& what) {
  throw Error("layout line " + std::to_string(line) + ": " + what);
}

std::vector<Token> tokenize(std::string_view line, int lineNo) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      Token t{.text = {}, .quoted = true};
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\') {
          if (i >= line.size() || (line[i] != '"' && line[i] != '\\')) {
            fail(lineNo, "bad escape in string");
          }
          t.text.push_back(line[i++]);
        } else {
          t.text.push_back(d);
        }
      }
      if (!closed) {
        fail(lineNo, "unterminated string");
      }
      tokens.push_back(std::move(t));
    } else {
      Token t;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '"' &&
             line[i] != '#') {
        t.text.push_back(line[i++]);
      }
      tokens.push_back(std::move(t));
    }
  }
  return tokens;
}

// The values of one `key ...` line, read in order.
class Values {
 public:
  Values(std::string key, std::vector<Token> tokens, int line)
      : key_(std::move(key)), tokens_(std::move(tokens)), line_(line) {}

  int line() const { return line_; }

  const Token& next(const char* what) {
    if (pos_ >= tokens_.size()) {
      fail(line_, "'" + key_ + "' is missing " + what);
    }
    return tokens_[pos_++];
  }
  std::string word(const char* what) {
    const Token& t = next(what);
    if (t.quoted) {
      fail(line_, "'" + key_ + "': expected " + std::string(what) + ", found a string");
    }
    return t.text;
  }
  std::string string() {
    const Token& t = next("a string");
    if (!t.quoted) {
      fail(line_, "'" + key_ + "': expected a quoted string");
    }
    return t.text;
  }
  int integer(int low, int high) {
    const std::string w = word("a number");
    int value = 0;
    const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), value);
    if (ec != std::errc() || end != w.data() + w.size()) {
      fail(line_, "'" + key_ + "': '" + w + "' is not a whole number");
    }
    if (value < low || value > high) {
      fail(line_, "'" + key_ + "': " + w + " is out of range");
    }
    return value;
  }
  bool yesNo() {
    const std::string w = word("yes or no");
    if (w == "yes") return true;
    if (w == "no") return false;
    fail(line_, "'" + key_ + "': expected yes or no, found '" + w + "'");
  }
  Rect bounds() {
    const int left = integer(-32768, 32767);
    const int top = integer(-32768, 32767);
    const int width = integer(0, 32767);
    const int height = integer(0, 32767);
    return Rect{left, top, left + width, top + height};
  }
  Colour colour() {
    const Token& first = next("a colour");
    if (first.quoted) {
      fail(line_, "'" + key_ + "': expected a colour");
    }
    if (first.text == "windowtext") return Colour::system(Colour::Kind::WindowText);
    if (first.text == "btnface") return Colour::system(Colour::Kind::ButtonFace);
    --pos_;
    const int r = integer(0, 255);
    const int g = integer(0, 255);
    const int b = integer(0, 255);
    return Colour::rgb(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g), static_cast<std::uint8_t>(b));
  }
  Font font() {
    Font f;
    f.face = string();
    if (f.face.empty()) {
      fail(line_, "'" + key_ + "': empty font name");
    }
    f.height = integer(1, 1000);
    if (pos_ < tokens_.size()) {
      const std::string style = word("a style");
      if (style == "bold") {
        f.bold = true;
      } else if (style != "regular") {
        fail(line_, "'" + key_ + "': unknown font style '" + style + "'");
      }
    }
    return f;
  }
  void end() {
    if (pos_ != tokens_.size()) {
      fail(line_, "'" + key_ + "': unexpected '" + tokens_[pos_].text + "'");
    }
  }

 private:
  std::string key_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int line_;
};

// One block: each key's reader runs exactly once; all keys are required.
class Block {
 public:
  using Reader = std::function<void(Values&)>;

  Block(std::string kind, int line) : kind_(std::move(kind)), line_(line) {}

  void on(const std::string& key, Reader reader) { readers_[key] = std::move(reader); }

  void read(const std::string& key, Values& values) {
    const auto it = readers_.find(key);
    if (it == readers_.end()) {
      fail(values.line(), "unknown key '" + key + "' in " + kind_);
    }
    if (!seen_.insert(key).second) {
      fail(values.line(), "'" + key + "' given twice");
    }
    it->second(values);
    values.end();
  }

  void finish() const {
    for (const auto& [key, reader] : readers_) {
      if (!seen_.contains(key)) {
        fail(line_, kind_ + " lacks '" + key + "'");
      }
    }
  }

 private:
  std::string kind_;
  int line_;
  std::map<std::string, Reader> readers_;
  std::set<std::string> seen_;
};

}  // namespace

FormLayout parseLayout(std::string_view text) {
  FormLayout form;
  bool haveForm = false;
  std::optional<Block> block;
  std::set<std::string> names;
  int lineNo = 0;

  auto closeBlock = [&] {
    if (block) {
      block->finish();
      block.reset();
    }
  };

  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;

    std::vector<Token> tokens = tokenize(line, lineNo);
    if (tokens.empty()) {
      continue;
    }
    if (tokens[0].quoted) {
      fail(lineNo, "a line must start with a key");
    }
    const bool indented = line[0] == ' ' || line[0] == '\t';
    const std::string key = tokens[0].text;
    tokens.erase(tokens.begin());

    if (!indented) {
      closeBlock();
      if (tokens.size() != 1 || tokens[0].quoted || tokens[0].text.empty()) {
        fail(lineNo, "'" + key + "' needs one name");
      }
      const std::string name = tokens[0].text;
      if (!names.insert(name).second) {
        fail(lineNo, "the name '" + name + "' is used twice");
      }
      if (key == "form") {
        if (haveForm) {
          fail(lineNo, "only one form is allowed");
        }
        haveForm = true;
        form.name = name;
        block.emplace("form", lineNo);
        block->on("caption", [&](Values& v) { form.caption = v.string(); });
        block->on("client", [&](Values& v) {
          form.clientWidth = v.integer(1, 32767);
          form.clientHeight = v.integer(1, 32767);
        });
        block->on("color", [&](Values& v) { form.colour = v.colour(); });
        block->on("font", [&](Values& v) { form.font = v.font(); });
        block->on("ppi", [&](Values& v) { form.designPpi = v.integer(1, 10000); });
        block->on("textheight", [&](Values& v) { form.designTextHeight = v.integer(1, 1000); });
        block->on("border", [&](Values& v) { form.border = v.yesNo(); });
        block->on("titlebar", [&](Values& v) { form.titleBar = v.yesNo(); });
        block->on("bordericons", [&](Values& v) { form.borderIcons = v.yesNo(); });
        block->on("scrollbars", [&](Values& v) { form.scrollBars = v.yesNo(); });
        block->on("topmost", [&](Values& v) { form.topmost = v.yesNo(); });
        continue;
      }
      if (!haveForm) {
        fail(lineNo, "elements come after the form");
      }
      if (key == "picture") {
        auto& p = std::get<PictureElement>(form.elements.emplace_back(PictureElement{}));
        p.name = name;
        block.emplace("picture " + name, lineNo);
        const std::size_t index = form.elements.size() - 1;
        auto pic = [&form, index]() -> PictureElement& { return std::get<PictureElement>(form.elements[index]); };
        block->on("bounds", [pic](Values& v) { pic().bounds = v.bounds(); });
        block->on("resource", [pic](Values& v) { pic().resource = v.string(); });
        block->on("size", [pic](Values& v) {
          pic().imageWidth = v.integer(1, 16384);
          pic().imageHeight = v.integer(1, 16384);
        });
        block->on("stretch", [pic](Values& v) { pic().stretch = v.yesNo(); });
        block->on("smooth", [pic](Values& v) { pic().smooth = v.yesNo(); });
      } else if (key == "label") {
        std::get<LabelElement>(form.elements.emplace_back(LabelElement{})).name = name;
        block.emplace("label " + name, lineNo);
        const std::size_t index = form.elements.size() - 1;
        auto lab = [&form, index]() -> LabelElement& { return std::get<LabelElement>(form.elements[index]); };
        block->on("bounds", [lab](Values& v) { lab().bounds = v.bounds(); });
        block->on("text", [lab](Values& v) { lab().text = v.string(); });
        block->on("align", [lab](Values& v) {
          const std::string a = v.word("an alignment");
          if (a == "left")
            lab().align = Align::Left;
          else if (a == "center")
            lab().align = Align::Center;
          else if (a == "right")
            lab().align = Align::Right;
          else
            fail(v.line(), "unknown alignment '" + a + "'");
        });
        block->on("wordwrap", [lab](Values& v) { lab().wordWrap = v.yesNo(); });
        block->on("font", [lab](Values& v) { lab().font = v.font(); });
        block->on("color", [lab](Values& v) { lab().colour = v.colour(); });
        block->on("transparent", [lab](Values& v) { lab().transparent = v.yesNo(); });
        block->on("background", [lab](Values& v) { lab().background = v.colour(); });
      } else if (key == "table") {
        std::get<TableElement>(form.elements.emplace_back(TableElement{})).name = name;
        block.emplace("table " + name, lineNo);
        const std::size_t index = form.elements.size() - 1;
        auto tab = [&form, index]() -> TableElement& { return std::get<TableElement>(form.elements[index]); };
        block->on("tablename", [tab](Values& v) { tab().tableName = v.string(); });
        block->on("databasename", [tab](Values& v) { tab().databaseName = v.string(); });
        block->on("active", [tab](Values& v) { tab().active = v.yesNo(); });
        block->on("exclusive", [tab](Values& v) { tab().exclusive = v.yesNo(); });
      } else {
        fail(lineNo, "unknown block '" + key + "'");
      }
      continue;
    }

    if (!block) {
      fail(lineNo, "'" + key + "' outside any block");
    }
    Values values(key, std::move(tokens), lineNo);
    block->read(key, values);
  }
  closeBlock();
  if (!haveForm) {
    fail(lineNo, "no form");
  }
  return form;
}

namespace {
template <typename T, typename Layout>
auto* findElement(Layout& layout, std::string_view name) {
  using Result = std::conditional_t<std::is_const_v<Layout>, const T, T>;
  for (auto& element : layout.elements) {
    if (auto* e = std::get_if<T>(&element); e != nullptr && e->name == name) {
      return static_cast<Result*>(e);
    }
  }
  return static_cast<Result*>(nullptr);
}
}  // namespace

const LabelElement* FormLayout::findLabel(std::string_view n) const { return findElement<LabelElement>(*this, n); }
LabelElement* FormLayout::findLabel(std::string_view n) { return findElement<LabelElement>(*this, n); }
const PictureElement* FormLayout::findPicture(std::string_view n) const {
  return findElement<PictureElement>(*this, n);
}
const TableElement* FormLayout::findTable(std::string_view n) const { return findElement<TableElement>(*this, n); }

}  // namespace app
