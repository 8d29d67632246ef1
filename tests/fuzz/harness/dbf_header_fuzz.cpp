// Table header and field descriptors: any bytes either give a header whose every
// figure holds against the file, or a Failure with the header's error code. A header
// that is accepted must let every record be read and every field be evaluated; a field
// may take no byte only when its type is not known here, and then no expression names it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "idapi/core/records.h"

using namespace idapi::core;

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemorySource dbf(std::vector<uint8_t>(data, data + size));
  TableHeader t;
  try {
    t = readTableHeader(dbf, "FUZZ.DBF");
  } catch (const Failure& f) {
    if (f.code() != DBIERR_HEADERCORRUPT && f.code() != DBIERR_NOTSUFFTABLERIGHTS) broken("unexpected error code");
    return 0;
  }

  if (t.fields.empty()) broken("a table without fields was accepted");
  if (t.headerLength > size) broken("header longer than the file");
  if (uint64_t{t.headerLength} + uint64_t{t.recordCount} * t.recordLength > size) broken("records beyond the file");
  uint32_t offset = 1;
  for (const Field& f : t.fields) {
    if (f.name.empty()) broken("field without a name");
    if (f.length == 0) {
      // Only a field of a type not known here may take no byte, and no expression may
      // name it (unless an earlier field has the same name, or the name is no plain name).
      if (std::string("CNFDLMBGI+O@").find(f.type) != std::string::npos) broken("known field of length 0");
      // Only a plain name is read as the field alone.
      bool shadowed = std::isdigit(static_cast<unsigned char>(f.name[0])) != 0;
      for (const char c : f.name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') shadowed = true;
      for (const Field& g : t.fields) {
        if (&g == &f) break;
        shadowed = shadowed || g.name == f.name;
      }
      if (!shadowed) {
        try {
          Expression named(f.name, t.fields);
          broken("an expression named a field that holds no data");
        } catch (const ExpressionError&) {}
      }
    }
    if (f.offset != offset) broken("field offset differs from the previous fields' total");
    offset += f.length;
  }
  if (offset != t.recordLength) broken("record length differs from the fields' total");
  if (t.level != 3 && t.level != 4 && t.level != 5 && t.level != 7) broken("unknown level");

  // Every field, read as an expression, on the first records.
  std::vector<Expression> fieldValues;
  for (const Field& f : t.fields) {
    if (fieldValues.size() == 16) break;
    try {
      fieldValues.emplace_back(f.name, t.fields);
    } catch (const ExpressionError&) {
      // Names that are not identifiers, or types without a value (memo, binary).
    }
  }

  RecordReader reader(t, dbf, 4096);
  uint32_t count = 0;
  while (const uint8_t* record = reader.next()) {
    ++count;
    if (reader.recordNumber() != count) broken("record numbers out of order");
    if (count > 8) continue;
    for (const Expression& e : fieldValues) {
      try {
        const Value& v = e.evaluate(record, count);
        if (v.type != e.type()) broken("value type differs from the expression's type");
        if (v.type == ValueType::Character && v.text.size() > e.length()) broken("field value longer than the field");
      } catch (const ExpressionError&) {}
    }
  }
  if (count != t.recordCount) broken("record count differs from the header's");
  return 0;
}
