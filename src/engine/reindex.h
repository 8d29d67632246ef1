// Regenerating the indexes of one table.
#ifndef ORVANE_ENGINE_REINDEX_H
#define ORVANE_ENGINE_REINDEX_H

#include "engine/table.h"

namespace engine {

// Opens the table exclusively, has the engine regenerate all its indexes and closes
// it again, also on failure; Exclusive and Active are then back as they were. The
// first error reaches the caller unchanged.
void reindexTable(TTable& Table);

}  // namespace engine

#endif  // ORVANE_ENGINE_REINDEX_H
