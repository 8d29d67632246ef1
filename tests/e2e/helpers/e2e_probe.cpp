// e2e_probe.exe: looks at and pokes the Windows session for the end-to-end tests.
// Every command prints one JSON value on standard output.
//
//   windows                      top-level windows: handle, process, class, title,
//                                owner, rectangles, style, visibility, state
//   children HWND                child windows of a window (class, id, text, screen rectangle)
//   metrics                      screen size, work area, pixels per inch, visual styles
//   text-height FACE PIXELS      height of "0" in a font given by character height
//   hold-mutex NAME              creates a named mutex, prints, then sleeps until killed
//   hold-other NAME              the same with an event: no mutex of that name can be had
//   hold-file PATH               opens a file with no sharing, prints, sleeps until killed
//   send HWND MSG WPARAM LPARAM  sends a message, prints the answer
//   post HWND MSG WPARAM LPARAM  posts a message
//   run SHOW EXE [ARGS...]       starts a program with a show command, prints its
//                                process id, waits and exits with its exit code
//   resources EXE                version record, manifest and icon sizes of a program
#include <windows.h>
#include <uxtheme.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string quote(const std::wstring& s) { return quote(utf8(s)); }

std::string num(long long v) { return std::to_string(v); }

std::string rect(const RECT& r) {
  return "[" + num(r.left) + "," + num(r.top) + "," + num(r.right) + "," + num(r.bottom) + "]";
}

std::wstring windowText(HWND h) {
  wchar_t buf[1024];
  const int n = GetWindowTextW(h, buf, 1024);
  return std::wstring(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring className(HWND h) {
  wchar_t buf[256];
  const int n = GetClassNameW(h, buf, 256);
  return std::wstring(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

HWND parseHwnd(const wchar_t* s) { return reinterpret_cast<HWND>(static_cast<INT_PTR>(_wcstoi64(s, nullptr, 0))); }

std::string describe(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  RECT wr{}, cr{};
  GetWindowRect(h, &wr);
  GetClientRect(h, &cr);
  return "{\"hwnd\":" + num(reinterpret_cast<INT_PTR>(h)) + ",\"pid\":" + num(pid) +
         ",\"class\":" + quote(className(h)) + ",\"title\":" + quote(windowText(h)) +
         ",\"owner\":" + num(reinterpret_cast<INT_PTR>(GetWindow(h, GW_OWNER))) +
         ",\"visible\":" + (IsWindowVisible(h) ? "true" : "false") +
         ",\"enabled\":" + (IsWindowEnabled(h) ? "true" : "false") + ",\"iconic\":" + (IsIconic(h) ? "true" : "false") +
         ",\"zoomed\":" + (IsZoomed(h) ? "true" : "false") +
         ",\"style\":" + num(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE))) +
         ",\"exstyle\":" + num(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE))) + ",\"rect\":" + rect(wr) +
         ",\"client\":[" + num(cr.right - cr.left) + "," + num(cr.bottom - cr.top) + "]" +
         ",\"foreground\":" + (GetForegroundWindow() == h ? "true" : "false") + "}";
}

BOOL CALLBACK collect(HWND h, LPARAM out) {
  reinterpret_cast<std::vector<HWND>*>(out)->push_back(h);
  return TRUE;
}

int cmdWindows() {
  std::vector<HWND> all;
  EnumWindows(collect, reinterpret_cast<LPARAM>(&all));
  std::string out = "[";
  for (std::size_t i = 0; i < all.size(); ++i) {
    out += (i ? "," : "") + describe(all[i]);
  }
  std::printf("%s]\n", out.c_str());
  return 0;
}

std::string childRect(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  return rect(r);
}

int cmdChildren(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, collect, reinterpret_cast<LPARAM>(&all));
  std::string out = "[";
  for (std::size_t i = 0; i < all.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"hwnd\":" + num(reinterpret_cast<INT_PTR>(all[i])) +
           ",\"class\":" + quote(className(all[i])) + ",\"id\":" + num(GetDlgCtrlID(all[i])) +
           ",\"text\":" + quote(windowText(all[i])) + ",\"rect\":" + childRect(all[i]) + "}";
  }
  std::printf("%s]\n", out.c_str());
  return 0;
}

