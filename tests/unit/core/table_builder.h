// Builds table files in memory for the tests.
#ifndef TESTS_UNIT_CORE_TABLE_BUILDER_H
#define TESTS_UNIT_CORE_TABLE_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "dbf_writer.h"

namespace testing_tables {

// Bytes written as hex pairs separated by one character: "01 A2 FF".
inline std::vector<uint8_t> hex(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 3)
    out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

struct FieldDef {
  std::string name;
  char type;
  uint8_t length;
  uint8_t decimals = 0;
};

struct Row {
  std::vector<std::string> values;  // as they should read: C left-aligned, N right-aligned
  bool deleted = false;
};

struct TableOptions {
  uint8_t version = 0x03;
  bool production = true;
  uint8_t languageId = 0;
  bool endMarker = true;
};

inline std::vector<uint8_t> makeTable(const std::vector<FieldDef>& fields, const std::vector<Row>& rows,
                                      const TableOptions& o = {}) {
  std::vector<dbfwriter::Field> columns;
  for (const FieldDef& f : fields) columns.push_back({f.name, f.type, f.length, f.decimals});
  dbfwriter::Header h;
  h.version = o.version;
  h.records = static_cast<uint32_t>(rows.size());
  h.production = o.production;
  h.languageId = o.languageId;
  std::vector<uint8_t> out = dbfwriter::headerBytes(h, columns);
  for (const Row& r : rows) dbfwriter::appendRecord(out, columns, r.values, r.deleted);
  if (o.endMarker) out.push_back(dbfwriter::kEndOfFile);
  return out;
}

inline idapi::core::IndexHeader makeIndex(const idapi::core::TableHeader& table, const std::string& name,
                                          const std::vector<idapi::core::TagDefinition>& tags,
                                          uint16_t blockPages = 2) {
  idapi::core::IndexHeader ix;
  ix.tableName = name;
  ix.blockPages = blockPages;
  ix.production = true;
  ix.languageId = table.languageId;
  ix.tags = tags;
  return ix;
}

inline std::vector<uint8_t> rebuild(const idapi::core::TableHeader& table, const std::vector<uint8_t>& dbf,
                                    const idapi::core::IndexHeader& ix, idapi::core::RebuildOptions options = {}) {
  idapi::core::MemorySource source(dbf);
  idapi::core::VectorSink sink;
  if (options.year == 0) {
    options.year = 2024;
    options.month = 3;
    options.day = 20;
  }
  idapi::core::rebuildIndex(table, source, ix, "TEST.MDX", sink, options);
  return sink.bytes;
}

// Leaf entries of a tag read back from an index image, in tree order: (record, key bytes).
struct LeafEntry {
  uint32_t record;
  std::vector<uint8_t> key;
};

}  // namespace testing_tables

#endif  // TESTS_UNIT_CORE_TABLE_BUILDER_H
