// Stand-in for the main application "Pelcrest.exe", used by the demo and the
// end-to-end tests.
//
// It appends one line to "pelcrest-started.log" in its current directory:
//   <current directory>|<full command line>
// so that callers can tell how often it was started, from which folder and with
// which arguments. Unless ORVANE_PELCREST_HEADLESS is set it then shows a small
// window saying that the application started; ORVANE_PELCREST_AUTOCLOSE=<seconds>
// closes that window by itself (used when no real display is watching).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring currentDirectory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  std::wstring dir(n, L'\0');
  dir.resize(GetCurrentDirectoryW(n, dir.data()));
  return dir;
}

std::string toUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void recordStart() {
  std::string line = toUtf8(currentDirectory()) + "|" + toUtf8(GetCommandLineW()) + "\n";
  HANDLE file = CreateFileW(L"pelcrest-started.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring g_message;

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      InflateRect(&rc, -16, -16);
      SetBkMode(dc, TRANSPARENT);
      SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
      DrawTextW(dc, g_message.c_str(), -1, &rc, DT_LEFT | DT_TOP | DT_WORDBREAK);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER: DestroyWindow(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  recordStart();
  if (std::getenv("ORVANE_PELCREST_HEADLESS")) return 0;

  g_message =
      L"Orvane \u2014 application principale d\u00e9marr\u00e9e.\r\n\r\nDossier courant : " + currentDirectory();

  WNDCLASSW wc{};
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"OrvaneDemoMainApplication";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowW(wc.lpszClassName, L"Orvane", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 460, 180,
                            nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  if (const char* seconds = std::getenv("ORVANE_PELCREST_AUTOCLOSE")) {
    SetTimer(hwnd, 1, static_cast<UINT>(std::atoi(seconds)) * 1000u, nullptr);
  }
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
