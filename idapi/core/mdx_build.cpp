// Rebuilding an index file from the table's records.
//
// One sequential pass over the records evaluates every tag's FOR condition and key and
// appends (sortable key, record number) entries to a compact per-tag array. Each array
// is sorted with memcmp order, which is the tag's order with equal keys in record-
// number order; unique tags then keep the first entry of each key. The memory budget
// is shared out among the tags; a tag whose array reaches its share sorts it into a
// run in a scratch file and refills the same array. Runs pile up in tiers merged
// kFanIn at a time, and a spilled tag is finished by streaming the merge of its runs
// into its tree (a unique tag's merge goes through one more run, since its key count
// must be known before its tree is planned).
//
// The B-trees are built bottom-up: leaves are filled completely in key order, each
// finished node passes (its page, its last key) to the level above, and interior nodes
// share their children evenly and never hold more than keysMax - 1 keys, so that no
// reader takes them for leaves. All leaves are at the same depth. Since every tag's key
// count is known before the first byte is written, all page numbers are known in
// advance and the whole file goes out sequentially: header and tag table, tag header
// blocks, then each tag's nodes in the order they are finished (the root last).
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <queue>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/messages.h"
#include "idapi/core/mdx_internal.h"
#include "idapi/core/records.h"

namespace idapi::core {
namespace mdx {

namespace {

constexpr size_t kSortOverhead = sizeof(uint64_t) * 3;  // bytes per entry used while sorting
constexpr size_t kRunBuffer = 64u << 10;
constexpr size_t kMinimumBudget = 64u << 10;  // below this, runs would be too small to merge
// Runs merged at once. A tag whose runs pile up has them merged in tiers of this many
// while the records are still being read, so that the open scratch files and the read
// buffers of a merge stay bounded however small the budget and large the table.
constexpr size_t kFanIn = 16;
constexpr size_t kMaxFinalRuns = 64;

// An entry being sorted: its first 16 bytes big-endian (zero-padded), which decide
// nearly every comparison without touching the entry itself, and its position.
struct SortItem {
  uint64_t hi, lo;
  uint32_t index;
};

inline uint64_t loadBigEndian(const uint8_t* p, size_t available) {
  if (available >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < available ? p[i] : 0);
  return v;
}

// memcmp's sign, inline: the tails compared here are short and mostly equal (blank-
// padded names), where a library call costs more than the comparison.
inline int compareBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    const uint64_t x = loadBigEndian(a, 8), y = loadBigEndian(b, 8);
    if (x != y) return x < y ? -1 : 1;
  }
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return *a < *b ? -1 : 1;
  return 0;
}

// Sorts `count` entries of `stride` bytes (key of `width` bytes, then the record
// number) into `items`; leaves out the later entries of equal keys when `unique`.
// Entries must lie in record-number order, so that among equal keys the position
// decides in place of the record number.
void sortEntries(const uint8_t* data, size_t count, size_t stride, size_t width, bool unique,
                 std::vector<SortItem>& items) {
  items.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = data + i * stride;
    items[i] = {loadBigEndian(e, stride), stride > 8 ? loadBigEndian(e + 8, stride - 8) : 0, static_cast<uint32_t>(i)};
  }
  const size_t tail = width > 16 ? width - 16 : 0;
  std::sort(items.begin(), items.end(), [&](const SortItem& a, const SortItem& b) {
    if (a.hi != b.hi) return a.hi < b.hi;
    if (a.lo != b.lo) return a.lo < b.lo;
    if (tail != 0) {
      const int c = compareBytes(data + size_t{a.index} * stride + 16, data + size_t{b.index} * stride + 16, tail);
      if (c != 0) return c < 0;
    }
    return a.index < b.index;
  });
  if (unique) {
    size_t kept = 0;
    for (size_t i = 0; i < items.size(); ++i) {
      if (kept > 0 && std::memcmp(data + size_t{items[kept - 1].index} * stride, data + size_t{items[i].index} * stride,
                                  width) == 0)
        continue;
      items[kept++] = items[i];
    }
    items.resize(kept);
  }
}

// Writes the entry of a sorted item to `out` (stride bytes).
inline const uint8_t* entryOf(const SortItem& it, const uint8_t* data, size_t stride, uint8_t* out) {
  if (stride > 16) return data + size_t{it.index} * stride;
  for (size_t i = 0; i < stride; ++i) out[i] = static_cast<uint8_t>((i < 8 ? it.hi >> (56 - 8 * i) : it.lo >> (120 - 8 * i)));
  return out;
}

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

