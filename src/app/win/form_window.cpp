#include "app/win/form_window.h"

#include <uxtheme.h>
#include <windowsx.h>

#include "app/errors.h"
#include "app/geometry.h"
#include "app/win/application.h"
#include "app/win/resources.h"
#include "app/win/window.h"

namespace app::win {

namespace {

constexpr wchar_t kClassName[] = L"TFrmindexer";

COLORREF toColorRef(const Colour& c) {
  switch (c.kind) {
    case Colour::Kind::WindowText: return GetSysColor(COLOR_WINDOWTEXT);
    case Colour::Kind::ButtonFace: return GetSysColor(COLOR_BTNFACE);
    case Colour::Kind::Rgb: break;
  }
  return RGB(c.red, c.green, c.blue);
}

HFONT makeFont(const Font& font) {
  const std::wstring face = wide(font.face);
  // A negative height asks for the character height, internal leading excluded.
  return CreateFontW(-font.height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     face.c_str());
}

// Height of "0" in a font on the screen, and the screen's pixels per inch.
struct ScreenMetrics {
  int ppi = 96;
  int textHeight = 0;
};

ScreenMetrics measure(const FormLayout& design) {
  ScreenMetrics m;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    throw Error("impossible d'obtenir le contexte d'affichage (GetDC)");
  }
  m.ppi = GetDeviceCaps(screen, LOGPIXELSY);
  if (m.ppi <= 0) {
    m.ppi = design.designPpi;
  }
  Font base = design.font;
  base.height = baseFontHeight(design, m.ppi);
  HFONT font = makeFont(base);
  HGDIOBJ old = SelectObject(screen, font);
  SIZE size{};
  if (GetTextExtentPoint32W(screen, L"0", 1, &size)) {
    m.textHeight = size.cy;
  }
  SelectObject(screen, old);
  DeleteObject(font);
  ReleaseDC(nullptr, screen);
  if (m.textHeight <= 0) {
    m.textHeight = design.designTextHeight;
  }
  return m;
}

}  // namespace

FormWindow::FormWindow(Application& application, FormLayout design)
    : application_(application), design_(std::move(design)), layout_(design_) {}

FormWindow::~FormWindow() {
  if (hwnd_ != nullptr) {
    DestroyWindow(hwnd_);
  }
  for (Label& l : labels_) {
    if (l.font != nullptr) DeleteObject(l.font);
  }
}

void FormWindow::create(FormEvents& events) {
  events_ = &events;
  const ScreenMetrics metrics = measure(design_);
  layout_ = scaleLayout(design_, metrics.ppi, metrics.textHeight);
  // Visual styles decide once, now, whether opaque labels paint their background.
  paintLabelBackgrounds_ = !(IsAppThemed() && IsThemeActive());

  labels_.clear();
  for (const Element& element : layout_.elements) {
    if (const auto* def = std::get_if<LabelElement>(&element)) {
      Label l;
      l.def = def;
      l.text = def->text;
      l.wideText = wide(def->text);
      l.font = makeFont(def->font);
      l.background = toColorRef(def->background);
      labels_.push_back(std::move(l));
    }
  }
  loadPicture();

  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &WindowOf<FormWindow>::procedure;
    wc.hInstance = application_.instance();
    wc.lpszClassName = kClassName;
    registerWindowClass(wc, "fenêtre principale");
    registered = true;
  }

  DWORD style = WS_CLIPCHILDREN;
  style |= layout_.border ? WS_BORDER : WS_POPUP;
  if (layout_.titleBar) style |= WS_CAPTION;
  if (layout_.borderIcons) style |= WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
  if (layout_.scrollBars) style |= WS_HSCROLL | WS_VSCROLL;
  const DWORD exStyle = layout_.topmost ? WS_EX_TOPMOST : 0;
  RECT frame{0, 0, layout_.clientWidth, layout_.clientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);

  const std::wstring caption = wide(layout_.caption);
  hwnd_ = CreateWindowExW(exStyle, kClassName, caption.c_str(), style, 0, 0, frame.right - frame.left,
                          frame.bottom - frame.top, application_.handle(), nullptr, application_.instance(), this);
  if (hwnd_ == nullptr) {
    throw Error("impossible de créer la fenêtre principale");
  }
  events_->FormCreate();
}

void FormWindow::loadPicture() {
  const PictureElement* def = nullptr;
  for (const Element& element : layout_.elements) {
    if ((def = std::get_if<PictureElement>(&element)) != nullptr) break;
  }
  if (def == nullptr) {
    return;
  }
  picture_ = decodePng(rcdata(application_.instance(), def->resource));
  if (picture_.width != def->imageWidth || picture_.height != def->imageHeight) {
    throw Error("picture " + def->name + " has an unexpected size");
  }
  const std::size_t w = static_cast<std::size_t>(picture_.width);
  const std::size_t h = static_cast<std::size_t>(picture_.height);
  const std::size_t stride = (w * 3 + 3) & ~std::size_t{3};
  pictureDib_.assign(stride * h, 0);
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* out = pictureDib_.data() + (h - 1 - y) * stride;
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint8_t* px = picture_.at(static_cast<int>(x), static_cast<int>(y));
      out[x * 3 + 0] = px[2];
      out[x * 3 + 1] = px[1];
      out[x * 3 + 2] = px[0];
    }
  }
}

