#include "idxcheck/definitions.h"

#include "text/ascii.h"

namespace idxcheck {
namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool yesNo(const std::string& value, int line, const char* column) {
  const std::string v = text::lowerAscii(value);
  if (v == "oui" || v == "yes") return true;
  if (v == "non" || v == "no") return false;
  throw DefinitionsError(line, std::string("column ") + column + ": \"" + value + "\" is neither oui nor non");
}

void checkWritable(const std::string& value, const DefinitionLine& l) {
  if (value.find_first_of("|\r\n") != std::string::npos)
    throw DefinitionsError(l.line, l.table + ", tag " + l.tag + ": \"" + value + "\" holds '|' or a line break");
}

}  // namespace

std::vector<DefinitionLine> parseDefinitions(const std::string& text) {
  std::vector<DefinitionLine> out;
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string raw = trim(text.substr(at, end - at));
    at = end + 1;
    if (raw.empty() || raw[0] == '#') continue;
    std::vector<std::string> cells;
    size_t from = 0;
    for (;;) {
      const size_t bar = raw.find('|', from);
      cells.push_back(trim(raw.substr(from, bar == std::string::npos ? std::string::npos : bar - from)));
      if (bar == std::string::npos) break;
      from = bar + 1;
    }
    if (cells.size() != 6)
      throw DefinitionsError(number, std::to_string(cells.size()) + " columns where 6 are expected");
    DefinitionLine l;
    l.line = number;
    l.table = cells[0];
    l.tag = cells[1];
    l.key = cells[2];
    l.forCondition = cells[3];
    if (l.table.empty() || l.tag.empty() || l.key.empty())
      throw DefinitionsError(number, "the table, the tag and the key must be given");
    l.unique = yesNo(cells[4], number, "unique");
    l.descending = yesNo(cells[5], number, "descending");
    out.push_back(std::move(l));
  }
  return out;
}

std::string formatDefinitions(const std::vector<DefinitionLine>& lines) {
  std::string out =
      "# idxcheck : définitions des étiquettes des index de production (fichiers .MDX)\n"
      "# idxcheck: tag definitions of the production indexes\n"
      "# Une ligne par étiquette / one line per tag:\n"
      "# table | étiquette (tag) | clé (key) | condition FOR | unique (oui/non) | décroissant (oui/non)\n";
  for (const auto& l : lines) {
    for (const std::string* v : {&l.table, &l.tag, &l.key, &l.forCondition}) checkWritable(*v, l);
    out += l.table + " | " + l.tag + " | " + l.key + " | " + l.forCondition + " | " + (l.unique ? "oui" : "non") +
           " | " + (l.descending ? "oui" : "non") + "\n";
  }
  return out;
}

std::vector<DefinitionLine> linesOf(const std::string& table, const idapi::core::IndexHeader& index) {
  std::vector<DefinitionLine> out;
  for (const auto& t : index.tags) {
    DefinitionLine l;
    l.table = table;
    l.tag = t.name;
    l.key = trim(t.keyExpression);
    l.forCondition = trim(t.forExpression);
    l.unique = t.unique;
    l.descending = t.descending;
    out.push_back(std::move(l));
  }
  return out;
}

idapi::core::IndexHeader indexFromLines(const idapi::core::TableHeader& table, const std::vector<DefinitionLine>& lines,
                                        const idapi::core::IndexHeader& like) {
  idapi::core::IndexHeader index;
  index.blockPages = like.blockPages;
  index.languageId = like.languageId;
  index.production = true;
  for (const auto& l : lines) {
    try {
      index.tags.push_back(idapi::core::defineTag(table, l.tag, l.key, l.forCondition, l.unique, l.descending));
    } catch (const idapi::core::Failure& f) {
      throw DefinitionsError(l.line, l.table + ", tag " + l.tag + ": " + f.what());
    }
  }
  if (index.tags.empty()) throw DefinitionsError(0, "no tag");
  return index;
}

bool sameTableName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] == '/' ? '\\' : a[i], y = b[i] == '/' ? '\\' : b[i];
    if (text::lowerAscii(x) != text::lowerAscii(y)) return false;
  }
  return true;
}

}  // namespace idxcheck
