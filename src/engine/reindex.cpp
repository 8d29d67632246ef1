#include "engine/reindex.h"

#include <string>

#include "policy/run_plan.h"

namespace engine {

void reindexTable(TTable& Table) {
  const bool WasActive = Table.Active();
  const bool WasExclusive = Table.Exclusive();
  const auto restore = [&] {
    Table.Close();
    Table.setExclusive(WasExclusive);
    Table.setActive(WasActive);
  };
  try {
    Table.setExclusive(true);
    Table.Open();
    Engine& engine = Table.engine();
    engine.check(engine.RegenIndexes(Table.Handle()));
  } catch (...) {
    // The first error is the one the caller sees; restoring must not replace it.
    try {
      restore();
    } catch (...) {
    }
    throw;
  }
  restore();
}

void reindexRun(sys::System& system, TTable& tabletransit, const std::function<void(TTable&)>& ReindexTable) {
  const policy::RunSurroundings around{[&] { return system.programFolder(); }, [&] { return system.currentYear(); },
                                       [&](const std::string& path) { return system.fileExists(path); }};
  policy::walkRun(around, [&](const std::string& path) {
    tabletransit.Close();
    tabletransit.setTableName(path);
    ReindexTable(tabletransit);
  });
}

}  // namespace engine
