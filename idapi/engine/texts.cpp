#include "idapi/engine/texts.h"

#include <cstdio>

#include "idapi/core/messages.h"

namespace idapi::engine::texts {

void setLanguage(Language language) {
  core::setLanguage(language == Language::French ? core::Language::French : core::Language::English);
}
Language language() { return core::language() == core::Language::French ? Language::French : Language::English; }

std::string native(const std::string& utf8) { return core::native(utf8); }

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
  std::string text = core::codeText(code);
  if (!text.empty()) return fit(text);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", code);
  return fit(core::tr("Engine error $%1", {hex}));
}

std::string tableEntry(const std::string& path) { return naming(core::tr("Table:"), path); }
std::string indexEntry(const std::string& path) { return naming(core::tr("Index:"), path); }
std::string readError(const std::string& path) { return naming(core::tr("Cannot read"), path); }
std::string createError(const std::string& path) { return naming(core::tr("Cannot create"), path); }
std::string writeError(const std::string& path) { return naming(core::tr("Cannot write"), path); }
std::string replaceError(const std::string& path) { return naming(core::tr("Cannot replace"), path); }
std::string lockError(const std::string& path) { return naming(core::tr("Cannot lock"), path); }
std::string notRegular(const std::string& path) { return naming(core::tr("Not a regular file:"), path); }
std::string tableChanged(const std::string& path) {
  return naming(core::tr("Table changed during the rebuild:"), path);
}
std::string hardLinks(const std::string& path) {
  return naming(core::tr("Index with several names (hard links):"), path);
}

}  // namespace idapi::engine::texts
