#include "fixtures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "idapi/core/core.h"
#include "idapi/core/mdx_format.h"
#include "dbf_writer.h"
#include "policy/run_plan.h"
#include "text/codepage.h"
#include "text/ascii.h"

namespace fixtures {
namespace {

namespace fs = std::filesystem;

// Deterministic generator (splitmix64): the same seed gives the same files everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }
  int between(int lo, int hi) { return lo + static_cast<int>(below(static_cast<uint32_t>(hi - lo + 1))); }
  template <class T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  uint64_t state_;
};

// UTF-8 source text to Windows-1252 bytes (the characters used below all exist there).
std::string cp1252(const std::string& utf8) { return text::utf8ToCp1252(utf8); }

const char* const kNoms[] = {
    "Martin",   "Bernard",  "Dubois",   "Thomas",    "Robert",   "Richard",  "Petit",   "Durand",   "Leroy",
    "Moreau",   "Simon",    "Laurent",  "Lefèvre",   "Michel",   "Garcia",   "David",   "Bertrand", "Roux",
    "Vincent",  "Fournier", "Morel",    "Girard",    "André",    "Lefebvre", "Mercier", "Dupont",   "Lambert",
    "Bonnet",   "François", "Martinez", "Légaré",    "Bézier",   "Chrétien", "Gaël",    "Hébert",   "Pérès",
    "Noël",     "Ménard",   "Thiébaut", "Coëtlogon", "Lemaître", "Benoît",   "Crêpin",  "Fénelon",  "Jégou",
    "Béranger", "Œuvrard",  "Séverac",  "Étienne",   "Müller"};
const char* const kPrenoms[] = {"Jean",   "Marie",     "Pierre",  "Michel",   "André", "Philippe", "René",   "Louis",
                                "Hélène", "Françoise", "Gérard",  "Jérôme",   "Agnès", "Benoît",   "Gaëlle", "Noël",
                                "Chloé",  "Céline",    "Zoé",     "Anaïs",    "Loïc",  "Mathéo",   "Inès",   "Léa",
                                "Théo",   "Maëlle",    "Raphaël", "Clémence", "Joël",  "Eugénie"};
struct City {
  const char* cp;
  const char* name;
};
const City kVilles[] = {{"25000", "Besançon"},
                        {"45000", "Orléans"},
                        {"27000", "Évreux"},
                        {"42000", "Saint-Étienne"},
                        {"30000", "Nîmes"},
                        {"34500", "Béziers"},
                        {"60200", "Compiègne"},
                        {"83600", "Fréjus"},
                        {"71000", "Mâcon"},
                        {"34200", "Sète"},
                        {"75011", "Paris"},
                        {"69003", "Lyon"},
                        {"13008", "Marseille"},
                        {"31000", "Toulouse"},
                        {"44000", "Nantes"},
                        {"59000", "Lille"},
                        {"35000", "Rennes"},
                        {"51100", "Reims"},
                        {"29200", "Brest"},
                        {"49000", "Angers"},
                        {"21000", "Dijon"},
                        {"38000", "Grenoble"},
                        {"63000", "Clermont-Ferrand"},
                        {"87000", "Limoges"},
                        {"51000", "Châlons-en-Champagne"},
                        {"97400", "Saint-Denis"},
                        {"74000", "Annecy"},
                        {"64200", "Biarritz"}};
const char* const kRues[] = {"rue de la République",   "avenue Jean-Jaurès", "boulevard Gambetta",
                             "place de l'Église",      "rue Victor-Hugo",    "chemin des Prés",
                             "allée des Châtaigniers", "quai de la Marne",   "rue du Général-Leclerc",
                             "impasse des Mûriers",    "route de Nîmes",     "rue Émile-Zola"};
struct Model {
  const char* marque;
  const char* modele;
  int prix;
};
const Model kModeles[] = {{"Renault", "Clio V", 19900},   {"Renault", "Mégane E-Tech", 38500},
                          {"Renault", "Captur", 24900},   {"Renault", "Scénic", 39900},
                          {"Renault", "Twingo", 15500},   {"Peugeot", "208", 20500},
                          {"Peugeot", "308", 29900},      {"Peugeot", "3008", 36000},
                          {"Peugeot", "5008", 40000},     {"Citroën", "C3", 18500},
                          {"Citroën", "C4", 26500},       {"Citroën", "C5 Aircross", 34000},
                          {"Citroën", "Berlingo", 27000}, {"Dacia", "Sandero", 13500},
                          {"Dacia", "Duster", 19500},     {"Volkswagen", "Golf", 31000},
                          {"Volkswagen", "Polo", 21000},  {"Toyota", "Yaris", 22000},
                          {"Toyota", "Corolla", 31500},   {"Ford", "Puma", 27500},
                          {"Opel", "Corsa", 19800},       {"Fiat", "500", 17900},
                          {"Škoda", "Octavia", 30500},    {"Alpine", "A110", 62000}};
const char* const kLibelles[] = {"Vidange et filtre à huile",
                                 "Plaquettes de frein avant",
                                 "Contrôle technique",
                                 "Pneumatique 205/55 R16",
                                 "Main-d'œuvre atelier",
                                 "Frais d'immatriculation",
                                 "Carte grise",
                                 "Garantie 12 mois",
                                 "Forfait préparation esthétique",
                                 "Courroie de distribution",
                                 "Batterie 70 Ah",
                                 "Balais d'essuie-glace",
                                 "Géométrie des trains roulants",
                                 "Recharge de climatisation",
                                 "Véhicule neuf",
                                 "Véhicule d'occasion",
                                 "Reprise véhicule",
                                 "Accessoires : tapis de sol",
                                 "Attelage démontable",
                                 "Frais de mise à la route"};
const char* const kObjets[] = {"Révision des 30 000 km",
                               "Bruit au freinage",
                               "Changement des pneus",
                               "Voyant moteur allumé",
                               "Préparation contrôle technique",
                               "Climatisation",
                               "Livraison véhicule neuf",
                               "Expertise avant reprise",
                               "Rappel constructeur"};
const char* const kInterets[] = {"SUV hybride",      "Citadine électrique",        "Break familial",
                                 "Utilitaire léger", "Véhicule d'occasion récent", "Location longue durée",
                                 "Reprise + achat"};
const char* const kLibVehic[][2] = {{"VP", "Voiture particulière"},
                                    {"VU", "Véhicule utilitaire"},
                                    {"CTTE", "Camionnette"},
                                    {"CAM", "Camping-car"},
                                    {"MTL", "Motocyclette légère"},
                                    {"QM", "Quadricycle à moteur"},
                                    {"VASP", "Véhicule automoteur spécialisé"},
                                    {"TRR", "Tracteur routier"},
                                    {"REM", "Remorque"},
                                    {"DEM", "Démonstration"},
                                    {"ELEC", "Électrique"},
                                    {"HYB", "Hybride rechargeable"}};

struct FieldDef {
  const char* name;
  char type;
  uint8_t length;
  uint8_t decimals;
};

struct Schema {
  std::vector<FieldDef> fields;
  std::vector<FixtureTag> standardTags;
};

Schema schemaOf(Kind kind) {
  switch (kind) {
    case Kind::CatalogueNeuf:
    case Kind::CatalogueOccasion:
      return {{{"CODE", 'C', 10, 0},
               {"MARQUE", 'C', 20, 0},
               {"MODELE", 'C', 30, 0},
               {"FINITION", 'C', 20, 0},
               {"PRIXHT", 'N', 12, 2},
               {"TAUXTVA", 'N', 5, 2},
               {"KM", 'N', 7, 0},
               {"DATEMAJ", 'D', 8, 0},
               {"STOCK", 'N', 4, 0},
               {"DISPO", 'L', 1, 0}},
              {{"CODE", "CODE"}, {"MARQUE", "UPPER(MARQUE)+UPPER(MODELE)"}, {"PRIXHT", "PRIXHT"}}};
    case Kind::Client:
      return {{{"NUMCLI", 'N', 8, 0},
               {"CIVILITE", 'C', 4, 0},
               {"NOM", 'C', 30, 0},
               {"PRENOM", 'C', 20, 0},
               {"ADRESSE", 'C', 40, 0},
               {"CP", 'C', 5, 0},
               {"VILLE", 'C', 30, 0},
               {"TEL", 'C', 14, 0},
               {"DATECRE", 'D', 8, 0},
               {"ENCOURS", 'N', 12, 2}},
              {{"NUMCLI", "NUMCLI"}, {"NOM", "UPPER(NOM)"}, {"VILLE", "CP+UPPER(VILLE)"}, {"DATECRE", "DATECRE"}}};
    case Kind::Potentiel:
      return {{{"NUMPOT", 'N', 8, 0},
               {"NOM", 'C', 30, 0},
               {"PRENOM", 'C', 20, 0},
               {"CP", 'C', 5, 0},
               {"VILLE", 'C', 30, 0},
               {"TEL", 'C', 14, 0},
               {"DATECONT", 'D', 8, 0},
               {"INTERET", 'C', 30, 0},
               {"BUDGET", 'N', 10, 0}},
              {{"NUMPOT", "NUMPOT"}, {"NOM", "UPPER(NOM)+UPPER(PRENOM)"}, {"DATECONT", "DATECONT"}}};
    case Kind::Vehicules:
      return {{{"IMMAT", 'C', 10, 0},
               {"VIN", 'C', 17, 0},
               {"MARQUE", 'C', 20, 0},
               {"MODELE", 'C', 30, 0},
               {"DATEMEC", 'D', 8, 0},
               {"KM", 'N', 7, 0},
               {"NUMCLI", 'N', 8, 0},
               {"PRIXVENTE", 'N', 12, 2},
               {"ENERGIE", 'C', 12, 0}},
              {{"IMMAT", "IMMAT"}, {"NUMCLI", "NUMCLI"}, {"DATEMEC", "DATEMEC"}, {"MARQUE", "UPPER(MARQUE)"}}};
    case Kind::LibVehic:
      return {{{"CODE", 'C', 6, 0}, {"LIBELLE", 'C', 40, 0}}, {{"CODE", "CODE"}, {"LIBELLE", "UPPER(LIBELLE)"}}};
    case Kind::CodePostal:
      return {{{"CP", 'C', 5, 0}, {"VILLE", 'C', 30, 0}, {"DEPT", 'C', 3, 0}},
              {{"CP", "CP"}, {"VILLE", "UPPER(VILLE)"}}};
    case Kind::RdvTech:
      return {{{"NUMRDV", 'N', 8, 0},
               {"DATERDV", 'D', 8, 0},
               {"HEURE", 'C', 5, 0},
               {"IMMAT", 'C', 10, 0},
               {"NUMCLI", 'N', 8, 0},
               {"OBJET", 'C', 40, 0},
               {"DUREE", 'N', 5, 2},
               {"FAIT", 'L', 1, 0}},
              {{"NUMRDV", "NUMRDV"}, {"DATEHEURE", "DTOS(DATERDV)+HEURE"}, {"IMMAT", "IMMAT"}}};
    case Kind::DosLoc:
      return {{{"NUMDOS", 'N', 8, 0},
               {"NUMCLI", 'N', 8, 0},
               {"IMMAT", 'C', 10, 0},
               {"DATEDEB", 'D', 8, 0},
               {"DATEFIN", 'D', 8, 0},
               {"MONTANT", 'N', 12, 2},
               {"CAUTION", 'N', 10, 2}},
              {{"NUMDOS", "NUMDOS"}, {"NUMCLI", "NUMCLI"}, {"DATEDEB", "DATEDEB"}}};
    case Kind::Fact:
    case Kind::ArchiveFact: {
      Schema s{{{"NUMFACT", 'N', 8, 0},
                {"DATEFACT", 'D', 8, 0},
                {"NUMCLI", 'N', 8, 0},
                {"NOM", 'C', 30, 0},
                {"IMMAT", 'C', 10, 0},
                {"TOTALHT", 'N', 12, 2},
                {"TOTALTVA", 'N', 12, 2},
                {"TOTALTTC", 'N', 12, 2},
                {"REGLE", 'L', 1, 0},
                {"MODEREG", 'C', 10, 0}},
               {{"NUMFACT", "NUMFACT"},
                {"DATEFACT", "DATEFACT"},
                {"CLIENT", "STR(NUMCLI,8)+DTOS(DATEFACT)"},
                {"NOM", "UPPER(NOM)"}}};
      if (kind == Kind::ArchiveFact) s.fields.push_back({"DATEARCH", 'D', 8, 0});
      return s;
    }
    case Kind::DetFact:
      return {{{"NUMFACT", 'N', 8, 0},
               {"NUMLIGNE", 'N', 3, 0},
               {"CODE", 'C', 10, 0},
               {"LIBELLE", 'C', 40, 0},
               {"QTE", 'N', 8, 2},
               {"PRIXUNIT", 'N', 12, 2},
               {"REMISE", 'N', 5, 2},
               {"TAUXTVA", 'N', 5, 2}},
              {{"NUMFACT", "STR(NUMFACT,8)+STR(NUMLIGNE,3)"}, {"CODE", "CODE"}}};
  }
  throw std::runtime_error("unknown table kind");
}

// Field values of one record, as text in Windows-1252, before padding.
struct Row {
  std::vector<std::string> values;
};

std::string date(int y, int m, int d) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
  return text;
}

