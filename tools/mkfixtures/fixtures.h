// Test and demonstration data: dBASE IV tables of a French vehicle-trade invoicing
// application (catalogue, customers, prospects, vehicles, invoices...), with their
// production index, written deterministically from a seed.
//
// Text fields are in Windows-1252 (accented names), the table's language driver is the
// binary ANSI one, and a few records are marked deleted. The production index can be
// written fresh, stale (built from other records), damaged (node blocks overwritten,
// header and tag definitions intact) or left out altogether.
#ifndef ORVANE_TOOLS_FIXTURES_H
#define ORVANE_TOOLS_FIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

enum class Kind {
  CatalogueNeuf,
  CatalogueOccasion,
  Client,
  Potentiel,
  Vehicules,
  LibVehic,
  CodePostal,
  RdvTech,
  DosLoc,
  Fact,
  DetFact,
  ArchiveFact,
};

enum class IndexState { Fresh, Stale, Damaged, None };

struct FixtureTag {
  FixtureTag() = default;
  FixtureTag(std::string name_, std::string key_, std::string for_ = {}, bool unique_ = false, bool descending_ = false)
      : name(std::move(name_)),
        key(std::move(key_)),
        forCondition(std::move(for_)),
        unique(unique_),
        descending(descending_) {}
  std::string name;  // at most 10 characters
  std::string key;
  std::string forCondition;
  bool unique = false;
  bool descending = false;
};

struct TableOptions {
  Kind kind = Kind::Client;
  uint32_t records = 100;
  uint64_t seed = 1;
  // "standard": the tags the application would have; "full": those plus a unique,
  // a descending, a FOR-filtered and a compound character+date tag; "none": no tags
  // (only the tags of `extraTags`).
  std::string tagSet = "standard";
  std::vector<FixtureTag> extraTags;
  IndexState index = IndexState::Fresh;
  unsigned deletedPerThousand = 50;
  int year = 2024;  // dates of invoices and appointments fall in this year
};

// Names accepted by kindFromName (lower case): catalogue-neuf, catalogue-occasion,
// client, potentiel, vehicules, libvehic, cdepostal, rdvoustech, dosloc, fact, detfact,
// archivefact.
std::vector<std::string> kindNames();
bool kindFromName(const std::string& name, Kind& kind);
bool indexStateFromName(const std::string& name, IndexState& state);

// The tags a table gets for the options (after tag-set expansion).
std::vector<FixtureTag> tagsFor(const TableOptions& options);

// Writes the table at `dbfPath` and, unless the index state is None, its production
// index beside it (same base name, extension ".MDX"). Throws std::runtime_error.
void writeTable(const std::string& dbfPath, const TableOptions& options);

// Overwrites every node block of an index file (header and tag definitions kept) with
// bytes from `seed`. Throws std::runtime_error.
void damageIndex(const std::string& mdxPath, uint64_t seed);

struct TreeOptions {
  std::vector<int> years;  // yearly invoice folders DATA/factures/<year>/
  uint32_t records = 50;
  uint64_t seed = 1;
  std::string tagSet = "standard";
  IndexState index = IndexState::Fresh;
};

// The relative paths (backslash separators, as the application names them) of the
// fifteen fixed tables, then of the three tables of each year.
std::vector<std::string> treeTables(const std::vector<int>& years);

// Lays out root/DATA/... with every table of treeTables(years). Folders are created.
void writeTree(const std::string& root, const TreeOptions& options);

// The kind of a tree table from its relative path.
Kind kindOfTreeTable(const std::string& relativePath);

}  // namespace fixtures

#endif  // ORVANE_TOOLS_FIXTURES_H
