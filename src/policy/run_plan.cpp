#include "policy/run_plan.h"

namespace policy {

const std::array<const char*, 15> kTablesFixes = {"DATA\\NEUF\\CATALOGUE.DBF",
                                                  "DATA\\OCCASION\\CATALOGUE.DBF",
                                                  "DATA\\CLIENT.DBF",
                                                  "DATA\\POTENTIEL.DBF",
                                                  "DATA\\VEHICULES.DBF",
                                                  "DATA\\libVEHIC.DBF",
                                                  "DATA\\cdepostal.DBF",
                                                  "DATA\\RDVOUSTECH.DBF",
                                                  "DATA\\dosloc.DBF",
                                                  "DATA\\factures\\DEVIS\\Fact.DBF",
                                                  "DATA\\factures\\PROFORMA\\Fact.DBF",
                                                  "DATA\\factures\\MODELE\\Fact.DBF",
                                                  "DATA\\factures\\DEVIS\\DetFact.DBF",
                                                  "DATA\\factures\\PROFORMA\\DetFact.DBF",
                                                  "DATA\\factures\\MODELE\\DetFact.DBF"};

const std::array<const char*, 3> kTablesAnnuelles = {"Fact.DBF", "DetFact.DBF", "ARCHIVEFACT.DBF"};

std::string dossiermois(const std::string& programFolder, int an) {
  return programFolder + "DATA\\factures\\" + std::to_string(an) + "\\";
}

void walkRun(const RunSurroundings& around, const std::function<void(const std::string& path)>& table) {
  for (const char* fixe : kTablesFixes) table(around.programFolder() + fixe);

  const int annee = around.currentYear();
  for (int an = annee + kPremiereAnnee; an <= annee + kDerniereAnnee; ++an) {
    const std::string dossier = dossiermois(around.programFolder(), an);
    const std::string fichier = dossier + kTablesAnnuelles[0];
    if (!around.fileExists(fichier)) continue;
    for (const char* annuelle : kTablesAnnuelles) table(dossier + annuelle);
  }
}

}  // namespace policy
