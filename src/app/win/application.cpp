#include "app/win/application.h"

#include "app/error_report.h"
#include "app/errors.h"
#include "app/win/form_window.h"
#include "app/win/window.h"

namespace app::win {

namespace {

constexpr wchar_t kClassName[] = L"OrvaneApplication";
constexpr int kIconResource = 1;

}  // namespace

Application::Application(HINSTANCE instance) : instance_(instance) {
  icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));

  WNDCLASSEXW wc{};
  wc.lpfnWndProc = &WindowOf<Application>::procedure;
  wc.hInstance = instance;
  wc.hIcon = icon_;
  wc.hIconSm = smallIcon_;
  wc.lpszClassName = kClassName;
  registerWindowClass(wc, "fenêtre de l'application");
  // A zero-sized window in the middle of the screen: invisible, yet the owner of the
  // program's taskbar entry.
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
  handle_ = CreateWindowExW(0, kClassName, L"", WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                            x, y, 0, 0, nullptr, nullptr, instance, this);
  if (handle_ == nullptr) {
    throw Error("impossible de créer la fenêtre de l'application");
  }
  // The first ShowWindow call of a process may be replaced by the start-up show
  // command; spend it here, where it changes nothing, so that the main window is
  // shown exactly as run() decides.
  ShowWindow(handle_, SW_HIDE);
}

Application::~Application() {
  if (handle_ != nullptr) {
    DestroyWindow(handle_);
  }
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void Application::setTitle(std::string_view title) {
  title_ = wide(title);
  SetWindowTextW(handle_, title_.c_str());
}

int Application::startupShowCommand() {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  GetStartupInfoW(&si);
  return (si.dwFlags & STARTF_USESHOWWINDOW) != 0 ? si.wShowWindow : SW_SHOWNORMAL;
}

int Application::run(int showCommand) {
  if (main_ != nullptr) {
    if (showCommand == SW_SHOWMINNOACTIVE) {
      // Minimised on the taskbar; the main window appears when it is restored.
      ShowWindow(handle_, SW_SHOWMINNOACTIVE);
    } else {
      SetWindowPos(handle_, nullptr, 0, 0, 0, 0,
                   SWP_SHOWWINDOW | SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
      main_->showFirst(showCommand == SW_SHOWMAXIMIZED ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
    }
  }
  MSG msg;
  for (;;) {
    try {
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0) {
        return static_cast<int>(msg.wParam);  // the code given to PostQuitMessage
      }
      if (got == -1) {
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    } catch (...) {
      showError(std::current_exception());
    }
  }
  return 0;
}

void Application::terminate() { PostQuitMessage(0); }

void Application::showError(std::exception_ptr error) noexcept {
  try {
    const std::optional<std::string> text = reportText(error);
    if (!text) {
      return;
    }
    const std::wstring message = wide(*text);
    HWND owner = GetActiveWindow();
    MessageBoxW(owner, message.c_str(), title_.c_str(), MB_OK | MB_ICONSTOP);
  } catch (...) {
    // Nothing sensible is left to do when the report itself fails.
  }
}

void Application::minimize() {
  if (main_ != nullptr && main_->handle() != nullptr) {
    ShowWindow(main_->handle(), SW_HIDE);
  }
  ShowWindow(handle_, SW_MINIMIZE);
}

void Application::restore() {
  ShowWindow(handle_, SW_RESTORE);
  if (main_ != nullptr && main_->handle() != nullptr) {
    main_->showAgain();
  }
}

LRESULT Application::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (LRESULT result; endOfSession(message, wParam, result)) return result;
  switch (message) {
    case WM_CLOSE:
      // A close request to the taskbar entry closes the main window.
      if (main_ != nullptr) {
        main_->close();
      }
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_MINIMIZE: minimize(); return 0;
        case SC_RESTORE: restore(); return 0;
        default: break;
      }
      break;
    case WM_ACTIVATE:
      // Activating the taskbar entry passes the focus on to the main window.
      if (LOWORD(wParam) != WA_INACTIVE && !IsIconic(handle_) && main_ != nullptr && main_->handle() != nullptr &&
          IsWindowVisible(main_->handle()) && IsWindowEnabled(main_->handle())) {
        SetActiveWindow(main_->handle());
        return 0;
      }
      break;
    default: break;
  }
  return DefWindowProcW(handle_, message, wParam, lParam);
}

}  // namespace app::win
