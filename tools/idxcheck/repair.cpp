#include "idxcheck/repair.h"

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <optional>

#include "idapi/engine/repair.h"
#include "idxcheck/console.h"
#include "text/ascii.h"

namespace idxcheck {
namespace {

using idapi::core::Failure;
using idapi::core::IndexHeader;
using idapi::core::TableHeader;
using idapi::engine::fileNameOf;
using idapi::engine::folderOf;

std::string tablePath(const FolderFindings& f, const std::string& relative) { return nativePath(f.folder + relative); }

// The production index of a table: the existing file of that name in any letter case,
// else the name the engine would look for.
std::string indexPathOf(const std::string& dbfPath) {
  std::string base = fileNameOf(dbfPath);
  base.resize(std::min(base.find_last_of('.'), base.size()));
  const std::string folder = folderOf(dbfPath);
  const std::string found = files().findInFolder(folder, base + ".MDX");
  return found.empty() ? folder + base + ".MDX" : found;
}

std::optional<TableHeader> tableHeaderOf(const std::string& path) {
  idapi::engine::OsError error;
  const auto file = files().openShared(path, error);
  if (!file) return std::nullopt;
  try {
    return idapi::core::readTableHeader(*file, fileNameOf(path));
  } catch (const Failure&) {
    return std::nullopt;
  }
}

std::optional<IndexHeader> indexHeaderOf(const std::string& path) {
  idapi::engine::OsError error;
  const auto file = files().openShared(path, error);
  if (!file) return std::nullopt;
  try {
    return idapi::core::readIndexHeader(*file, fileNameOf(path));
  } catch (const Failure&) {
    return std::nullopt;
  }
}

// Same fields (names, types, widths, decimals, in order) and the same language.
bool sameShape(const TableHeader& a, const TableHeader& b) {
  if (a.languageId != b.languageId || a.languageDriver != b.languageDriver || a.fields.size() != b.fields.size())
    return false;
  for (size_t i = 0; i < a.fields.size(); ++i) {
    const auto &x = a.fields[i], &y = b.fields[i];
    if (x.name != y.name || x.type != y.type || x.length != y.length || x.decimals != y.decimals) return false;
  }
  return true;
}

// The table's own name without its folder, for finding the same table elsewhere.
std::string lastName(const std::string& relative) {
  const size_t cut = relative.find_last_of("\\/");
  return text::lowerAscii(cut == std::string::npos ? relative : relative.substr(cut + 1));
}

struct Definitions {
  Source source = Source::None;
  std::string from;
  std::optional<IndexHeader> index;
  std::string refused;  // why the definitions file's lines for this table were refused
};

// Where the tags of a table's new index come from, in order: its own index where its
// tag definitions can be read and fit the table, the same table elsewhere in the run
// with exactly the same fields and language, the definitions file.
Definitions findDefinitions(const FolderFindings& f, const TableFinding& t, const TableHeader& table,
                            const std::string& mdxPath, const RepairSettings& settings) {
  Definitions out;
  IndexHeader like;
  like.languageId = table.languageId;
  if (t.finding != Finding::Unbuildable) {
    if (const auto own = indexHeaderOf(mdxPath); own && !own->tags.empty()) {
      try {
        out.index = indexFromLines(table, linesOf(t.table, *own), *own);
        out.source = Source::Itself;
        return out;
      } catch (const DefinitionsError&) {
        // an index of another table: its definitions do not fit
      }
    }
  }
  // Healthy siblings first.
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& other : f.tables) {
      if ((other.finding == Finding::Ok) != (pass == 0) || other.table == t.table) continue;
      if (lastName(other.table) != lastName(t.table)) continue;
      const std::string otherDbf = tablePath(f, other.table);
      const auto shape = tableHeaderOf(otherDbf);
      if (!shape || !shape->productionIndex || !sameShape(*shape, table)) continue;
      const auto index = indexHeaderOf(indexPathOf(otherDbf));
      if (!index || index->tags.empty()) continue;
      try {
        out.index = indexFromLines(table, linesOf(other.table, *index), *index);
        out.source = Source::OtherTable;
        out.from = other.table;
        return out;
      } catch (const DefinitionsError&) {}
    }
  }
  // The definitions file: this table's own lines, else those of the same table of
  // another folder.
  std::vector<DefinitionLine> mine;
  for (const auto& l : settings.definitions)
    if (sameTableName(l.table, t.table)) mine.push_back(l);
  auto fromFile = [&](const std::vector<DefinitionLine>& lines) {
    out.index = indexFromLines(table, lines, like);
    out.source = Source::DefinitionsFile;
    out.from = settings.definitionsName;
  };
  if (!mine.empty()) {
    try {
      fromFile(mine);
    } catch (const DefinitionsError& e) {
      out.refused = settings.definitionsName + (e.line ? ", line " + std::to_string(e.line) : "") + ": " + e.what();
    }
    return out;
  }
  std::vector<std::string> others;
  for (const auto& l : settings.definitions)
    if (lastName(l.table) == lastName(t.table) && std::find(others.begin(), others.end(), l.table) == others.end())
      others.push_back(l.table);
  for (const auto& name : others) {
    std::vector<DefinitionLine> lines;
    for (const auto& l : settings.definitions)
      if (l.table == name) lines.push_back(l);
    try {
      fromFile(lines);
      return out;
    } catch (const DefinitionsError&) {}
  }
  return out;
}

