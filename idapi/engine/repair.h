// The replacement of a table's production index for the technician's tool: the
// engine's own rebuild and replacement (rebuild.cpp), with the table held for
// exclusive use, as the launcher's run holds it, and with the
// tags either read from the index in place or given by the caller when that index is
// missing or cannot be read. The table's bytes are never written.
#ifndef IDAPI_ENGINE_REPAIR_H
#define IDAPI_ENGINE_REPAIR_H

#include <functional>
#include <optional>
#include <string>

#include "idapi/core/core.h"
#include "idapi/engine/platform.h"

namespace idapi::engine {

struct IndexRepair {
  std::string dbfPath;  // paths in the installed file layer's names
  std::string mdxPath;  // the production index, present or not
  // The tags of the new index. Without them the index in place is rebuilt from its
  // own tag definitions, as the engine's rebuild does (it must be there and readable).
  std::optional<core::IndexHeader> definitions;
  // Called once the table and the old index (when there is one) are held, before the
  // new index is written: the old index's bytes are then the ones to be replaced. What
  // it throws stops the repair with nothing changed.
  std::function<void(const LockedFile& oldIndex)> keepOld;
};

// Writes a complete new production index from the table's records and puts it in
// place of the old one (or where none was). Throws core::Failure (the engine's code
// and its texts) when that cannot be done; the old index is then as it was.
void repairIndex(const IndexRepair& request);

}  // namespace idapi::engine

#endif  // IDAPI_ENGINE_REPAIR_H
