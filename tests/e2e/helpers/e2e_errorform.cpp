// e2e_errorform.exe: the splash window's plumbing (application object, window,
// error report, event loop) with handlers that fail on purpose, so that the
// end-to-end tests can watch errors escape a handler and reach the error box.
//
//   e2e_errorform activate   FormActivate raises a nested error
//   e2e_errorform click      the first click on the picture raises an error, later
//                            clicks close the window
//   e2e_errorform silent     FormActivate raises a silent abort
#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "app/errors.h"
#include "app/layout.h"
#include "app/win/application.h"
#include "app/win/form_window.h"
#include "app/win/resources.h"

namespace {

class FailingForm : public app::FormEvents {
 public:
  FailingForm(app::Form& form, std::wstring mode) : form_(form), mode_(std::move(mode)) {}

  void FormCreate() override { form_.setLabelText("Labelsignature", "e2e"); }

  void FormActivate() override {
    if (mode_ == L"activate") {
      try {
        throw app::Error("Table introuvable : DATA\\CLIENTS.DBF");
      } catch (...) {
        std::throw_with_nested(app::Error("Echec de la reindexation"));
      }
    }
    if (mode_ == L"silent") {
      throw app::SilentAbort();
    }
  }

  void Image2Click() override {
    if (mode_ == L"click" && clicks_++ == 0) {
      throw app::Error("Erreur (clic)");
    }
    form_.close();
  }

 private:
  app::Form& form_;
  std::wstring mode_;
  int clicks_ = 0;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  std::wstring mode = commandLine != nullptr ? commandLine : L"";
  mode.erase(0, mode.find_first_not_of(L" \t\""));
  mode.erase(mode.find_last_not_of(L" \t\"") + 1);
  try {
    app::win::Application application(instance);
    application.setTitle("orvane_start");
    const auto bytes = app::win::rcdata(instance, "SPLASH_LAYOUT");
    app::win::FormWindow window(
        application, app::parseLayout(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    FailingForm form(window, mode);
    application.setMainWindow(&window);
    window.create(form);
    const int code = application.run(app::win::Application::startupShowCommand());
    application.setMainWindow(nullptr);
    return code;
  } catch (...) {
    return 1;
  }
}
