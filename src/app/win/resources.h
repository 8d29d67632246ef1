// Data compiled into the executable as resources.
#ifndef ORVANE_APP_WIN_RESOURCES_H
#define ORVANE_APP_WIN_RESOURCES_H

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace app::win {

// The bytes of an RCDATA resource of this module; throws app::Error when it is missing.
std::span<const std::uint8_t> rcdata(HINSTANCE module, std::string_view name);

}  // namespace app::win

#endif  // ORVANE_APP_WIN_RESOURCES_H