int cmdMetrics() {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  HDC dc = GetDC(nullptr);
  const int ppi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
  std::printf(
      "{\"screen\":[%d,%d],\"workarea\":%s,\"ppi\":%d,\"themed\":%s,\"btnface\":[%d,%d,%d],"
      "\"windowtext\":[%d,%d,%d]}\n",
      GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), rect(work).c_str(), ppi,
      (IsAppThemed() && IsThemeActive()) ? "true" : "false", GetRValue(face), GetGValue(face), GetBValue(face),
      GetRValue(text), GetGValue(text), GetBValue(text));
  return 0;
}

int cmdTextHeight(const wchar_t* face, int pixels) {
  HDC dc = GetDC(nullptr);
  HFONT font = CreateFontW(-pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, L"0", 1, &size);
  wchar_t actual[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, actual);
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  std::printf("{\"height\":%ld,\"width\":%ld,\"face\":%s}\n", size.cy, size.cx, quote(std::wstring(actual)).c_str());
  return 0;
}

int cmdHoldMutex(const wchar_t* name) {
  HANDLE h = CreateMutexW(nullptr, FALSE, name);
  const DWORD error = GetLastError();
  std::printf("{\"created\":%s,\"already\":%s}\n", h ? "true" : "false",
              error == ERROR_ALREADY_EXISTS ? "true" : "false");
  std::fflush(stdout);
  for (;;) Sleep(60000);
}

// Holds a name with an event, an object of another kind than a mutex: no program can
// open or create a mutex of that name (Wine applies no access list to named objects, so
// this is how a name that the launcher may not open is made here).
int cmdHoldOther(const wchar_t* name) {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name);
  const DWORD error = GetLastError();
  HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, name);
  const DWORD otherError = other ? 0 : GetLastError();
  std::printf("{\"created\":%s,\"already\":%s,\"open_error\":%lu}\n", h ? "true" : "false",
              error == ERROR_ALREADY_EXISTS ? "true" : "false", otherError);
  std::fflush(stdout);
  for (;;) Sleep(60000);
}

// Opens a file for reading with no sharing at all and keeps it open until killed.
int cmdHoldFile(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::printf("{\"held\":%s}\n", h != INVALID_HANDLE_VALUE ? "true" : "false");
  std::fflush(stdout);
  for (;;) Sleep(60000);
}

// Sends a message and waits for the answer (at most 10 s).
int cmdSend(HWND h, UINT msg, WPARAM w, LPARAM l) {
  DWORD_PTR result = 0;
  const LRESULT ok = SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, 10000, &result);
  std::printf("{\"answered\":%s,\"result\":%lld}\n", ok ? "true" : "false", static_cast<long long>(result));
  return 0;
}

int cmdPost(HWND h, UINT msg, WPARAM w, LPARAM l) {
  const BOOL ok = PostMessageW(h, msg, w, l);
  std::printf("{\"posted\":%s}\n", ok ? "true" : "false");
  return ok ? 0 : 1;
}

int cmdRun(int show, int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 0; i < argc; ++i) {
    if (i) line += L' ';
    line += L'"';
    line += argv[i];
    line += L'"';
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(show);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(argv[0], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::printf("{\"error\":%lu}\n", GetLastError());
    return 255;
  }
  std::printf("{\"pid\":%lu}\n", pi.dwProcessId);
  std::fflush(stdout);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(pi.hProcess, &code);
  return static_cast<int>(code);
}

std::string versionString(const std::vector<BYTE>& block, const wchar_t* path) {
  void* value = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), path, &value, &size) || size == 0) return "null";
  return quote(std::wstring(static_cast<const wchar_t*>(value)));
}

