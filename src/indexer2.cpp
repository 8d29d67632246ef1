#include "indexer2.h"

#include "engine/reindex.h"

TFrmindexer::TFrmindexer(sys::System& system, engine::Engine& engine)
    : tabletransit(engine, system), system_(system) {}

void TFrmindexer::reindexerfichiers() {
  engine::reindexRun(system_, tabletransit, [this](engine::TTable& Table) { ReindexTable(Table); });
}

void TFrmindexer::ReindexTable(engine::TTable& Table) { engine::reindexTable(Table); }
