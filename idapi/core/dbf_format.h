// The layout of a dBASE table (.DBF) file, in one place for its reader and for the
// writers of tests and tools. All integers are little-endian.
//
// Fixed header
//   OFFSET  SIZE  DESCRIPTION
//      0      1   version: level 3-5 (0x03, 0x83, 0x8B...) or level 7 (version & 7 == 4)
//      1      3   date of the last update: year - 1900, month, day
//      4      4   record count
//      8      2   header length: the fixed header, the descriptors and the 0x0D after them
//     10      2   record length, the deletion flag included
//     12     16   zero in our tables; other writers keep a timestamp, transaction and
//                 network bytes here. Byte 15 = 0x01 marks an encrypted table.
//     28      1   0x01 when the table has a production index (.MDX of the same name)
//     29      1   language driver id
//     32     32   level 7: the language driver's name, NUL padded
//
// Field descriptors: from byte 32 (level 7: 68), 32 bytes each (level 7: 48), ended
// by 0x0D.
//   levels 3-5                            level 7
//   OFFSET  SIZE  DESCRIPTION             OFFSET  SIZE
//      0     11   name, NUL padded           0     32
//     11      1   type: C N F D L M ...     32      1
//     16      1   length                    33      1
//     17      1   decimal count             34      1
//     31      1   0x01: the field has a     37      1
//                 tag of its own in the
//                 production index
//
// Records follow the header: a deletion flag (' ' live, '*' deleted), then the
// fields' bytes in descriptor order. 0x1A may follow the last record.
#ifndef IDAPI_CORE_DBF_FORMAT_H
#define IDAPI_CORE_DBF_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace idapi::core::dbf {

// Fixed header.
inline constexpr size_t kFixedSize = 32;
inline constexpr size_t kVersion = 0;
inline constexpr size_t kUpdated = 1;
inline constexpr size_t kRecordCount = 4;
inline constexpr size_t kHeaderLength = 8;
inline constexpr size_t kRecordLength = 10;
inline constexpr size_t kEncrypted = 15;
inline constexpr size_t kProductionIndex = 28;
inline constexpr size_t kLanguageId = 29;
inline constexpr size_t kLanguageDriver = 32;  // level 7
inline constexpr size_t kLanguageDriverSize = 32;

inline constexpr uint8_t kHeaderEnd = 0x0D;
inline constexpr uint8_t kEndOfFile = 0x1A;
inline constexpr uint8_t kLive = ' ';
inline constexpr uint8_t kDeleted = '*';

inline constexpr bool levelSeven(uint8_t version) { return (version & 0x07) == 4; }

// Where the descriptors start and where each of their parts is, for one level.
struct DescriptorLayout {
  size_t start;     // offset of the first descriptor in the file
  size_t size;      // bytes per descriptor
  size_t nameSize;  // bytes of the name
  size_t type, length, decimals, productionTag;
};

inline constexpr DescriptorLayout kDescriptors{32, 32, 11, 11, 16, 17, 31};
inline constexpr DescriptorLayout kDescriptors7{68, 48, 32, 32, 33, 34, 37};

inline constexpr const DescriptorLayout& descriptorLayout(bool level7) { return level7 ? kDescriptors7 : kDescriptors; }

}  // namespace idapi::core::dbf

#endif  // IDAPI_CORE_DBF_FORMAT_H