// Sequential reader of a scratch file of entries.
class RunReader {
 public:
  RunReader(const ScratchFile& file, size_t stride) : file_(file), stride_(stride), size_(file.size()) {
    buffer_.resize(std::max(stride, kRunBuffer / stride * stride));
    refill();
  }
  const uint8_t* current() const { return at_ < filled_ ? buffer_.data() + at_ : nullptr; }
  void advance() {
    at_ += stride_;
    if (at_ >= filled_) refill();
  }

 private:
  void refill() {
    at_ = 0;
    filled_ = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size_ - pos_));
    filled_ -= filled_ % stride_;
    if (filled_) file_.readAt(pos_, buffer_.data(), filled_);
    pos_ += filled_;
  }
  const ScratchFile& file_;
  size_t stride_;
  uint64_t size_, pos_ = 0;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0, filled_ = 0;
};

// k-way merge of sorted runs; with `unique`, later entries of a key already given are
// skipped.
class RunMerger {
 public:
  RunMerger(std::vector<std::unique_ptr<ScratchFile>> runs, size_t stride, size_t width, bool unique)
      : runs_(std::move(runs)), stride_(stride), width_(width), unique_(unique), heap_(Greater{this}) {
    for (auto& r : runs_) readers_.push_back(std::make_unique<RunReader>(*r, stride));
    for (size_t i = 0; i < readers_.size(); ++i)
      if (readers_[i]->current()) heap_.push(i);
    last_.resize(stride);
  }
  uint64_t entries() const {
    uint64_t n = 0;
    for (const auto& r : runs_) n += r->size() / stride_;
    return n;
  }
  const uint8_t* next() {
    while (!heap_.empty()) {
      const size_t i = heap_.top();
      heap_.pop();
      const uint8_t* e = readers_[i]->current();
      const bool repeated = unique_ && any_ && std::memcmp(last_.data(), e, width_) == 0;
      if (!repeated) std::memcpy(last_.data(), e, stride_);
      readers_[i]->advance();
      if (readers_[i]->current()) heap_.push(i);
      if (!repeated) {
        any_ = true;
        return last_.data();
      }
    }
    return nullptr;
  }

 private:
  struct Greater {
    const RunMerger* self;
    bool operator()(size_t a, size_t b) const {
      const int c = compareBytes(self->readers_[a]->current(), self->readers_[b]->current(), self->stride_);
      return c > 0;
    }
  };
  std::vector<std::unique_ptr<ScratchFile>> runs_;
  std::vector<std::unique_ptr<RunReader>> readers_;
  size_t stride_, width_;
  bool unique_;
  std::priority_queue<size_t, std::vector<size_t>, Greater> heap_;
  std::vector<uint8_t> last_;
  bool any_ = false;
};

// Merges runs into one new run.
std::unique_ptr<ScratchFile> mergeRuns(ScratchStore& store, std::vector<std::unique_ptr<ScratchFile>> runs,
                                       size_t stride, size_t width, bool unique) {
  RunMerger merger(std::move(runs), stride, width, unique);
  std::unique_ptr<ScratchFile> merged = store.create();
  BufferedWriter w(*merged);
  while (const uint8_t* e = merger.next()) w.write(e, stride);
  w.flush();
  return merged;
}

class MemoryEntries : public SortedEntries {
 public:
  // Entries of up to 16 bytes live entirely in the sorted items: the array is not kept.
  MemoryEntries(std::unique_ptr<uint8_t[]> data, std::vector<SortItem> items, size_t stride)
      : data_(stride > 16 ? std::move(data) : nullptr), items_(std::move(items)), stride_(stride) {}
  uint64_t count() const override { return items_.size(); }
  const uint8_t* next() override {
    return at_ < items_.size() ? entryOf(items_[at_++], data_.get(), stride_, entry_) : nullptr;
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  std::vector<SortItem> items_;
  size_t stride_;
  size_t at_ = 0;
  uint8_t entry_[16] = {};
};

// The final order of a tag straight from the merge of its runs (the count is known
// beforehand: no entry is dropped).
class MergedEntries : public SortedEntries {
 public:
  MergedEntries(std::vector<std::unique_ptr<ScratchFile>> runs, size_t stride, size_t width)
      : merger_(std::move(runs), stride, width, false), count_(merger_.entries()) {}
  uint64_t count() const override { return count_; }
  const uint8_t* next() override { return merger_.next(); }

 private:
  RunMerger merger_;
  uint64_t count_;
};

}  // namespace

