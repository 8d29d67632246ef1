#include "app/win/window.h"

#include "app/errors.h"
#include "app/utf.h"

namespace app::win {

std::wstring wide(std::string_view utf8) {
  const std::u16string w = toUtf16(utf8);
  return std::wstring(w.begin(), w.end());
}

void registerWindowClass(WNDCLASSEXW wc, const std::string& window) {
  wc.cbSize = sizeof wc;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  if (RegisterClassExW(&wc) == 0) throw Error("impossible d'inscrire la classe de la " + window);
}

bool endOfSession(UINT message, WPARAM wParam, LRESULT& result) {
  switch (message) {
    case WM_QUERYENDSESSION: result = TRUE; return true;
    case WM_ENDSESSION:
      if (wParam != 0) ExitProcess(0);
      result = 0;
      return true;
    default: return false;
  }
}

}  // namespace app::win
