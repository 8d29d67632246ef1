// Verifying an index file against the table's records.
//
// For every tag: its header block agrees with the tag's key type and length; the tree
// from its root is well formed (pages inside the file and not shared, key counts
// within the block, interior nodes below keysMax, all leaves at one depth, every
// separator equal to or above the last key of its child and not above the next
// child's first key); the stored keys are well-formed encodings; and the leaf
// sequence is exactly what a rebuild would produce: keys in order with equal keys by
// record number, the records after the FOR filter, the first record of each key in a
// unique tag, each with the key its record gives today.
#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_set>

#include "core/bytes.h"
#include "core/core.h"
#include "core/mdx_internal.h"

namespace idapi::core {

namespace {

using namespace mdx;

struct TagFault {
  std::string text;
};

// Compares the leaf entries, as the tree walk meets them, with the entries a rebuild
// would write (both sorted by key, then record number). Faults of order, of the unique
// rule and of record numbers stop the check at once; differences are counted.
class LeafComparer {
 public:
  LeafComparer(SortedEntries& expected, uint16_t keyLength, bool unique, uint32_t recordCount)
      : expected_(expected), keyLength_(keyLength), stride_(size_t{keyLength} + 4), unique_(unique),
        recordCount_(recordCount), previous_(stride_) {
    next_ = expected_.next();
  }

  void add(const uint8_t* e) {
    ++count_;
    const uint32_t r = entryRecord(e, keyLength_);
    if (r == 0 || r > recordCount_)
      throw TagFault{"entry " + std::to_string(count_) + " points to record " + std::to_string(r) +
                     ", which does not exist"};
    if (count_ > 1) {
      const int keyOrder = std::memcmp(previous_.data(), e, keyLength_);
      if (keyOrder > 0) throw TagFault{"keys out of order at entry " + std::to_string(count_) + " (record " + std::to_string(r) + ")"};
      if (keyOrder == 0 && unique_)
        throw TagFault{"records " + std::to_string(entryRecord(previous_.data(), keyLength_)) + " and " +
                       std::to_string(r) + " share a key in a unique tag"};
      if (keyOrder == 0 && std::memcmp(previous_.data() + keyLength_, e + keyLength_, 4) >= 0)
        throw TagFault{"equal keys not in record order at entry " + std::to_string(count_)};
    }
    std::memcpy(previous_.data(), e, stride_);
    // Expected entries below this one are missing from the index.
    int c = 1;
    while (next_ && (c = std::memcmp(next_, e, stride_)) < 0) {
      noteMissing(entryRecord(next_, keyLength_));
      next_ = expected_.next();
    }
    if (next_ && c == 0) {
      next_ = expected_.next();
    } else {
      ++differences_;
      if (extra_.size() < kKept) extra_.insert(r);
    }
  }

  uint64_t count() const { return count_; }

  // Text of the difference with the table, empty when there is none.
  std::string finish() {
    while (next_) {
      noteMissing(entryRecord(next_, keyLength_));
      next_ = expected_.next();
    }
    if (differences_ == 0) return {};
    std::string first;
    for (uint32_t r : extra_) {
      if (missing_.count(r)) {
        first = "record " + std::to_string(r) + " has a stale or wrong key";
        break;
      }
    }
    if (first.empty() && !extra_.empty()) first = "record " + std::to_string(*extra_.begin()) + " should not be in the tag";
    if (first.empty() && !missing_.empty()) first = "record " + std::to_string(*missing_.begin()) + " is missing";
    return first + " (" + std::to_string(differences_) + " entr" + (differences_ == 1 ? "y differs" : "ies differ") +
           " from the table)";
  }

 private:
  static constexpr size_t kKept = 1000;  // records remembered for the message
  void noteMissing(uint32_t r) {
    ++differences_;
    if (missing_.size() < kKept) missing_.insert(r);
  }

  SortedEntries& expected_;
  uint16_t keyLength_;
  size_t stride_;
  bool unique_;
  uint32_t recordCount_;
  std::vector<uint8_t> previous_;
  const uint8_t* next_ = nullptr;
  uint64_t count_ = 0, differences_ = 0;
  std::set<uint32_t> extra_, missing_;
};

class TreeCheck {
 public:
  TreeCheck(const ByteSource& mdx, const IndexHeader& ix, uint32_t pagesInFile, const std::set<uint32_t>& tagPages,
            const TagKeys& keys, LeafComparer& leaves)
      : leaves_(leaves), mdx_(mdx), block_(uint32_t{ix.blockPages} * kPage), pagesInFile_(pagesInFile), tagPages_(tagPages),
        keys_(keys), type_(keys.keyType()), keyLength_(keys.keyLength()), group_(groupLength(keyLength_)),
        keysMax_(mdx::keysMax(block_, keyLength_)) {}

