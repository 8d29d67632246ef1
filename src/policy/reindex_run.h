// The start-up run over the table object: the run's tables, walked in order, each one
// handed to the one-table routine.
#ifndef ORVANE_POLICY_REINDEX_RUN_H
#define ORVANE_POLICY_REINDEX_RUN_H

#include <functional>

#include "engine/table.h"
#include "policy/run_plan.h"
#include "sys/system.h"

namespace policy {

// Points the table object at each fixed table, then at the tables of the years from
// four years back to next year whose folder holds an invoice header table, and has
// each one reindexed. Paths start from the program folder. The first error ends the
// run and reaches the caller unchanged.
void reindexRun(sys::System& system, engine::TTable& tabletransit,
                const std::function<void(engine::TTable&)>& ReindexTable);

}  // namespace policy

#endif  // ORVANE_POLICY_REINDEX_RUN_H
