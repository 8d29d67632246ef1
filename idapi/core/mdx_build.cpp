// Rebuilding an index file from the table's records.
//
// One sequential pass over the records evaluates every tag's FOR condition and key and
// appends (sortable key, record number) entries to a compact per-tag array. Each array
// is sorted with memcmp order, which is the tag's order with equal keys in record-
// number order; unique tags then keep the first entry of each key. When the arrays
// outgrow the memory budget the largest one is sorted and written to a scratch file
// as a run; such tags are finished by merging their runs.
//
// The B-trees are built bottom-up: leaves are filled completely in key order, each
// finished node passes (its page, its last key) to the level above, and interior nodes
// share their children evenly and never hold more than keysMax - 1 keys, so that no
// reader takes them for leaves. All leaves are at the same depth. Since every tag's key
// count is known before the first byte is written, all page numbers are known in
// advance and the whole file goes out sequentially: header and tag table, tag header
// blocks, then each tag's nodes in the order they are finished (the root last).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <queue>

#include "core/bytes.h"
#include "core/core.h"
#include "core/mdx_internal.h"
#include "core/records.h"

namespace idapi::core {
namespace mdx {

namespace {

constexpr size_t kSortOverhead = 20;  // bytes per entry used while sorting (item + order)
constexpr size_t kRunBuffer = 64u << 10;
constexpr size_t kMinimumBudget = 64u << 10;  // below this, runs would be too small to merge

// Sorts `count` entries of `stride` bytes; returns their order, without the later
// entries of equal keys (first `width` bytes) when `unique`.
std::vector<uint32_t> sortEntries(const uint8_t* data, size_t count, size_t stride, size_t width, bool unique) {
  struct Item {
    uint64_t prefix;
    uint32_t index;
  };
  std::vector<Item> items(count);
  const size_t prefixBytes = std::min<size_t>(8, stride);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = data + i * stride;
    uint64_t p = 0;
    for (size_t b = 0; b < 8; ++b) p = (p << 8) | (b < prefixBytes ? e[b] : 0);
    items[i] = {p, static_cast<uint32_t>(i)};
  }
  const size_t rest = stride > 8 ? stride - 8 : 0;
  std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return rest != 0 && std::memcmp(data + size_t{a.index} * stride + 8, data + size_t{b.index} * stride + 8, rest) < 0;
  });
  std::vector<uint32_t> order;
  order.reserve(count);
  const uint8_t* last = nullptr;
  for (const Item& it : items) {
    const uint8_t* e = data + size_t{it.index} * stride;
    if (unique && last && std::memcmp(last, e, width) == 0) continue;
    order.push_back(it.index);
    last = e;
  }
  return order;
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

class MemoryEntries : public SortedEntries {
 public:
  MemoryEntries(std::vector<uint8_t> data, std::vector<uint32_t> order, size_t stride)
      : data_(std::move(data)), order_(std::move(order)), stride_(stride) {}
  uint64_t count() const override { return order_.size(); }
  const uint8_t* next() override {
    return at_ < order_.size() ? data_.data() + size_t{order_[at_++]} * stride_ : nullptr;
  }

 private:
  std::vector<uint8_t> data_;
  std::vector<uint32_t> order_;
  size_t stride_;
  size_t at_ = 0;
};

class ScratchEntries : public SortedEntries {
 public:
  ScratchEntries(std::unique_ptr<ScratchFile> file, size_t stride)
      : file_(std::move(file)), stride_(stride), count_(file_->size() / stride), reader_(*file_, stride) {}
  uint64_t count() const override { return count_; }
  const uint8_t* next() override {
    const uint8_t* e = reader_.current();
    if (!e) return nullptr;
    current_.assign(e, e + stride_);
    reader_.advance();
    return current_.data();
  }

 private:
  std::unique_ptr<ScratchFile> file_;
  size_t stride_;
  uint64_t count_;
  RunReader reader_;
  std::vector<uint8_t> current_;
};

}  // namespace

struct KeyCollector::Tag {
  std::unique_ptr<TagKeys> keys;
  uint16_t width = 0;
  size_t stride = 0;
  bool unique = false;
  std::vector<uint8_t> data;
  size_t used = 0;
  std::vector<std::unique_ptr<ScratchFile>> runs;
  size_t held() const { return data.size() + (used / stride) * kSortOverhead; }
};

KeyCollector::KeyCollector(const TableHeader& table, const IndexHeader& index, const std::string& indexFileName,
                           size_t memoryBudget, ScratchStore* scratch)
    : table_(table), budget_(std::max(memoryBudget, kMinimumBudget)), scratch_(scratch) {
  for (const TagDefinition& def : index.tags) {
    auto t = std::make_unique<Tag>();
    t->keys = std::make_unique<TagKeys>(table, def, indexFileName);
    t->width = t->keys->keyLength();
    t->stride = size_t{t->width} + 4;
    t->unique = def.unique;
    tags_.push_back(std::move(t));
  }
}

KeyCollector::~KeyCollector() = default;

const TagKeys& KeyCollector::keys(size_t tag) const { return *tags_.at(tag)->keys; }

