// Writing an index file: the header and tag table, the tag header blocks, then the
// B-tree of every tag from its sorted entries.
//
// The B-trees are built bottom-up: leaves are filled completely in key order, each
// finished node passes (its page, its last key) to the level above, and interior nodes
// share their children evenly and never hold more than keysMax - 1 keys, so that no
// reader takes them for leaves. All leaves are at the same depth. Since every tag's key
// count is known before the first byte is written, all page numbers are known in
// advance and the whole file goes out sequentially: header and tag table, tag header
// blocks, then each tag's nodes in the order they are finished (the root last).
#include <algorithm>
#include <cstring>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/messages.h"
#include "idapi/core/mdx_internal.h"
#include "text/ascii.h"

namespace idapi::core {
namespace mdx {

namespace {

// Plans and writes one tag's B-tree.
class TreeWriter {
 public:
  TreeWriter(BufferedWriter& out, const TagKeys& keys, uint32_t blockBytes, uint64_t entries)
      : out_(out),
        keys_(keys),
        block_(blockBytes),
        keyLength_(keys.keyLength()),
        group_(groupLength(keyLength_)),
        keysMax_(mdx::keysMax(blockBytes, keyLength_)) {
    // Level 0: leaves filled to keysMax; above: children shared evenly.
    uint64_t items = entries;
    uint64_t nodes = std::max<uint64_t>(1, (items + keysMax_ - 1) / keysMax_);
    addLevel(items, nodes);
    while (nodes > 1) {
      items = nodes;
      nodes = (items + keysMax_ - 1) / keysMax_;
      addLevel(items, nodes);
    }
    for (size_t i = 0; i < levels_.size(); ++i) {
      Level& l = levels_[i];
      l.buffer.assign(block_, 0);
      l.target = targetOf(i, 0);
      l.lastKey.assign(keyLength_, 0);
      totalNodes_ += l.nodes;
    }
  }

  uint64_t totalNodes() const { return totalNodes_; }

  void write(SortedEntries& entries, uint32_t firstPage, uint32_t blockPages) {
    page_ = firstPage;
    blockPages_ = blockPages;
    std::vector<uint8_t> disk(keyLength_);
    if (levels_[0].items == 0) {
      emit(levels_[0]);
      return;
    }
    while (const uint8_t* e = entries.next()) {
      keys_.diskKey(e, disk.data());
      Level& leaf = levels_[0];
      uint8_t* slot = leaf.buffer.data() + entryOffset(group_, leaf.filled);
      putU32(slot, entryRecord(e, keyLength_));
      std::memcpy(slot + kEntryKey, disk.data(), keyLength_);
      if (++leaf.filled == leaf.target) finishLeaf();
    }
  }

  uint32_t rootPage() const { return lastPage_; }

 private:
  struct Level {
    uint64_t items = 0, nodes = 0;
    std::vector<uint8_t> buffer;
    uint64_t index = 0;   // node being filled
    uint64_t target = 0;  // items it takes
    uint64_t filled = 0;
    std::vector<uint8_t> lastKey;
  };

  void addLevel(uint64_t items, uint64_t nodes) {
    Level l;
    l.items = items;
    l.nodes = nodes;
    levels_.push_back(std::move(l));
  }

  uint64_t targetOf(size_t level, uint64_t node) const {
    const Level& l = levels_[level];
    if (level == 0) return node + 1 < l.nodes ? keysMax_ : l.items - uint64_t{keysMax_} * (l.nodes - 1);
    return l.items / l.nodes + (node < l.items % l.nodes ? 1 : 0);
  }

  uint32_t emit(Level& l) {
    out_.write(l.buffer.data(), l.buffer.size());
    const uint32_t page = page_;
    lastPage_ = page;
    page_ += blockPages_;
    return page;
  }

  void finishLeaf() {
    Level& leaf = levels_[0];
    const uint8_t* lastSlot = leaf.buffer.data() + entryOffset(group_, leaf.filled - 1);
    leaf.lastKey.assign(lastSlot + kEntryKey, lastSlot + kEntryKey + keyLength_);
    putU32(leaf.buffer.data() + kNodeKeyCount, static_cast<uint32_t>(leaf.filled));
    const uint32_t page = emit(leaf);
    next(0);
    if (levels_.size() > 1) addChild(1, page, levels_[0].lastKey);
  }