// Copies the held old index, byte for byte, to `target` (made with its folders),
// through the file layer's crash-safe replacement; returns the name it was given.
std::string keepCopy(const idapi::engine::LockedFile& old, const std::string& target) {
  std::error_code ec;
  const std::string folder = folderOf(target);
  std::filesystem::create_directories(std::filesystem::path(std::u8string(folder.begin(), folder.end())), ec);
  // Never over an earlier copy (a repair tried again within the same second).
  std::string name = target;
  for (int n = 2; files().isFile(name); ++n) name = target + "." + std::to_string(n);
  auto out = files().createReplacement(name);
  std::vector<uint8_t> buffer(1u << 16);
  for (uint64_t at = 0; at < old.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), old.size() - at));
    old.readAt(at, buffer.data(), n);
    out->write(buffer.data(), n);
    at += n;
  }
  std::unique_ptr<idapi::engine::LockedFile> none;
  out->commit(none, [] {});
  return name;
}

}  // namespace

int FolderRepair::exitCode() const {
  for (const auto& r : tables)
    if (stopsTheRun(r.before.finding) && r.outcome != Outcome::Repaired && r.outcome != Outcome::WouldRepair) return 1;
  return !dryRun && after.stop() ? 1 : 0;
}

std::string backupFolderFor(const std::string& programFolder, int year, int month, int day, int hour, int minute,
                            int second, char separator) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", year, month, day, hour, minute, second);
  return programFolder + "idxcheck-sauvegardes" + separator + stamp + separator;
}

FolderRepair repairProgramFolder(const std::string& folder, const FolderSurroundings& around,
                                 const RepairSettings& settings,
                                 const std::function<void(const TableRepair&)>& progress) {
  FolderRepair out;
  out.dryRun = settings.dryRun;
  FolderSurroundings probing = around;
  if (!probing.folderWritable) probing.folderWritable = canWriteIn;
  out.before = checkProgramFolder(folder, probing);
  for (const auto& t : out.before.tables) {
    TableRepair r;
    r.before = t;
    const std::string dbfPath = tablePath(out.before, t.table);
    const std::string mdxPath = indexPathOf(dbfPath);
    std::optional<IndexHeader> definitions;
    switch (t.finding) {
      case Finding::Ok: break;
      case Finding::Missing:
      case Finding::Unreadable:
        if (!t.aboutIndex) {
          r.outcome = Outcome::CannotRepair;
          break;
        }
        [[fallthrough]];
      case Finding::IndexMissing:
      case Finding::Unbuildable: {
        const auto table = tableHeaderOf(dbfPath);
        Definitions d;
        if (table) d = findDefinitions(out.before, t, *table, mdxPath, settings);
        if (!d.index) {
          r.outcome = Outcome::CannotRepair;
          r.detail = d.refused;
          break;
        }
        r.outcome = Outcome::WouldRepair;
        r.recreated = true;
        r.source = d.source;
        r.from = d.from;
        definitions = std::move(d.index);
        break;
      }
      case Finding::Damaged:
        r.outcome = Outcome::WouldRepair;
        r.source = Source::Itself;
        break;
      case Finding::Held:
        r.outcome = Outcome::LeftAlone;
        r.holders = whoHolds(t.aboutIndex ? mdxPath : dbfPath);
        break;
      case Finding::IndexReadOnly:
      case Finding::FolderNotWritable: r.outcome = Outcome::LeftAlone; break;
    }
    if (r.outcome == Outcome::WouldRepair && !settings.dryRun) {
      std::string relativeFolder = t.table.substr(0, t.table.find_last_of("\\/") + 1);
      for (char& c : relativeFolder)
        if (c == '\\' || c == '/') c = around.separator;
      const std::string backup = settings.backupFolder + relativeFolder + fileNameOf(mdxPath);
      idapi::engine::IndexRepair request;
      request.dbfPath = dbfPath;
      request.mdxPath = mdxPath;
      request.definitions = std::move(definitions);
      request.keepOld = [&](const idapi::engine::LockedFile& old) {
        r.backup = keepCopy(old, nativePath(backup));
        out.backedUp = true;
      };
      r.attempted = true;
      try {
        idapi::engine::repairIndex(request);
        r.outcome = Outcome::Repaired;
      } catch (const Failure& f) {
        r.outcome = Outcome::CannotRepair;
        r.detail = f.what();
      }
    }
    out.tables.push_back(std::move(r));
    if (progress) progress(out.tables.back());
  }
  out.after = settings.dryRun ? out.before : checkProgramFolder(folder, probing);
  return out;
}

std::vector<DefinitionLine> definitionsOfFolder(const std::string& folder, const FolderSurroundings& around,
                                                std::vector<std::pair<std::string, std::string>>& skipped) {
  std::vector<DefinitionLine> out;
  const FolderFindings f = checkProgramFolder(folder, around);
  for (const auto& t : f.tables) {
    if (t.noIndex) continue;
    const std::string dbfPath = tablePath(f, t.table);
    const auto table = tableHeaderOf(dbfPath);
    if (!table) {
      skipped.push_back({t.table, "table unreadable"});
      continue;
    }
    if (!table->productionIndex) continue;
    const auto index = indexHeaderOf(indexPathOf(dbfPath));
    if (!index) {
      skipped.push_back({t.table, "production index missing or unreadable"});
      continue;
    }
    auto lines = linesOf(t.table, *index);
    try {
      indexFromLines(*table, lines, *index);
    } catch (const DefinitionsError& e) {
      skipped.push_back({t.table, e.what()});
      continue;
    }
    out.insert(out.end(), lines.begin(), lines.end());
  }
  return out;
}

}  // namespace idxcheck
