// idxcheck --repair: makes a complete, correct production index for every table of the
// launcher's run whose index would stop the run or is damaged, through the engine's own
// rebuild and replacement, keeping the old index in a dated backup folder. Table bytes
// are never written; a table held by another program or read-only is left alone.
#ifndef ORVANE_IDXCHECK_REPAIR_H
#define ORVANE_IDXCHECK_REPAIR_H

#include <functional>
#include <string>
#include <vector>

#include "idxcheck/definitions.h"
#include "idxcheck/folder_check.h"
#include "idxcheck/holders.h"

namespace idxcheck {

enum class Outcome {
  Ok,        // nothing to do
  Repaired,  // a new index is in place (WouldRepair under --dry-run)
  WouldRepair,
  CannotRepair,  // nothing changed: see `why`
  LeftAlone,     // nothing changed: held by another program, read-only files or folder
};

enum class Source {
  None,
  Itself,           // the index's own tag definitions
  OtherTable,       // those of `from`, a table with exactly the same fields and language
  DefinitionsFile,  // lines of the definitions file
};

struct TableRepair {
  TableFinding before;
  Outcome outcome = Outcome::Ok;
  bool recreated = false;  // re-created from definitions rather than rebuilt in place
  Source source = Source::None;
  std::string from;        // OtherTable: the table; DefinitionsFile: the file
  std::string backup;      // Repaired: where the old index was kept ("" when there was none)
  std::string detail;      // CannotRepair: the reason in the engine's or the reader's words
  bool attempted = false;  // CannotRepair: the engine tried and refused (the old index is intact)
  Holders holders;         // LeftAlone because held: who holds it
};

struct RepairSettings {
  bool dryRun = false;
  // A definitions file read beforehand (may be empty) and its name as shown.
  std::vector<DefinitionLine> definitions;
  std::string definitionsName;
  // The folder (platform spelling, final separator) that receives the old indexes,
  // under the names they have in the program folder; made when first needed.
  std::string backupFolder;
};

struct FolderRepair {
  FolderFindings before, after;
  std::vector<TableRepair> tables;
  bool backedUp = false;  // something went into the backup folder
  bool dryRun = false;    // `after` is `before`: nothing was done
  // 0: nothing left that stops the launcher's run (after the repair, or as it would be
  // after it under --dry-run); 1: something is left.
  int exitCode() const;
};

// The backup folder of a repair started at the given local time, below the program
// folder (which ends with its separator): idxcheck-sauvegardes/AAAA-MM-JJ_HH-MM-SS/.
std::string backupFolderFor(const std::string& programFolder, int year, int month, int day, int hour, int minute,
                            int second, char separator);

FolderRepair repairProgramFolder(const std::string& folder, const FolderSurroundings& around,
                                 const RepairSettings& settings,
                                 const std::function<void(const TableRepair&)>& progress = {});

// The definitions of every tag of every production index in the folder whose tags the
// table can have, for --save-definitions. `skipped` gets the tables whose index could not
// be read (relative name and why).
std::vector<DefinitionLine> definitionsOfFolder(const std::string& folder, const FolderSurroundings& around,
                                                std::vector<std::pair<std::string, std::string>>& skipped);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_REPAIR_H