std::string randomDate(Random& r, int year) { return date(year, r.between(1, 12), r.between(1, 28)); }

std::string money(double value, int decimals = 2) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string immat(Random& r) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%c-%03d-%c%c", 'A' + r.below(26), 'A' + r.below(26), r.between(1, 999),
                'A' + r.below(26), 'A' + r.below(26));
  return text;
}

std::string phone(Random& r) {
  char text[20];
  std::snprintf(text, sizeof text, "0%d %02d %02d %02d %02d", r.between(1, 7), r.between(0, 99), r.between(0, 99),
                r.between(0, 99), r.between(0, 99));
  return text;
}

Row makeRow(Kind kind, Random& r, uint32_t n, int year) {
  const City& city = r.pick(kVilles);
  const Model& model = r.pick(kModeles);
  std::string nom = cp1252(r.pick(kNoms));
  std::string prenom = cp1252(r.pick(kPrenoms));
  switch (kind) {
    case Kind::CatalogueNeuf:
    case Kind::CatalogueOccasion: {
      bool occasion = kind == Kind::CatalogueOccasion;
      char code[16];
      std::snprintf(code, sizeof code, "%s%06u", occasion ? "VO" : "VN", n);
      double prix = model.prix * (occasion ? (40 + r.below(50)) / 100.0 : 1.0) / 1.2;
      static const char* const finitions[] = {"Life",     "Zen",  "Intens", "Allure", "GT Line",
                                              "Business", "Feel", "Shine",  "Techno", "Évolution"};
      return {{code, cp1252(model.marque), cp1252(model.modele), cp1252(r.pick(finitions)), money(prix), "20.00",
               std::to_string(occasion ? r.between(5000, 180000) : 0), randomDate(r, year),
               std::to_string(r.between(0, 12)), r.below(4) ? "T" : "F"}};
    }
    case Kind::Client: {
      static const char* const civ[] = {"M.", "Mme", "Mlle", "SARL", "SAS"};
      char adresse[64];
      std::snprintf(adresse, sizeof adresse, "%d %s", r.between(1, 180), cp1252(r.pick(kRues)).c_str());
      // Every hundredth customer shares the number of the one before (a data-entry
      // slip real files have): unique tags must keep only the first.
      uint32_t number = 10000 + n - (n % 100 == 0 && n > 1 ? 1 : 0);
      return {{std::to_string(number), civ[r.below(5)], nom, prenom, adresse, city.cp, cp1252(city.name), phone(r),
               randomDate(r, r.between(1998, year)), money((static_cast<int>(r.below(2000000)) - 200000) / 100.0)}};
    }
    case Kind::Potentiel:
      return {{std::to_string(50000 + n), nom, prenom, city.cp, cp1252(city.name), phone(r),
               r.below(20) ? randomDate(r, year) : std::string(), cp1252(r.pick(kInterets)),
               std::to_string(r.between(8, 70) * 1000)}};
    case Kind::Vehicules: {
      char vin[20];
      std::snprintf(vin, sizeof vin, "VF%c%014llu", 'A' + r.below(26),
                    static_cast<unsigned long long>(r.next() % 100000000000000ull));
      static const char* const energies[] = {"Essence", "Diesel", "Hybride", "Électrique", "GPL"};
      return {{immat(r), vin, cp1252(model.marque), cp1252(model.modele), randomDate(r, r.between(2005, year)),
               std::to_string(r.between(0, 250000)), std::to_string(10000 + r.below(5000)),
               money(model.prix * (30 + r.below(70)) / 100.0), cp1252(r.pick(energies))}};
    }
    case Kind::LibVehic: {
      const auto& lib = kLibVehic[(n - 1) % (sizeof kLibVehic / sizeof kLibVehic[0])];
      std::string code = lib[0];
      if (n > sizeof kLibVehic / sizeof kLibVehic[0]) code += std::to_string(n);
      return {{code, cp1252(lib[1])}};
    }
    case Kind::CodePostal: return {{city.cp, cp1252(city.name), std::string(city.cp, city.cp[0] == '9' ? 3 : 2)}};
    case Kind::RdvTech: {
      char heure[32];
      std::snprintf(heure, sizeof heure, "%02d:%02d", r.between(8, 17), 15 * r.between(0, 3));
      return {{std::to_string(n), randomDate(r, year), heure, immat(r), std::to_string(10000 + r.below(5000)),
               cp1252(r.pick(kObjets)), money(r.between(1, 16) * 0.5), r.below(3) ? "T" : "F"}};
    }
    case Kind::DosLoc: {
      int month = r.between(1, 11);
      return {{std::to_string(n), std::to_string(10000 + r.below(5000)), immat(r), date(year, month, r.between(1, 28)),
               date(year, month + 1, r.between(1, 28)), money(r.between(150, 4000) + r.below(100) / 100.0),
               money(r.between(3, 15) * 100.0)}};
    }
    case Kind::Fact:
    case Kind::ArchiveFact: {
      double ht = r.between(80, 45000) + r.below(100) / 100.0;
      double tva = static_cast<int64_t>(ht * 20.0 + 0.5) / 100.0;
      static const char* const modes[] = {"CB", "Chèque", "Virement", "Espèces", "Crédit"};
      Row row{{std::to_string(year * 10000 + static_cast<int>(n)), randomDate(r, year),
               std::to_string(10000 + r.below(5000)), nom, immat(r), money(ht), money(tva), money(ht + tva),
               r.below(5) ? "T" : "F", cp1252(r.pick(modes))}};
      if (kind == Kind::ArchiveFact) row.values.push_back(randomDate(r, year));
      return row;
    }
    case Kind::DetFact: {
      uint32_t invoice = (n - 1) / 4 + 1;
      uint32_t line = (n - 1) % 4 + 1;
      char code[16];
      std::snprintf(code, sizeof code, "ART%05u", r.below(3000));
      return {{std::to_string(year * 10000 + static_cast<int>(invoice)), std::to_string(line), code,
               cp1252(r.pick(kLibelles)), money(r.between(1, 8) * (r.below(4) ? 1.0 : 0.5)),
               money(r.between(5, 30000) + r.below(100) / 100.0), money(r.below(4) ? 0 : r.between(1, 15)), "20.00"}};
    }
  }
  return {};
}

