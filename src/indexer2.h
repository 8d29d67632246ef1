// The splash window class TFrmindexer: its handlers, its reindex methods and the
// table object they use.
#ifndef ORVANE_INDEXER2_H
#define ORVANE_INDEXER2_H

#include <string>

#include "app/form.h"
#include "engine/engine.h"
#include "engine/table.h"
#include "sys/system.h"

class TFrmindexer : public app::FormEvents {
 public:
  TFrmindexer(sys::System& system, engine::Engine& engine);

  // The window the handlers work on; bound before the window is created.
  void bindForm(app::Form& form) { form_ = &form; }

  // Writes the maker line with the current year, read once, here.
  void FormCreate() override;
  // The start-up run: on the window's first activation only.
  void FormActivate() override;
  // Closes the window, which ends the program.
  void Image2Click() override;

  // The maker line for a year: "Orvane © YYYY - Tous droits réservés".
  static std::string makerLine(int year);

  // Reindexes the fixed tables, then those of the years from four years back to next
  // year that have an invoice folder. The first engine error ends the run and reaches
  // the caller unchanged.
  void reindexerfichiers();

  // Opens the table exclusively, has the engine regenerate all its indexes and closes
  // it again, also on failure.
  void ReindexTable(engine::TTable& Table);

  engine::TTable tabletransit;

 private:
  // The bound window; an app::Error when there is none.
  app::Form& form();

  sys::System& system_;
  app::Form* form_ = nullptr;
};

// The application's main window.
extern TFrmindexer* Frmindexer;

#endif  // ORVANE_INDEXER2_H
