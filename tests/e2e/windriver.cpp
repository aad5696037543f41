// windriver: drives and measures the updater's real window from outside, through the Win32 API,
// as a person at the screen would: it finds the window, reads its controls, presses keys and
// buttons and answers message boxes. The end-to-end scripts call it once per step. It is aware of
// each monitor's DPI, so it measures the window in the pixels that are on the screen.
//
//   windriver wait [SECONDS]           wait for the main dialog; print its caption
//   windriver layout                   print the measured layout; exit 1 if the rules fail
//   windriver texts                    print each text's room and need; exit 1 if one is clipped
//                                      or two controls overlap
//   windriver state                    print caption, list entries, selection, values, progress
//   windriver select N                 select list entry N as the user does (CBN_SELENDOK)
//   windriver run                      press RUN
//   windriver box [SECONDS]            wait for a message box; print caption and text
//   windriver answer BUTTON [SECONDS]  wait for a message box and press ok|cancel|yes|no
//   windriver idle [SECONDS]           wait until RUN is enabled again (an update has ended)
//   windriver escape                   press Esc in the main dialog
//   windriver names                    print the accessible name of the drive list and the
//                                      progress bar: the label Microsoft Active Accessibility
//                                      takes (Wine's oleacc names a control by its own text)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kStatus = 510, kProgress = 1003, kList = 500;

std::string Utf8(const wchar_t* w) {
  char buf[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
  return n > 0 ? std::string(buf) : std::string();
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string TextOf(HWND w) {
  wchar_t buf[2048] = {};
  SendMessageW(w, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buf));
  return Utf8(buf);
}

bool IsDialogClass(HWND w) {
  wchar_t cls[64] = {};
  GetClassNameW(w, cls, 64);
  return wcscmp(cls, L"#32770") == 0;
}

HWND g_found = nullptr;

BOOL CALLBACK FindMain(HWND w, LPARAM) {
  if (IsDialogClass(w) && IsWindowVisible(w) && GetDlgItem(w, kStatus) != nullptr) {
    g_found = w;
    return FALSE;
  }
  return TRUE;
}

// A message box: a dialog-class top-level window without the status line.
BOOL CALLBACK FindBox(HWND w, LPARAM) {
  if (IsDialogClass(w) && IsWindowVisible(w) && GetDlgItem(w, kStatus) == nullptr) {
    g_found = w;
    return FALSE;
  }
  return TRUE;
}

HWND WaitFor(WNDENUMPROC finder, double seconds) {
  DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    g_found = nullptr;
    EnumWindows(finder, 0);
    if (g_found != nullptr) return g_found;
    if (static_cast<LONG>(GetTickCount() - end) > 0) return nullptr;
    Sleep(100);
  }
}

HWND MainOrDie() {
  HWND w = WaitFor(FindMain, 5);
  if (w == nullptr) {
    std::printf("no main dialog\n");
    std::exit(3);
  }
  return w;
}

void PrintRect(const char* name, const RECT& r) {
  std::printf("%s %ld %ld %ld %ld (%ldx%ld)\n", name, r.left, r.top, r.right, r.bottom, r.right - r.left,
              r.bottom - r.top);
}

// The window's DPI: GetDpiForWindow where the system has it, else the screen's.
int DpiOf(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  auto getDpi = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr && getDpi(window) != 0) return static_cast<int>(getDpi(window));
  HDC dc = GetDC(window);
  int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(window, dc);
  return dpi;
}

void BecomeDpiAware() {
  using SetContextFunction = BOOL(WINAPI*)(HANDLE);
  auto setContext = reinterpret_cast<SetContextFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
  if (setContext == nullptr || !setContext(reinterpret_cast<HANDLE>(-4) /* PER_MONITOR_AWARE_V2 */))
    SetProcessDPIAware();
}

