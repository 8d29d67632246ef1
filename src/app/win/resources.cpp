#include "app/win/resources.h"

#include <string>

#include "app/errors.h"
#include "app/utf.h"

namespace app::win {

std::span<const std::uint8_t> rcdata(HINSTANCE module, std::string_view name) {
  const std::u16string wide = toUtf16(name);
  const auto* id = reinterpret_cast<const wchar_t*>(wide.c_str());
  HRSRC info = FindResourceW(module, id, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  HGLOBAL handle = info != nullptr ? LoadResource(module, info) : nullptr;
  const void* data = handle != nullptr ? LockResource(handle) : nullptr;
  if (data == nullptr) {
    throw Error("ressource introuvable : " + std::string(name));
  }
  return {static_cast<const std::uint8_t*>(data), SizeofResource(module, info)};
}

}  // namespace app::win
