#include "indexer2.h"

#include <cstdio>

#include "app/errors.h"
#include "engine/reindex.h"
#include "policy/reindex_run.h"

TFrmindexer* Frmindexer = nullptr;

namespace {

// The main application, started by bare name from the program folder.
constexpr char kMainApplication[] = "Pelcrest.exe";

}  // namespace

TFrmindexer::TFrmindexer(sys::System& system, engine::Engine& engine) : tabletransit(engine, system), system_(system) {}

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
  // The whole start-up run happens here, on the window's first activation, without
  // handing control back to the event loop: only the two repaints reach the screen.
  app::Form& window = form();
  window.repaintNow();

  // Tables are found from the program folder whatever the current directory, but the
  // main application is started by bare name, so it must be looked for there.
  const std::string folder = system_.programFolder();
  if (const uint32_t code = system_.setCurrentDirectory(folder); code != 0) {
    throw app::InOutError(code, folder);
  }

  window.setLabelButtonFaceBackground("Labelinfos2");
  window.setLabelText("Labelinfos2", "");
  window.setLabelText("Labelinfos", "indexation en cours");
  window.repaintNow();

  reindexerfichiers();

  // Whether the main application could be started is the shell's business: the
  // launcher's work is done either way.
  system_.shellOpen(window.nativeHandle(), kMainApplication, "", "", sys::kShowDefault);
  window.close();
}

void TFrmindexer::Image2Click() { form().close(); }

void TFrmindexer::reindexerfichiers() {
  policy::reindexRun(system_, tabletransit, [this](engine::TTable& Table) { ReindexTable(Table); });
}

void TFrmindexer::ReindexTable(engine::TTable& Table) { engine::reindexTable(Table); }
