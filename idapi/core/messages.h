// Every text the engine shows, in English and in French, in one table (messages.cpp).
//
// A text is looked up by its English wording, with %1 to %9 standing for the values
// filled in (file names, field names, numbers), which the French wording may place in
// another order. A wording missing from the table stays English. The language is the
// engine's, chosen at its start.
//
// Texts come out in the engine's text encoding: Windows-1252 on Windows, UTF-8
// elsewhere. The values filled in are taken as they are (file names are bytes of the
// system's code page).
#ifndef IDAPI_CORE_MESSAGES_H
#define IDAPI_CORE_MESSAGES_H

#include <initializer_list>
#include <string>
#include <vector>

#include "idapi/dbi.h"

namespace idapi::core {

enum class Language { English, French };

void setLanguage(Language language);
Language language();

// `english` in the current language, with its %1... replaced by `values`.
std::string tr(const char* english, std::initializer_list<std::string> values = {});

// The one-line text of a result code in the current language; "" for a code without one.
std::string codeText(DBIResult code);

// Converts a UTF-8 text to the engine's text encoding.
std::string native(const std::string& utf8);

// Every pair of the detail table, for checking the table itself.
struct Translation {
  const char* english;
  const char* french;
};
std::vector<Translation> translations();

}  // namespace idapi::core

#endif  // IDAPI_CORE_MESSAGES_H