void KeyCollector::collect(const ByteSource& dbf) {
  if (tags_.empty()) return;
  RecordReader reader(table_, dbf);
  while (const uint8_t* record = reader.next()) {
    const uint32_t recno = reader.recordNumber();
    for (auto& tp : tags_) {
      Tag& t = *tp;
      if (t.used + t.stride > t.data.size()) {
        const size_t before = t.held();
        t.data.resize(std::max<size_t>(t.data.size() * 2, std::max<size_t>(t.stride * 64, 4096)));
        held_ += t.held() - before;
      }
      uint8_t* e = t.data.data() + t.used;
      if (!t.keys->sortableKey(record, recno, e)) continue;
      e[t.width] = static_cast<uint8_t>(recno >> 24);
      e[t.width + 1] = static_cast<uint8_t>(recno >> 16);
      e[t.width + 2] = static_cast<uint8_t>(recno >> 8);
      e[t.width + 3] = static_cast<uint8_t>(recno);
      t.used += t.stride;
      held_ += kSortOverhead;
    }
    if (scratch_ && held_ > budget_) {
      auto largest = std::max_element(tags_.begin(), tags_.end(),
                                      [](const auto& a, const auto& b) { return a->held() < b->held(); });
      if ((*largest)->used > 0) spill(**largest);
    }
  }
}

void KeyCollector::spill(Tag& t) {
  const size_t count = t.used / t.stride;
  if (count > 0) {
    std::vector<uint32_t> order = sortEntries(t.data.data(), count, t.stride, t.width, t.unique);
    std::unique_ptr<ScratchFile> run = scratch_->create();
    {
      BufferedWriter w(*run);
      for (uint32_t i : order) w.write(t.data.data() + size_t{i} * t.stride, t.stride);
      w.flush();
    }
    t.runs.push_back(std::move(run));
  }
  held_ -= t.held();
  t.used = 0;
  std::vector<uint8_t>().swap(t.data);
}

std::unique_ptr<SortedEntries> KeyCollector::sorted(size_t index) {
  Tag& t = *tags_.at(index);
  if (t.runs.empty()) {
    const size_t count = t.used / t.stride;
    std::vector<uint32_t> order = sortEntries(t.data.data(), count, t.stride, t.width, t.unique);
    held_ -= t.held();
    t.used = 0;
    return std::make_unique<MemoryEntries>(std::move(t.data), std::move(order), t.stride);
  }
  spill(t);
  std::vector<std::unique_ptr<ScratchFile>> runs = std::move(t.runs);
  if (runs.size() == 1) return std::make_unique<ScratchEntries>(std::move(runs[0]), t.stride);

  // k-way merge of the runs into one file, dropping later duplicates of unique keys.
  std::vector<std::unique_ptr<RunReader>> readers;
  for (auto& r : runs) readers.push_back(std::make_unique<RunReader>(*r, t.stride));
  auto greater = [&](size_t a, size_t b) { return std::memcmp(readers[a]->current(), readers[b]->current(), t.stride) > 0; };
  std::priority_queue<size_t, std::vector<size_t>, decltype(greater)> heap(greater);
  for (size_t i = 0; i < readers.size(); ++i)
    if (readers[i]->current()) heap.push(i);
  std::unique_ptr<ScratchFile> merged = scratch_->create();
  {
    BufferedWriter w(*merged);
    std::vector<uint8_t> last;
    while (!heap.empty()) {
      const size_t i = heap.top();
      heap.pop();
      const uint8_t* e = readers[i]->current();
      if (!(t.unique && !last.empty() && std::memcmp(last.data(), e, t.width) == 0)) {
        w.write(e, t.stride);
        last.assign(e, e + t.stride);
      }
      readers[i]->advance();
      if (readers[i]->current()) heap.push(i);
    }
    w.flush();
  }
  readers.clear();
  runs.clear();
  return std::make_unique<ScratchEntries>(std::move(merged), t.stride);
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
  if (index.tags.size() > kMaxTags) throw Failure(DBIERR_INDEXCORRUPT, indexFileName + ": too many tags");
  if (index.blockPages < kMinBlockPages || index.blockPages > kMaxBlockPages)
    throw Failure(DBIERR_INDEXCORRUPT, indexFileName + ": unsupported block size");
  const uint32_t blockPages = index.blockPages;
  const uint32_t block = blockPages * kPage;
  for (const TagDefinition& t : index.tags) {
    if (t.keyExpression.size() > kMaxExpression || t.forExpression.size() > kMaxExpression)
      throw Failure(kKeyExpressionError, tagExpressionMessage(indexFileName, t.name, t.keyExpression, "is too long"));
    if (t.name.empty() || t.name.size() > 10)
      throw Failure(DBIERR_INVALIDINDEXNAME, indexFileName + ": invalid tag name \"" + t.name + "\"");
  }

  KeyCollector collector(table, index, indexFileName, options.memoryBudget, options.scratch);
  for (size_t i = 0; i < index.tags.size(); ++i)
    if (keysMax(block, collector.keys(i).keyLength()) < 3)
      throw Failure(DBIERR_INDEXCORRUPT, indexFileName + ": tag " + index.tags[i].name + " has keys too long for a block");
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
  if (page > UINT32_MAX) throw Failure(DBIERR_INDEXCORRUPT, indexFileName + ": the index would be too large");
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
    throw Failure(DBIERR_WRITEERR, indexFileName + ": internal error while laying out the index");
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
