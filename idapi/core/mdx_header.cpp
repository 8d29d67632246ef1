// Reading an index file's header, tag table and tag header blocks.
#include <algorithm>
#include <cstring>
#include <set>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/messages.h"
#include "idapi/core/mdx_internal.h"
#include "text/ascii.h"

namespace idapi::core {

namespace {

[[noreturn]] void unreadable(const std::string& fileName, const std::string& what) {
  throw Failure(DBIERR_INDEXCORRUPT, tr("%1: corrupt index header (%2)", {fileName, what}));
}

bool printable(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u != 0x7F;
  });
}

std::string upper(std::string s) { return text::upperAscii(std::move(s)); }

}  // namespace

IndexHeader readIndexHeader(const ByteSource& mdx, const std::string& fileName) {
  using namespace mdx;
  const uint64_t fileSize = mdx.size();
  if (fileSize < kFileHeaderBytes) unreadable(fileName, tr("file shorter than its header"));
  std::vector<uint8_t> head(kHeaderPages * kPage, 0);
  // An index without tags may end before the tag table (some writers stop after the
  // fixed header); any index with tags needs the whole header.
  mdx.readAt(0, head.data(), kFileHeaderBytes);
  if (u16At(Bytes(head), kHdrTagsInUse) != 0 || fileSize >= head.size()) {
    if (fileSize < head.size()) unreadable(fileName, tr("file shorter than its header"));
    mdx.readAt(0, head.data(), head.size());
  }
  Bytes h(head);

  if (head[kHdrVersion] != kVersionWritten && head[kHdrVersion] != kVersionOther)
    unreadable(fileName, tr("unknown version %1", {std::to_string(head[kHdrVersion])}));
  IndexHeader ix;
  ix.tableName = upper(cStringAt(h, kHdrTableName, kHdrTableNameSize));
  if (!printable(ix.tableName)) unreadable(fileName, tr("table name is not text"));
  ix.blockPages = u16At(h, kHdrBlockPages);
  const uint16_t blockBytes = u16At(h, kHdrBlockBytes);
  if (ix.blockPages < kMinBlockPages || ix.blockPages > kMaxBlockPages)
    unreadable(fileName, tr("block size of %1 pages", {std::to_string(ix.blockPages)}));
  if (blockBytes != ix.blockPages * kPage) unreadable(fileName, tr("block size in bytes does not match"));
  ix.production = head[kHdrProduction] == 1;
  if (head[kHdrSlotSize] != kSlotSize)
    unreadable(fileName, tr("tag slots of %1 bytes", {std::to_string(head[kHdrSlotSize])}));
  const uint16_t tagCount = u16At(h, kHdrTagsInUse);
  if (tagCount > kMaxTags) unreadable(fileName, tr("%1 tags", {std::to_string(tagCount)}));
  ix.languageId = head[kHdrLanguage];

  const uint32_t block = uint32_t{ix.blockPages} * kPage;
  std::vector<uint8_t> tagBlock(block);
  std::set<uint32_t> pagesSeen;
  std::set<std::string> namesSeen;
  for (uint32_t i = 0; i < tagCount; ++i) {
    const size_t slot = kSlotsOffset + kSlotSize * i;
    const uint32_t page = u32At(h, slot + kSlotHeaderPage);
    bool terminated = false;
    std::string name = upper(cStringAt(h, slot + kSlotName, kSlotNameSize, &terminated));
    const std::string tagNumber = std::to_string(i + 1);
    if (name.empty() || !terminated || name.size() > kMaxTagName || !printable(name) ||
        name.find(' ') != std::string::npos)
      unreadable(fileName, tr("tag %1 has no valid name", {tagNumber}));
    if (!namesSeen.insert(name).second) unreadable(fileName, tr("tag name %1 appears twice", {name}));
    if (page < kHeaderPages || uint64_t{page} * kPage + block > fileSize)
      unreadable(fileName, tr("tag %1 header lies outside the file", {name}));
    if (!pagesSeen.insert(page).second) unreadable(fileName, tr("two tags share one header block"));
    mdx.readAt(uint64_t{page} * kPage, tagBlock.data(), block);
    Bytes t(tagBlock);

    TagDefinition tag;
    tag.name = name;
    tag.keyType = static_cast<char>(tagBlock[kTagKeyType]);
    if (tag.keyType == 'F') tag.keyType = 'N';
    tag.keyLength = u16At(t, kTagKeyLength);
    tag.descending = (tagBlock[kTagFlags] & kFlagDescending) != 0;
    tag.unique = (tagBlock[kTagFlags] & kFlagUnique) != 0 || tagBlock[kTagUnique] != 0;
    switch (tag.keyType) {
      case 'C':
        if (tag.keyLength < 1 || tag.keyLength > 254 || keysMax(block, tag.keyLength) < 2)
          unreadable(fileName, tr("tag %1 has key length %2", {name, std::to_string(tag.keyLength)}));
        break;
      case 'N':
        if (tag.keyLength != kNumericKeyLength) unreadable(fileName, tr("tag %1 has a bad numeric key length", {name}));
        break;
      case 'D':
        if (tag.keyLength != kDateKeyLength) unreadable(fileName, tr("tag %1 has a bad date key length", {name}));
        break;
      default: unreadable(fileName, tr("tag %1 has an unknown key type", {name}));
    }
    if (tagBlock[kTagHasFor] != 0 && block < kForOffset + kMaxExpression + 1)
      unreadable(fileName, tr("tag %1 has a FOR condition, which a block of %2 bytes cannot hold",
                              {name, std::to_string(block)}));
    tag.keyExpression = cStringAt(t, kTagKeyExpression, kMaxExpression + 1, &terminated);
    if (!terminated || tag.keyExpression.empty() || !printable(tag.keyExpression))
      unreadable(fileName, tr("tag %1 has no readable key expression", {name}));
    if (tagBlock[kTagHasFor] != 0) {
      tag.forExpression = cStringAt(t, kForOffset, kMaxExpression + 1, &terminated);
      if (!terminated || !printable(tag.forExpression))
        unreadable(fileName, tr("tag %1 has no readable FOR condition", {name}));
    }
    ix.tags.push_back(std::move(tag));
  }
  return ix;
}

namespace mdx {

std::vector<NameTreeLinks> nameTree(const std::vector<TagDefinition>& tags) {
  std::vector<NameTreeLinks> links(tags.size());
  auto key = [&](size_t i) {
    std::string s = tags[i].name;
    s.resize(kMaxTagName, '\0');
    return s;
  };
  for (size_t i = 1; i < tags.size(); ++i) {
    const std::string name = key(i);
    size_t node = 0;
    for (;;) {
      const bool smaller = std::memcmp(name.data(), key(node).data(), kMaxTagName) < 0;
      uint8_t& child = smaller ? links[node].left : links[node].right;
      if (child == 0) {
        child = static_cast<uint8_t>(i + 1);
        links[i].parent = static_cast<uint8_t>(node + 1);
        break;
      }
      node = child - 1u;
    }
  }
  return links;
}

}  // namespace mdx

}  // namespace idapi::core
