// Layout-data parser: any text gives a layout or app::Error naming a line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <variant>

#include "app/errors.h"
#include "app/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const app::FormLayout form = app::parseLayout(text);
    // Every element must be found again by its name, as the window code does.
    for (const app::Element& element : form.elements) {
      std::visit(
          [&form](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            const void* found = nullptr;
            if constexpr (std::is_same_v<T, app::LabelElement>) found = form.findLabel(e.name);
            if constexpr (std::is_same_v<T, app::PictureElement>) found = form.findPicture(e.name);
            if constexpr (std::is_same_v<T, app::TableElement>) found = form.findTable(e.name);
            if (found == nullptr) {
              std::fprintf(stderr, "broken invariant: element %s not found by its name\n", e.name.c_str());
              std::abort();
            }
          },
          element);
    }
  } catch (const app::Error& e) {
    if (std::strncmp(e.what(), "layout line ", 12) != 0) {
      std::fprintf(stderr, "broken invariant: error without a line number: %s\n", e.what());
      std::abort();
    }
  }
  return 0;
}
