// Regenerating the indexes of one table, and the run over the application's tables.
#ifndef ORVANE_ENGINE_REINDEX_H
#define ORVANE_ENGINE_REINDEX_H

#include <functional>

#include "engine/table.h"
#include "policy/run_plan.h"
#include "sys/system.h"

namespace engine {

// The run's tables come from the launcher's policy.
using policy::kTablesAnnuelles;
using policy::kTablesFixes;

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
