#include "indexer2.h"

#include <cstdio>

#include "app/errors.h"
#include "engine/reindex.h"

TFrmindexer* Frmindexer = nullptr;

TFrmindexer::TFrmindexer(sys::System& system, engine::Engine& engine)
    : tabletransit(engine, system), system_(system) {}

app::Form& TFrmindexer::form() {
  if (form_ == nullptr) {
    throw app::Error("TFrmindexer has no window");
  }
  return *form_;
}

std::string TFrmindexer::makerLine(int year) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04d", year);
  return std::string("Orvane \u00A9 ") + digits + " - Tous droits r\u00E9serv\u00E9s";
}

void TFrmindexer::FormCreate() {
  // The year is read once, here; the line keeps it for the life of the window.
  form().setLabelText("Labelsignature", makerLine(system_.currentYear()));
}

void TFrmindexer::FormActivate() {
  // The start-up run goes here: it runs on the window's first activation only.
}

void TFrmindexer::Image2Click() { form().close(); }

void TFrmindexer::reindexerfichiers() {
  engine::reindexRun(system_, tabletransit, [this](engine::TTable& Table) { ReindexTable(Table); });
}

void TFrmindexer::ReindexTable(engine::TTable& Table) { engine::reindexTable(Table); }
