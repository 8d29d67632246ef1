// Writes dBASE table bytes for the tests and tools that make tables: the fixed header,
// the field descriptors and fixed-width records. Header only and without dependencies,
// so that the unit tests, the fixture and corpus generators and the fuzzing seeds all
// write tables the same way.
//
// Level 3-5 tables (version 0x03, 0x83, ...) have a 32-byte fixed header and 32-byte
// descriptors; level 7 tables (version & 7 == 4) a 68-byte one, with the language
// driver's name, and 48-byte descriptors. The header ends with 0x0D, the file with
// 0x1A after the last record.
#ifndef TOOLS_DBFWRITER_DBF_WRITER_H
#define TOOLS_DBFWRITER_DBF_WRITER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dbfwriter {

inline constexpr uint8_t kHeaderEnd = 0x0D;
inline constexpr uint8_t kEndOfFile = 0x1A;
inline constexpr uint8_t kLive = ' ';
inline constexpr uint8_t kDeleted = '*';

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

inline bool levelSeven(uint8_t version) { return (version & 0x07) == 4; }

inline uint32_t recordLength(const std::vector<Field>& fields) {
  uint32_t n = 1;  // the deletion flag
  for (const Field& f : fields) n += f.length;
  return n;
}

inline void storeU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void storeU32(uint8_t* p, uint32_t v) {
  storeU16(p, v);
  storeU16(p + 2, v >> 16);
}

// The header and descriptors, 0x0D included.
inline std::vector<uint8_t> headerBytes(const Header& h, const std::vector<Field>& fields) {
  const bool level7 = levelSeven(h.version);
  const size_t descriptor = level7 ? 48 : 32;
  const size_t start = level7 ? 68 : 32;
  const size_t headerLength = start + descriptor * fields.size() + 1;
  std::vector<uint8_t> out(headerLength, 0);
  out[0] = h.version;
  std::memcpy(&out[1], h.updated, 3);
  storeU32(&out[4], h.records);
  storeU16(&out[8], static_cast<uint32_t>(headerLength));
  storeU16(&out[10], recordLength(fields));
  out[28] = h.production ? 1 : 0;
  out[29] = h.languageId;
  if (level7) std::memcpy(&out[32], "DBWINUS0", 8);
  for (size_t i = 0; i < fields.size(); ++i) {
    const Field& f = fields[i];
    uint8_t* d = &out[start + descriptor * i];
    std::memcpy(d, f.name.data(), std::min<size_t>(f.name.size(), level7 ? 32 : 11));
    if (level7) {
      d[32] = static_cast<uint8_t>(f.type);
      d[33] = f.length;
      d[34] = f.decimals;
    } else {
      d[11] = static_cast<uint8_t>(f.type);
      d[16] = f.length;
      d[17] = f.decimals;
      d[31] = f.productionTag ? 1 : 0;
    }
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
