// Message texts of the engine, in English or French (chosen at start-up), and the
// texts of error-stack entries. Every text returned here fits a 128-byte message
// buffer (at most 127 bytes before the terminating NUL). On Windows the texts are in
// the ANSI code page Windows-1252; elsewhere in UTF-8. File names are inserted as the
// caller gave them (bytes of the system's code page).
#ifndef IDAPI_ENGINE_TEXTS_H
#define IDAPI_ENGINE_TEXTS_H

#include <string>

#include "idapi/dbi.h"

namespace idapi::engine::texts {

enum class Language { English, French };

void setLanguage(Language language);
Language language();

// The text for a result code ("" for DBIERR_NONE).
std::string forCode(DBIResult code);

// Keeps the first 127 bytes of a text, never cutting a UTF-8 sequence in two. (Texts
// that end with a path keep the end of it through tail() and naming() instead.)
std::string fit(const std::string& text);

// A path fitted to 127 bytes: its end, after "...", when it is longer.
std::string tail(const std::string& path);

// "<label> <path>" fitted to 127 bytes, keeping the end of the path.
std::string naming(const std::string& label, const std::string& path);

// Entry texts naming the file concerned.
std::string tableEntry(const std::string& path);
std::string indexEntry(const std::string& path);
std::string readError(const std::string& path);
std::string createError(const std::string& path);
std::string writeError(const std::string& path);
std::string replaceError(const std::string& path);
std::string lockError(const std::string& path);
std::string notRegular(const std::string& path);
std::string tableChanged(const std::string& path);
std::string hardLinks(const std::string& path);

// Converts a UTF-8 text to the engine's text encoding (see above).
std::string native(const std::string& utf8);

}  // namespace idapi::engine::texts

#endif  // IDAPI_ENGINE_TEXTS_H