int Layout() {
  HWND main = MainOrDie();
  RECT d, s, p, c, pc;
  GetWindowRect(main, &d);
  GetWindowRect(GetDlgItem(main, kStatus), &s);
  GetWindowRect(GetDlgItem(main, kProgress), &p);
  GetClientRect(main, &c);
  GetWindowRect(GetDlgItem(main, kProgress), &pc);
  POINT origin{0, 0};
  ClientToScreen(main, &origin);
  PrintRect("dialog", d);
  PrintRect("status", s);
  PrintRect("progress", p);
  PrintRect("client", c);
  int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  std::printf("screen %d %d\n", screenW, screenH);
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) ++failures;
  };
  // 5 px at 96 DPI, scaled to the window's DPI and rounded.
  int dpi = DpiOf(main);
  int five = (5 * dpi + 48) / 96;
  std::printf("dpi %d\n", dpi);
  check(d.bottom - s.bottom == (s.bottom - s.top) + five,
        "bottom edge one status-line height plus 5 px (at 96 DPI) below the status line");
  check(p.bottom - p.top == five, "progress bar 5 px (at 96 DPI) high");
  check(p.right - p.left == c.right - c.left, "progress bar spans the client width");
  check(p.left == origin.x && p.bottom == origin.y + c.bottom, "progress bar along the bottom edge of the client area");
  check(d.left == (screenW - (d.right - d.left)) / 2 && d.top == (screenH - (d.bottom - d.top)) / 2, "centred on the screen");
  return failures == 0 ? 0 : 1;
}

// The dialog's font as its template names it (9 point Microsoft JhengHei, Big5 character set, at
// the window's DPI). A font handle is the program's own and means nothing in this process, so
// windriver makes the same font to measure with; Wine substitutes it as it does for the program.
HFONT TemplateFont(int dpi) {
  return CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, CHINESEBIG5_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     L"\u5FAE\u8EDF\u6B63\u9ED1\u9AD4");
}

// Every control that shows a text or the icon: its client area in screen pixels, the room its
// text may take (one line of a static, the button's face, the combo box's field beside its arrow)
// and the room it needs, and where the text is drawn.
struct Shown {
  HWND window;
  int id;
  std::string cls, text;
  RECT rect;
  SIZE need;
  int room;
  RECT ink;  // what the control draws: its text's extent, or the whole control
};

struct Collection {
  std::vector<Shown> all;
  HFONT font;
};

BOOL CALLBACK CollectShown(HWND w, LPARAM p) {
  auto* collection = reinterpret_cast<Collection*>(p);
  if (!IsWindowVisible(w)) return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(w, cls, 64);
  Shown s{w, GetDlgCtrlID(w), Utf8(cls), TextOf(w), {}, {0, 0}, 0, {}};
  LONG style = GetWindowLongW(w, GWL_STYLE);
  bool isStatic = _wcsicmp(cls, L"Static") == 0;
  if (isStatic && (style & SS_TYPEMASK) == SS_ETCHEDHORZ) return TRUE;  // a separator line
  if (_wcsicmp(cls, L"ComboBox") == 0) {
    int sel = static_cast<int>(SendMessageW(w, CB_GETCURSEL, 0, 0));
    wchar_t item[512] = {};
    if (sel >= 0) SendMessageW(w, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(item));
    s.text = Utf8(item);
  }
  RECT r;
  GetClientRect(w, &r);
  MapWindowPoints(w, nullptr, reinterpret_cast<POINT*>(&r), 2);
  s.rect = r;
  s.ink = r;
  s.room = r.right - r.left;
  if (!s.text.empty()) {
    wchar_t wide[2048] = {};
    MultiByteToWideChar(CP_UTF8, 0, s.text.c_str(), -1, wide, 2048);
    HDC dc = GetDC(w);
    HGDIOBJ old = SelectObject(dc, collection->font);
    GetTextExtentPoint32W(dc, wide, lstrlenW(wide), &s.need);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    s.need.cy = tm.tmHeight;
    SelectObject(dc, old);
    ReleaseDC(w, dc);
    if (_wcsicmp(cls, L"ComboBox") == 0) {
      // The field beside the drop-down button. (GetComboBoxInfo passes a pointer in a message, which
      // under Wine reaches the combo's process unmarshalled: it reads and writes that process's
      // memory at the driver's address, and answers with whatever it found there.)
      s.room -= GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE);
    } else if (_wcsicmp(cls, L"Button") == 0) {
      s.room -= 2 * GetSystemMetrics(SM_CXEDGE) + 2;  // the face inside its raised edge
    } else if (isStatic) {
      s.ink = RECT{r.left, r.top, r.left + std::min<LONG>(s.need.cx, s.room), r.top + s.need.cy};
    }
  }
  collection->all.push_back(s);
  return TRUE;
}

bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

int Texts() {
  HWND main = MainOrDie();
  Collection collection{{}, TemplateFont(DpiOf(main))};
  EnumChildWindows(main, CollectShown, reinterpret_cast<LPARAM>(&collection));
  DeleteObject(collection.font);
  const std::vector<Shown>& all = collection.all;
  RECT client;
  GetClientRect(main, &client);
  MapWindowPoints(main, nullptr, reinterpret_cast<POINT*>(&client), 2);
  std::printf("dpi %d\n", DpiOf(main));
  int failures = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    const Shown& s = all[i];
    bool inside = s.rect.left >= client.left && s.rect.top >= client.top && s.rect.right <= client.right &&
                  s.rect.bottom <= client.bottom;
    bool fits = s.text.empty() || (s.need.cx <= s.room && s.need.cy <= s.rect.bottom - s.rect.top);
    std::string overlaps;
    for (size_t k = 0; k < all.size(); ++k)
      if (k != i && Overlap(s.ink, all[k].ink)) overlaps += " " + std::to_string(all[k].id);
    bool ok = inside && fits && overlaps.empty();
    std::printf("%s %s %d at %ld,%ld %ldx%ld needs %ldx%ld of %dx%ld \"%s\"%s%s\n", ok ? "ok" : "FAIL",
                s.cls.c_str(), s.id, s.rect.left - client.left, s.rect.top - client.top, s.rect.right - s.rect.left,
                s.rect.bottom - s.rect.top, s.need.cx, s.need.cy, s.room, s.rect.bottom - s.rect.top,
                s.text.c_str(), inside ? "" : " outside the client area",
                overlaps.empty() ? "" : (" overlaps" + overlaps).c_str());
    if (!ok) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

int State() {
  HWND main = MainOrDie();
  std::printf("caption %s\n", TextOf(main).c_str());
  HWND list = GetDlgItem(main, kList);
  int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t item[512] = {};
    SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
    std::printf("entry %d %s\n", i, Utf8(item).c_str());
  }
  std::printf("selection %d\n", static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0)));
  const struct { int id; const char* name; } values[] = {
      {501, "model"}, {502, "serial"}, {503, "interface"}, {504, "firmware"}, {505, "capacity"}, {kStatus, "status"}};
  for (const auto& v : values) std::printf("%s %s\n", v.name, TextOf(GetDlgItem(main, v.id)).c_str());
  std::printf("progress %d\n", static_cast<int>(SendMessageW(GetDlgItem(main, kProgress), PBM_GETPOS, 0, 0)));
  std::printf("run %s\n", IsWindowEnabled(GetDlgItem(main, IDOK)) ? "enabled" : "disabled");
  std::printf("list %s\n", IsWindowEnabled(list) ? "enabled" : "disabled");
  return 0;
}

int Select(int index) {
  HWND main = MainOrDie();
  HWND list = GetDlgItem(main, kList);
  if (SendMessageW(list, CB_SETCURSEL, index, 0) == CB_ERR) {
    std::printf("no entry %d\n", index);
    return 1;
  }
  SendMessageW(main, WM_COMMAND, MAKEWPARAM(kList, CBN_SELENDOK), reinterpret_cast<LPARAM>(list));
  return 0;
}

int Run() {
  HWND main = MainOrDie();
  // Posted, as a click is: the dialog's handler may open a message box and wait.
  PostMessageW(GetDlgItem(main, IDOK), BM_CLICK, 0, 0);
  return 0;
}

struct BoxText {
  std::string caption, text;
};

BOOL CALLBACK CollectStatic(HWND w, LPARAM p) {
  auto* t = reinterpret_cast<BoxText*>(p);
  wchar_t cls[64] = {};
  GetClassNameW(w, cls, 64);
  if (_wcsicmp(cls, L"Static") == 0) {
    std::string s = TextOf(w);
    if (!s.empty()) t->text += (t->text.empty() ? "" : "\n") + s;
  }
  return TRUE;
}

