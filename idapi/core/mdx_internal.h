// Shared by the index reader, builder and checker: the layout of the index file and
// the collection and sorting of a tag's keys.
//
// The file layout itself is described in mdx_format.h.
#ifndef IDAPI_CORE_MDX_INTERNAL_H
#define IDAPI_CORE_MDX_INTERNAL_H

#include <cstdint>
#include <memory>
#include <vector>

#include "idapi/core/core.h"
#include "idapi/core/keys.h"
#include "idapi/core/mdx_format.h"

namespace idapi::core::mdx {

// Gathers small writes into large ones for a sink that is written front to back.
class BufferedWriter {
 public:
  explicit BufferedWriter(ByteSink& sink, size_t size = 256u << 10) : sink_(sink) { buffer_.reserve(size); }
  ~BufferedWriter() = default;
  void write(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (buffer_.size() + length > buffer_.capacity()) flush();
    if (length >= buffer_.capacity()) {
      sink_.write(p, length);
      written_ += length;
      return;
    }
    buffer_.insert(buffer_.end(), p, p + length);
    written_ += length;
  }
  void flush() {
    if (!buffer_.empty()) sink_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  uint64_t written() const { return written_; }

 private:
  ByteSink& sink_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;
};

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
