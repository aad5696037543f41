// Win32Dialog (win32_platform.h): the real dialog window and its controls.
#include <windows.h>
#include <commctrl.h>

#include "platform/messages.h"
#include "platform/win32/internal.h"

// The seam's own values are the Windows ones.
static_assert(platform::MSG_INITDIALOG == WM_INITDIALOG && platform::MSG_COMMAND == WM_COMMAND);
static_assert(platform::MSG_TIMER == WM_TIMER && platform::MSG_DEVICECHANGE == WM_DEVICECHANGE);
static_assert(platform::MSG_APP == WM_APP && platform::NOTIFY_SELENDOK == CBN_SELENDOK);
static_assert(platform::ID_OK == IDOK && platform::ID_CANCEL == IDCANCEL && platform::ID_YES == IDYES);
static_assert(platform::BOX_OKCANCEL == MB_OKCANCEL && platform::BOX_YESNO == MB_YESNO);
static_assert(platform::BOX_ICONWARNING == MB_ICONWARNING && platform::BOX_ICONINFORMATION == MB_ICONINFORMATION);

namespace platform {
namespace {

HWND Wnd(WindowHandle w) { return static_cast<HWND>(w); }
HWND Item(WindowHandle w, int id) { return id == 0 ? Wnd(w) : ::GetDlgItem(Wnd(w), id); }

void ToRect(const RECT& r, Rect* out) {
  out->left = r.left;
  out->top = r.top;
  out->right = r.right;
  out->bottom = r.bottom;
}

}  // namespace

void Win32Dialog::SetCaption(WindowHandle window, const char16_t* text) {
  ::SetWindowTextW(Wnd(window), W(text));
}
void Win32Dialog::SetItemText(WindowHandle window, int id, const char16_t* text) {
  ::SetDlgItemTextW(Wnd(window), id, W(text));
}
void Win32Dialog::EnableItem(WindowHandle window, int id, bool enable) {
  ::EnableWindow(Item(window, id), enable ? TRUE : FALSE);
}
void Win32Dialog::ComboReset(WindowHandle window, int id) {
  ::SendDlgItemMessageW(Wnd(window), id, CB_RESETCONTENT, 0, 0);
}
int Win32Dialog::ComboAdd(WindowHandle window, int id, const char16_t* text) {
  return static_cast<int>(::SendDlgItemMessageW(Wnd(window), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}
void Win32Dialog::ComboSetItemData(WindowHandle window, int id, int index, intptr_t data) {
  ::SendDlgItemMessageW(Wnd(window), id, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
}
intptr_t Win32Dialog::ComboGetItemData(WindowHandle window, int id, int index) {
  return static_cast<intptr_t>(::SendDlgItemMessageW(Wnd(window), id, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}
int Win32Dialog::ComboGetCurSel(WindowHandle window, int id) {
  return static_cast<int>(::SendDlgItemMessageW(Wnd(window), id, CB_GETCURSEL, 0, 0));
}
void Win32Dialog::ComboSetCurSel(WindowHandle window, int id, int index) {
  ::SendDlgItemMessageW(Wnd(window), id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
void Win32Dialog::SetProgressPos(WindowHandle window, int id, int position) {
  ::SendDlgItemMessageW(Wnd(window), id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}
int Win32Dialog::ShowMessageBox(WindowHandle window, const char16_t* text, const char16_t* caption, uint32_t type) {
  return ::MessageBoxW(Wnd(window), W(text), W(caption), type);
}
void Win32Dialog::SetTimer(WindowHandle window, uintptr_t id, uint32_t milliseconds) {
  ::SetTimer(Wnd(window), id, milliseconds, nullptr);
}
void Win32Dialog::KillTimer(WindowHandle window, uintptr_t id) { ::KillTimer(Wnd(window), id); }
bool Win32Dialog::Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return ::PostMessageW(Wnd(window), message, wParam, lParam) != 0;
}
intptr_t Win32Dialog::Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return ::SendMessageW(Wnd(window), message, wParam, lParam);
}
void Win32Dialog::EndDialog(WindowHandle window, intptr_t result) { ::EndDialog(Wnd(window), result); }

bool Win32Dialog::GetWindowRect(WindowHandle window, int id, Rect* rect) {
  RECT r{};
  if (!::GetWindowRect(Item(window, id), &r)) return false;
  ToRect(r, rect);
  return true;
}
bool Win32Dialog::GetClientRect(WindowHandle window, int id, Rect* rect) {
  RECT r{};
  if (!::GetClientRect(Item(window, id), &r)) return false;
  ToRect(r, rect);
  return true;
}
void Win32Dialog::MoveWindow(WindowHandle window, int id, int x, int y, int width, int height) {
  ::MoveWindow(Item(window, id), x, y, width, height, TRUE);
}
WindowHandle Win32Dialog::GetParent(WindowHandle window) { return ::GetParent(Wnd(window)); }
void Win32Dialog::GetScreenSize(int* width, int* height) {
  *width = ::GetSystemMetrics(SM_CXSCREEN);
  *height = ::GetSystemMetrics(SM_CYSCREEN);
}
int Win32Dialog::GetDpi(WindowHandle window) {
  // GetDpiForWindow came with Windows 10 1607; before it, the screen's DPI is the system's.
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr) {
    UINT dpi = getDpiForWindow(Wnd(window));
    if (dpi != 0) return static_cast<int>(dpi);
  }
  int dpi = 0;
  if (HDC dc = ::GetDC(Wnd(window)); dc != nullptr) {
    dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(Wnd(window), dc);
  }
  return dpi > 0 ? dpi : 96;
}
void Win32Dialog::ShowIcon(WindowHandle window, int controlId, int iconId, int size) {
  HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId),
                                               IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
  ::SendDlgItemMessageW(Wnd(window), controlId, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
  ::SetClassLongPtrW(Wnd(window), GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
}

}  // namespace platform
