#include "core/messages.h"

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
    {DBIERR_OSLOCKVIOL, "Operating system: the file cannot be locked", "Système : le fichier ne peut pas être verrouillé"},
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