  void walk(uint32_t root) {
    int leafDepth = -1;
    Range r;
    visit(root, 0, leafDepth, r, true);
  }

 private:
  struct Range {
    bool empty = true;
    std::vector<uint8_t> first, last;  // sortable keys in tag order
  };

  [[noreturn]] static void fault(const std::string& text) { throw TagFault{text}; }

  // Keys are compared in the rebuild's own order (language driver, descending tags).
  void sortable(const uint8_t* disk, uint8_t* out) const { keys_.sortableOfDisk(disk, out); }

  void visit(uint32_t page, int depth, int& leafDepth, Range& range, bool isRoot) {
    const std::string where = "node at page " + std::to_string(page);
    if (depth > 40) fault("the tree is too deep (a loop?)");
    if (page < kHeaderPages || tagPages_.count(page)) fault(where + " points into the header or a tag header");
    if (uint64_t{page} * kPage + block_ > mdx_.size()) fault(where + " lies beyond the end of the file");
    if (page + block_ / kPage > pagesInFile_) fault(where + " lies beyond the end recorded in the header");
    if (!visited_.insert(page).second) fault(where + " is reached twice");
    std::vector<uint8_t> node(block_);
    mdx_.readAt(uint64_t{page} * kPage, node.data(), block_);
    Bytes b(node);
    const uint32_t k = u32At(b, 0);
    if (k > keysMax_) fault(where + " holds " + std::to_string(k) + " keys, more than a block takes");
    const uint32_t trailing = u32At(b, 8 + size_t{group_} * k);
    std::vector<uint8_t> key(keyLength_);
    std::vector<uint8_t> entry(size_t{keyLength_} + 4);
    if (trailing == 0) {  // leaf
      if (leafDepth < 0) leafDepth = depth;
      else if (leafDepth != depth) fault("leaves lie at different depths");
      if (k == 0 && !isRoot) fault(where + " is an empty leaf");
      for (uint32_t i = 0; i < k; ++i) {
        const uint8_t* e = node.data() + 8 + size_t{group_} * i;
        const uint32_t recno = u32At(b, 8 + size_t{group_} * i);
        if (!wellFormedKey(type_, e + 4, keyLength_))
          fault("record " + std::to_string(recno) + " has a malformed key");
        sortable(e + 4, entry.data());
        entry[keyLength_] = static_cast<uint8_t>(recno >> 24);
        entry[keyLength_ + 1] = static_cast<uint8_t>(recno >> 16);
        entry[keyLength_ + 2] = static_cast<uint8_t>(recno >> 8);
        entry[keyLength_ + 3] = static_cast<uint8_t>(recno);
        leaves_.add(entry.data());
        key.assign(entry.begin(), entry.begin() + keyLength_);
        if (range.empty) range.first = key;
        range.last = key;
        range.empty = false;
      }
      return;
    }
    if (k + 1 > keysMax_) fault(where + " is an interior node holding keysMax keys");
    std::vector<uint8_t> separator(keyLength_);
    Range previous;
    bool havePrevious = false;
    std::vector<uint8_t> previousSeparator;
    for (uint32_t i = 0; i <= k; ++i) {
      const uint8_t* e = node.data() + 8 + size_t{group_} * i;
      const uint32_t child = u32At(b, 8 + size_t{group_} * i);
      if (child == 0) fault(where + " has a null child pointer");
      Range sub;
      visit(child, depth + 1, leafDepth, sub, false);
      if (sub.empty) fault(where + " has an empty subtree");
      if (havePrevious) {
        // The separator before this child must not exceed its first key, unless the
        // equal keys also end the previous child.
        const int c = std::memcmp(previousSeparator.data(), sub.first.data(), keyLength_);
        if (c > 0 || (c == 0 && std::memcmp(previousSeparator.data(), previous.last.data(), keyLength_) != 0))
          fault(where + " has a separator key above the first key of its next child");
      }
      if (i < k) {
        if (!wellFormedKey(type_, e + 4, keyLength_)) fault(where + " has a malformed separator key");
        sortable(e + 4, separator.data());
        if (std::memcmp(sub.last.data(), separator.data(), keyLength_) > 0)
          fault(where + " has a separator key below the last key of its child");
        previousSeparator = separator;
        havePrevious = true;
      }
      if (range.empty) range.first = sub.first;
      range.last = sub.last;
      range.empty = false;
      previous = std::move(sub);
    }
  }

