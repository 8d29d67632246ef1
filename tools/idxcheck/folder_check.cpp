#include "idxcheck/folder_check.h"

#include <cctype>
#include <map>

#include "idapi/core/core.h"
#include "idxcheck/console.h"
#include "policy/run_plan.h"

namespace idxcheck {
namespace {

using idapi::core::Failure;
using idapi::engine::OsError;
using idapi::engine::OsStatus;

// Swallows the bytes of a trial rebuild.
class NullSink : public idapi::core::ByteSink {
 public:
  void write(const void*, size_t) override {}
};

TableFinding fromOpen(TableFinding t, const OsError& error, bool index) {
  t.aboutIndex = index;
  t.systemCode = error.native;
  switch (error.status) {
    case OsStatus::NotFound:
    case OsStatus::NotRegular:  // a folder or a device of that name: no table there
      t.finding = index ? Finding::IndexMissing : Finding::Missing;
      break;
    case OsStatus::Locked: t.finding = Finding::Held; break;
    default: t.finding = Finding::Unreadable; break;
  }
  return t;
}

std::string lastComponent(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool canWriteIn(const std::string& folder) {
  try {
    files().createReplacement(folder + "IDXCHECK.TST");  // never committed: removed at once
    return true;
  } catch (const Failure&) {
    return false;
  }
}

bool stopsTheRun(Finding f) { return f != Finding::Ok && f != Finding::Damaged; }

const TableFinding* FolderFindings::stop() const {
  for (const auto& t : tables)
    if (stopsTheRun(t.finding)) return &t;
  return nullptr;
}

int FolderFindings::exitCode() const {
  if (stop()) return 2;
  for (const auto& t : tables)
    if (t.finding == Finding::Damaged) return 1;
  return 0;
}

TableFinding checkTable(const std::string& relative, const std::string& fullPath, size_t memoryBudget) {
  TableFinding t;
  t.table = relative;
  const std::string dbfPath = nativePath(fullPath);
  // The launcher asks for the table for exclusive use: a table that another program
  // has open, even for shared use, stops its run. Asked before the checker opens the
  // file itself, since on Windows its own open would stand in the way.
  if (!files().exclusiveUsePossible(dbfPath)) {
    t.finding = Finding::Held;
    return t;
  }
  OsError error;
  const auto dbf = files().openShared(dbfPath, error);
  if (!dbf) return fromOpen(t, error, false);
  idapi::core::TableHeader table;
  try {
    table = idapi::core::readTableHeader(*dbf, lastComponent(dbfPath));
  } catch (const Failure& f) {
    t.finding = Finding::Unreadable;
    t.detail = f.what();
    return t;
  }
  if (!table.productionIndex) {
    t.noIndex = true;
    return t;
  }

  // The production index: the table's name with the extension .MDX.
  std::string mdxFull = fullPath;
  const size_t dot = mdxFull.find_last_of('.');
  const size_t sep = mdxFull.find_last_of("\\/");
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) mdxFull.resize(dot);
  mdxFull += ".MDX";
  const std::string mdxPath = nativePath(mdxFull);
  if (!files().exclusiveUsePossible(mdxPath)) {
    t.aboutIndex = true;
    t.finding = Finding::Held;
    return t;
  }
  const auto mdx = files().openShared(mdxPath, error);
  if (!mdx) return fromOpen(t, error, true);
  t.aboutIndex = true;
  if (files().isReadOnlyFile(mdxPath)) {
    t.finding = Finding::IndexReadOnly;
    return t;
  }
  const std::string mdxName = lastComponent(mdxPath);
  const auto scratch = files().temporaryScratchStore();
  idapi::core::RebuildOptions memory;
  memory.memoryBudget = memoryBudget;
  memory.scratch = scratch.get();
  try {
    const auto reports = idapi::core::checkIndex(table, *dbf, *mdx, mdxName, memory);
    t.tags = reports.size();
    for (const auto& r : reports) {
      if (r.ok) continue;
      t.finding = Finding::Damaged;
      t.tag = r.tag;
      t.detail = r.problem;
      break;
    }
    if (t.finding == Finding::Ok) {
      t.aboutIndex = false;
      return t;
    }
    // The run would rebuild it: try the rebuild, keeping nothing, to know whether
    // the engine could.
    const idapi::core::IndexHeader index = idapi::core::readIndexHeader(*mdx, mdxName);
    NullSink nowhere;
    idapi::core::rebuildIndex(table, *dbf, index, mdxName, nowhere, memory);
  } catch (const Failure& f) {
    t.finding = t.finding == Finding::Damaged ? Finding::Unbuildable : Finding::Unreadable;
    if (t.finding == Finding::Unreadable || t.detail.empty())
      t.detail = f.what();
    else
      t.detail += "; " + std::string(f.what());
  }
  return t;
}

FolderFindings windowOf(const std::string& folder, int currentYear, char separator) {
  FolderFindings out;
  out.folder = folder;
  if (out.folder.empty() || (out.folder.back() != '\\' && out.folder.back() != '/')) out.folder += separator;
  out.firstYear = currentYear + policy::kPremiereAnnee;
  out.lastYear = currentYear + policy::kDerniereAnnee;
  return out;
}

FolderFindings checkProgramFolder(const std::string& folder, const FolderSurroundings& around,
                                  const std::function<void(const TableFinding&)>& progress) {
  FolderFindings out = windowOf(folder, 0, around.separator);
  const policy::RunSurroundings run{[&] { return out.folder; },
                                    [&] {
                                      const int year = around.currentYear();
                                      out.firstYear = year + policy::kPremiereAnnee;
                                      out.lastYear = year + policy::kDerniereAnnee;
                                      return year;
                                    },
                                    around.fileExists};
  std::map<std::string, bool> writable;
  policy::walkRun(run, [&](const std::string& path) {
    TableFinding t = checkTable(path.substr(out.folder.size()), path, around.memoryBudget);
    if (around.folderWritable && !stopsTheRun(t.finding) && !t.noIndex) {
      const std::string folder = idapi::engine::folderOf(nativePath(path));
      const auto known = writable.find(folder);
      const bool ok = known != writable.end() ? known->second : (writable[folder] = around.folderWritable(folder));
      if (!ok) {
        t.finding = Finding::FolderNotWritable;
        t.aboutIndex = true;
      }
    }
    out.tables.push_back(std::move(t));
    if (progress) progress(out.tables.back());
  });
  return out;
}

}  // namespace idxcheck
