#include "engine/reindex.h"

#include <string>

namespace engine {

const std::array<const char*, 15> kTablesFixes = {
    "DATA\\NEUF\\CATALOGUE.DBF",          "DATA\\OCCASION\\CATALOGUE.DBF",
    "DATA\\CLIENT.DBF",                   "DATA\\POTENTIEL.DBF",
    "DATA\\VEHICULES.DBF",                "DATA\\libVEHIC.DBF",
    "DATA\\cdepostal.DBF",                "DATA\\RDVOUSTECH.DBF",
    "DATA\\dosloc.DBF",                   "DATA\\factures\\DEVIS\\Fact.DBF",
    "DATA\\factures\\PROFORMA\\Fact.DBF", "DATA\\factures\\MODELE\\Fact.DBF",
    "DATA\\factures\\DEVIS\\DetFact.DBF", "DATA\\factures\\PROFORMA\\DetFact.DBF",
    "DATA\\factures\\MODELE\\DetFact.DBF"};

const std::array<const char*, 3> kTablesAnnuelles = {"Fact.DBF", "DetFact.DBF", "ARCHIVEFACT.DBF"};

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
  for (const char* table : kTablesFixes) {
    tabletransit.Close();
    tabletransit.setTableName(system.programFolder() + table);
    ReindexTable(tabletransit);
  }

  const int annee = system.currentYear();
  for (int a = 1; a <= 6; ++a) {
    const int an = annee - 5 + a;
    const std::string dossiermois = system.programFolder() + "DATA\\factures\\" + std::to_string(an) + "\\";
    const std::string fichier = dossiermois + kTablesAnnuelles[0];
    if (!system.fileExists(fichier)) continue;
    for (const char* table : kTablesAnnuelles) {
      tabletransit.Close();
      tabletransit.setTableName(dossiermois + table);
      ReindexTable(tabletransit);
    }
  }
}

}  // namespace engine
