#include "indexer2.h"

#include <exception>
#include <string>

const std::array<const char*, 15> TFrmindexer::kTablesFixes = {
    "DATA\\NEUF\\CATALOGUE.DBF",          "DATA\\OCCASION\\CATALOGUE.DBF",
    "DATA\\CLIENT.DBF",                   "DATA\\POTENTIEL.DBF",
    "DATA\\VEHICULES.DBF",                "DATA\\libVEHIC.DBF",
    "DATA\\cdepostal.DBF",                "DATA\\RDVOUSTECH.DBF",
    "DATA\\dosloc.DBF",                   "DATA\\factures\\DEVIS\\Fact.DBF",
    "DATA\\factures\\PROFORMA\\Fact.DBF", "DATA\\factures\\MODELE\\Fact.DBF",
    "DATA\\factures\\DEVIS\\DetFact.DBF", "DATA\\factures\\PROFORMA\\DetFact.DBF",
    "DATA\\factures\\MODELE\\DetFact.DBF"};

const std::array<const char*, 3> TFrmindexer::kTablesAnnuelles = {"Fact.DBF", "DetFact.DBF", "ARCHIVEFACT.DBF"};

TFrmindexer::TFrmindexer(sys::System& system, engine::Engine& engine)
    : tabletransit(engine, system), system_(system) {}

void TFrmindexer::reindexerfichiers() {
  for (const char* table : kTablesFixes) {
    tabletransit.Close();
    tabletransit.setTableName(system_.programFolder() + table);
    ReindexTable(tabletransit);
  }

  const int annee = system_.currentYear();
  for (int a = 1; a <= 6; ++a) {
    const int an = annee - 5 + a;
    const std::string dossiermois = system_.programFolder() + "DATA\\factures\\" + std::to_string(an) + "\\";
    const std::string fichier = dossiermois + kTablesAnnuelles[0];
    if (!system_.fileExists(fichier)) continue;
    for (const char* table : kTablesAnnuelles) {
      tabletransit.Close();
      tabletransit.setTableName(dossiermois + table);
      ReindexTable(tabletransit);
    }
  }
}

void TFrmindexer::ReindexTable(engine::TTable& Table) {
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
    engine::Engine& engine = Table.engine();
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
