// The splash window class: its reindex methods and the table object they use.
#ifndef ORVANE_INDEXER2_H
#define ORVANE_INDEXER2_H

#include "engine/engine.h"
#include "engine/table.h"
#include "sys/system.h"

class TFrmindexer {
 public:
  TFrmindexer(sys::System& system, engine::Engine& engine);

  // Reindexes the fixed tables, then those of the years from four years back to next
  // year that have an invoice folder. The first engine error ends the run and reaches
  // the caller unchanged.
  void reindexerfichiers();

  // Opens the table exclusively, has the engine regenerate all its indexes and closes
  // it again, also on failure.
  void ReindexTable(engine::TTable& Table);

  engine::TTable tabletransit;

 private:
  sys::System& system_;
};

#endif  // ORVANE_INDEXER2_H
