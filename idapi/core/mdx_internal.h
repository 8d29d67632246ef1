// Shared by the index reader, builder and checker: the layout of the index file and
// the collection and sorting of a tag's keys.
//
// File layout (all page numbers count 512-byte pages from the start of the file):
//   pages 0-3  file header (bytes 0-47), a dummy slot at 512 whose byte 17 (file
//              byte 529) is 1, and 47 tag slots of 32 bytes from byte 544;
//   then       one block per tag header, then each tag's B-tree nodes.
// A block is blockPages x 512 bytes (1 to 63 pages; 2 is usual). A tag header takes
// one block; with 512-byte blocks there is no room for a FOR condition. A node block holds a u32 key count, a u32 zero,
// `count` entries of `group` bytes (u32 pointer + key + zero padding), then a u32:
// 0 in a leaf, the rightmost child's page in an interior node. Leaf pointers are record
// numbers; interior entry i points to child i and carries that child's last key.
#ifndef IDAPI_CORE_MDX_INTERNAL_H
#define IDAPI_CORE_MDX_INTERNAL_H

#include <cstdint>
#include <memory>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/core/keys.h"

namespace idapi::core::mdx {

inline constexpr uint32_t kPage = 512;
inline constexpr uint32_t kHeaderPages = 4;
inline constexpr uint32_t kFileHeaderBytes = 48;  // the fixed part before the tag table
inline constexpr uint32_t kSlotsOffset = 544;
inline constexpr uint32_t kSlotSize = 32;
inline constexpr uint32_t kMaxTags = 47;
inline constexpr uint32_t kMaxExpression = 220;
inline constexpr uint32_t kForOffset = 762;
inline constexpr uint16_t kMinBlockPages = 1;
inline constexpr uint16_t kMaxBlockPages = 63;

inline uint16_t groupLength(uint16_t keyLength) { return static_cast<uint16_t>((keyLength + 4 + 3) / 4 * 4); }
inline uint16_t keysMax(uint32_t blockBytes, uint16_t keyLength) {
  return static_cast<uint16_t>((blockBytes - 12) / groupLength(keyLength));
}

// The sorted entries of one tag: sortable key followed by the record number
// (big-endian, so that memcmp orders equal keys by record number).
class SortedEntries {
 public:
  virtual ~SortedEntries() = default;
  virtual uint64_t count() const = 0;
  // The next entry (keyLength + 4 bytes) or nullptr at the end.
  virtual const uint8_t* next() = 0;
};

inline uint32_t entryRecord(const uint8_t* entry, uint16_t keyLength) {
  const uint8_t* p = entry + keyLength;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Collects the keys of several tags in one pass over the records and sorts them.
// The budget is shared out so that every tag may hold the same number of entries; a
// tag that reaches its share sorts them into a run in a scratch file and starts again.
class KeyCollector {
 public:
  KeyCollector(const TableHeader& table, const IndexHeader& index, const std::string& indexFileName,
               size_t memoryBudget, ScratchStore* scratch);
  ~KeyCollector();

  // Reads every record once. Throws Failure on an expression fault.
  void collect(const ByteSource& dbf);
  // The tag's final order (unique tags keep the first record of each key). Call once
  // per tag, in any order, after collect().
  std::unique_ptr<SortedEntries> sorted(size_t tag);
  const TagKeys& keys(size_t tag) const;

 private:
  struct Tag;
  void spill(Tag& t);
  const TableHeader& table_;
  size_t budget_;
  ScratchStore* scratch_;
  size_t perTag_ = 0;  // entries each tag may hold before it spills a run
  std::vector<std::unique_ptr<Tag>> tags_;
};

// The tag-name tree of the slot table: left, right and parent slot numbers per tag.
struct NameTreeLinks {
  uint8_t left = 0, right = 0, parent = 0;
};
std::vector<NameTreeLinks> nameTree(const std::vector<TagDefinition>& tags);

}  // namespace idapi::core::mdx

#endif  // IDAPI_CORE_MDX_INTERNAL_H