// The table's fields; those with a tag of their own in a production index are marked.
std::vector<dbfwriter::Field> columnsOf(const Schema& schema, bool production, const std::vector<FixtureTag>& tags) {
  std::vector<dbfwriter::Field> columns;
  for (const FieldDef& f : schema.fields) {
    const bool tagged = production && std::any_of(tags.begin(), tags.end(), [&](const FixtureTag& t) {
                          return t.key == f.name && t.forCondition.empty();
                        });
    columns.push_back({std::string(f.name).substr(0, 10), f.type, f.length, f.decimals, tagged});
  }
  return columns;
}

std::vector<uint8_t> tableHeaderBytes(const std::vector<dbfwriter::Field>& columns, uint32_t records, bool production) {
  dbfwriter::Header h;
  h.updated[1] = 1;  // last update 2024-01-15: fixed, so that the files do not depend on the day
  h.updated[2] = 15;
  h.records = records;
  h.production = production;
  h.languageId = 0x57;  // ANSI (Windows-1252), binary order
  return dbfwriter::headerBytes(h, columns);
}

// Writes the whole table file. Records whose number is a multiple of the deletion step
// (and a few random ones) are marked deleted.
void writeDbf(const std::string& path, const Schema& schema, const TableOptions& o, uint32_t records, uint64_t seed,
              bool production, const std::vector<FixtureTag>& tags) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + path);
  const std::vector<dbfwriter::Field> columns = columnsOf(schema, production, tags);
  std::vector<uint8_t> header = tableHeaderBytes(columns, records, production);
  out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  const uint32_t recordLength = dbfwriter::recordLength(columns);
  Random r(seed);
  std::vector<uint8_t> buffer;
  buffer.reserve(size_t{recordLength} * 4096);
  for (uint32_t n = 1; n <= records; ++n) {
    Row row = makeRow(o.kind, r, n, o.year);
    const bool deleted = r.below(1000) < o.deletedPerThousand;
    dbfwriter::appendRecord(buffer, columns, row.values, deleted);
    if (buffer.size() >= size_t{recordLength} * 4096) {
      out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  buffer.push_back(dbfwriter::kEndOfFile);
  out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

class FileSource : public idapi::core::ByteSource {
 public:
  explicit FileSource(const std::string& path) : in_(path, std::ios::binary), path_(path) {
    if (!in_) throw std::runtime_error("cannot open " + path);
    in_.seekg(0, std::ios::end);
    size_ = static_cast<uint64_t>(in_.tellg());
  }
  uint64_t size() const override { return size_; }
  void readAt(uint64_t offset, void* buffer, size_t length) const override {
    if (offset > size_ || length > size_ - offset)
      throw idapi::core::Failure(DBIERR_READERR, "read beyond the end of " + path_);
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(length));
    if (!in_) throw idapi::core::Failure(DBIERR_READERR, "cannot read " + path_);
  }

 private:
  mutable std::ifstream in_;
  std::string path_;
  uint64_t size_ = 0;
};

class FileSink : public idapi::core::ByteSink {
 public:
  explicit FileSink(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc), path_(path) {
    if (!out_) throw std::runtime_error("cannot create " + path);
  }
  void write(const void* data, size_t length) override {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
    if (!out_) throw idapi::core::Failure(DBIERR_WRITEERR, "cannot write " + path_);
  }
  void close() {
    out_.close();
    if (!out_) throw std::runtime_error("cannot write " + path_);
  }

 private:
  std::ofstream out_;
  std::string path_;
};

std::string mdxPathOf(const std::string& dbfPath) {
  fs::path p(dbfPath);
  return (p.parent_path() / (p.stem().string() + ".MDX")).string();
}

// Builds the index of the table file now at `dbfPath` into `mdxPath`.
void buildIndex(const std::string& dbfPath, const std::string& mdxPath, const std::vector<FixtureTag>& tags) {
  FileSource dbf(dbfPath);
  std::string name = fs::path(dbfPath).filename().string();
  idapi::core::TableHeader table = idapi::core::readTableHeader(dbf, name);
  idapi::core::IndexHeader index;
  std::string base = text::upperAscii(fs::path(dbfPath).stem().string());
  index.tableName = base.substr(0, 15);
  index.blockPages = 2;
  index.production = true;
  index.languageId = table.languageId;
  for (const FixtureTag& t : tags)
    index.tags.push_back(idapi::core::defineTag(table, t.name, t.key, t.forCondition, t.unique, t.descending));
  idapi::core::RebuildOptions options;
  options.year = 2024;  // fixed header date: the same options give the same bytes
  options.month = 1;
  options.day = 15;
  FileSink out(mdxPath);
  idapi::core::rebuildIndex(table, dbf, index, fs::path(mdxPath).filename().string(), out, options);
  out.close();
}

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("index file too short");
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

std::vector<std::string> kindNames() {
  return {"catalogue-neuf", "catalogue-occasion", "client", "potentiel", "vehicules", "libvehic",
          "cdepostal",      "rdvoustech",         "dosloc", "fact",      "detfact",   "archivefact"};
}

bool kindFromName(const std::string& name, Kind& kind) {
  auto names = kindNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) {
      kind = static_cast<Kind>(i);
      return true;
    }
  return false;
}

