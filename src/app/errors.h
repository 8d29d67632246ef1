// Error kinds of the launcher. Every failure is a C++ exception; the application's
// error report (error_report.h) decides what the user sees.
#ifndef ORVANE_APP_ERRORS_H
#define ORVANE_APP_ERRORS_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace app {

// An ordinary failure whose message (UTF-8) is shown to the user as it is.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  explicit Error(const char* message) : std::runtime_error(message) {}
};

// A failed operation on a file or folder, carrying the system error code. The
// message comes from the program's own French texts, not from the system.
class InOutError : public Error {
 public:
  InOutError(uint32_t code, const std::string& name) : Error(message(code, name)), code_(code) {}
  uint32_t code() const noexcept { return code_; }

  // 2, 3, 4 and 5 have texts of their own (3 names the file or folder concerned);
  // any other code gives "Erreur E/S <code>".
  static std::string message(uint32_t code, const std::string& name);

 private:
  uint32_t code_;
};

// Ends the current handler without telling the user anything.
class SilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return ""; }
};

}  // namespace app

#endif  // ORVANE_APP_ERRORS_H
