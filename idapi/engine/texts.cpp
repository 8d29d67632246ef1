#include "engine/texts.h"

#include <atomic>
#include <cstdio>

namespace idapi::engine::texts {
namespace {

std::atomic<Language> current{Language::English};

struct Entry {
  DBIResult code;
  const char* english;
  const char* french;
};

// UTF-8 source texts; converted by native() where the platform needs it.
const Entry kTexts[] = {
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

std::string fit(const std::string& text) {
  if (text.size() <= DBIMAXMSGLEN) return text;
  std::string cut = text.substr(0, DBIMAXMSGLEN);
  // Never leave half a UTF-8 sequence at the end.
  size_t end = cut.size();
  size_t start = end;
  while (start > 0 && (static_cast<unsigned char>(cut[start - 1]) & 0xC0) == 0x80) --start;
  if (start > 0) {
    unsigned char lead = static_cast<unsigned char>(cut[start - 1]);
    size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (need > 1 && end - (start - 1) < need) cut.resize(start - 1);
  }
  return cut;
}

std::string naming(const std::string& label, const std::string& path) {
  std::string text = label + " " + path;
  if (text.size() <= DBIMAXMSGLEN) return text;
  static const std::string dots = "...";
  size_t room = DBIMAXMSGLEN > label.size() + 1 + dots.size() ? DBIMAXMSGLEN - label.size() - 1 - dots.size() : 0;
  std::string tail = path.substr(path.size() - std::min(room, path.size()));
  // Start the tail on a character boundary (UTF-8 paths on the host).
  size_t skip = 0;
  while (skip < tail.size() && (static_cast<unsigned char>(tail[skip]) & 0xC0) == 0x80) ++skip;
  return fit(label + " " + dots + tail.substr(skip));
}

std::string tail(const std::string& path) {
  if (path.size() <= DBIMAXMSGLEN) return path;
  std::string end = path.substr(path.size() - (DBIMAXMSGLEN - 3));
  size_t skip = 0;
  while (skip < end.size() && (static_cast<unsigned char>(end[skip]) & 0xC0) == 0x80) ++skip;
  return "..." + end.substr(skip);
}

std::string forCode(DBIResult code) {
  if (code == DBIERR_NONE) return {};
  for (const Entry& entry : kTexts)
    if (entry.code == code) return fit(native(french() ? entry.french : entry.english));
  char text[64];
  std::snprintf(text, sizeof text, french() ? "Erreur du moteur $%04X" : "Engine error $%04X", code);
  return text;
}

std::string tableEntry(const std::string& path) { return naming(native(french() ? "Table :" : "Table:"), path); }
std::string indexEntry(const std::string& path) { return naming(native(french() ? "Index :" : "Index:"), path); }
std::string readError(const std::string& path) {
  return naming(native(french() ? "Lecture impossible :" : "Cannot read"), path);
}
std::string createError(const std::string& path) {
  return naming(native(french() ? "Création impossible :" : "Cannot create"), path);
}
std::string writeError(const std::string& path) {
  return naming(native(french() ? "Écriture impossible :" : "Cannot write"), path);
}
std::string replaceError(const std::string& path) {
  return naming(native(french() ? "Remplacement impossible :" : "Cannot replace"), path);
}
std::string lockError(const std::string& path) {
  return naming(native(french() ? "Verrouillage impossible :" : "Cannot lock"), path);
}
std::string notRegular(const std::string& path) {
  return naming(native(french() ? "Pas un fichier ordinaire :" : "Not a regular file:"), path);
}
std::string tableChanged(const std::string& path) {
  return naming(native(french() ? "Table modifiée pendant la reconstruction :" : "Table changed during the rebuild:"),
                path);
}
std::string hardLinks(const std::string& path) {
  return naming(native(french() ? "Index à plusieurs noms (liens physiques) :" : "Index with several names (hard links):"),
                path);
}

}  // namespace idapi::engine::texts
