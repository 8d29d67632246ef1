// The layout of a multiple-index (.MDX) file, in one place for its reader, writer and
// checker. All page numbers count 512-byte pages from the start of the file; all
// integers are little-endian.
//
//   pages 0-3  the file header: its fixed part (bytes 0-47), a dummy tag slot at 512,
//              and 47 tag slots of 32 bytes from byte 544;
//   then       one block per tag header, then each tag's B-tree nodes.
//
// A block is blockPages x 512 bytes (1 to 63 pages; 2 is usual). A tag header takes
// one block; with 512-byte blocks there is no room for a FOR condition.
//
// File header (fixed part)
//   OFFSET  SIZE  DESCRIPTION
//      0      1   version: 2 (written), 2 or 3 (read)
//      1      3   date of creation: year - 1900, month, day
//      4     16   table name, upper case, NUL padded
//     20      2   block size in pages
//     22      2   block size in bytes (blockPages x 512)
//     24      1   1 for the production index of its table
//     25      1   entries in the tag table, the dummy slot included (48)
//     26      1   bytes per tag slot (32)
//     28      2   tags in use
//     31      1   language driver id of the table
//     32      4   pages in the file (the first page past its end)
//     44      3   date of the last rebuild: year - 1900, month, day
//    512     32   dummy tag slot; its byte 17 (file byte 529) is 1
//
// Tag slot (32 bytes each, slot i at 544 + 32 x i)
//   OFFSET  SIZE  DESCRIPTION
//      0      4   page of the tag header block
//      4     11   tag name, upper case, NUL terminated (10 characters at most)
//     15      1   key format (0x10)
//     16      1   left child in the tag-name tree (slot number + 1, 0 = none)
//     17      1   right child in the tag-name tree
//     18      1   parent in the tag-name tree
//     19      1   0x02
//     20      1   key type: 'C', 'N' (or 'F'), 'D'
//
// Tag header block
//   OFFSET  SIZE  DESCRIPTION
//      0      4   page of the root node
//      8      1   key flags: 0x10, | 0x08 descending, | 0x40 unique
//      9      1   key type: 'C', 'N' (or 'F'), 'D'
//     11      1   language driver id of the table
//     12      2   key length in bytes
//     14      2   keys per node block
//     16      2   1 for a date key, else 0
//     18      2   bytes per node entry (4 + key length, rounded up to 4)
//     20      1   0x01
//     23      1   0x40 in a unique tag
//     24    221   key expression, NUL terminated
//    245      1   1 when the tag has a FOR condition
//    246      1   1 when the tag holds keys
//    762    221   FOR condition, NUL terminated (only in blocks of 1024 bytes or more)
//
// Node block
//   OFFSET  SIZE  DESCRIPTION
//      0      4   key count
//      4      4   zero
//      8    g x n entries of g bytes: u32 pointer, key, zero padding
//  8+g*n      4   0 in a leaf; in an interior node the rightmost child's page
// Leaf pointers are record numbers; interior entry i points to child i and carries that
// child's last key.
#ifndef IDAPI_CORE_MDX_FORMAT_H
#define IDAPI_CORE_MDX_FORMAT_H

#include <cstdint>