struct KeyCollector::Tag {
  std::unique_ptr<TagKeys> keys;
  uint16_t width = 0;
  size_t stride = 0;
  bool unique = false;
  std::unique_ptr<uint8_t[]> data;  // entries in record order, not initialised beyond `used`
  size_t capacity = 0;              // bytes of data
  size_t used = 0;
  struct Run {
    std::unique_ptr<ScratchFile> file;
    unsigned tier = 0;  // merged from kFanIn runs of the tier below
  };
  std::vector<Run> runs;
  std::vector<SortItem> spillItems;  // kept from one run to the next, like the array
};

KeyCollector::KeyCollector(const TableHeader& table, const IndexHeader& index, const std::string& indexFileName,
                           size_t memoryBudget, ScratchStore* scratch)
    : table_(table), budget_(std::max(memoryBudget, kMinimumBudget)), scratch_(scratch) {
  size_t perRecord = 0;
  for (const TagDefinition& def : index.tags) {
    auto t = std::make_unique<Tag>();
    t->keys = std::make_unique<TagKeys>(table, def, indexFileName);
    t->width = t->keys->keyLength();
    t->stride = size_t{t->width} + 4;
    t->unique = def.unique;
    perRecord += t->stride + kSortOverhead;
    tags_.push_back(std::move(t));
  }
  // Every tag may hold as many entries as the budget gives all tags together per
  // record: the arrays and their sort items then stay within the budget.
  perTag_ = perRecord ? std::max<size_t>(budget_ / perRecord, 64) : 0;
}

KeyCollector::~KeyCollector() = default;

const TagKeys& KeyCollector::keys(size_t tag) const { return *tags_.at(tag)->keys; }