  void addChild(size_t level, uint32_t page, const std::vector<uint8_t>& lastKey) {
    Level& l = levels_[level];
    if (l.filled + 1 < l.target) {
      uint8_t* slot = l.buffer.data() + entryOffset(group_, l.filled);
      putU32(slot, page);
      std::memcpy(slot + kEntryKey, lastKey.data(), keyLength_);
      ++l.filled;
      return;
    }
    // The last child goes into the trailing pointer after the keys.
    putU32(l.buffer.data() + kNodeKeyCount, static_cast<uint32_t>(l.filled));
    putU32(l.buffer.data() + entryOffset(group_, l.filled), page);
    l.lastKey = lastKey;
    const uint32_t own = emit(l);
    std::vector<uint8_t> key = l.lastKey;
    next(level);
    if (level + 1 < levels_.size()) addChild(level + 1, own, key);
  }

  void next(size_t level) {
    Level& l = levels_[level];
    std::fill(l.buffer.begin(), l.buffer.end(), 0);
    l.filled = 0;
    ++l.index;
    l.target = l.index < l.nodes ? targetOf(level, l.index) : 0;
  }

  BufferedWriter& out_;
  const TagKeys& keys_;
  uint32_t block_;
  uint16_t keyLength_, group_, keysMax_;
  std::vector<Level> levels_;
  uint64_t totalNodes_ = 0;
  uint32_t page_ = 0, blockPages_ = 2, lastPage_ = 0;
};

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace
}  // namespace mdx

void rebuildIndex(const TableHeader& table, const ByteSource& dbf, const IndexHeader& index,
                  const std::string& indexFileName, ByteSink& out, const RebuildOptions& options) {
  using namespace mdx;
  if (index.tags.size() > kMaxTags) throw Failure(DBIERR_INDEXCORRUPT, tr("%1: too many tags", {indexFileName}));
  if (index.blockPages < kMinBlockPages || index.blockPages > kMaxBlockPages)
    throw Failure(DBIERR_INDEXCORRUPT, tr("%1: unsupported block size", {indexFileName}));
  const uint32_t blockPages = index.blockPages;
  const uint32_t block = blockPages * kPage;
  for (const TagDefinition& t : index.tags) {
    if (t.keyExpression.size() > kMaxExpression || t.forExpression.size() > kMaxExpression)
      throw Failure(kKeyExpressionError,
                    tagExpressionMessage(indexFileName, t.name, t.keyExpression, tr("is too long")));
    if (t.name.empty() || t.name.size() > kMaxTagName)
      throw Failure(DBIERR_INVALIDINDEXNAME, tr("%1: invalid tag name \"%2\"", {indexFileName, t.name}));
    if (!t.forExpression.empty() && block < kForOffset + kMaxExpression + 1)
      throw Failure(DBIERR_INDEXCORRUPT, tr("%1: tag %2 has a FOR condition, which a block of %3 bytes cannot hold",
                                            {indexFileName, t.name, std::to_string(block)}));
  }

  KeyCollector collector(table, index, indexFileName, options.memoryBudget, options.scratch);
  for (size_t i = 0; i < index.tags.size(); ++i)
    if (keysMax(block, collector.keys(i).keyLength()) < 3)
      throw Failure(DBIERR_INDEXCORRUPT,
                    tr("%1: tag %2 has keys too long for a block", {indexFileName, index.tags[i].name}));
  collector.collect(dbf);

  // Final order of every tag, then the page plan.
  const size_t n = index.tags.size();
  std::vector<std::unique_ptr<SortedEntries>> sorted;
  std::vector<std::unique_ptr<TreeWriter>> trees;
  std::vector<uint32_t> firstPage(n), rootPage(n);
  std::vector<uint8_t> header(kHeaderPages * kPage, 0);
  BufferedWriter writer(out);
  uint64_t page = kHeaderPages + uint64_t{blockPages} * n;
  for (size_t i = 0; i < n; ++i) {
    sorted.push_back(collector.sorted(i));
    trees.push_back(std::make_unique<TreeWriter>(writer, collector.keys(i), block, sorted.back()->count()));
    firstPage[i] = static_cast<uint32_t>(std::min<uint64_t>(page, UINT32_MAX));
    page += trees.back()->totalNodes() * blockPages;
    rootPage[i] = static_cast<uint32_t>(std::min<uint64_t>(page - blockPages, UINT32_MAX));
  }
  if (page > UINT32_MAX) throw Failure(DBIERR_INDEXCORRUPT, tr("%1: the index would be too large", {indexFileName}));
  const uint32_t endPage = static_cast<uint32_t>(page);

  const int y = options.year, m = options.month, d = options.day;
  const uint8_t date[3] = {static_cast<uint8_t>(std::clamp(y - 1900, 0, 255)), static_cast<uint8_t>(m),
                           static_cast<uint8_t>(d)};

  // File header and tag table.
  std::string name = text::upperAscii(index.tableName.empty() ? baseName(indexFileName) : index.tableName);
  name.resize(std::min<size_t>(name.size(), kHdrTableNameSize - 1));
  header[kHdrVersion] = kVersionWritten;
  std::memcpy(header.data() + kHdrCreated, date, 3);
  std::memcpy(header.data() + kHdrTableName, name.data(), name.size());
  putU16(header.data() + kHdrBlockPages, static_cast<uint16_t>(blockPages));
  putU16(header.data() + kHdrBlockBytes, static_cast<uint16_t>(block));
  header[kHdrProduction] = index.production ? 1 : 0;
  header[kHdrSlotCount] = kSlotCountWritten;
  header[kHdrSlotSize] = static_cast<uint8_t>(kSlotSize);
  putU16(header.data() + kHdrTagsInUse, static_cast<uint16_t>(n));
  header[kHdrLanguage] = table.languageId;
  putU32(header.data() + kHdrPagesInFile, endPage);
  std::memcpy(header.data() + kHdrRebuilt, date, 3);
  header[kHdrDummySlotMark] = 0x01;
  const std::vector<NameTreeLinks> links = nameTree(index.tags);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* slot = header.data() + kSlotsOffset + kSlotSize * i;
    const TagDefinition& t = index.tags[i];
    putU32(slot + kSlotHeaderPage, static_cast<uint32_t>(kHeaderPages + blockPages * i));
    for (size_t c = 0; c < t.name.size(); ++c) slot[kSlotName + c] = static_cast<uint8_t>(text::upperAscii(t.name[c]));
    slot[kSlotKeyFormat] = kSlotKeyFormatWritten;
    slot[kSlotLeft] = links[i].left;
    slot[kSlotRight] = links[i].right;
    slot[kSlotParent] = links[i].parent;
    slot[kSlotMarker] = kSlotMarkerWritten;
    slot[kSlotKeyType] = static_cast<uint8_t>(collector.keys(i).keyType());
  }
  writer.write(header.data(), header.size());

