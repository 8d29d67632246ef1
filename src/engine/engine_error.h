// Errors of the database engine and the composition of their messages.
#ifndef ORVANE_ENGINE_ENGINE_ERROR_H
#define ORVANE_ENGINE_ENGINE_ERROR_H

#include <idapi/dbi.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace engine {

// A failure of the database engine: its result code and a message of one or more
// lines joined with CR LF.
class EngineError : public std::runtime_error {
 public:
  EngineError(DBIResult code, const std::string& message) : std::runtime_error(message), code_(code) {}
  DBIResult code() const { return code_; }

 private:
  DBIResult code_;
};

// A request the table object refuses in its current state (renaming an open table,
// changing the share mode of an open table).
class TableStateError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The error stack is walked at most this far: an engine that never reports the end
// of its stack must not hold the program in a loop.
constexpr UINT16 kMaxErrorEntries = 64;

// The code as "$" followed by at least four upper-case hexadecimal digits.
std::string hexCode(DBIResult code);

// Message when the engine could not be found, loaded or started.
std::string startFailureMessage(DBIResult code);

// Message composed from the engine's texts for a failed operation: the text of the
// failing code, then for each entry of the error stack (from 1 until the engine
// reports none) the text of the entry's code when it has no native code, followed by
// the entry's own text. Lines are trimmed; empty lines and lines already present
// (letter case aside) are left out; the rest is joined with CR LF. When nothing
// remains: "Erreur BDE $XXXX".
//   textOf(code)                  the engine's text for a code, in UTF-8
//   entry(n, native, text)        stack entry n: returns its code (0 past the end)
std::string composeMessage(DBIResult code, const std::function<std::string(DBIResult)>& textOf,
                           const std::function<DBIResult(UINT16, UINT32&, std::string&)>& entry);

// Letter-case-insensitive equality of two UTF-8 texts (ASCII and the Latin-1 and
// Latin Extended-A letters that French texts use).
bool sameTextIgnoringCase(const std::string& a, const std::string& b);

}  // namespace engine

#endif  // ORVANE_ENGINE_ENGINE_ERROR_H
