// Verifying an index file against the table's records.
//
// For every tag: its header block agrees with the tag's key type and length; the tree
// from its root is well formed (pages inside the file and not shared, key counts
// within the block, all leaves at one depth, every separator equal to or above the
// last key of its child and not above the next child's first key); the stored keys
// are well-formed encodings; and the leaf sequence holds exactly what a rebuild would
// produce: keys in order, the records after the FOR filter, the first record of each
// key in a unique tag, each with the key its record gives today.
//
// What other writers do differently without misleading a reader is not a fault: equal
// keys in any record order, interior nodes holding as many keys as a block takes, the
// digit count of a numeric key (only the digits present count), a keys-per-block
// figure computed with 8 instead of 12 bytes of overhead, and blank dates keyed 0.0
// (sorting first) or 21474835648.0 instead of 1.0E+100 (sorting last); which of the two a date tag
// uses is read from the end of the tag where its blanks would lie. Under a driver of
// byte order, character keys whose bytes >= 0x80 sort before ASCII (as signed bytes)
// are accepted as well.
#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <unordered_set>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/language.h"
#include "idapi/core/mdx_internal.h"

namespace idapi::core {

namespace {

using namespace mdx;

struct TagFault {
  std::string text;
};

// Compares the leaf entries, as the tree walk meets them, with the entries a rebuild
// would write (sorted by key, then record number). Equal keys may come in any record
// order (writers that keep an index up by appends put the newest first), so each run
// of equal keys is compared with the expected run as a set of records. Keys out of
// order and a key shared in a unique tag stop the check at once; differences are
// counted.
class LeafComparer {
 public:
  LeafComparer(SortedEntries& expected, uint16_t keyLength, bool unique, uint32_t recordCount)
      : expected_(expected), keyLength_(keyLength), unique_(unique), recordCount_(recordCount), key_(keyLength) {
    next_ = expected_.next();
  }

  void add(const uint8_t* e) {
    ++count_;
    const uint32_t r = entryRecord(e, keyLength_);
    if (r == 0 || r > recordCount_)
      throw TagFault{"entry " + std::to_string(count_) + " points to record " + std::to_string(r) +
                     ", which does not exist"};
    if (count_ > 1) {
      const int keyOrder = std::memcmp(key_.data(), e, keyLength_);
      if (keyOrder > 0)
        throw TagFault{"keys out of order at entry " + std::to_string(count_) + " (record " + std::to_string(r) + ")"};
      if (keyOrder == 0 && unique_)
        throw TagFault{"records " + std::to_string(group_.back()) + " and " + std::to_string(r) +
                       " share a key in a unique tag"};
      if (keyOrder < 0) closeGroup();
    }
    if (group_.empty()) std::memcpy(key_.data(), e, keyLength_);
    group_.push_back(r);
  }

  uint64_t count() const { return count_; }

  // Text of the difference with the table, empty when there is none.
  std::string finish() {
    if (!group_.empty()) closeGroup();
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
    if (first.empty() && !extra_.empty())
      first = "record " + std::to_string(*extra_.begin()) + " should not be in the tag";
    if (first.empty() && !missing_.empty()) first = "record " + std::to_string(*missing_.begin()) + " is missing";
    return first + " (" + std::to_string(differences_) + " entr" + (differences_ == 1 ? "y differs" : "ies differ") +
           " from the table)";
  }

 private:
  static constexpr size_t kKept = 1000;  // records remembered for the message

  // Matches the run of equal keys just ended with the expected entries of that key.
  void closeGroup() {
    // Expected entries below this key are missing from the index.
    while (next_ && std::memcmp(next_, key_.data(), keyLength_) < 0) {
      noteMissing(entryRecord(next_, keyLength_));
      next_ = expected_.next();
    }
    expectedGroup_.clear();
    while (next_ && std::memcmp(next_, key_.data(), keyLength_) == 0) {
      expectedGroup_.push_back(entryRecord(next_, keyLength_));  // already in record order
      next_ = expected_.next();
    }
    std::sort(group_.begin(), group_.end());
    size_t i = 0, j = 0;
    while (i < group_.size() || j < expectedGroup_.size()) {
      if (j == expectedGroup_.size() || (i < group_.size() && group_[i] < expectedGroup_[j])) {
        noteExtra(group_[i++]);  // also a record listed twice
      } else if (i == group_.size() || expectedGroup_[j] < group_[i]) {
        noteMissing(expectedGroup_[j++]);
      } else {
        ++i;
        ++j;
      }
    }
    group_.clear();
  }
  void noteMissing(uint32_t r) {
    ++differences_;
    if (missing_.size() < kKept) missing_.insert(r);
  }
  void noteExtra(uint32_t r) {
    ++differences_;
    if (extra_.size() < kKept) extra_.insert(r);
  }