  // Tag header blocks.
  std::vector<uint8_t> tagBlock(block);
  for (size_t i = 0; i < n; ++i) {
    const TagDefinition& t = index.tags[i];
    const TagKeys& k = collector.keys(i);
    std::fill(tagBlock.begin(), tagBlock.end(), 0);
    uint8_t* b = tagBlock.data();
    putU32(b + kTagRoot, rootPage[i]);
    b[kTagFlags] =
        static_cast<uint8_t>(kFlagBase | (t.descending ? kFlagDescending : 0) | (t.unique ? kFlagUnique : 0));
    b[kTagKeyType] = static_cast<uint8_t>(k.keyType());
    b[kTagLanguage] = table.languageId;
    putU16(b + kTagKeyLength, k.keyLength());
    putU16(b + kTagKeysPerBlock, keysMax(block, k.keyLength()));
    putU16(b + kTagDateKey, k.keyType() == 'D' ? 1 : 0);
    putU16(b + kTagEntryLength, groupLength(k.keyLength()));
    b[kTagMarker] = kTagMarkerWritten;
    b[kTagUnique] = t.unique ? kTagUniqueMark : 0;
    std::memcpy(b + kTagKeyExpression, t.keyExpression.data(), t.keyExpression.size());
    b[kTagHasFor] = t.forExpression.empty() ? 0 : 1;
    b[kTagHasKeys] = sorted[i]->count() > 0 ? 1 : 0;
    std::memcpy(b + kForOffset, t.forExpression.data(), t.forExpression.size());
    writer.write(b, block);
  }

  // Node blocks, tag by tag.
  for (size_t i = 0; i < n; ++i) {
    trees[i]->write(*sorted[i], firstPage[i], blockPages);
    sorted[i].reset();
  }
  writer.flush();
  if (writer.written() != uint64_t{endPage} * kPage)
    throw Failure(DBIERR_WRITEERR, tr("%1: internal error while laying out the index", {indexFileName}));
}

}  // namespace idapi::core