BoxText ReadBox(HWND box) {
  BoxText t;
  t.caption = TextOf(box);
  EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&t));
  return t;
}

int Box(double seconds) {
  HWND box = WaitFor(FindBox, seconds);
  if (box == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  BoxText t = ReadBox(box);
  std::printf("box caption=%s text=%s\n", t.caption.c_str(), Escaped(t.text).c_str());
  return 0;
}

int Answer(const char* button, double seconds) {
  HWND box = WaitFor(FindBox, seconds);
  if (box == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  int id = std::strcmp(button, "yes") == 0 ? IDYES : std::strcmp(button, "no") == 0 ? IDNO
           : std::strcmp(button, "cancel") == 0 ? IDCANCEL : IDOK;
  BoxText t = ReadBox(box);
  std::printf("box caption=%s text=%s answer=%s\n", t.caption.c_str(), Escaped(t.text).c_str(), button);
  HWND b = GetDlgItem(box, id);
  if (b == nullptr) {
    std::printf("box has no %s button\n", button);
    return 1;
  }
  PostMessageW(b, BM_CLICK, 0, 0);
  return 0;
}

int Idle(double seconds) {
  HWND main = MainOrDie();
  DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  while (!IsWindowEnabled(GetDlgItem(main, IDOK)) || !IsWindowEnabled(GetDlgItem(main, kList))) {
    if (static_cast<LONG>(GetTickCount() - end) > 0) {
      std::printf("still busy\n");
      return 1;
    }
    Sleep(100);
  }
  return 0;
}

int Escape() {
  HWND main = MainOrDie();
  // The Esc key as the dialog's own loop sees it: a key press on its focused control.
  HWND focus = GetDlgItem(main, kList);
  PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  return 0;
}

// The label Microsoft Active Accessibility names a control by: the static text control found by
// GetWindow(GW_HWNDPREV), the search halted at a control with WS_GROUP | WS_TABSTOP.
std::string LabelOf(HWND control) {
  for (HWND w = GetWindow(control, GW_HWNDPREV); w != nullptr; w = GetWindow(w, GW_HWNDPREV)) {
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    LONG style = GetWindowLongW(w, GWL_STYLE);
    LONG type = style & SS_TYPEMASK;
    if (_wcsicmp(cls, L"Static") == 0 && type <= SS_RIGHT) return TextOf(w);
    if ((style & (WS_GROUP | WS_TABSTOP)) == (WS_GROUP | WS_TABSTOP)) break;
  }
  return "";
}

int Names() {
  HWND main = MainOrDie();
  for (int id : {kList, kProgress}) std::printf("name %d label=%s\n", id, LabelOf(GetDlgItem(main, id)).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: windriver wait|layout|texts|state|select N|run|box|answer B|idle|escape|names\n");
    return 2;
  }
  BecomeDpiAware();
  std::string c = argv[1];
  double seconds = argc > 2 ? std::atof(argv[argc - 1]) : 20;
  if (c == "wait") {
    HWND w = WaitFor(FindMain, argc > 2 ? std::atof(argv[2]) : 30);
    if (w == nullptr) {
      std::printf("no main dialog\n");
      return 1;
    }
    std::printf("caption %s\n", TextOf(w).c_str());
    return 0;
  }
  if (c == "layout") return Layout();
  if (c == "texts") return Texts();
  if (c == "state") return State();
  if (c == "select" && argc > 2) return Select(std::atoi(argv[2]));
  if (c == "run") return Run();
  if (c == "box") return Box(argc > 2 ? seconds : 20);
  if (c == "answer" && argc > 2) return Answer(argv[2], argc > 3 ? std::atof(argv[3]) : 20);
  if (c == "idle") return Idle(argc > 2 ? seconds : 60);
  if (c == "escape") return Escape();
  if (c == "names") return Names();
  std::fprintf(stderr, "unknown command %s\n", c.c_str());
  return 2;
}
