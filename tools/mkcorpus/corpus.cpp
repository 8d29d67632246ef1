#include "corpus.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "idapi/core/dbf_format.h"
#include "idapi/core/mdx_format.h"
#include "fixtures.h"
#include "idapi/dbi.h"

namespace corpus {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kHeaderCorrupt = DBIERR_HEADERCORRUPT;
constexpr uint16_t kIndexCorrupt = DBIERR_INDEXCORRUPT;
constexpr uint16_t kNoSuchIndex = DBIERR_NOSUCHINDEX;
constexpr uint16_t kEncrypted = DBIERR_NOTSUFFTABLERIGHTS;

// Layout of the sound table: three fields (CP C5, VILLE C30, DEPT C3), 32-byte
// descriptors from 32, terminator at 128, records of 39 bytes from 129.
namespace dbf = idapi::core::dbf;
constexpr size_t kDescriptors = dbf::kDescriptors.start;
constexpr size_t kDescriptorSize = dbf::kDescriptors.size;
constexpr size_t kFieldCount = 3;
constexpr size_t kTerminator = kDescriptors + kDescriptorSize * kFieldCount;
constexpr size_t kHeaderLength = kTerminator + 1;
constexpr size_t kRecordLength = 39;
constexpr uint32_t kRecords = 20;

// Index layout (core/mdx_format.h); the sound index has blocks of two pages.
using namespace idapi::core::mdx;
constexpr size_t kSlots = kSlotsOffset;
constexpr size_t kBlock = 2 * kPage;
constexpr size_t kExpressionRoom = kMaxExpression + 1;
constexpr size_t kForFlag = kTagHasFor;
constexpr size_t kForExpression = kForOffset;

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put16(Bytes& b, size_t at, uint16_t v) {
  if (at + 2 > b.size()) throw std::runtime_error("corpus: 16-bit write outside the file");
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v) {
  if (at + 4 > b.size()) throw std::runtime_error("corpus: 32-bit write outside the file");
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const Bytes& b, size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("corpus: 32-bit read outside the file");
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Writes a NUL-terminated text into a fixed area, zero-filling the rest of it.
void putText(Bytes& b, size_t at, size_t room, const std::string& text) {
  if (at + room > b.size() || text.size() > room) throw std::runtime_error("corpus: text does not fit");
  std::memset(b.data() + at, 0, room);
  std::memcpy(b.data() + at, text.data(), text.size());
}

size_t descriptor(size_t field) { return kDescriptors + kDescriptorSize * field; }
size_t slot(size_t tag) { return kSlots + kSlotSize * tag; }

class Builder {
 public:
  Builder(Bytes dbf, Bytes mdx) : dbf_(std::move(dbf)), mdx_(std::move(mdx)) {
    if (dbf_.size() != kHeaderLength + kRecords * kRecordLength + 1 || dbf_[kTerminator] != dbf::kHeaderEnd)
      throw std::runtime_error("corpus: the sound table does not have the expected layout");
    if (mdx_.size() < kHeaderPages * kPage || mdx_[kHdrTagsInUse] != 2 || mdx_[kHdrBlockPages] != 2)
      throw std::runtime_error("corpus: the sound index does not have the expected layout");
  }

  const Bytes& dbf() const { return dbf_; }
  const Bytes& mdx() const { return mdx_; }
  // Offset of the header block of tag `tag` (0-based) in the sound index.
  size_t tagHeader(size_t tag) const { return size_t{get32(mdx_, slot(tag))} * kPage; }
  uint32_t pages() const { return static_cast<uint32_t>(mdx_.size() / kPage); }

  // A case whose table is damaged (the index stays sound).
  void table(const std::string& name, Step step, uint16_t code, const std::string& what,
             const std::function<void(Bytes&)>& damage) {
    Bytes d = dbf_;
    damage(d);
    add(name, step, code, code ? kTableFile : "", what, {{kTableFile, d}, {kIndexFile, mdx_}});
  }

  // A case whose index is damaged (the table stays sound).
  void index(const std::string& name, Step step, uint16_t code, const std::string& what,
             const std::function<void(Bytes&)>& damage) {
    Bytes m = mdx_;
    damage(m);
    add(name, step, code, code ? kIndexFile : "", what, {{kTableFile, dbf_}, {kIndexFile, m}});
  }

  void add(const std::string& name, Step step, uint16_t code, const std::string& named, const std::string& what,
           std::map<std::string, Bytes> files) {
    for (const Case& c : cases_)
      if (c.name == name) throw std::runtime_error("corpus: case " + name + " defined twice");
    cases_.push_back(Case{name, step, code, named, what, std::move(files)});
  }

  std::vector<Case> take() { return std::move(cases_); }

 private:
  Bytes dbf_, mdx_;
  std::vector<Case> cases_;
};

void cut(Bytes& b, size_t length) {
  if (length > b.size()) throw std::runtime_error("corpus: cut beyond the end");
  b.resize(length);
}

void tableCases(Builder& c) {
  const size_t end = c.dbf().size();
  // Cut at every structural boundary: inside and at the end of the fixed header, after
  // each descriptor, before and after the terminator, inside and between records.
  c.table("dbf-empty", Step::Open, kHeaderCorrupt, "table file of 0 bytes", [](Bytes& b) { cut(b, 0); });
  c.table("dbf-cut-in-fixed-header", Step::Open, kHeaderCorrupt, "cut at byte 16 of the fixed header",
          [](Bytes& b) { cut(b, 16); });
  c.table("dbf-cut-after-fixed-header", Step::Open, kHeaderCorrupt, "cut after the 32-byte fixed header",
          [](Bytes& b) { cut(b, dbf::kFixedSize); });
  c.table("dbf-cut-after-descriptor-1", Step::Open, kHeaderCorrupt, "cut after the first field descriptor",
          [](Bytes& b) { cut(b, descriptor(1)); });
  c.table("dbf-cut-in-descriptor-2", Step::Open, kHeaderCorrupt, "cut in the middle of the second field descriptor",
          [](Bytes& b) { cut(b, descriptor(1) + 11); });
  c.table("dbf-cut-before-terminator", Step::Open, kHeaderCorrupt, "cut after the last descriptor, before 0x0D",
          [](Bytes& b) { cut(b, kTerminator); });
  c.table("dbf-cut-after-header", Step::Open, kHeaderCorrupt, "header complete, no record at all",
          [](Bytes& b) { cut(b, kHeaderLength); });
  c.table("dbf-cut-in-record-1", Step::Open, kHeaderCorrupt, "cut in the middle of the first record",
          [](Bytes& b) { cut(b, kHeaderLength + 20); });
  c.table("dbf-cut-between-records", Step::Open, kHeaderCorrupt, "cut after record 10 of 20",
          [](Bytes& b) { cut(b, kHeaderLength + 10 * kRecordLength); });
  c.table("dbf-cut-in-last-record", Step::Open, kHeaderCorrupt, "last record one byte short",
          [=](Bytes& b) { cut(b, end - 2); });
  c.table("dbf-cut-end-marker", Step::Rebuild, 0, "end-of-file byte missing, every record whole",
          [=](Bytes& b) { cut(b, end - 1); });

  // Header counts and lengths that lie.
  c.table("dbf-count-one-more", Step::Open, kHeaderCorrupt, "record count one larger than the file holds",
          [](Bytes& b) { put32(b, dbf::kRecordCount, kRecords + 1); });
  c.table("dbf-count-huge", Step::Open, kHeaderCorrupt, "record count 0xFFFFFFFF",
          [](Bytes& b) { put32(b, dbf::kRecordCount, 0xFFFFFFFFu); });
  c.table("dbf-count-smaller", Step::Rebuild, 0, "record count 10 while the file holds 20 records",
          [](Bytes& b) { put32(b, dbf::kRecordCount, 10); });
  c.table("dbf-count-zero", Step::Rebuild, 0, "record count 0 while the file holds 20 records",
          [](Bytes& b) { put32(b, dbf::kRecordCount, 0); });
  c.table("dbf-language-order-unknown", Step::Rebuild, DBIERR_LDNOTFOUND,
          "language driver 0x5E, whose order of character keys is not known",
          [](Bytes& b) { b[dbf::kLanguageId] = 0x5E; });
  c.table("dbf-header-length-zero", Step::Open, kHeaderCorrupt, "header length 0",
          [](Bytes& b) { put16(b, dbf::kHeaderLength, 0); });
  c.table("dbf-header-length-fixed-only", Step::Open, kHeaderCorrupt, "header length 32: no room for descriptors",
          [](Bytes& b) { put16(b, dbf::kHeaderLength, dbf::kFixedSize); });
  c.table("dbf-header-length-in-descriptor", Step::Open, kHeaderCorrupt,
          "header length ends inside the second descriptor",
          [](Bytes& b) { put16(b, dbf::kHeaderLength, descriptor(1) + 5); });
  c.table("dbf-header-length-one-record-more", Step::Open, kHeaderCorrupt,
          "header length larger by one record: the last record would run past the end",
          [](Bytes& b) { put16(b, dbf::kHeaderLength, kHeaderLength + kRecordLength); });
  c.table("dbf-header-length-beyond-file", Step::Open, kHeaderCorrupt, "header length 0xFFFF, beyond the file",
          [](Bytes& b) { put16(b, dbf::kHeaderLength, 0xFFFF); });
  c.table("dbf-record-length-zero", Step::Open, kHeaderCorrupt, "record length 0",
          [](Bytes& b) { put16(b, dbf::kRecordLength, 0); });
  c.table("dbf-record-length-larger", Step::Open, kHeaderCorrupt, "record length one more than the fields' total",
          [](Bytes& b) { put16(b, dbf::kRecordLength, kRecordLength + 1); });
  c.table("dbf-record-length-smaller", Step::Open, kHeaderCorrupt, "record length one less than the fields' total",
          [](Bytes& b) { put16(b, dbf::kRecordLength, kRecordLength - 1); });
  c.table("dbf-record-length-huge", Step::Open, kHeaderCorrupt, "record length 0xFFFF",
          [](Bytes& b) { put16(b, dbf::kRecordLength, 0xFFFF); });

  // Field descriptors.
  c.table("dbf-field-length-zero", Step::Open, kHeaderCorrupt, "character field of length 0",
          [](Bytes& b) { b[descriptor(0) + dbf::kDescriptors.length] = 0; });
  c.table("dbf-field-length-255", Step::Open, kHeaderCorrupt, "character field of length 255, beyond the record length",
          [](Bytes& b) { b[descriptor(1) + dbf::kDescriptors.length] = 255; });
  c.table("dbf-field-wide-beyond-record", Step::Open, kHeaderCorrupt,
          "character field widened by 256 through its decimal-count byte, beyond the record length",
          [](Bytes& b) { b[descriptor(1) + dbf::kDescriptors.decimals] = 1; });
  c.table("dbf-field-numeric-wide", Step::Rebuild, kIndexCorrupt,
          "character field made numeric with 30 digits: the table opens, the tag over it no longer fits",
          [](Bytes& b) { b[descriptor(1) + dbf::kDescriptors.type] = 'N'; });
  c.table("dbf-empty-descriptor-inside", Step::Open, kHeaderCorrupt,
          "an empty descriptor (type 0, length 0) before the last field",
          [](Bytes& b) { std::memset(b.data() + descriptor(1), 0, kDescriptorSize); });
  c.table("dbf-empty-descriptor-trailing", Step::Rebuild, 0,
          "an empty descriptor after the last field, inside the header length (as some writers leave it)",
          [](Bytes& b) {
            b.insert(b.begin() + kTerminator, kDescriptorSize, 0);
            put16(b, dbf::kHeaderLength, static_cast<uint16_t>(kHeaderLength + kDescriptorSize));
          });
  c.table("dbf-header-stamped", Step::Rebuild, 0,
          "bytes 12-27 holding a timestamp and other bytes, byte 15 not 1 (as some writers leave them)", [](Bytes& b) {
            const uint8_t stamp[16] = {0x0C, 0x8D, 0x93, 0x57, 0xE9, 0x00, 0xD3, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};
            std::memcpy(b.data() + 12, stamp, sizeof stamp);
          });
  c.table("dbf-field-decimals-absurd", Step::Open, kHeaderCorrupt, "numeric field with more decimals than digits",
          [](Bytes& b) {
            b[descriptor(0) + dbf::kDescriptors.type] = 'N';
            b[descriptor(0) + dbf::kDescriptors.decimals] = 9;
          });
  c.table("dbf-field-date-length", Step::Open, kHeaderCorrupt, "date field of length 3",
          [](Bytes& b) { b[descriptor(2) + dbf::kDescriptors.type] = 'D'; });
  c.table("dbf-field-unknown-type", Step::Open, kHeaderCorrupt, "field of type 'X'",
          [](Bytes& b) { b[descriptor(2) + dbf::kDescriptors.type] = 'X'; });
  c.table("dbf-field-no-name", Step::Open, kHeaderCorrupt, "field name of NUL bytes",
          [](Bytes& b) { std::memset(b.data() + descriptor(1), 0, dbf::kDescriptors.nameSize); });
  c.table("dbf-field-name-control", Step::Open, kHeaderCorrupt, "field name with a control character",
          [](Bytes& b) { b[descriptor(1) + 1] = 0x07; });
  c.table("dbf-no-terminator", Step::Open, kHeaderCorrupt, "descriptor terminator overwritten",
          [](Bytes& b) { b[kTerminator] = ' '; });
  c.table("dbf-no-fields", Step::Open, kHeaderCorrupt, "terminator right after the fixed header",
          [](Bytes& b) { b[descriptor(0)] = dbf::kHeaderEnd; });
  c.table("dbf-version-unknown", Step::Open, kHeaderCorrupt, "version byte 0x7F",
          [](Bytes& b) { b[dbf::kVersion] = 0x7F; });
  c.table("dbf-encrypted", Step::Open, kEncrypted, "encryption flag set", [](Bytes& b) { b[dbf::kEncrypted] = 1; });
  // A field of an unknown type may take no byte (another writer keeps an index tag's
  // name so); with a length it is damage.
  c.table("dbf-field-unknown-type-with-length", Step::Open, kHeaderCorrupt, "field of type 0x88 with a length",
          [](Bytes& b) { b[descriptor(2) + dbf::kDescriptors.type] = 0x88; });

  // The production-index flag and the index file.
  c.add("dbf-production-flag-no-index", Step::Open, kNoSuchIndex, kIndexFile,
        "production-index flag set, no index file beside the table", {{kTableFile, c.dbf()}});
  c.add("dbf-production-index-other-name", Step::Open, kNoSuchIndex, kIndexFile,
        "production-index flag set, the index beside the table has another name",
        {{kTableFile, c.dbf()}, {"VILLES.MDX", c.mdx()}});
  {
    Bytes d = c.dbf();
    d[dbf::kProductionIndex] = 0;
    c.add("dbf-no-production-flag", Step::Rebuild, 0, "",
          "production-index flag clear: the index beside the table is not the table's and stays as it is",
          {{kTableFile, d}, {kIndexFile, c.mdx()}});
  }
}

void indexCases(Builder& c) {
  const size_t tag0 = c.tagHeader(0);
  const size_t tag1 = c.tagHeader(1);
  const size_t size = c.mdx().size();

  // Cut at every structural boundary.
  c.index("mdx-empty", Step::Open, kIndexCorrupt, "index file of 0 bytes", [](Bytes& b) { cut(b, 0); });
  c.index("mdx-cut-after-file-header", Step::Open, kIndexCorrupt, "cut after the 48-byte file header",
          [](Bytes& b) { cut(b, 48); });
  c.index("mdx-cut-before-tag-table", Step::Open, kIndexCorrupt, "cut before the tag table",
          [](Bytes& b) { cut(b, kSlots); });
  c.index("mdx-cut-in-tag-table", Step::Open, kIndexCorrupt, "cut after the first tag slot",
          [](Bytes& b) { cut(b, slot(1)); });
  c.index("mdx-cut-after-header-pages", Step::Open, kIndexCorrupt, "cut after the four header pages",
          [](Bytes& b) { cut(b, kHeaderPages * kPage); });
  c.index("mdx-cut-in-tag-header", Step::Open, kIndexCorrupt, "cut in the middle of the first tag header",
          [=](Bytes& b) { cut(b, tag0 + kPage); });
  c.index("mdx-cut-before-second-tag-header", Step::Open, kIndexCorrupt, "cut before the second tag header",
          [=](Bytes& b) { cut(b, tag1); });
  c.index("mdx-cut-after-tag-headers", Step::Rebuild, 0, "tag headers whole, every node block cut off",
          [=](Bytes& b) { cut(b, std::max(tag0, tag1) + kBlock); });
  c.index("mdx-cut-in-last-node", Step::Rebuild, 0, "last node block cut in the middle",
          [=](Bytes& b) { cut(b, size - kPage); });

  // File header fields.
  c.index("mdx-version-unknown", Step::Open, kIndexCorrupt, "version byte 0x7F", [](Bytes& b) { b[0] = 0x7F; });
  c.index("mdx-block-pages-zero", Step::Open, kIndexCorrupt, "block size of 0 pages", [](Bytes& b) {
    put16(b, kHdrBlockPages, 0);
    put16(b, kHdrBlockBytes, 0);
  });
  c.index("mdx-block-pages-huge", Step::Open, kIndexCorrupt, "block size of 0xFFFF pages", [](Bytes& b) {
    put16(b, kHdrBlockPages, 0xFFFF);
    put16(b, kHdrBlockBytes, 0xFE00);
  });
  c.index("mdx-block-one-page", Step::Rebuild, 0,
          "two-page blocks said to be one page: the nodes read wrong, the rebuild writes one-page blocks",
          [](Bytes& b) {
            put16(b, kHdrBlockPages, 1);
            put16(b, kHdrBlockBytes, 512);
          });
  c.index("mdx-block-one-page-for", Step::Open, kIndexCorrupt,
          "one-page blocks with a tag flagged as having a FOR condition, which such a block cannot hold",
          [=](Bytes& b) {
            put16(b, kHdrBlockPages, 1);
            put16(b, kHdrBlockBytes, 512);
            b[tag0 + kForFlag] = 1;
          });
  c.index("mdx-no-tags-short", Step::Rebuild, 0,
          "no tags, the file ending after its 48-byte header (as one writer leaves it): kept as it is", [](Bytes& b) {
            put16(b, kHdrTagsInUse, 0);
            cut(b, kFileHeaderBytes);
          });
  c.index("mdx-no-tags-cut-in-header", Step::Open, kIndexCorrupt, "no tags, cut inside the 48-byte header",
          [](Bytes& b) {
            put16(b, kHdrTagsInUse, 0);
            cut(b, 40);
          });
  c.index("mdx-block-bytes-mismatch", Step::Open, kIndexCorrupt, "block size in bytes disagrees with the pages",
          [](Bytes& b) { put16(b, kHdrBlockBytes, 2048); });
  c.index("mdx-slot-size-wrong", Step::Open, kIndexCorrupt, "tag slots said to be 48 bytes",
          [](Bytes& b) { b[kHdrSlotSize] = 48; });
  c.index("mdx-tag-count-larger", Step::Open, kIndexCorrupt, "tag count 3 with two tags in the table",
          [](Bytes& b) { put16(b, kHdrTagsInUse, 3); });
  c.index("mdx-tag-count-huge", Step::Open, kIndexCorrupt, "tag count 0xFFFF",
          [](Bytes& b) { put16(b, kHdrTagsInUse, 0xFFFF); });
  c.index("mdx-tag-count-smaller", Step::Rebuild, 0, "tag count 1: the rebuild keeps the one tag counted",
          [](Bytes& b) { put16(b, kHdrTagsInUse, 1); });
  c.index("mdx-table-name-other", Step::Rebuild, 0,
          "header names another table: the rebuild writes the table's own name",
          [](Bytes& b) { putText(b, kHdrTableName, kHdrTableNameSize, "VILLES"); });
  c.index("mdx-foreign-table", Step::Rebuild, kIndexCorrupt,
          "index of another table copied in: its tag keys name fields this table lacks", [=](Bytes& b) {
            putText(b, kHdrTableName, kHdrTableNameSize, "CLIENT");
            putText(b, tag0 + kTagKeyExpression, kExpressionRoom, "UPPER(NOM)");
          });

  // Block numbers pointing outside the file, at the header, at each other.
  c.index("mdx-tag-page-beyond-file", Step::Open, kIndexCorrupt, "tag header page 0x7FFFFFFF",
          [](Bytes& b) { put32(b, slot(0), 0x7FFFFFFFu); });
  c.index("mdx-tag-page-max", Step::Open, kIndexCorrupt, "tag header page 0xFFFFFFFF (offset overflows 32 bits)",
          [](Bytes& b) { put32(b, slot(0), 0xFFFFFFFFu); });
  c.index("mdx-tag-page-last-page", Step::Open, kIndexCorrupt, "tag header block would run past the end",
          [=](Bytes& b) { put32(b, slot(1), c.pages() - 1); });
  c.index("mdx-tag-page-zero", Step::Open, kIndexCorrupt, "tag header page 0: the file header",
          [](Bytes& b) { put32(b, slot(0), 0); });
  c.index("mdx-tag-page-in-tag-table", Step::Open, kIndexCorrupt, "tag header page 2: inside the tag table",
          [](Bytes& b) { put32(b, slot(1), 2); });
  c.index("mdx-tags-share-header", Step::Open, kIndexCorrupt, "both tags point at the same header block",
          [=](Bytes& b) { put32(b, slot(1), static_cast<uint32_t>(tag0 / kPage)); });
  c.index("mdx-root-is-tag-header", Step::Rebuild, 0, "tag header's root pointing at the tag header itself",
          [=](Bytes& b) { put32(b, tag0, static_cast<uint32_t>(tag0 / kPage)); });
  c.index("mdx-root-beyond-file", Step::Rebuild, 0, "root page 0xFFFFFFFF",
          [=](Bytes& b) { put32(b, tag1, 0xFFFFFFFFu); });
  c.index("mdx-root-file-header", Step::Rebuild, 0, "root page 0: the file header",
          [=](Bytes& b) { put32(b, tag1, 0); });
  c.index("mdx-nodes-key-count-huge", Step::Rebuild, 0, "every node claims 0xFFFFFFFF keys", [=](Bytes& b) {
    for (size_t at = std::max(tag0, tag1) + kBlock; at + kBlock <= b.size(); at += kBlock) put32(b, at, 0xFFFFFFFFu);
  });

  // Tag names.
  c.index("mdx-tag-name-empty", Step::Open, kIndexCorrupt, "first tag without a name",
          [](Bytes& b) { std::memset(b.data() + slot(0) + kSlotName, 0, kSlotNameSize); });
  c.index("mdx-tag-name-unterminated", Step::Open, kIndexCorrupt, "tag name filling all 11 bytes, no NUL",
          [](Bytes& b) { std::memset(b.data() + slot(0) + kSlotName, 'A', kSlotNameSize); });
  c.index("mdx-tag-name-twice", Step::Open, kIndexCorrupt, "two tags of the same name",
          [](Bytes& b) { std::memcpy(b.data() + slot(1) + kSlotName, b.data() + slot(0) + kSlotName, kSlotNameSize); });

  // Key expressions and FOR conditions.
  c.index("mdx-key-empty", Step::Open, kIndexCorrupt, "empty key expression",
          [=](Bytes& b) { putText(b, tag0 + kTagKeyExpression, kExpressionRoom, ""); });
  c.index("mdx-key-too-long", Step::Open, kIndexCorrupt, "key expression filling its 221 bytes without a NUL",
          [=](Bytes& b) { std::memset(b.data() + tag0 + kTagKeyExpression, 'C', kExpressionRoom); });
  c.index("mdx-key-not-text", Step::Open, kIndexCorrupt, "key expression with control bytes",
          [=](Bytes& b) { putText(b, tag0 + kTagKeyExpression, kExpressionRoom, "CP\x01\x02"); });
  c.index("mdx-key-unbalanced", Step::Rebuild, kIndexCorrupt, "key expression with an unclosed parenthesis",
          [=](Bytes& b) { putText(b, tag1 + kTagKeyExpression, kExpressionRoom, "UPPER(VILLE"); });
  c.index("mdx-key-extra-parenthesis", Step::Rebuild, kIndexCorrupt, "key expression with one ')' too many",
          [=](Bytes& b) { putText(b, tag1 + kTagKeyExpression, kExpressionRoom, "UPPER(VILLE))"); });
  c.index("mdx-key-unknown-function", Step::Rebuild, kIndexCorrupt, "key expression calling an unknown function",
          [=](Bytes& b) { putText(b, tag1 + kTagKeyExpression, kExpressionRoom, "METAPHONE(VILLE)"); });
  c.index("mdx-key-date-setting", Step::Rebuild, kIndexCorrupt,
          "key expression writing a date by the date setting, which the index does not record",
          [=](Bytes& b) { putText(b, tag1 + kTagKeyExpression, kExpressionRoom, "DTOC(CTOD(''))"); });
  c.index("mdx-key-other-table", Step::Rebuild, kIndexCorrupt, "key expression naming a field of another table",
          [=](Bytes& b) { putText(b, tag1 + kTagKeyExpression, kExpressionRoom, "CLIENT->VILLE"); });
  c.index("mdx-key-unknown-field", Step::Rebuild, kIndexCorrupt, "key expression naming a field the table lacks",
          [=](Bytes& b) { putText(b, tag0 + kTagKeyExpression, kExpressionRoom, "CODEPOST"); });
  c.index("mdx-key-unterminated-string", Step::Rebuild, kIndexCorrupt, "key expression with an open string",
          [=](Bytes& b) { putText(b, tag0 + kTagKeyExpression, kExpressionRoom, "CP+\"X"); });
  c.index("mdx-key-type-mismatch", Step::Rebuild, kIndexCorrupt,
          "numeric tag (12-byte keys) whose expression gives characters", [=](Bytes& b) {
            b[tag0 + kTagKeyType] = 'N';
            put16(b, tag0 + kTagKeyLength, 12);
          });
  c.index("mdx-key-type-unknown", Step::Open, kIndexCorrupt, "key type 'L'",
          [=](Bytes& b) { b[tag0 + kTagKeyType] = 'L'; });
  c.index("mdx-key-length-zero", Step::Open, kIndexCorrupt, "key length 0",
          [=](Bytes& b) { put16(b, tag0 + kTagKeyLength, 0); });
  c.index("mdx-key-longer-than-block", Step::Open, kIndexCorrupt, "key length 1020 in a 1024-byte block",
          [=](Bytes& b) { put16(b, tag0 + kTagKeyLength, 1020); });
  c.index("mdx-key-length-huge", Step::Open, kIndexCorrupt, "key length 0xFFFF",
          [=](Bytes& b) { put16(b, tag1 + kTagKeyLength, 0xFFFF); });
  c.index("mdx-date-key-length", Step::Open, kIndexCorrupt, "date tag with 30-byte keys",
          [=](Bytes& b) { b[tag1 + kTagKeyType] = 'D'; });
  c.index("mdx-for-unterminated", Step::Open, kIndexCorrupt, "FOR condition filling its bytes without a NUL",
          [=](Bytes& b) {
            b[tag0 + kForFlag] = 1;
            std::memset(b.data() + tag0 + kForExpression, 'D', kExpressionRoom);
          });
  c.index("mdx-for-unbalanced", Step::Rebuild, kIndexCorrupt, "FOR condition with an unclosed parenthesis",
          [=](Bytes& b) {
            b[tag0 + kForFlag] = 1;
            putText(b, tag0 + kForExpression, kExpressionRoom, "(DEPT = \"75\"");
          });
  c.index("mdx-for-not-logical", Step::Rebuild, kIndexCorrupt, "FOR condition giving characters", [=](Bytes& b) {
    b[tag0 + kForFlag] = 1;
    putText(b, tag0 + kForExpression, kExpressionRoom, "DEPT");
  });

  // Keys a tag cannot hold faithfully: refused rather than cut or rounded.
  c.index("mdx-key-length-over-100", Step::Rebuild, kIndexCorrupt,
          "character tag whose header gives keys of 101 bytes, beyond the 100 a key may have",
          [=](Bytes& b) { put16(b, tag1 + kTagKeyLength, 101); });
  c.index("mdx-key-number-too-wide", Step::Rebuild, kIndexCorrupt,
          "numeric tag over five copies of the postcode: values of more than 20 significant digits", [=](Bytes& b) {
            b[tag0 + kTagKeyType] = 'N';
            put16(b, tag0 + kTagKeyLength, 12);
            putText(b, tag0 + kTagKeyExpression, kExpressionRoom, "VAL(CP+CP+CP+CP+CP)");
          });
  {
    Bytes d = c.dbf(), m = c.mdx();
    d[kHeaderLength + 4 * kRecordLength] = '#';
    m[tag0 + kForFlag] = 1;
    putText(m, tag0 + kForExpression, kExpressionRoom, ".NOT. DELETED()");
    c.add("dbf-deletion-flag-unknown", Step::Rebuild, kIndexCorrupt, kIndexFile,
          "record 5 flagged '#', read as deleted by some programs and as live by others, under a FOR .NOT. DELETED() "
          "tag",
          {{kTableFile, d}, {kIndexFile, m}});
  }
}

std::string hex4(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v);
  return text;
}

}  // namespace