bool indexStateFromName(const std::string& name, IndexState& state) {
  if (name == "fresh")
    state = IndexState::Fresh;
  else if (name == "stale")
    state = IndexState::Stale;
  else if (name == "damaged")
    state = IndexState::Damaged;
  else if (name == "none")
    state = IndexState::None;
  else
    return false;
  return true;
}

std::vector<FixtureTag> tagsFor(const TableOptions& o) {
  Schema schema = schemaOf(o.kind);
  std::vector<FixtureTag> tags;
  if (o.tagSet == "standard" || o.tagSet == "full") tags = schema.standardTags;
  if (o.tagSet == "full") {
    // One of each kind of tag, from the first fields of each type.
    const FieldDef* ch = nullptr;
    const FieldDef* num = nullptr;
    const FieldDef* dt = nullptr;
    for (const auto& f : schema.fields) {
      if (f.type == 'C' && !ch) ch = &f;
      if (f.type == 'N' && !num) num = &f;
      if (f.type == 'D' && !dt) dt = &f;
    }
    if (num) tags.push_back({"U_" + std::string(num->name).substr(0, 8), num->name, "", true, false});
    if (dt) tags.push_back({"D_" + std::string(dt->name).substr(0, 8), dt->name, "", false, true});
    if (ch)
      tags.push_back({"F_" + std::string(ch->name).substr(0, 8), std::string("UPPER(") + ch->name + ")",
                      ".NOT. DELETED()", false, false});
    if (ch && dt)
      tags.push_back({"C_" + std::string(ch->name).substr(0, 8), std::string(ch->name) + "+DTOS(" + dt->name + ")", "",
                      false, false});
    if (num) tags.push_back({"N_DESC", num->name, "", false, true});
  } else if (o.tagSet != "standard" && o.tagSet != "none") {
    throw std::runtime_error("unknown tag set: " + o.tagSet + " (standard, full or none)");
  }
  for (const auto& t : o.extraTags) tags.push_back(t);
  return tags;
}

