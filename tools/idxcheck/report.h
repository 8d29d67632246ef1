// The folder mode's texts: French, as the product speaks, or English on request.
#ifndef ORVANE_IDXCHECK_REPORT_H
#define ORVANE_IDXCHECK_REPORT_H

#include <string>

#include "idxcheck/folder_check.h"
#include "idxcheck/repair.h"

namespace idxcheck {

enum class Language { French, English };

std::string headerLines(const FolderFindings& f, Language lang);
// One line (no line break) for a table.
std::string tableLine(const TableFinding& t, Language lang);
// The closing one-line verdict (no line break).
std::string verdictLine(const FolderFindings& f, Language lang);

// --repair and --dry-run: one line (no line break) for a table, marked when it would
// still stop the run afterwards.
std::string repairLine(const TableRepair& r, bool stillStops, Language lang);
// The closing lines: the backup folder when used, then the verdict of the next run.
std::string repairClosing(const FolderRepair& f, bool dryRun, const std::string& backupFolder, Language lang);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_REPORT_H