  SortedEntries& expected_;
  uint16_t keyLength_;
  bool unique_;
  uint32_t recordCount_;
  std::vector<uint8_t> key_;                     // sortable key of the current run
  std::vector<uint32_t> group_, expectedGroup_;  // records of the current run
  const uint8_t* next_ = nullptr;
  uint64_t count_ = 0, differences_ = 0;
  std::set<uint32_t> extra_, missing_;
};

class TreeCheck {
 public:
  TreeCheck(const ByteSource& mdx, const IndexHeader& ix, uint32_t pagesInFile, const std::set<uint32_t>& tagPages,
            const TagKeys& keys, LeafComparer& leaves)
      : leaves_(leaves),
        mdx_(mdx),
        block_(uint32_t{ix.blockPages} * kPage),
        pagesInFile_(pagesInFile),
        tagPages_(tagPages),
        keys_(keys),
        type_(keys.keyType()),
        keyLength_(keys.keyLength()),
        group_(groupLength(keyLength_)),
        keysMax_(static_cast<uint16_t>((block_ - 8) / group_)) {}

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

  // One library keys a blank date as the double 21474835648.0, which sorts after every
  // date as 1.0E+100 does: read as a blank date.
  static void normaliseBlankDate(uint8_t* key) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t{key[i]} << (8 * i);
    if (std::bit_cast<double>(bits) == kLibraryBlankDate) encodeDateKey(0, key);
  }
  static constexpr double kLibraryBlankDate = 21474835648.0;

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
    const uint32_t k = u32At(b, kNodeKeyCount);
    if (k > keysMax_) fault(where + " holds " + std::to_string(k) + " keys, more than a block takes");
    // A node filled to the last byte has no room for a child pointer: a leaf.
    const size_t trailingAt = entryOffset(group_, k);
    const uint32_t trailing = trailingAt + 4 <= block_ ? u32At(b, trailingAt) : 0;
    std::vector<uint8_t> key(keyLength_);
    std::vector<uint8_t> entry(size_t{keyLength_} + 4);
    if (trailing == 0) {  // leaf
      if (leafDepth < 0)
        leafDepth = depth;
      else if (leafDepth != depth)
        fault("leaves lie at different depths");
      if (k == 0 && !isRoot) fault(where + " is an empty leaf");
      std::vector<uint8_t> stored(keyLength_);
      for (uint32_t i = 0; i < k; ++i) {
        const uint8_t* e = node.data() + entryOffset(group_, i);
        const uint32_t recno = u32At(b, entryOffset(group_, i));
        std::memcpy(stored.data(), e + kEntryKey, keyLength_);
        if (type_ == 'D') normaliseBlankDate(stored.data());
        if (!wellFormedKey(type_, stored.data(), keyLength_, false))
          fault("record " + std::to_string(recno) + " has a malformed key");
        sortable(stored.data(), entry.data());
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
    std::vector<uint8_t> separator(keyLength_);
    Range previous;
    bool havePrevious = false;
    std::vector<uint8_t> previousSeparator;
    for (uint32_t i = 0; i <= k; ++i) {
      const uint8_t* e = node.data() + entryOffset(group_, i);
      const uint32_t child = u32At(b, entryOffset(group_, i));
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
        std::vector<uint8_t> stored(e + kEntryKey, e + kEntryKey + keyLength_);
        if (type_ == 'D') normaliseBlankDate(stored.data());
        if (!wellFormedKey(type_, stored.data(), keyLength_, false)) fault(where + " has a malformed separator key");
        sortable(stored.data(), separator.data());
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

// The first or last key of a tag's tree, following the first or last pointers down
// from the root; false when the tree cannot be followed.
bool endKey(const ByteSource& mdx, uint32_t block, uint32_t root, uint16_t keyLength, bool last, uint8_t* out) {
  const uint16_t group = groupLength(keyLength);
  const uint32_t perBlock = keysMaxWithoutTrailer(block, keyLength);
  std::vector<uint8_t> node(block);
  uint32_t page = root;
  for (int depth = 0; depth <= 40; ++depth) {
    if (page < kHeaderPages || uint64_t{page} * kPage + block > mdx.size()) return false;
    mdx.readAt(uint64_t{page} * kPage, node.data(), block);
    Bytes b(node);
    const uint32_t k = u32At(b, kNodeKeyCount);
    if (k > perBlock) return false;
    const size_t trailingAt = entryOffset(group, k);
    const uint32_t trailing = trailingAt + 4 <= block ? u32At(b, trailingAt) : 0;
    if (trailing == 0) {
      if (k == 0) return false;
      std::memcpy(out, node.data() + entryOffset(group, last ? k - 1 : 0) + kEntryKey, keyLength);
      return true;
    }
    page = last ? trailing : u32At(b, entryOffset(group, 0));
  }
  return false;
}

// Whether a date tag keys its blank dates 0.0: such blanks come first in an ascending
// tag and last in a descending one, so the key at that end of the tree tells. A tree
// too damaged to follow gives false and its faults are found by the walk.
bool blanksKeyedZero(const ByteSource& mdx, uint32_t block, uint32_t root, bool descending) {
  uint8_t key[kDateKeyLength];
  if (!endKey(mdx, block, root, kDateKeyLength, descending, key)) return false;
  return std::all_of(key, key + kDateKeyLength, [](uint8_t c) { return c == 0; });
}

// The leaf entries of a tag in tree order (each a u32 record number, then the key),
// handed to `visit` one by one (false stops the walk). Returns false when the tree
// cannot be followed soundly.
template <typename Visit>
bool walkLeafKeys(const ByteSource& mdx, uint32_t block, uint32_t root, uint16_t keyLength, Visit&& visit) {
  const uint16_t group = groupLength(keyLength);
  const uint32_t perBlock = keysMaxWithoutTrailer(block, keyLength);
  std::unordered_set<uint32_t> seen;
  std::vector<uint8_t> node(block);
  // Iterative depth-first walk: (page, next child) pairs.
  std::vector<std::pair<uint32_t, uint32_t>> path{{root, 0}};
  while (!path.empty()) {
    auto& [page, nextChild] = path.back();
    if (path.size() > 40 || page < kHeaderPages || uint64_t{page} * kPage + block > mdx.size()) return false;
    if (nextChild == 0 && !seen.insert(page).second) return false;
    mdx.readAt(uint64_t{page} * kPage, node.data(), block);
    Bytes b(node);
    const uint32_t k = u32At(b, kNodeKeyCount);
    if (k > perBlock) return false;
    const size_t trailingAt = entryOffset(group, k);
    const uint32_t trailing = trailingAt + 4 <= block ? u32At(b, trailingAt) : 0;
    if (trailing == 0) {
      for (uint32_t i = 0; i < k; ++i)
        if (!visit(node.data() + entryOffset(group, i))) return true;
      path.pop_back();
      continue;
    }
    if (nextChild > k) {
      path.pop_back();
      continue;
    }
    const uint32_t child = u32At(b, entryOffset(group, nextChild));
    ++nextChild;
    path.push_back({child, 0});
  }
  return true;
}

// A decimal number as its significant digits (no leading or trailing zeros; empty for
// zero), its sign and E (value = 0.digits x 10^E).
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
  bool operator==(const Decimal& o) const {
    return digits == o.digits && (digits.empty() || (negative == o.negative && exponent == o.exponent));
  }
  std::string text() const {
    if (digits.empty()) return "0";
    return std::string(negative ? "-" : "") + "0." + digits + "E" + std::to_string(exponent);
  }
};

// A field's characters read as a decimal number: blanks around, an optional sign,
// digits with at most one point; all blanks is zero. False for anything else.
bool fieldDecimal(const uint8_t* p, size_t n, Decimal& out) {
  size_t b = 0, e = n;
  while (b < e && p[b] == ' ') ++b;
  while (e > b && p[e - 1] == ' ') --e;
  out = Decimal{};
  if (b < e && (p[b] == '-' || p[b] == '+')) out.negative = p[b++] == '-';
  bool point = false, any = false;
  int whole = 0;
  for (size_t i = b; i < e; ++i) {
    if (p[i] == '.' && !point) {
      point = true;
    } else if (p[i] >= '0' && p[i] <= '9') {
      any = true;
      if (!point) ++whole;
      out.digits.push_back(static_cast<char>(p[i]));
    } else {
      return false;
    }
  }
  if (!any) return b == e && !out.negative;  // blanks only
  size_t lead = 0;
  while (lead < out.digits.size() && out.digits[lead] == '0') ++lead;
  out.exponent = whole - static_cast<int>(lead);
  out.digits.erase(0, lead);
  while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
  return true;
}

// A stored numeric key read as a decimal number, from all of its digit nibbles (writers
// differ in the digit count they record). False when a nibble is not a digit.
bool keyDecimal(const uint8_t* key, Decimal& out) {
  out = Decimal{};
  for (int i = 0; i < 20; ++i) {
    const int d = (i % 2 == 0) ? key[2 + i / 2] >> 4 : key[2 + i / 2] & 0x0F;
    if (d > 9) return false;
    out.digits.push_back(static_cast<char>('0' + d));
  }
  while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
  if (!out.digits.empty() && out.digits[0] == '0') return false;
  out.negative = (key[1] & 0x80) != 0;
  out.exponent = int{key[0]} - 0x34;
  return true;
}

// The numeric field a tag's key expression names alone ("AMOUNT", "alias->AMOUNT"),
// or null.
const Field* plainNumericField(const TableHeader& table, const TagDefinition& tag) {
  if (tag.keyType != 'N' && tag.keyType != 'F') return nullptr;
  std::string name;
  for (char c : tag.keyExpression)
    if (c != ' ') name.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  const size_t arrow = name.find("->");
  if (arrow != std::string::npos) name.erase(0, arrow + 2);
  for (const Field& f : table.fields)
    if (f.name == name) return f.type == 'N' || f.type == 'F' ? &f : nullptr;
  return nullptr;
}

// The key of every entry of a tag over one numeric field compared with the field's
// characters in its record, digit by digit. This path shares nothing with the key
// expressions or the key encoder, so an encoder that rounds a value is caught here.
// Returns the first difference, or "" (also when the tree cannot be followed: the full
// check reports that).
std::string numericFieldKeysDiffer(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdx,
                                   uint32_t block, uint32_t root, const Field& field) {
  std::string found;
  std::vector<uint8_t> text(field.length);
  walkLeafKeys(mdx, block, root, kNumericKeyLength, [&](const uint8_t* entry) {
    const uint32_t recno = u32At(Bytes(entry, 4), 0);
    if (recno == 0 || recno > table.recordCount) return true;
    dbf.readAt(uint64_t{table.headerLength} + uint64_t{recno - 1} * table.recordLength + field.offset, text.data(),
               text.size());
    Decimal stored, value;
    if (!keyDecimal(entry + kEntryKey, stored) || !fieldDecimal(text.data(), text.size(), value)) return true;
    if (value.digits.size() > kNumericKeyDigits) {
      std::string shown(text.begin(), text.end());
      shown.erase(0, shown.find_first_not_of(' '));
      found = "record " + std::to_string(recno) + " holds " + shown + " in " + field.name +
              ", more significant digits than a numeric key holds";
      return false;
    }
    if (!(stored == value)) {
      found = "record " + std::to_string(recno) + " is keyed " + stored.text() + " but holds " + value.text() + " in " +
              field.name;
      return false;
    }
    return true;
  });
  return found;
}

}  // namespace

void followExistingOrder(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdxFile,
                         const std::string& indexFileName, IndexHeader& index) {
  if (!LanguageRules::of(table).byteOrder() || index.tags.empty()) return;
  std::vector<size_t> candidates;  // tags whose keys hold in signed-byte order only
  try {
    const uint32_t block = uint32_t{index.blockPages} * kPage;
    std::vector<uint8_t> slots(kMaxTags * kSlotSize);
    mdxFile.readAt(kSlotsOffset, slots.data(), slots.size());
    std::vector<uint8_t> tagHead(kTagPrefixBytes);
    for (size_t i = 0; i < index.tags.size(); ++i) {
      TagDefinition& tag = index.tags[i];
      if (tag.keyType != 'C') continue;
      mdxFile.readAt(uint64_t{u32At(Bytes(slots), kSlotSize * i + kSlotHeaderPage)} * kPage, tagHead.data(),
                     tagHead.size());
      const uint32_t root = u32At(Bytes(tagHead), kTagRoot);
      const uint16_t keyLength = u16At(Bytes(tagHead), kTagKeyLength);
      if (keyLength != tag.keyLength || keyLength == 0) continue;
      // Every neighbouring pair must hold in signed-byte order, and one at least must
      // break byte order; anything else keeps byte order. (Not only the first bytes
      // count: a tag whose keys all start with a byte >= 0x80 may differ further on,
      // and a rebuild of such a tag must see its own order again.)
      std::vector<uint8_t> previous(keyLength);
      bool first = true, signedHolds = true, byteOrderBroken = false;
      const bool walked = walkLeafKeys(mdxFile, block, root, keyLength, [&](const uint8_t* entry) {
        const uint8_t* key = entry + kEntryKey;
        if (!first) {
          int bytes = 0, signedBytes = 0;
          for (uint16_t j = 0; j < keyLength && bytes == 0; ++j) {
            if (previous[j] == key[j]) continue;
            bytes = previous[j] < key[j] ? -1 : 1;
            signedBytes = (previous[j] ^ 0x80) < (key[j] ^ 0x80) ? -1 : 1;
          }
          if (tag.descending) {
            bytes = -bytes;
            signedBytes = -signedBytes;
          }
          if (signedBytes > 0) signedHolds = false;
          if (bytes > 0) byteOrderBroken = true;
        }
        std::memcpy(previous.data(), key, keyLength);
        first = false;
        return signedHolds;
      });
      if (walked && signedHolds && byteOrderBroken) candidates.push_back(i);
    }
    if (candidates.empty()) return;
    // The order is followed only where the index is this table's own and up to date:
    // the tag, read in signed-byte order, holds exactly the keys of the records. An
    // index left by another table or gone stale chooses nothing.
    const std::vector<TagReport> reports = checkIndex(table, dbf, mdxFile, indexFileName);
    for (size_t i : candidates)
      if (i < reports.size() && reports[i].ok) index.tags[i].highBytesFirst = true;
  } catch (const Failure&) {
    // An index that cannot be read keeps byte order.
  } catch (const OutOfBounds&) {
  } catch (const std::bad_alloc&) {}
}

std::vector<TagReport> checkIndex(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdxFile,
                                  const std::string& indexFileName, const RebuildOptions& options) {
  IndexHeader ix = readIndexHeader(mdxFile, indexFileName);
  if (ix.tags.empty()) return {};
  uint8_t head[kFileHeaderBytes];
  mdxFile.readAt(0, head, sizeof head);
  const uint32_t pagesInFile = u32At(Bytes(head, sizeof head), kHdrPagesInFile);
  const uint32_t block = uint32_t{ix.blockPages} * kPage;

  std::vector<uint8_t> slots(kMaxTags * kSlotSize);
  mdxFile.readAt(kSlotsOffset, slots.data(), slots.size());
  std::set<uint32_t> tagPages;
  for (size_t i = 0; i < ix.tags.size(); ++i) tagPages.insert(u32At(Bytes(slots), kSlotSize * i + kSlotHeaderPage));
  std::vector<uint8_t> tagHead(kTagRoot + 4);
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    if (ix.tags[i].keyType != 'D') continue;
    mdxFile.readAt(uint64_t{u32At(Bytes(slots), kSlotSize * i + kSlotHeaderPage)} * kPage, tagHead.data(),
                   tagHead.size());
    ix.tags[i].blankDateZero = blanksKeyedZero(mdxFile, block, u32At(Bytes(tagHead), kTagRoot), ix.tags[i].descending);
  }

  // Checks the tags listed (positions in ix.tags) and returns their reports.
  auto checkTags = [&](const std::vector<size_t>& which, bool highBytesFirst) {
    std::vector<TagReport> reports(which.size());
    IndexHeader evaluable = ix;
    evaluable.tags.clear();
    std::vector<size_t> evaluableIndex;  // position in `which` of each evaluable tag
    for (size_t w = 0; w < which.size(); ++w) {
      reports[w].tag = ix.tags[which[w]].name;
      // Read from the tag header, apart from the key expressions.
      if (ix.tags[which[w]].keyType == 'C' && ix.tags[which[w]].keyLength > kMaxCharacterKey) {
        reports[w].problem = "keys of " + std::to_string(ix.tags[which[w]].keyLength) +
                             " bytes, longer than the 100 bytes a character key may have";
        continue;
      }
      try {
        TagKeys probe(table, ix.tags[which[w]], indexFileName);
        evaluable.tags.push_back(ix.tags[which[w]]);
        evaluable.tags.back().highBytesFirst = highBytesFirst;
        evaluableIndex.push_back(w);
      } catch (const Failure& f) {
        reports[w].problem = f.what();
      }
    }

    std::unique_ptr<KeyCollector> collector;
    try {
      collector = std::make_unique<KeyCollector>(table, evaluable, indexFileName,
                                                 options.scratch ? options.memoryBudget : SIZE_MAX, options.scratch);
      collector->collect(dbf);
    } catch (const Failure& f) {
      for (size_t w : evaluableIndex) reports[w].problem = f.what();
      return reports;
    }

    std::vector<uint8_t> tagBlock(block);
    for (size_t j = 0; j < evaluable.tags.size(); ++j) {
      TagReport& report = reports[evaluableIndex[j]];
      const size_t slotIndex = which[evaluableIndex[j]];
      const TagDefinition& tag = evaluable.tags[j];
      const TagKeys& keys = collector->keys(j);
      std::unique_ptr<SortedEntries> expected = collector->sorted(j);
      try {
        const uint32_t headerPage = u32At(Bytes(slots), kSlotSize * slotIndex + kSlotHeaderPage);
        mdxFile.readAt(uint64_t{headerPage} * kPage, tagBlock.data(), block);
        Bytes t(tagBlock);
        const uint16_t perBlock = u16At(t, kTagKeysPerBlock);
        if (perBlock != keysMax(block, keys.keyLength()) && perBlock != keysMaxWithoutTrailer(block, keys.keyLength()))
          throw TagFault{"tag header gives " + std::to_string(u16At(t, kTagKeysPerBlock)) +
                         " keys per block instead of " + std::to_string(keysMax(block, keys.keyLength()))};
        if (u16At(t, kTagEntryLength) != groupLength(keys.keyLength()))
          throw TagFault{"tag header has a wrong entry length"};
        const char slotType = static_cast<char>(slots[kSlotSize * slotIndex + kSlotKeyType]);
        if (slotType != keys.keyType() && !(slotType == 'F' && keys.keyType() == 'N'))
          throw TagFault{"tag table and tag header disagree on the key type"};
        LeafComparer leaves(*expected, keys.keyLength(), tag.unique, table.recordCount);
        TreeCheck tree(mdxFile, ix, pagesInFile, tagPages, keys, leaves);
        try {
          tree.walk(u32At(t, kTagRoot));
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
  };

  std::vector<size_t> all(ix.tags.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  std::vector<TagReport> reports = checkTags(all, false);

  // Where the driver gives byte order (no driver, or one of the binary ones) the place
  // of bytes >= 0x80 is the writer's: some put them before every ASCII byte (signed
  // bytes). A character tag out of order in byte order is checked again in that order,
  // and is sound if it holds there.
  if (LanguageRules::of(table).byteOrder()) {
    std::vector<size_t> again;
    for (size_t i = 0; i < reports.size(); ++i)
      if (!reports[i].ok && ix.tags[i].keyType == 'C' && reports[i].problem.rfind("keys out of order", 0) == 0)
        again.push_back(i);
    if (!again.empty()) {
      const std::vector<TagReport> second = checkTags(again, true);
      for (size_t w = 0; w < again.size(); ++w)
        if (second[w].ok) reports[again[w]] = second[w];
    }
  }

  // Tags over one numeric field wider than the digits of a key (where an encoder could
  // round): every key against the field's characters, apart from the expression and key
  // code above (a difference found there is the clearer text). Narrower fields are left
  // to the check above: this path reads one record per key.
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    const Field* field = plainNumericField(table, ix.tags[i]);
    if (!field || field->length <= kNumericKeyDigits) continue;
    try {
      mdxFile.readAt(uint64_t{u32At(Bytes(slots), kSlotSize * i + kSlotHeaderPage)} * kPage, tagHead.data(),
                     tagHead.size());
      const std::string difference =
          numericFieldKeysDiffer(table, dbf, mdxFile, block, u32At(Bytes(tagHead), kTagRoot), *field);
      if (!difference.empty()) {
        reports[i].ok = false;
        reports[i].problem = difference;
      }
    } catch (const OutOfBounds&) {
    } catch (const Failure&) {}
  }
  return reports;
}

}  // namespace idapi::core
