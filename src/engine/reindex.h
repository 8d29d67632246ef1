// Regenerating the indexes of one table, and the run over the application's tables.
#ifndef ORVANE_ENGINE_REINDEX_H
#define ORVANE_ENGINE_REINDEX_H

#include <array>
#include <functional>

#include "engine/table.h"
#include "sys/system.h"

namespace engine {

// The application's fixed tables, relative to the program folder, in the order they
// are reindexed.
extern const std::array<const char*, 15> kTablesFixes;
// The tables of each yearly invoice folder, in order; the first one tells whether the
// year has a folder at all.
extern const std::array<const char*, 3> kTablesAnnuelles;

// Opens the table exclusively, has the engine regenerate all its indexes and closes
// it again, also on failure; Exclusive and Active are then back as they were. The
// first error reaches the caller unchanged.
void reindexTable(TTable& Table);

// Points the table object at each fixed table, then at the tables of the years from
// four years back to next year whose folder holds an invoice header table, and has
// each one reindexed. Paths start from the program folder. The first error ends the
// run and reaches the caller unchanged.
void reindexRun(sys::System& system, TTable& tabletransit, const std::function<void(TTable&)>& ReindexTable);

}  // namespace engine

#endif  // ORVANE_ENGINE_REINDEX_H
