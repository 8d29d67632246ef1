// Program entry of orvane_start.exe: the single-instance guard, the application
// object and the event loop.
#include <windows.h>

#include <memory>
#include <string>

#include "app/layout.h"
#include "app/utf.h"
#include "app/win/application.h"
#include "app/win/form_window.h"
#include "app/win/resources.h"
#include "engine/engine.h"
#include "indexer2.h"
#include "sys/system.h"

namespace {

// Also the file name of the main application: while any process of this logon
// session holds it, the launcher has nothing to do.
constexpr wchar_t kInstanceName[] = L"Pelcrest.exe";
constexpr char kProgramTitle[] = "orvane_start";
constexpr char kLayoutResource[] = "SPLASH_LAYOUT";

void showStartupFailure(const char* what) {
  const std::u16string text = app::toUtf16(std::string("Le programme n'a pas pu d\u00E9marrer : ") + what);
  MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), L"Erreur", MB_OK | MB_ICONSTOP);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Only the name's existence matters: the handle is kept, never waited on or
  // closed, so the process holds the name until it ends. Any failure other than
  // "already exists" leaves the program running without the guard.
  CreateMutexW(nullptr, FALSE, kInstanceName);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    return 0;
  }

  std::unique_ptr<sys::System> system;
  std::unique_ptr<engine::Engine> engine;
  std::unique_ptr<app::win::Application> application;
  std::unique_ptr<app::win::FormWindow> window;
  std::unique_ptr<TFrmindexer> form;
  try {
    system = sys::makeSystem();
    engine = std::make_unique<engine::Engine>(*system);
    application = std::make_unique<app::win::Application>(instance);
    application->setTitle(kProgramTitle);
    const auto layoutBytes = app::win::rcdata(instance, kLayoutResource);
    app::FormLayout layout =
        app::parseLayout(std::string_view(reinterpret_cast<const char*>(layoutBytes.data()), layoutBytes.size()));
    window = std::make_unique<app::win::FormWindow>(*application, std::move(layout));
    form = std::make_unique<TFrmindexer>(*system, *engine);
    form->bindForm(*window);
    Frmindexer = form.get();
    application->setMainWindow(window.get());
    window->create(*form);
  } catch (const std::exception& e) {
    showStartupFailure(e.what());
    return 1;
  } catch (...) {
    showStartupFailure("erreur inconnue");
    return 1;
  }

  const int exitCode = application->run(app::win::Application::startupShowCommand());
  // The window goes before the form logic that it calls into.
  application->setMainWindow(nullptr);
  window.reset();
  Frmindexer = nullptr;
  form.reset();
  application.reset();
  engine.reset();
  return exitCode;
}