std::vector<Case> buildCases(const std::string& scratchDir) {
  fixtures::TableOptions options;
  options.kind = fixtures::Kind::CodePostal;
  options.records = kRecords;
  options.seed = 1;
  options.tagSet = "standard";
  options.index = fixtures::IndexState::Fresh;
  const std::string dbfPath = (fs::path(scratchDir) / kTableFile).string();
  fixtures::writeTable(dbfPath, options);
  Builder builder(readAll(dbfPath), readAll((fs::path(scratchDir) / kIndexFile).string()));
  builder.add("sound-table", Step::Rebuild, 0, "", "the undamaged table and index every case starts from",
              {{kTableFile, builder.dbf()}, {kIndexFile, builder.mdx()}});
  tableCases(builder);
  indexCases(builder);
  return builder.take();
}

std::string manifestText(const std::vector<Case>& cases) {
  std::string text =
      "# Malformed tables and indexes, made by tools/mkcorpus (do not edit by hand).\n"
      "# Each case is a folder holding CP.DBF and/or its index; the engine opens CP.DBF\n"
      "# exclusively, then rebuilds its indexes.\n"
      "# case<TAB>step<TAB>code<TAB>named file<TAB>what is damaged\n"
      "#   step: the step whose result is expected (open or rebuild); code: engine result in\n"
      "#   hexadecimal, 0000 when open and rebuild both succeed; named file: the file the\n"
      "#   error stack names, '-' for none.\n";
  for (const Case& c : cases)
    text += c.name + "\t" + (c.step == Step::Open ? "open" : "rebuild") + "\t" + hex4(c.code) + "\t" +
            (c.namedFile.empty() ? "-" : c.namedFile) + "\t" + c.what + "\n";
  return text;
}

