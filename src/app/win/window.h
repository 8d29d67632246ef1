// What the program's window classes share: the window procedure that hands each
// message to the C++ object a window belongs to, the class registration, the answer
// to the end of the session, and UTF-8 text as Windows' wide functions take it.
#ifndef ORVANE_APP_WIN_WINDOW_H
#define ORVANE_APP_WIN_WINDOW_H

#include <windows.h>

#include <string>
#include <string_view>

#include "app/win/application.h"

namespace app::win {

std::wstring wide(std::string_view utf8);

// Registers a window class with the arrow cursor (the other members as given);
// throws Error naming the window when Windows refuses it.
void registerWindowClass(WNDCLASSEXW wc, const std::string& window);

// The answer of a top-level window to the end of the session: it lets the session
// end, and when it does end the process ends at once (it holds nothing to save). True
// when `message` was one of those two, with `result` set.
bool endOfSession(UINT message, WPARAM wParam, LRESULT& result);

// The window procedure of windows that belong to an object of `Owner`, passed as
// CreateWindowEx's last argument. From WM_NCCREATE on, the window's user data holds
// the object and `attachWindow(hwnd)` tells it its window; once `receivesMessages()`,
// every message goes to its `handleMessage`, guarded: no C++ error crosses into
// Windows' own code (the error is shown, the message answered with 0). Owners declare
// `friend struct WindowOf<Owner>`.
template <class Owner>
struct WindowOf {
  static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_NCCREATE) {
      auto* owner = static_cast<Owner*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
      owner->attachWindow(hwnd);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    }
    auto* self = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || !self->receivesMessages()) return DefWindowProcW(hwnd, message, wParam, lParam);
    LRESULT result = 0;
    if (!guarded(self->application(), [&] { result = self->handleMessage(message, wParam, lParam); })) return 0;
    return result;
  }
};

}  // namespace app::win

#endif  // ORVANE_APP_WIN_WINDOW_H
