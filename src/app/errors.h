// Error kinds of the launcher. Every failure is a C++ exception; the application's
// error report (error_report.h) decides what the user sees.
#pragma once

#include <stdexcept>
#include <string>

namespace app {

// An ordinary failure whose message (UTF-8) is shown to the user as it is.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
    explicit Error(const char* message) : std::runtime_error(message) {}
};

// Ends the current handler without telling the user anything.
class SilentAbort : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

}  // namespace app