namespace idapi::core::mdx {

inline constexpr uint32_t kPage = 512;
inline constexpr uint32_t kHeaderPages = 4;
inline constexpr uint16_t kMinBlockPages = 1;
inline constexpr uint16_t kMaxBlockPages = 63;
inline constexpr uint32_t kMaxTags = 47;
inline constexpr uint32_t kMaxTagName = 10;
inline constexpr uint32_t kMaxExpression = 220;  // characters, without the NUL

// File header.
inline constexpr uint32_t kFileHeaderBytes = 48;  // the fixed part before the tag table
inline constexpr uint32_t kHdrVersion = 0;
inline constexpr uint32_t kHdrCreated = 1;
inline constexpr uint32_t kHdrTableName = 4;
inline constexpr uint32_t kHdrTableNameSize = 16;
inline constexpr uint32_t kHdrBlockPages = 20;
inline constexpr uint32_t kHdrBlockBytes = 22;
inline constexpr uint32_t kHdrProduction = 24;
inline constexpr uint32_t kHdrSlotCount = 25;
inline constexpr uint32_t kHdrSlotSize = 26;
inline constexpr uint32_t kHdrTagsInUse = 28;
inline constexpr uint32_t kHdrLanguage = 31;
inline constexpr uint32_t kHdrPagesInFile = 32;
inline constexpr uint32_t kHdrRebuilt = 44;
inline constexpr uint32_t kHdrDummySlotMark = 512 + 17;

inline constexpr uint8_t kVersionWritten = 0x02;
inline constexpr uint8_t kVersionOther = 0x03;
inline constexpr uint8_t kSlotCountWritten = 0x30;

// Tag slots.
inline constexpr uint32_t kSlotsOffset = 544;
inline constexpr uint32_t kSlotSize = 32;
inline constexpr uint32_t kSlotHeaderPage = 0;
inline constexpr uint32_t kSlotName = 4;
inline constexpr uint32_t kSlotNameSize = kMaxTagName + 1;
inline constexpr uint32_t kSlotKeyFormat = 15;
inline constexpr uint32_t kSlotLeft = 16;
inline constexpr uint32_t kSlotRight = 17;
inline constexpr uint32_t kSlotParent = 18;
inline constexpr uint32_t kSlotMarker = 19;
inline constexpr uint32_t kSlotKeyType = 20;

inline constexpr uint8_t kSlotKeyFormatWritten = 0x10;
inline constexpr uint8_t kSlotMarkerWritten = 0x02;

// Tag header block.
inline constexpr uint32_t kTagRoot = 0;
inline constexpr uint32_t kTagFlags = 8;
inline constexpr uint32_t kTagKeyType = 9;
inline constexpr uint32_t kTagLanguage = 11;
inline constexpr uint32_t kTagKeyLength = 12;
inline constexpr uint32_t kTagKeysPerBlock = 14;
inline constexpr uint32_t kTagDateKey = 16;
inline constexpr uint32_t kTagEntryLength = 18;
inline constexpr uint32_t kTagMarker = 20;
inline constexpr uint32_t kTagUnique = 23;
inline constexpr uint32_t kTagKeyExpression = 24;
inline constexpr uint32_t kTagHasFor = 245;
inline constexpr uint32_t kTagHasKeys = 246;
inline constexpr uint32_t kForOffset = 762;      // the FOR condition
inline constexpr uint32_t kTagPrefixBytes = 16;  // root to key length and keys per block

inline constexpr uint8_t kFlagBase = 0x10;
inline constexpr uint8_t kFlagDescending = 0x08;
inline constexpr uint8_t kFlagUnique = 0x40;
inline constexpr uint8_t kTagMarkerWritten = 0x01;
inline constexpr uint8_t kTagUniqueMark = 0x40;

// Node blocks.
inline constexpr uint32_t kNodeKeyCount = 0;
inline constexpr uint32_t kNodeEntries = 8;
inline constexpr uint32_t kEntryKey = 4;  // within an entry, after its u32 pointer

inline uint16_t groupLength(uint16_t keyLength) { return static_cast<uint16_t>((keyLength + 4 + 3) / 4 * 4); }
// Keys a node block takes: the count, the zero and the trailing pointer (12 bytes)
// leave room for this many entries.
inline uint16_t keysMax(uint32_t blockBytes, uint16_t keyLength) {
  return static_cast<uint16_t>((blockBytes - 12) / groupLength(keyLength));
}
// The same figure as some writers compute it, without room for the trailing pointer.
inline uint16_t keysMaxWithoutTrailer(uint32_t blockBytes, uint16_t keyLength) {
  return static_cast<uint16_t>((blockBytes - kNodeEntries) / groupLength(keyLength));
}
inline uint32_t entryOffset(uint16_t group, uint64_t i) { return static_cast<uint32_t>(kNodeEntries + group * i); }

}  // namespace idapi::core::mdx

#endif  // IDAPI_CORE_MDX_FORMAT_H