int cmdResources(const wchar_t* exe) {
  std::string out = "{";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(exe, &ignored);
  std::vector<BYTE> block(size);
  if (size != 0 && GetFileVersionInfoW(exe, 0, size, block.data())) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT n = 0;
    VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &n);
    struct Lang {
      WORD language, codepage;
    }* langs = nullptr;
    VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&langs), &n);
    char fv[64] = "null", pv[64] = "null", tr[32] = "null";
    if (fixed) {
      std::snprintf(fv, sizeof fv, "\"%u.%u.%u.%u\"", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
      std::snprintf(pv, sizeof pv, "\"%u.%u.%u.%u\"", HIWORD(fixed->dwProductVersionMS),
                    LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                    LOWORD(fixed->dwProductVersionLS));
    }
    std::wstring prefix = L"\\StringFileInfo\\040904E4\\";
    if (langs && n >= sizeof(Lang)) {
      std::snprintf(tr, sizeof tr, "[%u,%u]", langs->language, langs->codepage);
      wchar_t buf[64];
      swprintf(buf, 64, L"\\StringFileInfo\\%04x%04x\\", langs->language, langs->codepage);
      prefix = buf;
    }
    out += std::string("\"fixedFileVersion\":") + fv + ",\"fixedProductVersion\":" + pv + ",\"translation\":" + tr +
           ",\"FileVersion\":" + versionString(block, (prefix + L"FileVersion").c_str()) +
           ",\"ProductVersion\":" + versionString(block, (prefix + L"ProductVersion").c_str()) +
           ",\"ProductName\":" + versionString(block, (prefix + L"ProductName").c_str()) + ",";
  }
  HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  std::string manifest = "null";
  std::string icons = "[";
  if (module) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (info) {
      const char* data = static_cast<const char*>(LockResource(LoadResource(module, info)));
      manifest = quote(std::string(data, SizeofResource(module, info)));
    }
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    if (group) {
      const BYTE* g = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
      const DWORD gsize = SizeofResource(module, group);
      const WORD count = gsize >= 6 ? *reinterpret_cast<const WORD*>(g + 4) : 0;
      for (WORD i = 0; i < count && 6u + 14u * (i + 1u) <= gsize; ++i) {
        const BYTE* e = g + 6 + 14 * i;
        const int w = e[0] ? e[0] : 256;
        const int h = e[1] ? e[1] : 256;
        const WORD bits = *reinterpret_cast<const WORD*>(e + 6);
        icons += std::string(i ? "," : "") + "{\"width\":" + num(w) + ",\"height\":" + num(h) +
                 ",\"bits\":" + num(bits) + "}";
      }
    }
    FreeLibrary(module);
  }
  out += "\"manifest\":" + manifest + ",\"icons\":" + icons + "]}";
  std::printf("%s\n", out.c_str());
  return 0;
}

int usage() {
  std::fprintf(
      stderr,
      "usage: e2e_probe windows|children|metrics|text-height|hold-mutex|hold-other|hold-file|send|post|run|resources ...\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return usage();
  const std::wstring cmd = argv[1];
  if (cmd == L"windows") return cmdWindows();
  if (cmd == L"children" && argc == 3) return cmdChildren(parseHwnd(argv[2]));
  if (cmd == L"metrics") return cmdMetrics();
  if (cmd == L"text-height" && argc == 4) return cmdTextHeight(argv[2], _wtoi(argv[3]));
  if (cmd == L"hold-mutex" && argc == 3) return cmdHoldMutex(argv[2]);
  if (cmd == L"hold-other" && argc == 3) return cmdHoldOther(argv[2]);
  if (cmd == L"hold-file" && argc == 3) return cmdHoldFile(argv[2]);
  if (cmd == L"send" && argc == 6) {
    return cmdSend(parseHwnd(argv[2]), static_cast<UINT>(_wtoi(argv[3])),
                   static_cast<WPARAM>(_wcstoi64(argv[4], nullptr, 0)),
                   static_cast<LPARAM>(_wcstoi64(argv[5], nullptr, 0)));
  }
  if (cmd == L"post" && argc == 6) {
    return cmdPost(parseHwnd(argv[2]), static_cast<UINT>(_wtoi(argv[3])),
                   static_cast<WPARAM>(_wcstoi64(argv[4], nullptr, 0)),
                   static_cast<LPARAM>(_wcstoi64(argv[5], nullptr, 0)));
  }
  if (cmd == L"run" && argc >= 4) return cmdRun(_wtoi(argv[2]), argc - 3, argv + 3);
  if (cmd == L"resources" && argc == 3) return cmdResources(argv[2]);
  return usage();
}
