#include "engine/reindex.h"

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
    } catch (...) {}
    throw;
  }
  restore();
}

}  // namespace engine