std::vector<ManifestEntry> parseManifest(const std::string& text) {
  std::vector<ManifestEntry> entries;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> parts;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      size_t tab = line.find('\t', start);
      if (tab == std::string::npos)
        throw std::runtime_error("manifest line " + std::to_string(number) + ": too few columns");
      parts.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    parts.push_back(line.substr(start));
    ManifestEntry e;
    e.name = parts[0];
    if (e.name.empty() || e.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
      throw std::runtime_error("manifest line " + std::to_string(number) + ": bad case name");
    if (parts[1] == "open")
      e.step = Step::Open;
    else if (parts[1] == "rebuild")
      e.step = Step::Rebuild;
    else
      throw std::runtime_error("manifest line " + std::to_string(number) + ": step must be open or rebuild");
    if (parts[2].size() != 4 || parts[2].find_first_not_of("0123456789ABCDEF") != std::string::npos)
      throw std::runtime_error("manifest line " + std::to_string(number) + ": code must be 4 hex digits");
    e.code = static_cast<uint16_t>(std::stoul(parts[2], nullptr, 16));
    e.namedFile = parts[3] == "-" ? std::string() : parts[3];
    if ((e.code == 0) != e.namedFile.empty())
      throw std::runtime_error("manifest line " + std::to_string(number) + ": a failure names a file, a success none");
    e.what = parts[4];
    entries.push_back(std::move(e));
  }
  return entries;
}

void writeCorpus(const std::string& outDir, const std::vector<Case>& cases) {
  fs::create_directories(outDir);
  for (const Case& c : cases) {
    fs::path folder = fs::path(outDir) / c.name;
    fs::create_directories(folder);
    for (const auto& [name, bytes] : c.files) {
      std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      out.close();
      if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
    }
  }
  std::ofstream manifest(fs::path(outDir) / "manifest.txt", std::ios::binary | std::ios::trunc);
  manifest << manifestText(cases);
  manifest.close();
  if (!manifest) throw std::runtime_error("cannot write " + (fs::path(outDir) / "manifest.txt").string());
}

}  // namespace corpus
