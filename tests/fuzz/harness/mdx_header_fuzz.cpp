// Index header and tag table: any bytes give tag definitions that hold, or a Failure
// with the index error code. The checker must then walk whatever node blocks the
// bytes hold without crashing, and an index rebuilt from the accepted definitions
// over a small fixed table must read back the same and pass the checker.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "fixed_table.h"

using namespace idapi::core;

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

bool sameTag(const TagDefinition& a, const TagDefinition& b) {
  return a.name == b.name && a.keyExpression == b.keyExpression && a.forExpression == b.forExpression &&
         a.keyType == b.keyType && a.keyLength == b.keyLength && a.unique == b.unique && a.descending == b.descending;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemorySource mdx(std::vector<uint8_t>(data, data + size));
  IndexHeader ix;
  try {
    ix = readIndexHeader(mdx, "FUZZ.MDX");
  } catch (const Failure& f) {
    if (f.code() != DBIERR_INDEXCORRUPT) broken("unexpected error code");
    return 0;
  }
  if (ix.tags.size() > 47) broken("more tags than slots");
  for (const TagDefinition& t : ix.tags) {
    if (t.name.empty() || t.name.size() > 10) broken("tag name length");
    if (t.keyExpression.empty()) broken("tag without key expression");
    if (t.keyType != 'C' && t.keyType != 'N' && t.keyType != 'D') broken("unknown key type");
  }

  const fuzzing::FixedTable& table = fuzzing::fixedTable();
  RebuildOptions options;
  options.year = 2024;
  options.month = 6;
  options.day = 1;
  // A tiny budget so that the keys spill to scratch files and get merged back.
  MemoryScratchStore scratch;
  options.memoryBudget = 64;
  options.scratch = &scratch;

  try {
    checkIndex(table.header, table.source, mdx, "FUZZ.MDX", options);
  } catch (const Failure& f) {
    broken("the checker threw on a header that reads");
  }

  // As the engine does: a character tag kept by its writer in signed-byte order keeps
  // that order (the fixed table has a byte-order driver).
  followExistingOrder(table.header, table.source, mdx, "FUZZ.MDX", ix);

  VectorSink out;
  try {
    rebuildIndex(table.header, table.source, ix, "FUZZ.MDX", out, options);
  } catch (const Failure& f) {
    if (f.code() != kKeyExpressionError) broken("unexpected error code from the rebuild");
    return 0;
  }
  if (scratch.live != 0) broken("scratch files left behind");
  // Spilling to scratch files must not change a byte of the result.
  RebuildOptions inMemory = options;
  inMemory.memoryBudget = size_t{64} << 20;
  inMemory.scratch = nullptr;
  VectorSink direct;
  rebuildIndex(table.header, table.source, ix, "FUZZ.MDX", direct, inMemory);
  if (direct.bytes != out.bytes) broken("spilled and in-memory rebuilds differ");
  const MemorySource rebuilt(std::move(out.bytes));
  IndexHeader again;
  try {
    again = readIndexHeader(rebuilt, "FUZZ.MDX");
  } catch (const Failure& f) {
    std::fprintf(stderr, "%s\n", f.what());
    broken("a rebuilt index does not read back");
  }
  if (again.tags.size() != ix.tags.size()) broken("tag count changed by the rebuild");
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    // Key type and length come from the expressions, not from the old header.
    TagDefinition expected = ix.tags[i];
    expected.keyType = again.tags[i].keyType;
    expected.keyLength = again.tags[i].keyLength;
    if (!sameTag(expected, again.tags[i])) broken("tag definition changed by the rebuild");
  }
  for (const TagReport& r : checkIndex(table.header, table.source, rebuilt, "FUZZ.MDX", options)) {
    if (!r.ok) {
      std::fprintf(stderr, "tag %s: %s\n", r.tag.c_str(), r.problem.c_str());
      broken("a rebuilt index fails the checker");
    }
  }
  return 0;
}
