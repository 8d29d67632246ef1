#include "app/error_report.h"

#include "app/errors.h"

namespace app {

namespace {

// The error directly wrapped by `error`, if it carries one that is a std::exception.
// The returned pointer stays valid as long as the holder keeps the exception alive.
const std::exception* innerOf(const std::exception& error, std::exception_ptr& holder) {
  const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
  if (nested == nullptr || nested->nested_ptr() == nullptr) {
    return nullptr;
  }
  holder = nested->nested_ptr();
  try {
    std::rethrow_exception(holder);
  } catch (const std::exception& inner) {
    return &inner;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

std::string innermostMessage(const std::exception& error) {
  std::string chosen = error.what();
  // Each level keeps its inner exception alive while we walk further in.
  std::exception_ptr keep[64];
  const std::exception* current = &error;
  for (std::size_t depth = 0; depth < std::size(keep); ++depth) {
    const std::exception* inner = innerOf(*current, keep[depth]);
    if (inner == nullptr) {
      break;
    }
    std::string message = inner->what();
    if (!message.empty()) {
      chosen = std::move(message);
    }
    current = inner;
  }
  return chosen;
}

std::string withFullStop(std::string message) {
  // Messages are UTF-8: every byte of a multi-byte character is above 0x7F, and so is
  // the UTF-16 code of any such character, so the last byte decides the rule.
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
    message.push_back('.');
  }
  return message;
}

std::optional<std::string> reportText(const std::exception& error) {
  if (dynamic_cast<const SilentAbort*>(&error) != nullptr) {
    return std::nullopt;
  }
  return withFullStop(innermostMessage(error));
}

std::optional<std::string> reportText(std::exception_ptr error) {
  if (error == nullptr) {
    return std::nullopt;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return reportText(e);
  } catch (...) {
    return withFullStop("Erreur inconnue");
  }
}

}  // namespace app
