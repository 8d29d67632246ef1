// A borderless window drawn from a layout: one stretched picture and text labels,
// all painted by the window itself. It raises FormCreate, FormActivate (first
// activation only) and Image2Click through app::FormEvents.
#ifndef ORVANE_APP_WIN_FORM_WINDOW_H
#define ORVANE_APP_WIN_FORM_WINDOW_H

#include <windows.h>

#include <string>
#include <vector>

#include "app/form.h"
#include "app/layout.h"
#include "app/png.h"

namespace app::win {

class Application;

class FormWindow final : public Form {
 public:
  FormWindow(Application& application, FormLayout design);
  ~FormWindow() override;
  FormWindow(const FormWindow&) = delete;
  FormWindow& operator=(const FormWindow&) = delete;

  // Scales the layout for the screen, creates the (hidden) window owned by the
  // application's window, loads its picture and runs FormCreate. Throws on failure.
  void create(FormEvents& events);

  HWND handle() const { return hwnd_; }
  const FormLayout& layout() const { return layout_; }

  // First show: centred in the primary screen's work area, then shown with
  // SW_SHOWNORMAL or SW_SHOWMAXIMIZED (which activates it).
  void showFirst(int showCommand);
  // Shows it again after the program was restored from the taskbar.
  void showAgain();

  // Form
  void repaintNow() override;
  void setLabelText(std::string_view label, std::string_view text) override;
  std::string labelText(std::string_view label) const override;
  void setLabelButtonFaceBackground(std::string_view label) override;
  void close() override;
  void* nativeHandle() const override { return hwnd_; }

 private:
  struct Label {
    const LabelElement* def = nullptr;
    std::string text;  // UTF-8
    std::wstring wideText;
    HFONT font = nullptr;
    COLORREF background = 0;
  };

  template <class Owner>
  friend struct WindowOf;
  // The window's messages (window.h): they come from its creation on.
  void attachWindow(HWND hwnd) { hwnd_ = hwnd; }
  bool receivesMessages() const { return true; }
  Application& application() { return application_; }
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void paint(HDC dc, const RECT& client);
  Label& label(std::string_view name);
  const Label& label(std::string_view name) const;
  void loadPicture();

  Application& application_;
  FormLayout design_;
  FormLayout layout_;
  FormEvents* events_ = nullptr;
  HWND hwnd_ = nullptr;
  std::vector<Label> labels_;
  RgbImage picture_;
  std::vector<std::uint8_t> pictureDib_;  // bottom-up BGR rows padded to 4 bytes
  bool paintLabelBackgrounds_ = true;
  bool shown_ = false;
  bool activated_ = false;
  bool pressOnPicture_ = false;
};

}  // namespace app::win

#endif  // ORVANE_APP_WIN_FORM_WINDOW_H
