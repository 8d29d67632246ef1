// Table header and field descriptors; their layout is in dbf_format.h. Everything is
// checked against the file's size before it is believed.
//
// What other writers leave in a sound header is accepted: bytes 12-27 that are not
// zero (a timestamp, transaction and network bytes; only byte 15 = 0x01 marks an
// encrypted table), character fields wider than 254 bytes with the high byte of
// the width kept in the decimal-count byte, empty descriptors (type 0, length 0)
// after the last field, inside the header length, and descriptors that fill the
// header exactly without a terminator.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/dbf_format.h"
#include "idapi/core/messages.h"
#include "idapi/core/records.h"
#include "text/ascii.h"

namespace idapi::core {

namespace {

[[noreturn]] void corrupt(const std::string& fileName, const std::string& what) {
  throw Failure(DBIERR_HEADERCORRUPT, tr("%1: corrupt table header (%2)", {fileName, what}));
}

bool knownVersion(uint8_t v, int& level) {
  switch (v) {
    case 0x03: level = 4; return true;  // refined below
    case 0x83: level = 3; return true;
    case 0x8B: level = 4; return true;
    case 0x04:
    case 0x8C: level = 7; return true;
    default: return false;
  }
}

// Length rules per field type; returns an empty string when the descriptor is sound.
std::string checkField(const Field& f, int level) {
  const auto len = f.length;
  switch (f.type) {
    case 'C':
      if (len < 1) return tr("character field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    case 'N':
    case 'F':
      // dBASE stops at 20 digits; other writers make wider numeric fields.
      if (len < 1) return tr("numeric field %1 has length %2", {f.name, std::to_string(len)});
      if (f.decimals > 18 || (f.decimals > 0 && f.decimals >= len))
        return tr("numeric field %1 has %2 decimals", {f.name, std::to_string(f.decimals)});
      return {};
    case 'D':
      if (len != 8) return tr("date field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    case 'L':
      if (len != 1) return tr("logical field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    case 'M':
    case 'B':
    case 'G':
      if (len != 10) return tr("memo field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    case 'I':
    case '+':
      if (level != 7) return tr("field %1 has a type that needs a level 7 table", {f.name});
      if (len != 4) return tr("long field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    case 'O':
    case '@':
      if (level != 7) return tr("field %1 has a type that needs a level 7 table", {f.name});
      if (len != 8) return tr("field %1 has length %2", {f.name, std::to_string(len)});
      return {};
    default:
      // A field of a type not known here that takes no byte of the record holds no
      // data (other writers keep an index tag's name in one): it is kept, and no
      // expression may name it. With a length, its bytes could not be read: refused.
      if (len == 0) return {};
      return tr("field %1 has unknown type", {f.name});
  }
}

bool validName(const std::string& name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F;
  });
}

}  // namespace

std::string languageDriverName(uint8_t id) {
  switch (id) {
    case 0x1B: return "DB437US0";
    case 0x37: return "DB850US0";
    case 0x57: return "DBWINUS0";
    case 0x58: return "DBWINWE0";
    case 0x59: return "DBWINES0";
    default: return {};
  }
}

TableHeader readTableHeader(const ByteSource& dbf, const std::string& fileName) {
  const uint64_t fileSize = dbf.size();
  if (fileSize < dbf::kFixedSize) corrupt(fileName, tr("file shorter than a header"));
  uint8_t fixed[dbf::kFixedSize];
  dbf.readAt(0, fixed, sizeof fixed);

  TableHeader t;
  t.version = fixed[dbf::kVersion];
  if (!knownVersion(t.version, t.level)) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", t.version);
    corrupt(fileName, tr("unsupported version byte 0x%1", {buf}));
  }
  Bytes h(fixed, sizeof fixed);
  t.recordCount = u32At(h, dbf::kRecordCount);
  t.headerLength = u16At(h, dbf::kHeaderLength);
  t.recordLength = u16At(h, dbf::kRecordLength);
  t.productionIndex = fixed[dbf::kProductionIndex] == 0x01;
  t.languageId = fixed[dbf::kLanguageId];
  if (fixed[dbf::kEncrypted] == 0x01)
    throw Failure(DBIERR_NOTSUFFTABLERIGHTS, tr("%1: the table is encrypted", {fileName}));

  const bool level7 = t.level == 7;
  const dbf::DescriptorLayout& d = dbf::descriptorLayout(level7);
  const size_t descriptorStart = d.start;
  const size_t descriptorSize = d.size;
  if (t.headerLength < descriptorStart + 1) corrupt(fileName, tr("header length too small"));
  if (t.headerLength > fileSize) corrupt(fileName, tr("header length beyond the end of the file"));
  if (t.recordLength < 2) corrupt(fileName, tr("record length too small"));

  std::vector<uint8_t> headerBytes(t.headerLength);
  dbf.readAt(0, headerBytes.data(), headerBytes.size());
  Bytes hb(headerBytes);

  if (level7)
    t.languageDriver = cStringAt(hb, dbf::kLanguageDriver, dbf::kLanguageDriverSize);
  else
    t.languageDriver = languageDriverName(t.languageId);

  bool terminated = false;
  size_t pos = descriptorStart;
  uint32_t offset = 1;
  bool emptySeen = false;  // an empty descriptor: only more of them may follow
  while (pos < hb.size()) {
    if (hb[pos] == dbf::kHeaderEnd) {
      terminated = true;
      break;
    }
    if (pos + descriptorSize > hb.size()) break;
    Field f;
    f.name = cStringAt(hb, pos, d.nameSize);
    f.type = static_cast<char>(hb[pos + d.type]);
    f.length = hb[pos + d.length];
    f.decimals = hb[pos + d.decimals];
    f.mdxTag = hb[pos + d.productionTag] == 0x01;
    if (f.type == 0 && f.length == 0 && f.decimals == 0) {
      emptySeen = true;
      pos += descriptorSize;
      if (pos + descriptorSize > hb.size()) terminated = true;  // the empty ones fill the header
      continue;
    }
    if (emptySeen) corrupt(fileName, tr("field %1 follows an empty descriptor", {std::to_string(t.fields.size() + 1)}));
    // A character field's width may go beyond 255: its high byte is kept where the
    // decimal count would be.
    if (f.type == 'C' && f.decimals != 0) {
      f.length = static_cast<uint16_t>(f.length + 256u * f.decimals);
      f.decimals = 0;
    }
    if (!validName(f.name)) corrupt(fileName, tr("field %1 has no valid name", {std::to_string(t.fields.size() + 1)}));
    f.name = text::upperAscii(std::move(f.name));
    if (auto problem = checkField(f, t.level); !problem.empty()) corrupt(fileName, problem);
    f.offset = static_cast<uint16_t>(std::min<uint32_t>(offset, 0xFFFF));
    offset += f.length;
    t.fields.push_back(std::move(f));
    pos += descriptorSize;
  }
  // Descriptors that fill the header to its last byte need no terminator.
  if (!terminated && pos == hb.size()) terminated = true;
  if (!terminated) corrupt(fileName, tr("no terminator after the field descriptors"));
  if (t.fields.empty()) corrupt(fileName, tr("no fields"));
  if (offset != t.recordLength)
    corrupt(fileName, tr("record length %1 differs from the fields' total %2",
                         {std::to_string(t.recordLength), std::to_string(offset)}));
  const uint64_t needed = uint64_t{t.headerLength} + uint64_t{t.recordCount} * t.recordLength;
  if (needed > fileSize) corrupt(fileName, tr("%1 records do not fit in the file", {std::to_string(t.recordCount)}));

  // Version 0x03 is shared by levels 3, 4 and 5: the level 4 header features decide.
  if (t.version == 0x03) {
    bool level5 =
        std::any_of(t.fields.begin(), t.fields.end(), [](const Field& f) { return f.type == 'B' || f.type == 'G'; });
    bool level4 = t.productionIndex || t.languageId != 0 ||
                  std::any_of(t.fields.begin(), t.fields.end(), [](const Field& f) { return f.type == 'F'; });
    t.level = level5 ? 5 : level4 ? 4 : 3;
  }
  return t;
}

RecordReader::RecordReader(const TableHeader& table, const ByteSource& dbf, size_t bufferBytes)
    : table_(table), dbf_(dbf) {
  const size_t len = std::max<size_t>(table.recordLength, 1);
  perChunk_ = static_cast<uint32_t>(std::max<size_t>(1, std::min<size_t>(bufferBytes / len, 1u << 20)));
  perChunk_ = std::min(perChunk_, std::max<uint32_t>(table.recordCount, 1));
  buffer_.resize(size_t{perChunk_} * len);
}

const uint8_t* RecordReader::next() {
  if (current_ >= table_.recordCount) return nullptr;
  ++current_;
  if (current_ >= chunkFirst_ + chunkCount_) {
    chunkFirst_ = current_;
    chunkCount_ = std::min<uint32_t>(perChunk_, table_.recordCount - current_ + 1);
    const uint64_t at = uint64_t{table_.headerLength} + uint64_t{current_ - 1} * table_.recordLength;
    dbf_.readAt(at, buffer_.data(), size_t{chunkCount_} * table_.recordLength);
  }
  return buffer_.data() + size_t{current_ - chunkFirst_} * table_.recordLength;
}

}  // namespace idapi::core
