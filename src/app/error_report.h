// The text rule of the application's error report: which message of an error is shown
// and how it is finished. The box itself is shown by the Windows part (app/win).
#ifndef ORVANE_APP_ERROR_REPORT_H
#define ORVANE_APP_ERROR_REPORT_H

#include <exception>
#include <optional>
#include <string>

namespace app {

// The message of the innermost error, following std::nested_exception links, whose
// message is not empty; the outermost message when none is.
std::string innermostMessage(const std::exception& error);

// Appends a full stop unless the message is empty or its last character's code is at
// most that of the full stop (so ")", " " and "." end a message as they are).
std::string withFullStop(std::string message);

// What the error box shows for an error, or nothing for a silent abort.
std::optional<std::string> reportText(const std::exception& error);

// Same for an error caught as an exception_ptr (anything may have been thrown).
std::optional<std::string> reportText(std::exception_ptr error);

}  // namespace app

#endif  // ORVANE_APP_ERROR_REPORT_H
