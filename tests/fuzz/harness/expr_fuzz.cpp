// Key expressions: the text up to the first line feed is compiled against a small
// fixed table and evaluated on each of its records; the bytes after the line feed,
// laid over a copy of the first record, give one more record with arbitrary field
// contents. A value must have the expression's type and fit its declared length;
// the key made from it must be well formed and survive the trip to disk and back, both
// under the table's byte order and under a national language driver (whose weights
// reorder character keys and whose case rules reach accented letters).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/keys.h"
#include "idapi/core/records.h"
#include "fixed_table.h"

using namespace idapi::core;

namespace {

[[noreturn]] void broken(const char* what, std::string_view text) {
  std::fprintf(stderr, "broken invariant: %s (expression \"%.*s\")\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

struct Records {
  std::vector<std::vector<uint8_t>> rows;
};

void checkKeys(const TableHeader& table, const std::string& text, const Records& records) {
  TagDefinition tag;
  try {
    tag = defineTag(table, "FUZZ", text);
  } catch (const Failure& f) {
    if (f.code() != kKeyExpressionError) broken("unexpected error code", text);
    return;
  }
  if (tag.keyType != 'C' && tag.keyType != 'N' && tag.keyType != 'D') broken("key of an unknown type", text);
  if (tag.keyLength == 0 || tag.keyLength > 254) broken("key length out of range", text);
  for (const bool descending : {false, true}) {
    tag.descending = descending;
    std::optional<TagKeys> keys;
    try {
      keys.emplace(table, tag, "FUZZ.MDX");
    } catch (const Failure&) {
      broken("a defined tag does not compile", text);
    }
    std::vector<uint8_t> sortable(tag.keyLength), disk(tag.keyLength), again(tag.keyLength);
    for (size_t i = 0; i < records.rows.size(); ++i) {
      try {
        if (!keys->sortableKey(records.rows[i].data(), static_cast<uint32_t>(i + 1), sortable.data())) continue;
      } catch (const Failure& f) {
        if (f.code() != kKeyExpressionError) broken("unexpected error code", text);
        continue;
      }
      keys->diskKey(sortable.data(), disk.data());
      if (!wellFormedKey(tag.keyType, disk.data(), tag.keyLength)) broken("malformed key", text);
      keys->sortableOfDisk(disk.data(), again.data());
      if (again != sortable) broken("key changed on its way to disk and back", text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzing::FixedTable& table = fuzzing::fixedTable();
  const auto* begin = reinterpret_cast<const char*>(data);
  const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', size));
  const std::string text(begin, newline ? newline : begin + size);

  Records records;
  RecordReader reader(table.header, table.source);
  while (const uint8_t* r = reader.next()) records.rows.emplace_back(r, r + table.header.recordLength);
  if (newline) {
    std::vector<uint8_t> extra = records.rows.front();
    const size_t rest = size - static_cast<size_t>(newline + 1 - begin);
    std::memcpy(extra.data(), newline + 1, std::min(rest, extra.size()));
    records.rows.push_back(std::move(extra));
  }

  std::optional<Expression> e;
  try {
    e.emplace(text, table.header.fields);
  } catch (const ExpressionError&) {
    return 0;
  }
  const ValueType type = e->type();
  std::vector<std::optional<Value>> first(records.rows.size());
  for (size_t i = 0; i < records.rows.size(); ++i) {
    try {
      const Value& v = e->evaluate(records.rows[i].data(), static_cast<uint32_t>(i + 1));
      if (v.type != type) broken("value type differs from the expression's type", text);
      if (type == ValueType::Character && v.text.size() > e->length()) broken("value longer than declared", text);
      if (type == ValueType::Date && v.julian != 0) {
        int y = 0, m = 0, d = 0;
        civilDate(v.julian, y, m, d);
        if (julianDay(y, m, d) != v.julian) broken("date that does not convert back", text);
      }
      first[i] = v;
    } catch (const ExpressionError&) {}
  }
  // The compiled expression reuses its buffers: a record's value must not depend on
  // the records evaluated before it.
  for (size_t i = records.rows.size(); i-- > 0;) {
    std::optional<Value> v;
    try {
      v = e->evaluate(records.rows[i].data(), static_cast<uint32_t>(i + 1));
    } catch (const ExpressionError&) {}
    if (v.has_value() != first[i].has_value()) broken("evaluation fails only sometimes", text);
    if (v && (v->text != first[i]->text || std::memcmp(&v->number, &first[i]->number, sizeof(double)) != 0 ||
              v->julian != first[i]->julian || v->logical != first[i]->logical))
      broken("value depends on the records evaluated before", text);
  }
  if (type != ValueType::Logical) {
    checkKeys(table.header, text, records);
    TableHeader national = table.header;
    national.languageId = 0x58;
    checkKeys(national, text, records);
  }
  return 0;
}
