// Collecting and sorting the keys of an index's tags from the table's records.
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
#include <algorithm>
#include <bit>
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
  for (size_t i = 0; i < stride; ++i)
    out[i] = static_cast<uint8_t>((i < 8 ? it.hi >> (56 - 8 * i) : it.lo >> (120 - 8 * i)));
  return out;
}

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

}  // namespace mdx
}  // namespace idapi::core
