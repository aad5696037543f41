// The dialog: what the dialog logic does to its window and controls, and the messages it sends
// and posts. Win32 implements it with the real window; the host has a headless dialog that
// records what happens and answers message boxes as a test tells it.
#pragma once
#include "platform/types.h"

namespace platform {

class Dialog {
 public:
  virtual ~Dialog() = default;

  virtual void SetCaption(WindowHandle window, const char16_t* text) = 0;
  virtual void SetItemText(WindowHandle window, int id, const char16_t* text) = 0;
  virtual void EnableItem(WindowHandle window, int id, bool enable) = 0;

  // The drop-down list (CB_RESETCONTENT, CB_ADDSTRING, CB_SETITEMDATA, CB_GETITEMDATA,
  // CB_GETCURSEL, CB_SETCURSEL). ComboGetCurSel returns -1 when nothing is selected.
  virtual void ComboReset(WindowHandle window, int id) = 0;
  virtual int ComboAdd(WindowHandle window, int id, const char16_t* text) = 0;
  virtual void ComboSetItemData(WindowHandle window, int id, int index, intptr_t data) = 0;
  virtual intptr_t ComboGetItemData(WindowHandle window, int id, int index) = 0;
  virtual int ComboGetCurSel(WindowHandle window, int id) = 0;
  virtual void ComboSetCurSel(WindowHandle window, int id, int index) = 0;

  // PBM_SETPOS.
  virtual void SetProgressPos(WindowHandle window, int id, int position) = 0;

  // A modal message box; returns ID_OK, ID_CANCEL, ID_YES or ID_NO.
  virtual int ShowMessageBox(WindowHandle window, const char16_t* text, const char16_t* caption,
                         uint32_t type) = 0;

  virtual void SetTimer(WindowHandle window, uintptr_t id, uint32_t milliseconds) = 0;
  virtual void KillTimer(WindowHandle window, uintptr_t id) = 0;

  // PostMessageW returns at once; SendMessageW waits until the dialog's thread has handled it.
  virtual bool Post(WindowHandle window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) = 0;
  virtual intptr_t Send(WindowHandle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) = 0;

  virtual void EndDialog(WindowHandle window, intptr_t result) = 0;

  // Layout. id 0 names the dialog itself. Rectangles are screen pixels (window) or client pixels.
  virtual bool GetWindowRect(WindowHandle window, int id, Rect* rect) = 0;
  virtual bool GetClientRect(WindowHandle window, int id, Rect* rect) = 0;
  virtual void MoveWindow(WindowHandle window, int id, int x, int y, int width, int height) = 0;
  virtual WindowHandle GetParent(WindowHandle window) = 0;
  virtual void GetScreenSize(int* width, int* height) = 0;
  // The dots per inch the window is shown at: 96 at 100 %, 144 at 150 %, 192 at 200 %.
  virtual int GetDpi(WindowHandle window) = 0;

  // Loads the icon resource at size × size pixels, shows it in the static control and makes it
  // the large icon of the window's class.
  virtual void ShowIcon(WindowHandle window, int controlId, int iconId, int size) = 0;
};

}  // namespace platform
