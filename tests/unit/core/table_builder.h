// Builds table files in memory for the tests.
#ifndef TESTS_UNIT_CORE_TABLE_BUILDER_H
#define TESTS_UNIT_CORE_TABLE_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"

namespace testing_tables {

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
  const bool level7 = (o.version & 0x07) == 4;
  const size_t descriptor = level7 ? 48 : 32;
  const size_t start = level7 ? 68 : 32;
  const size_t headerLength = start + descriptor * fields.size() + 1;
  size_t recordLength = 1;
  for (const auto& f : fields) recordLength += f.length;
  std::vector<uint8_t> out(headerLength, 0);
  out[0] = o.version;
  out[1] = 124;
  out[2] = 3;
  out[3] = 20;
  idapi::core::putU32(&out[4], static_cast<uint32_t>(rows.size()));
  idapi::core::putU16(&out[8], static_cast<uint16_t>(headerLength));
  idapi::core::putU16(&out[10], static_cast<uint16_t>(recordLength));
  out[28] = o.production ? 1 : 0;
  out[29] = o.languageId;
  if (level7) std::memcpy(&out[32], "DBWINUS0", 8);
  for (size_t i = 0; i < fields.size(); ++i) {
    uint8_t* d = &out[start + descriptor * i];
    std::memcpy(d, fields[i].name.data(), fields[i].name.size());
    if (level7) {
      d[32] = static_cast<uint8_t>(fields[i].type);
      d[33] = fields[i].length;
      d[34] = fields[i].decimals;
    } else {
      d[11] = static_cast<uint8_t>(fields[i].type);
      d[16] = fields[i].length;
      d[17] = fields[i].decimals;
    }
  }
  out[headerLength - 1] = 0x0D;
  for (const Row& r : rows) {
    out.push_back(r.deleted ? '*' : ' ');
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string v = i < r.values.size() ? r.values[i] : std::string();
      v.resize(std::min<size_t>(v.size(), fields[i].length));
      std::string cell;
      if (fields[i].type == 'N' || fields[i].type == 'F') cell = std::string(fields[i].length - v.size(), ' ') + v;
      else cell = v + std::string(fields[i].length - v.size(), ' ');
      out.insert(out.end(), cell.begin(), cell.end());
    }
  }
  if (o.endMarker) out.push_back(0x1A);
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
