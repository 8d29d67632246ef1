#include "policy/reindex_run.h"

#include <string>

namespace policy {

void reindexRun(sys::System& system, engine::TTable& tabletransit,
                const std::function<void(engine::TTable&)>& ReindexTable) {
  const RunSurroundings around{[&] { return system.programFolder(); }, [&] { return system.currentYear(); },
                               [&](const std::string& path) { return system.fileExists(path); }};
  walkRun(around, [&](const std::string& path) {
    tabletransit.Close();
    tabletransit.setTableName(path);
    ReindexTable(tabletransit);
  });
}

}  // namespace policy
