// The application object: program title, the taskbar entry (a hidden owner window of
// the main window), the event loop and the default error report.
#ifndef ORVANE_APP_WIN_APPLICATION_H
#define ORVANE_APP_WIN_APPLICATION_H

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

namespace app::win {

class FormWindow;

class Application {
 public:
  explicit Application(HINSTANCE instance);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  HINSTANCE instance() const { return instance_; }
  HWND handle() const { return handle_; }

  // Title of the taskbar entry and caption of the error box (UTF-8).
  void setTitle(std::string_view title);
  const std::wstring& title() const { return title_; }

  void setMainWindow(FormWindow* window) { main_ = window; }
  FormWindow* mainWindow() const { return main_; }

  // Shows the main window as the start-up show command asks, then runs the event
  // loop until the main window is closed. Returns the exit code.
  int run(int showCommand);

  // Queues the request to end the program.
  void terminate();

  // The default error report: shows the error in a modal box owned by the active
  // window. Never throws.
  void showError(std::exception_ptr error) noexcept;

  // The show command the process was started with (STARTUPINFO), SW_SHOWNORMAL when
  // none was given.
  static int startupShowCommand();

 private:
  template <class Owner>
  friend struct WindowOf;
  // The window's messages (window.h): they come once CreateWindowEx has returned.
  void attachWindow(HWND) {}
  bool receivesMessages() const { return handle_ != nullptr; }
  Application& application() { return *this; }
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void minimize();
  void restore();

  HINSTANCE instance_;
  HWND handle_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::wstring title_;
  FormWindow* main_ = nullptr;
};

// Runs `body` the way every message handler runs: an escaping error goes to the
// application's error report and the message counts as handled.
template <typename Body>
bool guarded(Application& application, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    application.showError(std::current_exception());
    return false;
  }
}

}  // namespace app::win

#endif  // ORVANE_APP_WIN_APPLICATION_H