void KeyCollector::collect(const ByteSource& dbf) {
  if (tags_.empty()) return;
  const size_t perTag = perTag_;
  RecordReader reader(table_, dbf);
  while (const uint8_t* record = reader.next()) {
    const uint32_t recno = reader.recordNumber();
    for (auto& tp : tags_) {
      Tag& t = *tp;
      if (t.used + t.stride > t.capacity) {
        if (scratch_ && t.used / t.stride >= perTag) {
          spill(t);
        } else {
          // The first array takes every record at once, up to the tag's share (its pages
          // are only touched as they fill); should the table hold more records than its
          // header said, it doubles.
          // Sized in 64 bits: in a 32-bit process the record count times the entry
          // size can pass what a size_t holds.
          uint64_t want = t.capacity ? uint64_t{t.capacity} * 2 : (uint64_t{table_.recordCount} + 1) * t.stride;
          if (scratch_) want = std::min<uint64_t>(want, uint64_t{perTag} * t.stride);
          want = std::max<uint64_t>(want, uint64_t{t.used} + t.stride);
          if (want > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
          const size_t bytes = static_cast<size_t>(want);
          auto grown = std::unique_ptr<uint8_t[]>(new uint8_t[bytes]);
          if (t.used) std::memcpy(grown.get(), t.data.get(), t.used);
          t.data = std::move(grown);
          t.capacity = bytes;
        }
      }
      uint8_t* e = t.data.get() + t.used;
      if (!t.keys->sortableKey(record, recno, e)) continue;
      e[t.width] = static_cast<uint8_t>(recno >> 24);
      e[t.width + 1] = static_cast<uint8_t>(recno >> 16);
      e[t.width + 2] = static_cast<uint8_t>(recno >> 8);
      e[t.width + 3] = static_cast<uint8_t>(recno);
      t.used += t.stride;
    }
  }
}

void KeyCollector::spill(Tag& t) {
  const size_t count = t.used / t.stride;
  if (count > 0) {
    std::vector<SortItem>& items = t.spillItems;
    sortEntries(t.data.get(), count, t.stride, t.width, t.unique, items);
    std::unique_ptr<ScratchFile> run = scratch_->create();
    {
      BufferedWriter w(*run);
      uint8_t entry[16];
      for (const SortItem& it : items) w.write(entryOf(it, t.data.get(), t.stride, entry), t.stride);
      w.flush();
    }
    t.runs.push_back({std::move(run), 0});
  }
  t.used = 0;
  // Tiers: kFanIn runs of one tier become one run of the next.
  while (t.runs.size() >= kFanIn) {
    const unsigned tier = t.runs.back().tier;
    const size_t from = t.runs.size() - kFanIn;
    bool same = true;
    for (size_t i = from; i < t.runs.size(); ++i) same = same && t.runs[i].tier == tier;
    if (!same) break;
    std::vector<std::unique_ptr<ScratchFile>> group;
    for (size_t i = from; i < t.runs.size(); ++i) group.push_back(std::move(t.runs[i].file));
    t.runs.resize(from);
    t.runs.push_back({mergeRuns(*scratch_, std::move(group), t.stride, t.width, t.unique), tier + 1});
  }
}

std::unique_ptr<SortedEntries> KeyCollector::sorted(size_t index) {
  Tag& t = *tags_.at(index);
  if (t.runs.empty()) {
    const size_t count = t.used / t.stride;
    std::vector<SortItem> items;
    sortEntries(t.data.get(), count, t.stride, t.width, t.unique, items);
    t.used = t.capacity = 0;
    return std::make_unique<MemoryEntries>(std::move(t.data), std::move(items), t.stride);
  }
  spill(t);
  t.data.reset();
  t.capacity = 0;
  std::vector<SortItem>().swap(t.spillItems);
  std::vector<std::unique_ptr<ScratchFile>> runs;
  for (auto& r : t.runs) runs.push_back(std::move(r.file));
  t.runs.clear();
  while (runs.size() > kMaxFinalRuns) {
    std::vector<std::unique_ptr<ScratchFile>> group;
    for (size_t i = 0; i < kFanIn; ++i) group.push_back(std::move(runs[i]));
    runs.erase(runs.begin(), runs.begin() + kFanIn);
    runs.push_back(mergeRuns(*scratch_, std::move(group), t.stride, t.width, t.unique));
  }
  // A unique tag's count is only known once its duplicates are out: merge it into one
  // run first. Other tags stream from the merge.
  if (t.unique && runs.size() > 1) {
    std::vector<std::unique_ptr<ScratchFile>> one;
    one.push_back(mergeRuns(*scratch_, std::move(runs), t.stride, t.width, true));
    runs = std::move(one);
  }
  return std::make_unique<MergedEntries>(std::move(runs), t.stride, t.width);
}

namespace {

// Plans and writes one tag's B-tree.
class TreeWriter {
 public:
  TreeWriter(BufferedWriter& out, const TagKeys& keys, uint32_t blockBytes, uint64_t entries)
      : out_(out), keys_(keys), block_(blockBytes), keyLength_(keys.keyLength()),
        group_(groupLength(keyLength_)), keysMax_(mdx::keysMax(blockBytes, keyLength_)) {
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
      uint8_t* slot = leaf.buffer.data() + 8 + size_t{group_} * leaf.filled;
      putU32(slot, entryRecord(e, keyLength_));
      std::memcpy(slot + 4, disk.data(), keyLength_);
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
    const uint8_t* lastSlot = leaf.buffer.data() + 8 + size_t{group_} * (leaf.filled - 1);
    leaf.lastKey.assign(lastSlot + 4, lastSlot + 4 + keyLength_);
    putU32(leaf.buffer.data(), static_cast<uint32_t>(leaf.filled));
    const uint32_t page = emit(leaf);
    next(0);
    if (levels_.size() > 1) addChild(1, page, levels_[0].lastKey);
  }

  void addChild(size_t level, uint32_t page, const std::vector<uint8_t>& lastKey) {
    Level& l = levels_[level];
    if (l.filled + 1 < l.target) {
      uint8_t* slot = l.buffer.data() + 8 + size_t{group_} * l.filled;
      putU32(slot, page);
      std::memcpy(slot + 4, lastKey.data(), keyLength_);
      ++l.filled;
      return;
    }
    // The last child goes into the trailing pointer after the keys.
    putU32(l.buffer.data(), static_cast<uint32_t>(l.filled));
    putU32(l.buffer.data() + 8 + size_t{group_} * l.filled, page);
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

void todayUtc(int& y, int& m, int& d) {
  using namespace std::chrono;
  const year_month_day ymd{floor<days>(system_clock::now())};
  y = static_cast<int>(ymd.year());
  m = static_cast<int>(static_cast<unsigned>(ymd.month()));
  d = static_cast<int>(static_cast<unsigned>(ymd.day()));
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
      throw Failure(kKeyExpressionError, tagExpressionMessage(indexFileName, t.name, t.keyExpression, tr("is too long")));
    if (t.name.empty() || t.name.size() > 10)
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

  int y = options.year, m = options.month, d = options.day;
  if (y == 0) todayUtc(y, m, d);
  const uint8_t date[3] = {static_cast<uint8_t>(std::clamp(y - 1900, 0, 255)), static_cast<uint8_t>(m),
                           static_cast<uint8_t>(d)};

  // File header and tag table.
  std::string name = index.tableName.empty() ? baseName(indexFileName) : index.tableName;
  for (auto& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  name.resize(std::min<size_t>(name.size(), 15));
  header[0] = 0x02;
  std::memcpy(header.data() + 1, date, 3);
  std::memcpy(header.data() + 4, name.data(), name.size());
  putU16(header.data() + 20, static_cast<uint16_t>(blockPages));
  putU16(header.data() + 22, static_cast<uint16_t>(block));
  header[24] = index.production ? 1 : 0;
  header[25] = 0x30;
  header[26] = 0x20;
  putU16(header.data() + 28, static_cast<uint16_t>(n));
  header[31] = table.languageId;
  putU32(header.data() + 32, endPage);
  std::memcpy(header.data() + 44, date, 3);
  header[529] = 0x01;
  const std::vector<NameTreeLinks> links = nameTree(index.tags);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* slot = header.data() + kSlotsOffset + kSlotSize * i;
    const TagDefinition& t = index.tags[i];
    putU32(slot, static_cast<uint32_t>(kHeaderPages + blockPages * i));
    for (size_t c = 0; c < t.name.size(); ++c) {
      char ch = t.name[c];
      slot[4 + c] = static_cast<uint8_t>((ch >= 'a' && ch <= 'z') ? ch - 32 : ch);
    }
    slot[15] = 0x10;
    slot[16] = links[i].left;
    slot[17] = links[i].right;
    slot[18] = links[i].parent;
    slot[19] = 0x02;
    slot[20] = static_cast<uint8_t>(collector.keys(i).keyType());
  }
  writer.write(header.data(), header.size());

  // Tag header blocks.
  std::vector<uint8_t> tagBlock(block);
  for (size_t i = 0; i < n; ++i) {
    const TagDefinition& t = index.tags[i];
    const TagKeys& k = collector.keys(i);
    std::fill(tagBlock.begin(), tagBlock.end(), 0);
    uint8_t* b = tagBlock.data();
    putU32(b, rootPage[i]);
    b[8] = static_cast<uint8_t>(0x10 | (t.descending ? 0x08 : 0) | (t.unique ? 0x40 : 0));
    b[9] = static_cast<uint8_t>(k.keyType());
    b[11] = table.languageId;
    putU16(b + 12, k.keyLength());
    putU16(b + 14, keysMax(block, k.keyLength()));
    putU16(b + 16, k.keyType() == 'D' ? 1 : 0);
    putU16(b + 18, groupLength(k.keyLength()));
    b[20] = 0x01;
    b[23] = t.unique ? 0x40 : 0;
    std::memcpy(b + 24, t.keyExpression.data(), t.keyExpression.size());
    b[245] = t.forExpression.empty() ? 0 : 1;
    b[246] = sorted[i]->count() > 0 ? 1 : 0;
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

TagDefinition defineTag(const TableHeader& table, const std::string& name, const std::string& keyExpression,
                        const std::string& forExpression, bool unique, bool descending) {
  TagDefinition t;
  t.name = name;
  for (auto& c : t.name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  const bool nameOk = !t.name.empty() && t.name.size() <= 10 &&
                      std::all_of(t.name.begin(), t.name.end(), [](char c) {
                        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
                      });
  if (!nameOk) throw Failure(DBIERR_INVALIDINDEXNAME, "invalid tag name \"" + name + "\"");
  t.keyExpression = keyExpression;
  t.forExpression = forExpression;
  t.unique = unique;
  t.descending = descending;
  auto failure = [&](const std::string& expr, const std::string& what) {
    return Failure(kKeyExpressionError, tagExpressionMessage("new index", t.name, expr, what));
  };
  if (keyExpression.size() > mdx::kMaxExpression) throw failure(keyExpression, "is too long");
  if (forExpression.size() > mdx::kMaxExpression) throw failure(forExpression, "is too long");
  try {
    Expression key(keyExpression, table.fields);
    switch (key.type()) {
      case ValueType::Character:
        t.keyType = 'C';
        t.keyLength = key.length();
        if (t.keyLength < 1 || t.keyLength > 100) throw failure(keyExpression, "gives a key longer than 100 bytes");
        break;
      case ValueType::Numeric:
        t.keyType = 'N';
        t.keyLength = kNumericKeyLength;
        break;
      case ValueType::Date:
        t.keyType = 'D';
        t.keyLength = kDateKeyLength;
        break;
      default:
        throw failure(keyExpression, "gives a logical value, which cannot be a key");
    }
  } catch (const ExpressionError& e) {
    throw failure(keyExpression, std::string("cannot be evaluated: ") + e.what());
  }
  if (!forExpression.empty()) {
    try {
      Expression cond(forExpression, table.fields);
      if (cond.type() != ValueType::Logical) throw failure(forExpression, "is not a condition");
    } catch (const ExpressionError& e) {
      throw failure(forExpression, std::string("cannot be evaluated: ") + e.what());
    }
  }
  return t;
}

}  // namespace idapi::core