void FormWindow::showFirst(int showCommand) {
  if (!shown_) {
    shown_ = true;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT frame{};
    GetWindowRect(hwnd_, &frame);
    const Point at = centreIn(Rect{work.left, work.top, work.right, work.bottom}, frame.right - frame.left,
                              frame.bottom - frame.top);
    SetWindowPos(hwnd_, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, showCommand);
}

void FormWindow::showAgain() {
  if (!shown_) {
    showFirst(SW_SHOWNORMAL);
    return;
  }
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  SetActiveWindow(hwnd_);
}

void FormWindow::repaintNow() {
  if (hwnd_ != nullptr) {
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

FormWindow::Label& FormWindow::label(std::string_view name) {
  for (Label& l : labels_) {
    if (l.def->name == name) return l;
  }
  throw Error("libellé inconnu : " + std::string(name));
}

const FormWindow::Label& FormWindow::label(std::string_view name) const {
  return const_cast<FormWindow*>(this)->label(name);
}

void FormWindow::setLabelText(std::string_view name, std::string_view text) {
  Label& l = label(name);
  l.text = std::string(text);
  l.wideText = wide(text);
  if (hwnd_ != nullptr) {
    const RECT r{l.def->bounds.left, l.def->bounds.top, l.def->bounds.right, l.def->bounds.bottom};
    InvalidateRect(hwnd_, &r, FALSE);
  }
}

std::string FormWindow::labelText(std::string_view name) const { return label(name).text; }

void FormWindow::setLabelButtonFaceBackground(std::string_view name) {
  Label& l = label(name);
  l.background = GetSysColor(COLOR_BTNFACE);
  if (hwnd_ != nullptr) {
    const RECT r{l.def->bounds.left, l.def->bounds.top, l.def->bounds.right, l.def->bounds.bottom};
    InvalidateRect(hwnd_, &r, FALSE);
  }
}

void FormWindow::close() {
  // The main window stays on screen until the loop takes the request to end.
  if (application_.mainWindow() == this) {
    application_.terminate();
  } else if (hwnd_ != nullptr) {
    ShowWindow(hwnd_, SW_HIDE);
  }
}

void FormWindow::paint(HDC dc, const RECT& client) {
  const COLORREF back = toColorRef(layout_.colour);
  HBRUSH backBrush = CreateSolidBrush(back);
  FillRect(dc, &client, backBrush);
  DeleteObject(backBrush);

  if (!pictureDib_.empty()) {
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = picture_.width;
    bmi.bmiHeader.biHeight = picture_.height;  // bottom-up
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    // Rows and columns are dropped or repeated, never blended.
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, 0, 0, client.right - client.left, client.bottom - client.top, 0, 0, picture_.width,
                  picture_.height, pictureDib_.data(), &bmi, DIB_RGB_COLORS, SRCCOPY);
  }

  SetBkMode(dc, TRANSPARENT);
  for (const Label& l : labels_) {
    const LabelElement& def = *l.def;
    RECT r{def.bounds.left, def.bounds.top, def.bounds.right, def.bounds.bottom};
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
    if (!def.transparent && paintLabelBackgrounds_) {
      HBRUSH brush = CreateSolidBrush(l.background);
      FillRect(dc, &r, brush);
      DeleteObject(brush);
    }
    SelectObject(dc, l.font);
    SetTextColor(dc, toColorRef(def.colour));
    UINT flags = DT_NOPREFIX | DT_TOP | DT_EXPANDTABS;
    flags |= def.align == Align::Center ? DT_CENTER : def.align == Align::Right ? DT_RIGHT : DT_LEFT;
    flags |= def.wordWrap ? DT_WORDBREAK : DT_SINGLELINE;
    if (!l.wideText.empty()) {
      DrawTextW(dc, l.wideText.c_str(), static_cast<int>(l.wideText.size()), &r, flags);
    }
    RestoreDC(dc, saved);
  }
}

LRESULT FormWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (LRESULT result; endOfSession(message, wParam, result)) return result;
  switch (message) {
    case WM_ERASEBKGND: return 1;  // WM_PAINT covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd_, &ps);
      RECT client;
      GetClientRect(hwnd_, &client);
      // Drawn off screen first, so labels never flicker over the picture.
      HDC memory = CreateCompatibleDC(dc);
      HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
      if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        paint(memory, client);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
      } else {
        paint(dc, client);
      }
      if (bitmap != nullptr) DeleteObject(bitmap);
      if (memory != nullptr) DeleteDC(memory);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      const int x = GET_X_LPARAM(lParam);
      const int y = GET_Y_LPARAM(lParam);
      // Labels take the press (and do nothing with it); anywhere else is the picture.
      if (pressStartsPictureClick(layout_, x, y)) {
        pressOnPicture_ = true;
        SetCapture(hwnd_);
      }
      return 0;
    }
    case WM_LBUTTONUP: {
      if (!pressOnPicture_) {
        return 0;
      }
      pressOnPicture_ = false;
      ReleaseCapture();
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      RECT client;
      GetClientRect(hwnd_, &client);
      if (PtInRect(&client, pt)) {
        events_->Image2Click();
      }
      return 0;
    }
    case WM_CAPTURECHANGED:
      if (reinterpret_cast<HWND>(lParam) != hwnd_) {
        pressOnPicture_ = false;
      }
      return 0;
    case WM_ACTIVATE: {
      const LRESULT r = DefWindowProcW(hwnd_, message, wParam, lParam);
      if (LOWORD(wParam) != WA_INACTIVE && !activated_) {
        activated_ = true;  // set before the handler: it never runs twice
        events_->FormActivate();
      }
      return r;
    }
    case WM_CLOSE: close(); return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        SendMessageW(application_.handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
        return 0;
      }
      break;
    default: break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace app::win
