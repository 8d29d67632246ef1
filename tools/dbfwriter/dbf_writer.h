// Writes dBASE table bytes for the tests and tools that make tables: the fixed header,
// the field descriptors and fixed-width records. Header only, over the format core's
// table layout (idapi/core/dbf_format.h), so that the unit tests, the fixture and
// corpus generators and the fuzzing seeds all write tables the same way, and the way
// the reader reads them. The file ends with 0x1A after the last record.
#ifndef TOOLS_DBFWRITER_DBF_WRITER_H
#define TOOLS_DBFWRITER_DBF_WRITER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/dbf_format.h"

namespace dbfwriter {

namespace dbf = idapi::core::dbf;
using dbf::kDeleted;
using dbf::kEndOfFile;
using dbf::kHeaderEnd;
using dbf::kLive;
using dbf::levelSeven;

struct Field {
  std::string name;  // at most 11 bytes are kept (32 at level 7)
  char type;
  uint8_t length;
  uint8_t decimals = 0;
  bool productionTag = false;  // the field has a tag of its own in the production index (levels 3-5)
};

struct Header {
  uint8_t version = 0x03;
  uint8_t updated[3] = {124, 3, 20};  // last update: year - 1900, month, day
  uint32_t records = 0;
  bool production = true;
  uint8_t languageId = 0;
};

inline uint32_t recordLength(const std::vector<Field>& fields) {
  uint32_t n = 1;  // the deletion flag
  for (const Field& f : fields) n += f.length;
  return n;
}

// The header and descriptors, 0x0D included.
inline std::vector<uint8_t> headerBytes(const Header& h, const std::vector<Field>& fields) {
  const bool level7 = levelSeven(h.version);
  const dbf::DescriptorLayout& layout = dbf::descriptorLayout(level7);
  const size_t headerLength = layout.start + layout.size * fields.size() + 1;
  std::vector<uint8_t> out(headerLength, 0);
  out[dbf::kVersion] = h.version;
  std::memcpy(&out[dbf::kUpdated], h.updated, 3);
  idapi::core::putU32(&out[dbf::kRecordCount], h.records);
  idapi::core::putU16(&out[dbf::kHeaderLength], static_cast<uint16_t>(headerLength));
  idapi::core::putU16(&out[dbf::kRecordLength], static_cast<uint16_t>(recordLength(fields)));
  out[dbf::kProductionIndex] = h.production ? 1 : 0;
  out[dbf::kLanguageId] = h.languageId;
  if (level7) std::memcpy(&out[dbf::kLanguageDriver], "DBWINUS0", 8);
  for (size_t i = 0; i < fields.size(); ++i) {
    const Field& f = fields[i];
    uint8_t* d = &out[layout.start + layout.size * i];
    std::memcpy(d, f.name.data(), std::min<size_t>(f.name.size(), layout.nameSize));
    d[layout.type] = static_cast<uint8_t>(f.type);
    d[layout.length] = f.length;
    d[layout.decimals] = f.decimals;
    if (!level7) d[layout.productionTag] = f.productionTag ? 1 : 0;  // level 7 tables get no such flag here
  }
  out[headerLength - 1] = kHeaderEnd;
  return out;
}

// One field's cell as it should read: numbers right-aligned, everything else
// left-aligned, both padded with blanks; too long values are cut (numbers keep their
// low digits).
inline void putCell(uint8_t* at, const Field& f, const std::string& value) {
  const size_t n = std::min<size_t>(value.size(), f.length);
  std::memset(at, ' ', f.length);
  if (f.type == 'N' || f.type == 'F')
    std::memcpy(at + f.length - n, value.data() + value.size() - n, n);
  else
    std::memcpy(at, value.data(), n);
}

// Appends one record; missing values are blank.
inline void appendRecord(std::vector<uint8_t>& out, const std::vector<Field>& fields,
                         const std::vector<std::string>& values, bool deleted) {
  const size_t at = out.size();
  out.resize(at + recordLength(fields));
  out[at] = deleted ? kDeleted : kLive;
  size_t offset = at + 1;
  static const std::string blank;
  for (size_t i = 0; i < fields.size(); ++i) {
    putCell(out.data() + offset, fields[i], i < values.size() ? values[i] : blank);
    offset += fields[i].length;
  }
}

}  // namespace dbfwriter

#endif  // TOOLS_DBFWRITER_DBF_WRITER_H