void writeTable(const std::string& dbfPath, const TableOptions& o) {
  Schema schema = schemaOf(o.kind);
  std::vector<FixtureTag> tags = tagsFor(o);
  bool withIndex = o.index != IndexState::None && !tags.empty();
  std::string mdxPath = mdxPathOf(dbfPath);
  std::error_code ignored;
  fs::remove(mdxPath, ignored);
  if (withIndex && o.index == IndexState::Stale) {
    // The index of an older state of the table: other values, fewer records.
    uint32_t older = o.records > 10 ? o.records - o.records / 10 : (o.records > 0 ? o.records - 1 : 0);
    writeDbf(dbfPath, schema, o, older, o.seed ^ 0x5A5A5A5Aull, true, tags);
    buildIndex(dbfPath, mdxPath, tags);
  }
  writeDbf(dbfPath, schema, o, o.records, o.seed, withIndex, tags);
  if (!withIndex) return;
  if (o.index != IndexState::Stale) buildIndex(dbfPath, mdxPath, tags);
  if (o.index == IndexState::Damaged) damageIndex(mdxPath, o.seed);
}

void damageIndex(const std::string& mdxPath, uint64_t seed) {
  std::vector<uint8_t> bytes;
  {
    std::ifstream in(mdxPath, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + mdxPath);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  using namespace idapi::core::mdx;
  if (bytes.size() < kHeaderPages * kPage) throw std::runtime_error("not an index file: " + mdxPath);
  uint32_t blockPages = bytes[kHdrBlockPages] | (bytes[kHdrBlockPages + 1] << 8);
  uint32_t tagCount = bytes[kHdrTagsInUse] | (bytes[kHdrTagsInUse + 1] << 8);
  if (blockPages == 0 || tagCount > kMaxTags) throw std::runtime_error("not an index file: " + mdxPath);
  std::vector<uint32_t> headerPages;
  for (uint32_t i = 0; i < tagCount; ++i)
    headerPages.push_back(u32At(bytes, kSlotsOffset + kSlotSize * i + kSlotHeaderPage));
  Random r(seed ^ 0xDA7A6E5ull);
  size_t blockBytes = size_t{blockPages} * kPage;
  for (size_t page = kHeaderPages; page * kPage < bytes.size(); page += blockPages) {
    if (std::find(headerPages.begin(), headerPages.end(), page) != headerPages.end()) continue;
    size_t end = std::min(bytes.size(), page * kPage + blockBytes);
    for (size_t i = page * kPage; i < end; ++i) bytes[i] = static_cast<uint8_t>(r.next());
  }
  std::ofstream out(mdxPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + mdxPath);
}

std::vector<std::string> treeTables(const std::vector<int>& years) {
  // The launcher's own list, so that a generated tree holds exactly the tables its run opens.
  std::vector<std::string> paths(policy::kTablesFixes.begin(), policy::kTablesFixes.end());
  for (int year : years)
    for (const char* name : policy::kTablesAnnuelles)
      paths.push_back("DATA\\factures\\" + std::to_string(year) + "\\" + name);
  return paths;
}

Kind kindOfTreeTable(const std::string& relativePath) {
  const std::string p = text::upperAscii(relativePath);
  auto ends = [&](const std::string& tail) {
    return p.size() >= tail.size() && p.compare(p.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends("NEUF\\CATALOGUE.DBF")) return Kind::CatalogueNeuf;
  if (ends("OCCASION\\CATALOGUE.DBF")) return Kind::CatalogueOccasion;
  if (ends("\\CLIENT.DBF")) return Kind::Client;
  if (ends("\\POTENTIEL.DBF")) return Kind::Potentiel;
  if (ends("\\VEHICULES.DBF")) return Kind::Vehicules;
  if (ends("\\LIBVEHIC.DBF")) return Kind::LibVehic;
  if (ends("\\CDEPOSTAL.DBF")) return Kind::CodePostal;
  if (ends("\\RDVOUSTECH.DBF")) return Kind::RdvTech;
  if (ends("\\DOSLOC.DBF")) return Kind::DosLoc;
  if (ends("\\ARCHIVEFACT.DBF")) return Kind::ArchiveFact;
  if (ends("\\DETFACT.DBF")) return Kind::DetFact;
  if (ends("\\FACT.DBF")) return Kind::Fact;
  throw std::runtime_error("not a table of the tree: " + relativePath);
}

void writeTree(const std::string& root, const TreeOptions& o) {
  uint64_t salt = 0;
  for (const std::string& relative : treeTables(o.years)) {
    std::string path = relative;
    std::replace(path.begin(), path.end(), '\\', '/');
    fs::path full = fs::path(root) / path;
    fs::create_directories(full.parent_path());
    TableOptions t;
    t.kind = kindOfTreeTable(relative);
    t.records = o.records;
    t.seed = o.seed + 1000 * ++salt;
    t.tagSet = o.tagSet;
    t.index = o.index;
    // Invoices of a yearly folder are dated in that year; the others in 2024.
    std::string folder = full.parent_path().filename().string();
    if (!folder.empty() && std::all_of(folder.begin(), folder.end(), ::isdigit)) t.year = std::stoi(folder);
    writeTable(full.string(), t);
  }
}

}  // namespace fixtures
