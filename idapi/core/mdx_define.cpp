// Defining a new tag: its name, key and FOR expressions checked against the table.
#include <algorithm>

#include "idapi/core/core.h"
#include "idapi/core/messages.h"
#include "idapi/core/mdx_internal.h"
#include "text/ascii.h"

namespace idapi::core {

TagDefinition defineTag(const TableHeader& table, const std::string& name, const std::string& keyExpression,
                        const std::string& forExpression, bool unique, bool descending) {
  TagDefinition t;
  t.name = text::upperAscii(name);
  const bool nameOk = !t.name.empty() && t.name.size() <= mdx::kMaxTagName &&
                      std::all_of(t.name.begin(), t.name.end(),
                                  [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
  if (!nameOk) throw Failure(DBIERR_INVALIDINDEXNAME, "invalid tag name \"" + name + "\"");
  t.keyExpression = keyExpression;
  t.forExpression = forExpression;
  t.unique = unique;
  t.descending = descending;
  auto failure = [&](const std::string& expr, const std::string& what) {
    return Failure(kKeyExpressionError, tagExpressionMessage("new index", t.name, expr, what));
  };
  if (keyExpression.size() > mdx::kMaxExpression) throw failure(keyExpression, "is too long");
  if (forExpression.size() > mdx::kMaxExpression) throw failure(forExpression, "is too long");
  try {
    Expression key(keyExpression, table.fields);
    switch (key.type()) {
      case ValueType::Character:
        t.keyType = 'C';
        t.keyLength = key.length();
        if (t.keyLength < 1 || t.keyLength > kMaxCharacterKey)
          throw failure(keyExpression, "gives a key longer than 100 bytes");
        break;
      case ValueType::Numeric:
        t.keyType = 'N';
        t.keyLength = kNumericKeyLength;
        break;
      case ValueType::Date:
        t.keyType = 'D';
        t.keyLength = kDateKeyLength;
        break;
      default: throw failure(keyExpression, "gives a logical value, which cannot be a key");
    }
  } catch (const ExpressionError& e) {
    throw failure(keyExpression, std::string("cannot be evaluated: ") + e.what());
  }
  if (!forExpression.empty()) {
    try {
      Expression cond(forExpression, table.fields);
      if (cond.type() != ValueType::Logical) throw failure(forExpression, "is not a condition");
    } catch (const ExpressionError& e) {
      throw failure(forExpression, std::string("cannot be evaluated: ") + e.what());
    }
  }
  return t;
}

}  // namespace idapi::core
