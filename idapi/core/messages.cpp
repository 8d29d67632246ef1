#include "idapi/core/messages.h"

#include <atomic>
#include <cstdio>
#include <string_view>
#include <unordered_map>

namespace idapi::core {
namespace {

std::atomic<Language> current{Language::English};

struct CodeText {
  DBIResult code;
  const char* english;
  const char* french;
};

// UTF-8 source texts; converted by native() where the platform needs it.
const CodeText kCodeTexts[] = {
    {DBIERR_CANTFINDIDAPI, "Cannot find the engine library", "Impossible de trouver la bibliothèque du moteur"},
    {DBIERR_CANTLOADIDAPI, "Cannot load the engine library", "Impossible de charger la bibliothèque du moteur"},
    {DBIERR_CANTLOADLIBRARY, "Cannot load a service library", "Impossible de charger une bibliothèque de service"},
    {DBIERR_OBJNOTFOUND, "Object not found", "Objet introuvable"},
    {DBIERR_BLOBFILEMISSING, "The memo file is missing", "Le fichier mémo est absent"},
    {DBIERR_LDNOTFOUND, "Language driver not found", "Pilote de langue introuvable"},
    {DBIERR_HEADERCORRUPT, "The table header is corrupt", "L'en-tête de la table est endommagé"},
    {DBIERR_FILECORRUPT, "The file is corrupt", "Le fichier est endommagé"},
    {DBIERR_MEMOCORRUPT, "The memo file is corrupt", "Le fichier mémo est endommagé"},
    {DBIERR_INDEXCORRUPT, "The index is corrupt", "L'index est endommagé"},
    {DBIERR_FOREIGNINDEX, "The index is in an unknown format", "L'index est dans un format inconnu"},
    {DBIERR_READERR, "Read failure", "Erreur de lecture"},
    {DBIERR_WRITEERR, "Write failure", "Erreur d'écriture"},
    {DBIERR_DIRNOACCESS, "No access to the directory", "Accès au répertoire refusé"},
    {DBIERR_FILENOACCESS, "No access to the file", "Accès au fichier refusé"},
    {DBIERR_NOMEMORY, "Not enough memory for this operation", "Mémoire insuffisante pour cette opération"},
    {DBIERR_NOFILEHANDLES, "Too many open files", "Trop de fichiers ouverts"},
    {DBIERR_NODISKSPACE, "The disk is full", "Le disque est plein"},
    {DBIERR_INVALIDPARAM, "Invalid parameter", "Paramètre incorrect"},
    {DBIERR_INVALIDFILENAME, "Invalid file name", "Nom de fichier incorrect"},
    {DBIERR_NOSUCHFILE, "The file does not exist", "Le fichier n'existe pas"},
    {DBIERR_INVALIDHNDL, "Invalid handle", "Handle incorrect"},
    {DBIERR_UNKNOWNTBLTYPE, "Unknown table type", "Type de table inconnu"},
    {DBIERR_UNKNOWNFILE, "Unknown file type", "Type de fichier inconnu"},
    {DBIERR_NOSUCHINDEX, "The index does not exist", "L'index n'existe pas"},
    {DBIERR_INVALIDDIR, "Invalid directory", "Répertoire incorrect"},
    {DBIERR_INVALIDINDEXNAME, "Invalid index name", "Nom d'index incorrect"},
    {DBIERR_NOSUCHTABLE, "The table does not exist", "La table n'existe pas"},
    {DBIERR_USECOUNT, "The table has too many users", "La table a trop d'utilisateurs"},
    {DBIERR_INDEXOPEN, "The index is already open", "L'index est déjà ouvert"},
    {DBIERR_TABLEOPEN, "The table is open", "La table est ouverte"},
    {DBIERR_LOCKED, "Locked by another user", "Verrouillé par un autre utilisateur"},
    {DBIERR_FILEBUSY, "The table was changed by another program", "La table a été modifiée par un autre programme"},
    {DBIERR_DIRBUSY, "The directory is busy", "Le répertoire est occupé"},
    {DBIERR_FILELOCKED, "The file is in use by another program", "Le fichier est utilisé par un autre programme"},
    {DBIERR_LOCKTIMEOUT, "Lock wait timed out", "Délai d'attente du verrou dépassé"},
    {DBIERR_NEEDEXCLACCESS, "This operation needs exclusive access", "Cette opération nécessite un accès exclusif"},
    {DBIERR_NOTSUFFTABLERIGHTS, "Insufficient table rights", "Droits insuffisants sur la table"},
    {DBIERR_READONLYDIR, "The directory is read-only", "Le répertoire est en lecture seule"},
    {DBIERR_NA, "Not applicable", "Opération non applicable"},
    {DBIERR_NOTINDEXED, "The table is not indexed", "La table n'est pas indexée"},
    {DBIERR_NOTINITIALIZED, "The engine is not initialized", "Le moteur n'est pas initialisé"},
    {DBIERR_MULTIPLEINIT, "The engine is already initialized", "Le moteur est déjà initialisé"},
    {DBIERR_DRIVERNOTLOADED, "The driver is not loaded", "Le pilote n'est pas chargé"},
    {DBIERR_TABLEREADONLY, "The table is read-only", "La table est en lecture seule"},
    {DBIERR_INDEXREADONLY, "The index is read-only", "L'index est en lecture seule"},
    {DBIERR_OSENOENT, "Operating system: no such file", "Système : fichier introuvable"},
    {DBIERR_OSENOPATH, "Operating system: path not found", "Système : chemin introuvable"},
    {DBIERR_OSEACCES, "Operating system: permission denied", "Système : accès refusé"},
    {DBIERR_OSSHAREVIOL, "Operating system: sharing violation", "Système : violation de partage"},
    {DBIERR_OSLOCKVIOL, "Operating system: the file cannot be locked",
     "Système : le fichier ne peut pas être verrouillé"},
    {DBIERR_INTERFACEVER, "Interface version mismatch", "Version d'interface incompatible"},
    {DBIERR_INDEXOUTOFDATE, "The index is out of date", "L'index n'est pas à jour"},
    {DBIERR_TABLELEVEL, "A higher table level is required", "Un niveau de table supérieur est requis"},
    {DBIERR_NOTSUPPORTED, "Capability not supported", "Fonction non prise en charge"},
};

// Detail texts, by their English wording. %1... are the values filled in.
const Translation kDetails[] = {
    // Entries of the error stack naming the file concerned.
    {"Table:", "Table :"},
    {"Index:", "Index :"},
    {"Alias:", "Alias :"},
    {"Driver:", "Pilote :"},
    {"Cannot read", "Lecture impossible :"},
    {"Cannot create", "Création impossible :"},
    {"Cannot write", "Écriture impossible :"},
    {"Cannot replace", "Remplacement impossible :"},
    {"Cannot lock", "Verrouillage impossible :"},
    {"Not a regular file:", "Pas un fichier ordinaire :"},
    {"Table changed during the rebuild:", "Table modifiée pendant la reconstruction :"},
    {"Index with several names (hard links):", "Index à plusieurs noms (liens physiques) :"},
    {"Engine error $%1", "Erreur du moteur $%1"},

    // Table headers.
    {"%1: corrupt table header (%2)", "%1 : en-tête de table endommagé (%2)"},
    {"%1: the table is encrypted", "%1 : la table est chiffrée"},
    {"file shorter than a header", "fichier plus court qu'un en-tête"},
    {"unsupported version byte 0x%1", "octet de version 0x%1 non pris en charge"},
    {"header length too small", "longueur d'en-tête trop petite"},
    {"header length beyond the end of the file", "longueur d'en-tête au-delà de la fin du fichier"},
    {"record length too small", "longueur d'enregistrement trop petite"},
    {"field %1 follows an empty descriptor", "le champ %1 suit un descripteur vide"},
    {"field %1 has no valid name", "le champ %1 n'a pas de nom valable"},
    {"no terminator after the field descriptors", "pas de marque de fin après les descripteurs de champs"},
    {"no fields", "aucun champ"},
    {"record length %1 differs from the fields' total %2",
     "la longueur d'enregistrement %1 diffère du total des champs %2"},
    {"%1 records do not fit in the file", "%1 enregistrements ne tiennent pas dans le fichier"},
    {"character field %1 has length %2", "le champ caractère %1 a la longueur %2"},
    {"numeric field %1 has length %2", "le champ numérique %1 a la longueur %2"},
    {"numeric field %1 has %2 decimals", "le champ numérique %1 a %2 décimales"},
    {"date field %1 has length %2", "le champ date %1 a la longueur %2"},
    {"logical field %1 has length %2", "le champ logique %1 a la longueur %2"},
    {"memo field %1 has length %2", "le champ mémo %1 a la longueur %2"},
    {"long field %1 has length %2", "le champ entier long %1 a la longueur %2"},
    {"field %1 has length %2", "le champ %1 a la longueur %2"},
    {"field %1 has a type that needs a level 7 table", "le champ %1 a un type qui demande une table de niveau 7"},
    {"field %1 has unknown type", "le champ %1 est d'un type inconnu"},

    // Index headers.
    {"%1: corrupt index header (%2)", "%1 : en-tête d'index endommagé (%2)"},
    {"file shorter than its header", "fichier plus court que son en-tête"},
    {"unknown version %1", "version %1 inconnue"},
    {"table name is not text", "le nom de table n'est pas du texte"},
    {"block size of %1 pages", "taille de bloc de %1 pages"},
    {"block size in bytes does not match", "la taille de bloc en octets ne correspond pas"},
    {"tag slots of %1 bytes", "emplacements d'étiquettes de %1 octets"},
    {"%1 tags", "%1 étiquettes"},
    {"tag %1 has no valid name", "l'étiquette %1 n'a pas de nom valable"},
    {"tag name %1 appears twice", "le nom d'étiquette %1 figure deux fois"},
    {"tag %1 header lies outside the file", "l'en-tête de l'étiquette %1 est hors du fichier"},
    {"two tags share one header block", "deux étiquettes partagent un même bloc d'en-tête"},
    {"tag %1 has key length %2", "l'étiquette %1 a une longueur de clé de %2"},
    {"tag %1 has a bad numeric key length", "l'étiquette %1 a une longueur de clé numérique fausse"},
    {"tag %1 has a bad date key length", "l'étiquette %1 a une longueur de clé date fausse"},
    {"tag %1 has an unknown key type", "l'étiquette %1 a un type de clé inconnu"},
    {"tag %1 has a FOR condition, which a block of %2 bytes cannot hold",
     "l'étiquette %1 a une condition FOR, qu'un bloc de %2 octets ne peut contenir"},
    {"tag %1 has no readable key expression", "l'étiquette %1 n'a pas d'expression de clé lisible"},
    {"tag %1 has no readable FOR condition", "l'étiquette %1 n'a pas de condition FOR lisible"},

    // Building an index.
    {"%1: too many tags", "%1 : trop d'étiquettes"},
    {"%1: unsupported block size", "%1 : taille de bloc non prise en charge"},
    {"%1: invalid tag name \"%2\"", "%1 : nom d'étiquette « %2 » incorrect"},
    {"%1: tag %2 has a FOR condition, which a block of %3 bytes cannot hold",
     "%1 : l'étiquette %2 a une condition FOR, qu'un bloc de %3 octets ne peut contenir"},
    {"%1: tag %2 has keys too long for a block", "%1 : l'étiquette %2 a des clés trop longues pour un bloc"},
    {"%1: the index would be too large", "%1 : l'index serait trop grand"},
    {"%1: internal error while laying out the index", "%1 : erreur interne lors de la mise en place de l'index"},
    {"%1: tag %2: the order of character keys under the table's %3 is not known, so the tag cannot be rebuilt",
     "%1 : étiquette %2 : ordre des clés caractère inconnu sous le %3 de la table ; reconstruction impossible"},
    {"language driver %1", "pilote de langue %1"},
    {"language driver %1 (%2)", "pilote de langue %1 (%2)"},

    // Key expressions and FOR conditions of a tag: "<file>: tag <name>, expression "..." <what>".
    {"%1: tag %2, expression \"%3\" %4", "%1 : étiquette %2, l'expression « %3 » %4"},
    {"is too long", "est trop longue"},
    {"cannot be evaluated: %1", "ne peut être évaluée : %1"},
    {"is not a condition", "n'est pas une condition"},
    {"fails on record %1: %2", "échoue sur l'enregistrement %1 : %2"},
    {"does not give the tag's character key", "ne donne pas la clé caractère de l'étiquette"},
    {"does not give the tag's numeric key", "ne donne pas la clé numérique de l'étiquette"},
    {"does not give the tag's date key", "ne donne pas la clé date de l'étiquette"},
    {"has an empty key", "donne une clé vide"},
    {"has keys of %1 bytes, longer than the %2 bytes a character key may have",
     "a des clés de %1 octets, plus longues que les %2 octets permis à une clé caractère"},
    {"has a key type that cannot be indexed", "a un type de clé qui ne peut pas être indexé"},

    // Why an expression cannot be evaluated.
    {"character", "caractère"},
    {"numeric", "numérique"},
    {"logical", "logique"},
    {"division by zero", "division par zéro"},
    {"numeric overflow", "dépassement de capacité numérique"},
    {"its deletion flag is 0x%1, neither blank nor '*', which programs read differently",
     "son indicateur de suppression est 0x%1, ni blanc ni « * », que les programmes lisent différemment"},
    {"gives %1, which has more significant digits than the %2 a numeric key holds",
     "donne %1, qui a plus de chiffres significatifs que les %2 d'une clé numérique"},
    {"the case of a letter under the table's %1 is not known",
     "la casse d'une lettre sous le %1 de la table n'est pas connue"},
    {"CHR() needs a code from 0 to 255", "CHR() demande un code de 0 à 255"},
    {"MOD() by zero", "MOD() par zéro"},
    {"the decimals of ROUND() must be -15 to 15", "les décimales de ROUND() doivent être de -15 à 15"},
    {"SOUNDEX() of a letter outside ASCII is not known", "SOUNDEX() d'une lettre hors ASCII n'est pas connu"},
    {"unknown operator .%1.", "opérateur .%1. inconnu"},
    {"unexpected '.' at position %1", "« . » inattendu à la position %1"},
    {"unterminated text literal", "texte littéral non terminé"},
    {"unexpected character '%1' at position %2", "caractère « %1 » inattendu à la position %2"},
    {"empty expression", "expression vide"},
    {"unexpected '%1' at position %2", "« %1 » inattendu à la position %2"},
    {"expression nested too deeply", "expression trop profondément imbriquée"},
    {"%1 needs a %2 value, not %3", "%1 demande une valeur %2, pas %3"},
    {"expected %1 at position %2", "%1 attendu à la position %2"},
    {"cannot compare a %1 value with a %2 value", "impossible de comparer une valeur %1 à une valeur %2"},
    {"logical values can only be tested for equality", "les valeurs logiques ne se comparent que pour l'égalité"},
    {"cannot subtract a %1 value from a %2 value", "impossible de soustraire une valeur %1 d'une valeur %2"},
    {"cannot add a %1 value to a %2 value", "impossible d'ajouter une valeur %1 à une valeur %2"},
    {"expected a field name after '->'", "nom de champ attendu après « -> »"},
    {"%1->%2 is a field of another table (alias %1), which this index cannot follow",
     "%1->%2 est un champ d'une autre table (alias %1), que cet index ne peut suivre"},
    {"unexpected end of expression", "fin d'expression inattendue"},
    {"field %1 cannot be used in an expression", "le champ %1 ne peut servir dans une expression"},
    {"unknown field %1", "champ %1 inconnu"},
    {"too many arguments", "trop d'arguments"},
    {"ambiguous function name %1", "nom de fonction %1 ambigu"},
    {"unknown function %1", "fonction %1 inconnue"},
    {"%1 must be a constant number", "%1 doit être un nombre constant"},
    {"%1 is out of range", "%1 est hors limites"},
    {"DTOC() writes the date by the date setting, which the index does not record",
     "DTOC() écrit la date selon le réglage des dates, que l'index n'enregistre pas"},
    {"CTOD() reads the date by the date setting, which the index does not record",
     "CTOD() lit la date selon le réglage des dates, que l'index n'enregistre pas"},
    {"%1() depends on the day of the rebuild", "%1() dépend du jour de la reconstruction"},
    {"%1() depends on the language setting, which the index does not record",
     "%1() dépend du réglage de la langue, que l'index n'enregistre pas"},
    {"%1() takes %2 to %3 arguments", "%1() prend de %2 à %3 arguments"},
    {"%1() takes 1 argument", "%1() prend 1 argument"},
    {"%1() takes %2 arguments", "%1() prend %2 arguments"},
    {"the start of SUBSTR() must be at least 1", "le début de SUBSTR() doit valoir au moins 1"},
    {"the length of SUBSTR() must not be negative", "la longueur de SUBSTR() ne doit pas être négative"},
    {"the length of %1()", "la longueur de %1()"},
    {"the length of %1() must not be negative", "la longueur de %1() ne doit pas être négative"},
    {"the length of SPACE() must be 0 to 255", "la longueur de SPACE() doit être de 0 à 255"},
    {"the count of REPLICATE() must not be negative", "le nombre de REPLICATE() ne doit pas être négatif"},
    {"REPLICATE() gives a text longer than 255 bytes", "REPLICATE() donne un texte de plus de 255 octets"},
    {"the width of STR() must be 1 to 255", "la largeur de STR() doit être de 1 à 255"},
    {"the decimals of STR() must be 0 to 18", "les décimales de STR() doivent être de 0 à 18"},
    {"the two results of IIF() have different types", "les deux résultats de IIF() sont de types différents"},
    {"expression too long", "expression trop longue"},
    {"unary +", "+ unaire"},
    {"unary -", "- unaire"},
    {"the start of SUBSTR()", "le début de SUBSTR()"},
    {"the length of SUBSTR()", "la longueur de SUBSTR()"},
    {"the length of SPACE()", "la longueur de SPACE()"},
    {"the count of REPLICATE()", "le nombre de REPLICATE()"},
    {"the start of STUFF()", "le début de STUFF()"},
    {"the count of STUFF()", "le nombre de STUFF()"},
    {"the width of STR()", "la largeur de STR()"},
    {"the decimals of STR()", "les décimales de STR()"},
    {"the condition of IIF()", "la condition de IIF()"},
    {"')'", "« ) »"},
    {"'('", "« ( »"},
};

bool french() { return current.load() == Language::French; }

// Decodes one UTF-8 sequence at s[i]; returns the code point (or the byte itself when
// the sequence is not valid UTF-8) and advances i.
unsigned decode(const std::string& s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (extra == 0 || i + extra >= s.size()) {
    ++i;
    return c;
  }
  unsigned cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    unsigned char cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (cont & 0x3F);
  }
  i += extra + 1;
  return cp;
}

// Replaces %1 to %9 in `text` by the values.
std::string fill(const std::string& text, std::initializer_list<std::string> values) {
  std::string out;
  out.reserve(text.size() + 32);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t n = static_cast<size_t>(text[i + 1] - '1');
      if (n < values.size()) out += *(values.begin() + n);
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace

void setLanguage(Language language) { current.store(language); }
Language language() { return current.load(); }

std::string native(const std::string& utf8) {
#ifdef _WIN32
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned cp = decode(utf8, i);
    switch (cp) {
      case 0x2019: out += '\x92'; break;  // right single quotation mark
      case 0x0152: out += '\x8C'; break;  // OE
      case 0x0153: out += '\x9C'; break;  // oe
      case 0x20AC: out += '\x80'; break;  // euro sign
      default: out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    }
  }
  return out;
#else
  (void)decode;
  return utf8;
#endif
}

std::string tr(const char* english, std::initializer_list<std::string> values) {
  static const auto* table = [] {
    auto* map = new std::unordered_map<std::string_view, const char*>;
    for (const Translation& t : kDetails) map->emplace(t.english, t.french);
    return map;
  }();
  const char* text = english;
  if (french()) {
    auto found = table->find(english);
    if (found != table->end()) text = found->second;
  }
  return fill(native(text), values);
}

std::string codeText(DBIResult code) {
  for (const CodeText& entry : kCodeTexts)
    if (entry.code == code) return native(french() ? entry.french : entry.english);
  return {};
}

std::vector<Translation> translations() { return {std::begin(kDetails), std::end(kDetails)}; }

}  // namespace idapi::core
