// What a window's logic sees of its window, and the events the window raises. The
// Windows implementation is app/win/form_window.h; tests use a fake.
#ifndef ORVANE_APP_FORM_H
#define ORVANE_APP_FORM_H

#include <string>
#include <string_view>

namespace app {

class Form {
 public:
  virtual ~Form() = default;

  // Repaints the whole window now, before returning.
  virtual void repaintNow() = 0;

  // Text of a label of the layout (UTF-8). An unknown name is an app::Error.
  virtual void setLabelText(std::string_view label, std::string_view text) = 0;
  virtual std::string labelText(std::string_view label) const = 0;

  // Gives a label the system button-face colour as its background.
  virtual void setLabelButtonFaceBackground(std::string_view label) = 0;

  // Closes the window; for the main window this ends the program once the event
  // loop takes the request.
  virtual void close() = 0;

  // The native window handle (an HWND on Windows), to own message boxes and shell
  // requests; nullptr where there is none.
  virtual void* nativeHandle() const = 0;
};

// Handlers a window calls. Errors they raise go to the application's error report.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  // Once, while the window is created, before it is shown.
  virtual void FormCreate() = 0;
  // On the window's first activation only, at most once per program run.
  virtual void FormActivate() = 0;
  // A click on the picture.
  virtual void Image2Click() = 0;
};

}  // namespace app

#endif  // ORVANE_APP_FORM_H