  LeafComparer& leaves_;
  const ByteSource& mdx_;
  uint32_t block_, pagesInFile_;
  const std::set<uint32_t>& tagPages_;
  const TagKeys& keys_;
  char type_;
  uint16_t keyLength_, group_, keysMax_;
  std::unordered_set<uint32_t> visited_;
};

}  // namespace

std::vector<TagReport> checkIndex(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdxFile,
                                  const std::string& indexFileName, const RebuildOptions& options) {
  const IndexHeader ix = readIndexHeader(mdxFile, indexFileName);
  uint8_t head[48];
  mdxFile.readAt(0, head, sizeof head);
  const uint32_t pagesInFile = u32At(Bytes(head, sizeof head), 32);
  const uint32_t block = uint32_t{ix.blockPages} * kPage;

  std::vector<uint8_t> slots(kMaxTags * kSlotSize);
  mdxFile.readAt(kSlotsOffset, slots.data(), slots.size());
  std::set<uint32_t> tagPages;
  for (size_t i = 0; i < ix.tags.size(); ++i) tagPages.insert(u32At(Bytes(slots), kSlotSize * i));

  std::vector<TagReport> reports(ix.tags.size());
  IndexHeader evaluable = ix;
  evaluable.tags.clear();
  std::vector<size_t> evaluableIndex;  // position in `reports` of each evaluable tag
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    reports[i].tag = ix.tags[i].name;
    try {
      TagKeys probe(table, ix.tags[i], indexFileName);
      evaluable.tags.push_back(ix.tags[i]);
      evaluableIndex.push_back(i);
    } catch (const Failure& f) {
      reports[i].problem = f.what();
    }
  }

  std::unique_ptr<KeyCollector> collector;
  try {
    collector = std::make_unique<KeyCollector>(table, evaluable, indexFileName,
                                               options.scratch ? options.memoryBudget : SIZE_MAX, options.scratch);
    collector->collect(dbf);
  } catch (const Failure& f) {
    for (size_t i : evaluableIndex) reports[i].problem = f.what();
    return reports;
  }

  std::vector<uint8_t> tagBlock(block);
  for (size_t j = 0; j < evaluable.tags.size(); ++j) {
    TagReport& report = reports[evaluableIndex[j]];
    const TagDefinition& tag = evaluable.tags[j];
    const TagKeys& keys = collector->keys(j);
    std::unique_ptr<SortedEntries> expected = collector->sorted(j);
    try {
      const uint32_t headerPage = u32At(Bytes(slots), kSlotSize * evaluableIndex[j]);
      mdxFile.readAt(uint64_t{headerPage} * kPage, tagBlock.data(), block);
      Bytes t(tagBlock);
      if (u16At(t, 14) != keysMax(block, keys.keyLength()))
        throw TagFault{"tag header gives " + std::to_string(u16At(t, 14)) + " keys per block instead of " +
                       std::to_string(keysMax(block, keys.keyLength()))};
      if (u16At(t, 18) != groupLength(keys.keyLength())) throw TagFault{"tag header has a wrong entry length"};
      const char slotType = static_cast<char>(slots[kSlotSize * evaluableIndex[j] + 20]);
      if (slotType != keys.keyType() && !(slotType == 'F' && keys.keyType() == 'N'))
        throw TagFault{"tag table and tag header disagree on the key type"};
      LeafComparer leaves(*expected, keys.keyLength(), tag.unique, table.recordCount);
      TreeCheck tree(mdxFile, ix, pagesInFile, tagPages, keys, leaves);
      try {
        tree.walk(u32At(t, 0));
      } catch (...) {
        report.keys = leaves.count();
        throw;
      }
      report.keys = leaves.count();
      std::string difference = leaves.finish();
      if (!difference.empty()) throw TagFault{difference};
      report.ok = true;
    } catch (const TagFault& f) {
      report.problem = f.text;
    } catch (const OutOfBounds&) {
      report.problem = "a node is cut short";
    }
  }
  return reports;
}

}  // namespace idapi::core
