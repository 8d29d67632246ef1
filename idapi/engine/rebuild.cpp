// The rebuild of a cursor's production index and the replacement of the old index by
// the new one: the old index stays as it was unless a complete new one takes its
// place, and the new one is given up when the table changed while it was built.
#include <algorithm>
#include <atomic>

#include "idapi/engine/engine_internal.h"
#include "idapi/engine/repair.h"
#include "idapi/engine/texts.h"
#include "idapi/engine/tuning.h"
#include "text/ascii.h"

namespace idapi::engine {
namespace {

// Bytes of keys a rebuild keeps in memory before it spills sorted runs to disk. A
// test build of the library (never shipped) compiles in a small one, so that the
// Windows tests reach the scratch files with tables of a few thousand records.
#ifndef IDAPI_REBUILD_BUDGET
#define IDAPI_REBUILD_BUDGET (size_t{64} << 20)
#endif
std::atomic<size_t> rebuildMemoryBudget{IDAPI_REBUILD_BUDGET};

// Reopens the cursor's index if a failed replacement left it closed.
void reopenIndex(Cursor& c) {
  if (c.mdx) return;
  OsError error;
  c.mdx = platform().openLocked(c.mdxPath, LockMode::Exclusive, false, error, true);
  if (!c.mdx) failOpen(error, c.mdxPath, true, c.dbfPath);
}

// Makes sure the cursor holds its index again however the rebuild ends.
struct IndexKeeper {
  Cursor& c;
  ~IndexKeeper() {
    if (c.mdx) return;
    OsError error;
    c.mdx = platform().openLocked(c.mdxPath, LockMode::Exclusive, false, error, true);
  }
};

// The rebuild given up because the table is not as it was read.
[[noreturn]] void failChanged(const Cursor& c) {
  fail(kTableChanged, {entry(kTableChanged, texts::tableChanged(c.dbfPath), ecTABLENAME, c.dbfPath)});
}

// The table's header bytes as they are on disk now.
std::vector<uint8_t> headerBytes(const Cursor& c, const core::TableHeader& table) {
  std::vector<uint8_t> bytes(table.headerLength);
  try {
    c.dbf->readAt(0, bytes.data(), bytes.size());
  } catch (const core::Failure&) {
    failChanged(c);  // the header was there a moment ago
  }
  return bytes;
}

}  // namespace

void rebuild(Cursor& c, const core::IndexHeader* definitions) {
  // Tags given by the caller replace an index that may be missing or unreadable.
  if (!definitions) reopenIndex(c);
  IndexKeeper keeper{c};
  // The exclusive hold keeps well-behaved programs out, but on some systems the lock
  // is only advisory: the rebuild works from the table as it is now (records appended
  // since the open included), remembers the state it read, and gives up if the table
  // is not the same file in the same state when the new index is ready.
  core::TableHeader table;
  FileState tableState;
  try {
    c.dbf->refresh();
    tableState = platform().settledState(*c.dbf);
  } catch (const core::Failure& f) {
    failCore(f, c.dbfPath, ecTABLENAME, c.dbfPath);
  }
  try {
    table = core::readTableHeader(*c.dbf, fileNameOf(c.dbfPath));
  } catch (const core::Failure& f) {
    if (tableState != c.tableAtOpen) failChanged(c);  // readable at the open: changed meanwhile
    failCore(f, c.dbfPath, ecTABLENAME, c.dbfPath);
  }
  const std::vector<uint8_t> header = headerBytes(c, table);
  core::IndexHeader index = definitions ? *definitions : readIndex(*c.mdx, c.dbfPath);
  // An index without tags has nothing to rebuild: it is left exactly as it is (some
  // writers keep only its fixed header), and the table's records are not read.
  if (index.tags.empty()) {
    c.table = std::move(table);
    c.index = std::move(index);
    return;
  }
  // The new index names the table it belongs to. A table copied or renamed with its
  // index keeps another table's name in the index header; the rebuild corrects it.
  std::string base = fileNameOf(c.dbfPath);
  base.resize(std::min(base.find_last_of('.'), base.size()));
  index.tableName = text::upperAscii(base);
  if (!definitions) core::followExistingOrder(table, *c.dbf, *c.mdx, fileNameOf(c.mdxPath), index);
  if (platform().isReadOnlyFile(c.mdxPath)) {
    fail(DBIERR_INDEXREADONLY, {entry(DBIERR_INDEXREADONLY, texts::indexEntry(c.mdxPath), ecFILENAME, c.mdxPath),
                                entry(DBIERR_INDEXREADONLY, texts::tableEntry(c.dbfPath), ecTABLENAME, c.dbfPath)});
  }
  // A symbolic link stays a link: its target is the file replaced.
  const std::string target = platform().replacementTarget(c.mdxPath);
  try {
    if (c.mdx && c.mdx->state().links > 1) throw core::Failure(kIndexHasLinks, texts::hardLinks(c.mdxPath));
    platform().removeLeftovers(target);
    auto scratch = platform().createScratchStore(target);
    auto out = platform().createReplacement(target);
    core::RebuildOptions options;
    options.memoryBudget = rebuildMemoryBudget.load();
    options.scratch = scratch.get();
    const CalendarDate today = platform().todayUtc();
    options.year = today.year;
    options.month = today.month;
    options.day = today.day;
    core::rebuildIndex(table, *c.dbf, index, fileNameOf(c.mdxPath), *out, options);
    scratch.reset();
    // The old index stays open until the new one has taken its name, and the new one
    // is held from its first moment: no other program can take either in between.
    // The table is checked last, with the new index on disk, right before it is put
    // in place.
    std::unique_ptr<LockedFile> fresh = out->commit(c.mdx, [&] {
      if (c.dbf->state() != tableState || !platform().namesFile(c.dbfPath, tableState) ||
          headerBytes(c, table) != header)
        failChanged(c);
    });
    c.mdx = std::move(fresh);
  } catch (const core::Failure& f) {
    failCore(f, c.mdxPath, ecFILENAME, c.dbfPath);
  }
  c.table = std::move(table);
  c.tableAtOpen = tableState;
  if (c.mdx) c.index = readIndex(*c.mdx, c.dbfPath);
}

void repairIndex(const IndexRepair& request) {
  try {
    Cursor c;
    c.dbfPath = request.dbfPath;
    c.mdxPath = request.mdxPath;
    OsError error;
    // Held as the launcher's run holds it: exclusive (read-only, as it falls back to for
    // a read-only table; a table is never written).
    c.dbf = platform().openLocked(c.dbfPath, LockMode::Exclusive, false, error);
    if (!c.dbf) failOpen(error, c.dbfPath, false, c.dbfPath);
    try {
      c.tableAtOpen = c.dbf->state();
    } catch (const core::Failure& f) {
      failCore(f, c.dbfPath, ecTABLENAME, c.dbfPath);
    }
    c.mdx = platform().openLocked(c.mdxPath, LockMode::Exclusive, false, error, true);
    if (!c.mdx && !(request.definitions && error.status == OsStatus::NotFound))
      failOpen(error, c.mdxPath, true, c.dbfPath);
    if (c.mdx && request.keepOld) request.keepOld(*c.mdx);
    rebuild(c, request.definitions ? &*request.definitions : nullptr);
  } catch (const Error& e) {
    std::string text;
    for (const auto& entry : e.entries) text += (text.empty() ? "" : "; ") + entry.text;
    throw core::Failure(e.code, text);
  }
}

size_t setRebuildMemoryBudget(size_t bytes) { return rebuildMemoryBudget.exchange(bytes); }

}  // namespace idapi::engine
