// The tag definitions of the production indexes of a program folder, in a plain text
// file a technician keeps and may read and edit: one line per tag,
//
//   table | tag | key | FOR condition | unique | descending
//
// fields separated by '|' and trimmed, the last two "oui"/"non" (or "yes"/"no"), lines
// starting with '#' and blank lines ignored. Tables are named as the launcher names
// them, relative to the program folder (DATA\CLIENT.DBF).
#ifndef ORVANE_IDXCHECK_DEFINITIONS_H
#define ORVANE_IDXCHECK_DEFINITIONS_H

#include <stdexcept>
#include <string>
#include <vector>

#include "idapi/core/core.h"

namespace idxcheck {

struct DefinitionLine {
  int line = 0;  // in the file, from 1 (0: not from a file)
  std::string table;
  std::string tag;
  std::string key;
  std::string forCondition;
  bool unique = false;
  bool descending = false;
};

// A line that cannot be read or used; `line` is its number in the file (0: none).
struct DefinitionsError : std::runtime_error {
  DefinitionsError(int line_, const std::string& what) : std::runtime_error(what), line(line_) {}
  int line;
};

// Parses the file's text. Throws DefinitionsError naming the first bad line.
std::vector<DefinitionLine> parseDefinitions(const std::string& text);
// The file's text for these lines (with a heading that explains the columns).
// Throws DefinitionsError for a value that cannot be written on one line.
std::string formatDefinitions(const std::vector<DefinitionLine>& lines);

// The lines of an index's tags, for the table named `table`.
std::vector<DefinitionLine> linesOf(const std::string& table, const idapi::core::IndexHeader& index);

// The tags of a new production index for `table` from these lines, each compiled
// against the table's fields (block size and language from `like`). Throws
// DefinitionsError naming the line of a tag the table cannot have (a field it lacks,
// an expression that cannot be evaluated, a bad tag name).
idapi::core::IndexHeader indexFromLines(const idapi::core::TableHeader& table, const std::vector<DefinitionLine>& lines,
                                        const idapi::core::IndexHeader& like);

// True when a line's table names the same table as `relative` (letter case and
// separators aside).
bool sameTableName(const std::string& a, const std::string& b);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_DEFINITIONS_H
