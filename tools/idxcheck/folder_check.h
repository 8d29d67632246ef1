// The folder mode of the index checker: the tables that the launcher's start-up run
// would open in a program folder, in its order and over its year window, each looked
// at as the run would meet it, without ever standing in another program's way.
#ifndef ORVANE_IDXCHECK_FOLDER_CHECK_H
#define ORVANE_IDXCHECK_FOLDER_CHECK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace idxcheck {

enum class Finding {
  Ok,                 // opens, and every tag of its production index is sound (or it has none)
  Damaged,            // opens, but a tag is faulty: the run rebuilds the index
  Missing,            // the table file is not there
  IndexMissing,       // the table calls for a production index that is not there
  Held,               // another program has the table or its index open
  IndexReadOnly,      // the index file is read-only: the engine will not replace it
  Unreadable,         // the file cannot be read, or its header cannot be parsed
  Unbuildable,        // a tag is faulty and the index cannot be rebuilt from the records
  FolderNotWritable,  // no new file can be made in the table's folder: no index can be replaced there
};

// Whether the launcher's run stops at a table with this finding.
bool stopsTheRun(Finding f);

struct TableFinding {
  std::string table;  // relative to the program folder, as the launcher spells it
  Finding finding = Finding::Ok;
  bool aboutIndex = false;  // the finding concerns the index file rather than the table
  std::string tag;          // Damaged, Unbuildable: the first faulty tag
  std::string detail;       // the checker's or reader's own words, may be empty
  uint32_t systemCode = 0;  // the system's error code, when one was given
  size_t tags = 0;          // Ok, Damaged: tags of the production index
  bool noIndex = false;     // Ok: the table has no production index
};

struct FolderFindings {
  std::string folder;  // the program folder, with its final separator
  int firstYear = 0, lastYear = 0;
  std::vector<TableFinding> tables;

  // The first table at which the run would stop, or null.
  const TableFinding* stop() const;
  // 0: the run would succeed with nothing to repair; 1: it would succeed and repair a
  // damaged index; 2: it would stop.
  int exitCode() const;
};

// What the folder check needs of the system: the same file test and current year as
// the launcher, and the separator of this platform.
struct FolderSurroundings {
  std::function<bool(const std::string& path)> fileExists;
  std::function<int()> currentYear;
  char separator = '\\';
  // Bytes of expected keys held in memory before they go to temporary files.
  size_t memoryBudget = 256u << 20;
  // When given, asked once for the folder (with its final separator) of each table
  // that has a production index: whether a new index can be written there.
  std::function<bool(const std::string& folder)> folderWritable;
};

// Whether a new file can be made in `folder` (the platform's spelling, with its final
// separator): one is made through the engine's file layer and removed at once.
bool canWriteIn(const std::string& folder);

// The findings before any table is looked at: the folder as it will be shown (with its
// final separator) and the year window for the given current year.
FolderFindings windowOf(const std::string& folder, int currentYear, char separator);

// Checks one table given by its full path in the launcher's spelling.
TableFinding checkTable(const std::string& relative, const std::string& fullPath, size_t memoryBudget = 256u << 20);

// Walks the program folder as the launcher's run would. Every table is looked at,
// also after one that would stop the run, so that the technician sees them all.
// `progress` (may be empty) is called after each table.
FolderFindings checkProgramFolder(const std::string& folder, const FolderSurroundings& around,
                                  const std::function<void(const TableFinding&)>& progress = {});

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_FOLDER_CHECK_H
